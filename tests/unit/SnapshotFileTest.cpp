// The temporary snapshot files: unique names from the template, each file
// created afresh by the writer thread, all of them deleted when the record
// is cleared.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "JvmInfo.h"
#include "Orlo.h"
#include "SnapshotWriter.h"
#include "StringBuffer.h"
#include "TempDir.h"
#include "TempFiles.h"

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
    info.FinishSnapShotFiles(false);
    ASSERT_FALSE(info.SnapShotFailed()) << info.GetSnapShotError();

    const std::string prefix = dir.Path() + Orlo::fileSep + "VESK_";
    std::set<std::string> names;
    for (const std::string& path : info.GetSnapShotFileNames()) {
        EXPECT_EQ(path.compare(0, prefix.size(), prefix), 0) << path;
        EXPECT_EQ(path.size(), prefix.size() + 6) << path;
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_size, 0);
#ifndef _WIN32
        EXPECT_EQ(st.st_mode & 077, 0u) << "readable by its owner only: " << path;
#endif
        names.insert(path);
    }
    EXPECT_EQ(names.size(), flushes + 1) << "and one for the last buffer";

    info.Clear();
    EXPECT_TRUE(info.GetSnapShotFileNames().empty());
    for (const std::string& path : names) EXPECT_FALSE(vesktest::FileExists(path)) << path;
}

// Filled buffers are written behind the walk's back: each file gets exactly
// its buffer's bytes, in order, and the two buffers take turns.
TEST(SnapshotFileTest, WriterWritesEachBufferToItsFile) {
    vesktest::TempDir dir;
    EnvGuard temp("TEMP", dir.Path());
    Orlo::SnapshotWriter writer(64, 16);
    const std::string texts[] = {std::string(300, 'a') + "<end/>", "<obj tag=\"1\"/>", "", "<ref/>"};
    Orlo::StringBuffer* buffer = writer.Begin();
    Orlo::StringBuffer* previous = nullptr;
    for (int i = 0; i < 3; i++) {
        buffer->Append(texts[i].c_str(), texts[i].size());
        Orlo::StringBuffer* next = writer.Hand(buffer);
        ASSERT_NE(next, nullptr);
        ASSERT_NE(next, buffer);
        if (previous) EXPECT_EQ(next, previous);
        EXPECT_EQ(next->Size(), 0u);
        previous = buffer;
        buffer = next;
    }
    buffer->Append(texts[3].c_str());
    EXPECT_EQ(writer.End(buffer), "");
    ASSERT_EQ(writer.Files().size(), 4u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(vesktest::ReadFile(writer.Files()[i]), texts[i]) << i;
    const std::vector<std::string> files = writer.Files();
    writer.DeleteFiles();
    for (const std::string& path : files) EXPECT_FALSE(vesktest::FileExists(path)) << path;
}

TEST(SnapshotFileTest, WriterThatCannotCreateItsFileStopsTheWalk) {
    vesktest::TempDir dir;
    const std::string missing = dir.File("missing");
    EnvGuard temp("TEMP", missing);
    Orlo::SnapshotWriter writer(64, 16);
    Orlo::StringBuffer* buffer = writer.Begin();
    buffer->Append("<ref kind=\"2\"/>");
    buffer = writer.Hand(buffer);
    for (int i = 0; i < 500 && !writer.Failed(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(writer.Hand(buffer), nullptr);
    const std::string failure = writer.End(nullptr);
    EXPECT_EQ(failure.rfind("Cannot create snapshot file " + missing, 0), 0u) << failure;
    EXPECT_TRUE(writer.Files().empty());
}


// A dump directory is listed like a file: removed with the files the JVM
// wrote into it, by its owner or at VM death; an unlisted one stays.
TEST(SnapshotFileTest, ListedDirectoriesGoWithTheirFiles) {
    vesktest::TempDir dir;
    std::string first = Orlo::TempFiles::MakeDirectory(dir.Path(), "VESKDUMP_1_");
    std::string second = Orlo::TempFiles::MakeDirectory(dir.Path(), "VESKDUMP_1_");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_NE(first, second);
    EXPECT_EQ(first.find(dir.Path() + Orlo::fileSep + "VESKDUMP_1_"), 0u) << first;
    for (const std::string& made : {first, second}) std::ofstream(made + "/heap.hprof.p0") << "x";
    Orlo::TempFiles::Remove(first);
    EXPECT_FALSE(vesktest::FileExists(first));
    EXPECT_TRUE(vesktest::FileExists(second + "/heap.hprof.p0"));
    Orlo::TempFiles::Remove(dir.Path());  // not listed: left alone
    EXPECT_TRUE(vesktest::FileExists(second));
    Orlo::TempFiles::RemoveAll();
    EXPECT_FALSE(vesktest::FileExists(second));
    EXPECT_TRUE(vesktest::FileExists(dir.Path()));
}

}  // namespace
