// The least a JVMTI heap walk can cost: tag classes and threads, walk the heap
// with a callback that only tags new objects and counts, then untag. The
// benchmark compares the snapshot agent against these figures.
//
// Load with -agentpath:libveskfloor.so=port=N. At VM init an agent thread
// listens on 127.0.0.1:N; each line "RUN" sent to it runs one measurement and
// is answered with one line of key=value pairs (times in milliseconds).
// "DISPOSE" does the same with the tags in a JVMTI environment of its own,
// disposed of instead of the untag walk: the JVM's own cost of that way.
#include <jvmti.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

jvmtiEnv* jvmti = nullptr;
int listenPort = 0;

struct WalkCounts {
    jlong nextTag;
    int64_t objects;
    int64_t refs;
};

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

jint JNICALL TagCB(jvmtiHeapReferenceKind, const jvmtiHeapReferenceInfo*, jlong, jlong, jlong,
                   jlong* tagPtr, jlong*, jint, void* userData) {
    WalkCounts* counts = static_cast<WalkCounts*>(userData);
    counts->refs++;
    if (*tagPtr == 0) {
        *tagPtr = counts->nextTag++;
        counts->objects++;
    }
    return JVMTI_VISIT_OBJECTS;
}

jint JNICALL UntagCB(jvmtiHeapReferenceKind, const jvmtiHeapReferenceInfo*, jlong, jlong, jlong,
                     jlong* tagPtr, jlong*, jint, void*) {
    *tagPtr = 0;
    return JVMTI_VISIT_OBJECTS;
}

void Measure(JavaVM* vm, JNIEnv* jni, bool dispose, char* reply, size_t size) {
    jvmtiEnv* jvmti = ::jvmti;
    if (dispose) {
        jvmtiCapabilities caps;
        memset(&caps, 0, sizeof caps);
        caps.can_tag_objects = 1;
        if (vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_1) != JNI_OK ||
            jvmti->AddCapabilities(&caps) != JVMTI_ERROR_NONE) {
            snprintf(reply, size, "error=no-environment\n");
            return;
        }
    }
    jni->PushLocalFrame(16);
    double t0 = NowMs();
    jint classCount = 0, threadCount = 0;
    jclass* classes = nullptr;
    jthread* threads = nullptr;
    jlong tag = 1;
    if (jvmti->GetLoadedClasses(&classCount, &classes) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < classCount; i++) jvmti->SetTag(classes[i], tag++);
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(classes));
    }
    if (jvmti->GetAllThreads(&threadCount, &threads) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < threadCount; i++) jvmti->SetTag(threads[i], tag++);
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(threads));
    }
    double t1 = NowMs();

    WalkCounts counts{tag, 0, 0};
    jvmtiHeapCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.heap_reference_callback = TagCB;
    jvmtiError walkError = jvmti->FollowReferences(JVMTI_HEAP_FILTER_CLASS_UNTAGGED, nullptr, nullptr, &callbacks, &counts);
    double t2 = NowMs();

    callbacks.heap_reference_callback = UntagCB;
    jvmtiError untagError = dispose ? jvmti->DisposeEnvironment()
                                    : jvmti->FollowReferences(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, nullptr, &callbacks, nullptr);
    double t3 = NowMs();
    jni->PopLocalFrame(nullptr);

    snprintf(reply, size,
             "classes=%d threads=%d objects=%" PRId64 " refs=%" PRId64
             " tag_ms=%.1f walk_ms=%.1f untag_ms=%.1f errors=%d,%d\n",
             static_cast<int>(classCount), static_cast<int>(threadCount), counts.objects, counts.refs,
             t1 - t0, t2 - t1, t3 - t2, static_cast<int>(walkError), static_cast<int>(untagError));
}

void Serve(JavaVM* vm, JNIEnv* jni, int client) {
    char line[64];
    size_t used = 0;
    for (;;) {
        ssize_t n = recv(client, line + used, sizeof line - 1 - used, 0);
        if (n <= 0) return;
        used += static_cast<size_t>(n);
        line[used] = '\0';
        char* end;
        while ((end = strchr(line, '\n')) != nullptr) {
            *end = '\0';
            char reply[512];
            if (strncmp(line, "RUN", 3) == 0 || strncmp(line, "DISPOSE", 7) == 0)
                Measure(vm, jni, line[0] == 'D', reply, sizeof reply);
            else
                snprintf(reply, sizeof reply, "error=unknown-command\n");
            send(client, reply, strlen(reply), MSG_NOSIGNAL);
            used -= static_cast<size_t>(end + 1 - line);
            memmove(line, end + 1, used + 1);
        }
        if (used == sizeof line - 1) return;
    }
}

void JNICALL ServerThread(jvmtiEnv*, JNIEnv* jni, void*) {
    int server = socket(AF_INET, SOCK_STREAM, 0);
    int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(listenPort));
    if (bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(server, 1) != 0) {
        fprintf(stderr, "floor agent: cannot listen on port %d\n", listenPort);
        return;
    }
    for (;;) {
        int client = accept(server, nullptr, nullptr);
        if (client < 0) continue;
        JavaVM* vm = nullptr;
        jni->GetJavaVM(&vm);
        Serve(vm, jni, client);
        close(client);
    }
}

void JNICALL VmInit(jvmtiEnv* env, JNIEnv* jni, jthread) {
    jclass threadClass = jni->FindClass("java/lang/Thread");
    jmethodID init = jni->GetMethodID(threadClass, "<init>", "(Ljava/lang/String;)V");
    jobject thread = jni->NewObject(threadClass, init, jni->NewStringUTF("floor-agent"));
    if (thread == nullptr || env->RunAgentThread(thread, ServerThread, nullptr, JVMTI_THREAD_NORM_PRIORITY) != JVMTI_ERROR_NONE)
        fprintf(stderr, "floor agent: cannot start its thread\n");
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM* vm, char* options, void*) {
    if (options && strncmp(options, "port=", 5) == 0) listenPort = atoi(options + 5);
    if (listenPort <= 0 || vm->GetEnv(reinterpret_cast<void**>(&jvmti), JVMTI_VERSION_1_1) != JNI_OK) {
        fprintf(stderr, "floor agent: usage -agentpath:libveskfloor.so=port=N\n");
        return JNI_ERR;
    }
    jvmtiCapabilities caps;
    memset(&caps, 0, sizeof caps);
    caps.can_tag_objects = 1;
    jvmtiEventCallbacks events;
    memset(&events, 0, sizeof events);
    events.VMInit = VmInit;
    if (jvmti->AddCapabilities(&caps) != JVMTI_ERROR_NONE ||
        jvmti->SetEventCallbacks(&events, sizeof events) != JVMTI_ERROR_NONE ||
        jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr) != JVMTI_ERROR_NONE)
        return JNI_ERR;
    return JNI_OK;
}
