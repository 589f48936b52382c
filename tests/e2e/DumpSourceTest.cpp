// A snapshot made from the JVM's own heap dump (SNAPSHOT source="dump")
// against the walk's, on a quiescent fixture (dumpsrc.DumpSourceFixture),
// under each object layout the test JDK has: the same classes, the same
// objects per class with the same bytes (what only the VM holds aside, and
// counted), the same references per kind, the same edges below every static
// field; a cancelled conversion leaves no file behind.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "JavaProcess.h"
#include "TempDir.h"
#include "SnapshotStream.h"
#include "protocol/SnapshotReader.h"
#include "protocol/VeskClient.h"

using namespace vesktest;
using vesk::Frame;
using vesk::VeskClient;

namespace {

// Everything of one snapshot stream the comparison needs.
struct Content : vesk::SnapshotHandler {
    struct Object {
        uint64_t classTag;
        int64_t size;
        int32_t length;
    };
    struct Class {
        std::string name;
        int64_t instances, bytes;
        std::vector<std::string> fields;
    };
    std::map<std::string, std::string> props;  // "SNAPSHOT.name" or ".name" (metrics)
    std::vector<std::string> metrics;          // in order
    std::unordered_map<uint64_t, Class> classes;
    std::unordered_map<uint64_t, Object> objects;
    std::vector<vesk::StreamRef> refs;
    std::unordered_map<uint64_t, std::vector<size_t>> byReferrer;  // reftag -> refs
    // The dump's stream ends with what only the VM holds: from the first
    // root of kind other after the heap's own references on.
    size_t extrasFrom = SIZE_MAX;
    std::unordered_map<uint64_t, bool> extraObject;  // tag -> recorded there
    uint64_t lastObject = 0;
    bool whole = false;
    std::string error;

    void OnProperty(const std::string& command, const std::string& name, const std::string& value) override {
        props[command + "." + name] = value;
        if (command.empty()) metrics.push_back(name);
    }
    void OnClass(vesk::StreamClass& cls) override {
        Class& record = classes[cls.tag];
        record.name = cls.name;
        record.instances = cls.instances;
        record.bytes = cls.bytes;
        for (const vesk::StreamField& field : cls.fields) record.fields.push_back(field.name);
    }
    void OnObject(const vesk::StreamObject& object) override {
        objects[object.tag] = {object.classTag, object.size, object.length};
        lastObject = object.tag;
        if (extrasFrom != SIZE_MAX) extraObject[object.tag] = true;
    }
    void OnReference(const vesk::StreamRef& ref) override {
        if (extrasFrom == SIZE_MAX && ref.kind == 27 && !refs.empty() && !refs.back().heapRoot) {
            extrasFrom = refs.size();
            if (lastObject == ref.tag) extraObject[ref.tag] = true;
        }
        if (ref.referrer) byReferrer[ref.referrer].push_back(refs.size());
        refs.push_back(ref);
    }

    std::string ClassName(uint64_t tag) const {
        auto found = classes.find(tag);
        return found == classes.end() ? "?" : found->second.name;
    }
    // Objects and bytes per class name, as the object records give them,
    // without what only the VM holds.
    std::map<std::string, std::pair<int64_t, int64_t>> Histogram() const {
        std::map<std::string, std::pair<int64_t, int64_t>> rows;
        for (const auto& [tag, object] : objects) {
            if (extraObject.count(tag)) continue;
            rows[ClassName(object.classTag)].first++;
            rows[ClassName(object.classTag)].second += object.size;
        }
        return rows;
    }
    // The same from the class records' totals, everything included.
    std::map<std::string, std::pair<int64_t, int64_t>> Totals() const {
        std::map<std::string, std::pair<int64_t, int64_t>> rows;
        for (const auto& entry : classes) {
            if (entry.second.instances == 0) continue;
            rows[entry.second.name].first += entry.second.instances;
            rows[entry.second.name].second += entry.second.bytes;
        }
        return rows;
    }
    // References per kind, without what only the VM holds.
    std::map<int, int64_t> KindCounts() const {
        std::map<int, int64_t> counts;
        for (size_t i = 0; i < refs.size() && i < extrasFrom; i++) counts[refs[i].kind]++;
        return counts;
    }
    std::string Label(const vesk::StreamRef& ref) const {
        return ClassName(ref.classTag) + "/" + std::to_string(ref.size) + "/" + std::to_string(ref.length);
    }
    // The field and element references of the object a reference names, by index.
    std::map<int32_t, const vesk::StreamRef*> Below(const vesk::StreamRef& ref) const {
        std::map<int32_t, const vesk::StreamRef*> children;
        auto below = byReferrer.find(ref.tag);
        if (below == byReferrer.end() || classes.count(ref.tag)) return children;
        for (size_t i : below->second)
            if (refs[i].kind == 2 || refs[i].kind == 3) children[refs[i].index] = &refs[i];
        return children;
    }
    // Every static field of the fixture's classes, by name.
    std::map<std::string, const vesk::StreamRef*> StaticFields() const {
        std::map<std::string, const vesk::StreamRef*> found;
        for (const vesk::StreamRef& ref : refs) {
            auto owner = classes.find(ref.referrer);
            if (ref.kind != 8 || owner == classes.end() || owner->second.name.rfind("dumpsrc.", 0) != 0) continue;
            const std::vector<std::string>& fields = owner->second.fields;
            std::string field = ref.index >= 0 && static_cast<size_t>(ref.index) < fields.size()
                                    ? fields[static_cast<size_t>(ref.index)]
                                    : std::to_string(ref.index);
            found[owner->second.name + "." + field] = &ref;
        }
        return found;
    }
};

// Where the objects below two references differ, depth levels down: class,
// size and length, then what they name by field or element. The walk shows
// nothing below an object it reached first through a reference it does not
// record (a string of a constant pool); the dump's stream may.
void CompareBelow(const Content& walk, const vesk::StreamRef& a, const Content& dump, const vesk::StreamRef& b,
                  int depth, const std::string& path, std::vector<std::string>& differences) {
    if (walk.Label(a) != dump.Label(b)) {
        differences.push_back(path + ": " + walk.Label(a) + " vs " + dump.Label(b));
        return;
    }
    if (depth == 0) return;
    const auto walkBelow = walk.Below(a), dumpBelow = dump.Below(b);
    if (walkBelow.empty()) return;
    for (const auto& [index, ref] : walkBelow) {
        auto other = dumpBelow.find(index);
        if (other == dumpBelow.end())
            differences.push_back(path + "[" + std::to_string(index) + "] missing");
        else
            CompareBelow(walk, *ref, dump, *other->second, depth - 1, path + "[" + std::to_string(index) + "]",
                         differences);
    }
    for (const auto& entry : dumpBelow)
        if (!walkBelow.count(entry.first)) differences.push_back(path + "[" + std::to_string(entry.first) + "] more");
}

// A SNAPSHOT with the given source attribute, read whole.
Content Snapshot(int port, const std::string& source) {
    Content content;
    for (int attempt = 0;; attempt++) {
        try {
            VeskClient client;
            client.Connect("127.0.0.1", port);
            client.SetReadTimeout(600000);
            client.Send("<vesk-cmd tag=\"1\"><cmd name=\"SNAPSHOT\" source=\"" + source + "\"/></vesk-cmd>");
            std::vector<Frame> frames = client.ReadResponse();
            vesk::SnapshotReader reader(content);
            for (const Frame& frame : frames) reader.Feed(frame.bytes);
            content.whole = reader.Finish();
            content.error = reader.Error();
            return content;
        } catch (const vesk::ClientError& e) {
            // The last connection may still be winding down.
            if (e.Kind() != vesk::ErrorKind::Rejected || attempt == 50) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
}

// The JVM options of each object layout the test JDK has.
std::vector<std::vector<std::string>> Layouts() {
    std::vector<std::vector<std::string>> layouts = {{}};
    if (TestJdkMajor() < 24) layouts.push_back({"-XX:-UseCompressedOops"});
    if (TestJdkMajor() >= 25) layouts.push_back({"-XX:+UseCompactObjectHeaders"});
    return layouts;
}

class DumpSourceTest : public ::testing::TestWithParam<size_t> {};

TEST_P(DumpSourceTest, GivesTheWalksContent) {
    if (GetParam() >= Layouts().size()) GTEST_SKIP() << "no such layout on JDK " << TestJdkMajor();
    std::vector<std::string> args = Layouts()[GetParam()];
    const int port = FreePort();
    args.insert(args.begin(), {AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx256m"});
    JavaProcess jvm(args, "dumpsrc.DumpSourceFixture");
    ASSERT_TRUE(jvm.WaitForOutput("dumpsrc ready", 60000) && WaitForPort(port, 30000)) << jvm.Stderr();

    // The first dumps load the classes that take them and resolve what
    // they use; the two compared see the same ones.
    ASSERT_TRUE(Snapshot(port, "dump").whole);
    ASSERT_TRUE(Snapshot(port, "dump").whole);
    const Content walk = Snapshot(port, "walk");
    const Content dump = Snapshot(port, "dump");
    ASSERT_TRUE(walk.whole) << walk.error;
    ASSERT_TRUE(dump.whole) << dump.error;
    EXPECT_EQ(dump.props.count("SNAPSHOT.ss-source"), 1u);
    EXPECT_EQ(walk.props.count("SNAPSHOT.ss-source"), 0u);

    std::multiset<std::string> walkClasses, dumpClasses;
    for (const auto& entry : walk.classes) walkClasses.insert(entry.second.name);
    for (const auto& entry : dump.classes) dumpClasses.insert(entry.second.name);
    EXPECT_EQ(walkClasses, dumpClasses);

    // Objects only the VM holds (and the dump's own taking holds) come last
    // in the dump's stream, under roots of kind other; before them, the
    // walk's objects, sized alike, and its references.
    EXPECT_EQ(walk.Histogram(), walk.Totals());
    // The constant pools of classes the JVM makes at run time (method handle
    // species, lambda forms) hold a few objects the walk does not reach.
    const auto walkRows = walk.Histogram(), dumpRows = dump.Histogram();
    int64_t walkObjects = 0, dumpObjects = 0;
    for (const auto& [name, row] : walkRows) {
        auto other = dumpRows.find(name);
        ASSERT_NE(other, dumpRows.end()) << name;
        EXPECT_GE(other->second.first, row.first) << name;
        // Equal counts, equal bytes: every size is GetObjectSize's.
        if (other->second.first == row.first) EXPECT_EQ(other->second.second, row.second) << name;
        walkObjects += row.first;
    }
    for (const auto& entry : dumpRows) dumpObjects += entry.second.first;
    EXPECT_LE(dumpObjects - walkObjects, walkObjects / 500 + 5);
    auto dumpTotals = dump.Totals();
    int64_t extraObjects = 0;
    for (const auto& [tag, flag] : dump.extraObject) {
        auto& row = dumpTotals[dump.ClassName(dump.objects.at(tag).classTag)];
        row.first--;
        row.second -= dump.objects.at(tag).size;
        extraObjects++;
    }
    for (auto it = dumpTotals.begin(); it != dumpTotals.end();) it = it->second.first == 0 ? dumpTotals.erase(it) : ++it;
    EXPECT_EQ(dumpTotals, dumpRows);
    std::map<int, int64_t> walkKinds = walk.KindCounts(), dumpKinds = dump.KindCounts();
    for (int kind : {8, 21, 23, 24, 25, 26, 27}) EXPECT_EQ(dumpKinds[kind], walkKinds[kind]) << "kind " << kind;
    for (int kind : {2, 3}) {
        EXPECT_GE(dumpKinds[kind], walkKinds[kind]) << "kind " << kind;
        EXPECT_LE(dumpKinds[kind], walkKinds[kind] + walkKinds[kind] / 200 + 5) << "kind " << kind;
    }
    int64_t extraRoots = 0;
    for (size_t i = dump.extrasFrom; i < dump.refs.size(); i++) extraRoots += dump.refs[i].kind == 27;
    EXPECT_LE(extraRoots, extraObjects);
    std::cout << "only in the dump: " << extraObjects << " objects under " << extraRoots << " roots, of "
              << dump.objects.size() << std::endl;

    const auto walkFields = walk.StaticFields(), dumpFields = dump.StaticFields();
    EXPECT_GE(walkFields.size(), 7u);
    std::vector<std::string> differences;
    for (const auto& [field, ref] : walkFields) {
        auto other = dumpFields.find(field);
        if (other == dumpFields.end())
            differences.push_back(field + " missing");
        else
            CompareBelow(walk, *ref, dump, *other->second, 5, field, differences);
    }
    EXPECT_EQ(walkFields.size(), dumpFields.size());
    if (differences.size() > 20) differences.resize(20);
    EXPECT_TRUE(differences.empty()) << ::testing::PrintToString(differences);

    // The walk's metrics, in order; the heap-walk ones time the dump.
    EXPECT_EQ(dump.metrics, walk.metrics);
    EXPECT_EQ(dump.props.at(".$L$last.snapshot.heapwalk.heap.objects.count"), std::to_string(dump.objects.size()));
    EXPECT_GE(std::stoll(dump.props.at(".$T$last.snapshot.untag.start.time")),
              std::stoll(dump.props.at(".$T$last.snapshot.heapwalk.end.time")));
}

INSTANTIATE_TEST_SUITE_P(Layouts, DumpSourceTest, ::testing::Values(0, 1));

// Names in dir that begin with prefix.
std::vector<std::string> FilesLike(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> found;
    if (DIR* listing = opendir(dir.c_str())) {
        while (dirent* entry = readdir(listing))
            if (std::string(entry->d_name).rfind(prefix, 0) == 0) found.push_back(entry->d_name);
        closedir(listing);
    }
    return found;
}

TEST(DumpSourceCancelTest, LeavesNoFileBehind) {
    const int port = FreePort();
    TempDir config;
    const std::string log = config.File("agent.log");
    const std::string properties =
        config.Write("agent.properties", "vesk.agent.log.level=DEBUG\nvesk.agent.log.file=" + log + "\n");
    JavaProcess jvm({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1,cfgfile=" + properties),
                     "-Xmx512m"},
                    "dumpsrc.DumpSourceFixture", {"1500000"});
    ASSERT_TRUE(jvm.WaitForOutput("dumpsrc ready", 60000) && WaitForPort(port, 30000)) << jvm.Stderr();
    VeskClient client;
    for (int attempt = 0;; attempt++) {
        try {
            // The port probe's connection may still be winding down: the answer says.
            client.Connect("127.0.0.1", port);
            client.SetReadTimeout(600000);
            client.Send("<vesk-cmd tag=\"0\"><cmd name=\"RUNTIME\"/></vesk-cmd>");
            client.ReadResponse();
            break;
        } catch (const vesk::ClientError& e) {
            if (e.Kind() != vesk::ErrorKind::Rejected || attempt == 50) throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    client.Send("<vesk-cmd tag=\"1\"><cmd name=\"SNAPSHOT\" source=\"dump\"/></vesk-cmd>");
    // Cancelled once the conversion has begun: the agent stops it, or, had
    // it ended, the sending, which waits on this reader.
    for (int waited = 0; ReadFile(log).find("Converting heap dump") == std::string::npos; waited += 20) {
        ASSERT_LT(waited, 600000) << ReadFile(log);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    client.SendAbort();
    std::string error;
    try {
        for (const Frame& frame : client.ReadResponse()) error += frame.bytes;
    } catch (const vesk::ClientError& e) {
        error = e.what();
    }
    EXPECT_NE(error.find("Operation cancelled by user"), std::string::npos) << error.substr(0, 400);
    // The request's end removes the snapshot files: the next request waits for it.
    client.Send("<vesk-cmd tag=\"2\"><cmd name=\"RUNTIME\"/></vesk-cmd>");
    client.ReadResponse();
    EXPECT_EQ(FilesLike("/dev/shm", "VESKDUMP_" + std::to_string(jvm.Pid()) + "_"), std::vector<std::string>());
    EXPECT_EQ(FilesLike(jvm.Dir().Path(), "VESK"), std::vector<std::string>());
}

}  // namespace
