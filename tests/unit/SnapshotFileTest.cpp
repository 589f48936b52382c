// The temporary snapshot files: unique names from the template, each file
// created afresh, all of them deleted when the record is cleared.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <set>
#include <string>

#include "JvmInfo.h"
#include "Orlo.h"
#include "SnapshotWriter.h"
#include "StringBuffer.h"
#include "TempDir.h"

namespace {

// Sets an environment variable for one test and puts the old value back.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : name(name) {
        const char* old = getenv(name);
        if (old) saved = old;
        hadValue = old != nullptr;
        Set(value.c_str());
    }
    ~EnvGuard() { Set(hadValue ? saved.c_str() : nullptr); }

private:
    void Set(const char* value) {
#ifdef _WIN32
        _putenv_s(name, value ? value : "");
#else
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
#endif
    }
    const char* name;
    std::string saved;
    bool hadValue;
};

TEST(SnapshotFileTest, EveryFlushWritesANewFileThatClearDeletes) {
    vesktest::TempDir dir;
    EnvGuard temp("TEMP", dir.Path());
    Orlo::JvmInfo info;
    info.PrepareSnapShot(nullptr, nullptr);
    // More files than a name template with one varying letter could give.
    const size_t flushes = 40;
    for (size_t i = 0; i < flushes; i++) info.FlushOutput();
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();

    const std::string prefix = dir.Path() + Orlo::fileSep + "VESK_";
    std::set<std::string> names;
    for (const char* name : info.GetSnapShotFileNames()) {
        std::string path = name;
        EXPECT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
        EXPECT_EQ(path.size(), prefix.size() + 6) << path;
        struct stat st;
        ASSERT_EQ(stat(name, &st), 0) << path;
        EXPECT_EQ(st.st_size, 0);
#ifndef _WIN32
        EXPECT_EQ(st.st_mode & 077, 0u) << "readable by its owner only: " << path;
#endif
        names.insert(path);
    }
    EXPECT_EQ(names.size(), flushes);

    info.Clear();
    EXPECT_TRUE(info.GetSnapShotFileNames().empty());
    for (const std::string& path : names) EXPECT_FALSE(vesktest::FileExists(path)) << path;
}

// Filled buffers are written behind the caller's back: each file gets
// exactly its buffer's bytes, and the two buffers take turns.
TEST(SnapshotFileTest, WriterWritesEachBufferToItsFile) {
    vesktest::TempDir dir;
    Orlo::SnapshotWriter writer(64, 16);
    const std::string texts[] = {std::string(300, 'a') + "<end/>", "<obj tag=\"1\"/>", ""};
    Orlo::StringBuffer* buffer = new Orlo::StringBuffer(64, 16);
    Orlo::StringBuffer* previous = nullptr;
    for (int i = 0; i < 3; i++) {
        buffer->Append(texts[i].c_str(), texts[i].size());
        const std::string path = dir.File("file" + std::to_string(i));
        FILE* file = fopen(path.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(writer.Wait(), 0);
        Orlo::StringBuffer* next = writer.Start(buffer, file, path.c_str());
        ASSERT_NE(next, buffer);
        if (previous) EXPECT_EQ(next, previous);
        EXPECT_EQ(next->Size(), 0u);
        previous = buffer;
        buffer = next;
    }
    EXPECT_EQ(writer.Wait(), 0);
    for (int i = 0; i < 3; i++) EXPECT_EQ(vesktest::ReadFile(dir.File("file" + std::to_string(i))), texts[i]);
    delete buffer;
    writer.Release();
}

TEST(SnapshotFileTest, WriterReportsAFailedWriteOnce) {
    vesktest::TempDir dir;
    const std::string path = dir.Write("read-only", "");
    Orlo::SnapshotWriter writer(64, 16);
    Orlo::StringBuffer* buffer = new Orlo::StringBuffer(64, 16);
    buffer->Append("<ref kind=\"2\"/>");
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    buffer = writer.Start(buffer, file, path.c_str());
    EXPECT_NE(writer.Wait(), 0);
    EXPECT_EQ(writer.Path(), path);
    EXPECT_EQ(writer.Wait(), 0);
    delete buffer;
}

}  // namespace
