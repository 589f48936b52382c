// The JVMTI environment one request's tagging pass sets its tags in. Open
// makes one of the request's own, so that disposing of it takes every tag
// with it at once; when the JVM gives none, the agent's environment is
// borrowed (logged), and then only an untag walk takes object tags off.
// Used by the thread serving the request, under the agent monitor during a
// snapshot; the destructor disposes of an environment still held.
#pragma once

#include <jni.h>
#include <jvmti.h>

#include <vector>

namespace Orlo {

class TagEnvironment {
public:
    TagEnvironment() = default;
    ~TagEnvironment() { Release(false, std::vector<jlong>()); }
    TagEnvironment(const TagEnvironment&) = delete;
    TagEnvironment& operator=(const TagEnvironment&) = delete;

    // Makes a new environment that can tag objects, through the JVM that jni
    // belongs to; borrows fallback when the JVM gives none. Returns the
    // environment to tag in. An environment still held is disposed of first.
    jvmtiEnv* Open(JNIEnv* jni, jvmtiEnv* fallback);
    // The environment holding the pass's tags; null before Open and after Release.
    jvmtiEnv* Get() const { return env; }
    // False when the tags are in the borrowed agent environment.
    bool Owned() const { return owned; }
    // Ends the tags. An own environment is disposed of, and every tag with it;
    // in a borrowed one the objects carrying recordTags (the class and thread
    // records' tags) are untagged, object numbers being the untag walk's job.
    // dying: the VM takes the tags with it, so nothing is removed (removing
    // them would only hold up its exit); the environment is let go.
    void Release(bool dying, const std::vector<jlong>& recordTags);

private:
    void RemoveTags(const std::vector<jlong>& tags);

    jvmtiEnv* env = nullptr;
    bool owned = false;
    JavaVM* vm = nullptr;
};

}  // namespace Orlo
