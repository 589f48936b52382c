// The temporary snapshot files: unique names from the template, each file
// created afresh and its text written by the writer thread, all of them
// deleted when the record is cleared.
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
#include "HeapRecord.h"
#include "ReferenceBatch.h"
#include "SnapshotWriter.h"
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

// Captured references of a stretch of the walk, the i-th reference of a
// new object or a field of an old one.
void Fill(Orlo::ReferenceBatch& batch, size_t count, jlong firstTag) {
    jvmtiHeapReferenceInfo info = {};
    for (size_t i = 0; i < count; i++) {
        info.field.index = static_cast<jint>(i);
        Orlo::HeapRecord::Capture(*batch.Next(), JVMTI_HEAP_REFERENCE_FIELD, &info, firstTag + static_cast<jlong>(i),
                                  0x7f00, 24, firstTag, i % 3 ? -1 : static_cast<jint>(i), i % 2 == 0);
    }
}

std::string Text(const Orlo::ReferenceBatch& batch) {
    std::string text;
    char record[Orlo::HeapRecord::MAX_SIZE];
    for (size_t i = 0; i < batch.Size(); i++) text.append(record, Orlo::HeapRecord::FormatCaptured(record, batch[i]));
    return text;
}

// Filled batches are written behind the walk's back as text: each file gets
// exactly its batch's records, in order, also past the writer's text area,
// and the two batches take turns.
TEST(SnapshotFileTest, WriterWritesEachBatchToItsFile) {
    vesktest::TempDir dir;
    EnvGuard temp("TEMP", dir.Path());
    const size_t size = 30000;  // more text than one area holds
    Orlo::SnapshotWriter writer(size);
    const size_t counts[] = {size, 1, 0, 2};
    std::string texts[4];
    Orlo::ReferenceBatch* batch = writer.Begin();
    Orlo::ReferenceBatch* previous = nullptr;
    for (int i = 0; i < 4; i++) {
        Fill(*batch, counts[i], 1000 * (i + 1));
        texts[i] = Text(*batch);
        if (i == 3) break;
        Orlo::ReferenceBatch* next = writer.Hand(batch);
        ASSERT_NE(next, nullptr);
        ASSERT_NE(next, batch);
        if (previous) EXPECT_EQ(next, previous);
        EXPECT_EQ(next->Size(), 0u);
        previous = batch;
        batch = next;
    }
    EXPECT_GT(texts[0].size(), Orlo::SnapshotWriter::TEXT_AREA);
    EXPECT_EQ(writer.End(batch).Message(), "");
    ASSERT_EQ(writer.Files().size(), 4u);
    for (int i = 0; i < 4; i++) EXPECT_TRUE(vesktest::ReadFile(writer.Files()[i]) == texts[i]) << i;
    const std::vector<std::string> files = writer.Files();
    writer.DeleteFiles();
    for (const std::string& path : files) EXPECT_FALSE(vesktest::FileExists(path)) << path;
}

TEST(SnapshotFileTest, WriterThatCannotCreateItsFileStopsTheWalk) {
    vesktest::TempDir dir;
    const std::string missing = dir.File("missing");
    EnvGuard temp("TEMP", missing);
    Orlo::SnapshotWriter writer(4);
    Orlo::ReferenceBatch* batch = writer.Begin();
    Fill(*batch, 1, 1);
    batch = writer.Hand(batch);
    for (int i = 0; i < 500 && !writer.Failed(); i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(writer.Failed());
    EXPECT_EQ(writer.Hand(batch), nullptr);
    const std::string failure = writer.End(nullptr).Message();
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
