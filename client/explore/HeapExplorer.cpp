#include "explore/HeapExplorer.h"

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstdlib>
#include <regex>
#include <unordered_map>

#include "base/ClientError.h"
#include "heap/ClassGroups.h"
#include "heap/HeapDiff.h"
#include "heap/HeapText.h"
#include "report/Treemap.h"

namespace vesk {

namespace {

// A request the API refuses: its status and one line.
struct Refusal {
    int status;
    std::string message;
};

[[noreturn]] void Refuse(int status, const std::string& message) { throw Refusal{status, message}; }

std::string Param(const std::map<std::string, std::string>& query, const std::string& name,
                         const std::string& fallback = "") {
    auto found = query.find(name);
    return found != query.end() ? found->second : fallback;
}

uint64_t Number(const std::map<std::string, std::string>& query, const std::string& name, uint64_t fallback,
                uint64_t most = UINT64_MAX) {
    auto found = query.find(name);
    if (found == query.end()) return fallback;
    const std::string& text = found->second;
    char* end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(text.c_str(), &end, 10);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || errno == ERANGE || n > most)
        Refuse(400, name + ": expected a whole number up to " + std::to_string(most) + ", not '" + text + "'");
    return n;
}

const uint64_t MOST_ROWS = 10000;
uint64_t Offset(const std::map<std::string, std::string>& query) { return Number(query, "offset", 0); }
uint64_t Limit(const std::map<std::string, std::string>& query, uint64_t fallback = 100) {
    return Number(query, "limit", fallback, MOST_ROWS);
}

// One of the words allowed, the first by default.
std::string Choice(const std::map<std::string, std::string>& query, const std::string& name,
                   const std::vector<std::string>& words) {
    std::string text = Param(query, name, words.front());
    if (std::find(words.begin(), words.end(), text) == words.end()) {
        std::string list;
        for (const std::string& word : words) list += (list.empty() ? "" : "|") + word;
        Refuse(400, name + ": expected " + list + ", not '" + text + "'");
    }
    return text;
}

std::regex Pattern(const std::string& name, const std::string& text) {
    try {
        return std::regex(text, std::regex::ECMAScript | std::regex::optimize);
    } catch (const std::regex_error& e) {
        Refuse(400, name + ": not a regular expression: " + text);
    }
}

// Largest retained first, then by node.
struct ByRetained {
    const DominatorTree& tree;
    bool operator()(NodeId a, NodeId b) const {
        uint64_t ra = tree.Retained(a), rb = tree.Retained(b);
        return ra != rb ? ra > rb : a < b;
    }
};

// nodes[offset, offset + limit) in order, the rest left unordered.
void OrderPage(std::vector<NodeId>& nodes, uint64_t offset, uint64_t limit, const DominatorTree& tree) {
    size_t end = static_cast<size_t>(std::min<uint64_t>(nodes.size(), offset + limit));
    std::partial_sort(nodes.begin(), nodes.begin() + static_cast<ptrdiff_t>(end), nodes.end(), ByRetained{tree});
}

}  // namespace

HeapExplorer::HeapExplorer(std::unique_ptr<HeapGraph> graphIn, std::unique_ptr<DominatorTree> treeIn,
                           std::unique_ptr<HeapDetails> detailsIn, const HeapOrigin& origin, const OlderHeap* older,
                           std::unique_ptr<HeapInput> inputIn)
    : input(std::move(inputIn)),
      graphOwned(std::move(graphIn)),
      graph(*graphOwned),
      treeOwned(std::move(treeIn)),
      tree(*treeOwned),
      details(std::move(detailsIn)),
      instances(graph, tree) {
    // Every call names objects by tag.
    graphOwned->OrderTags();
    overview = {{"source", origin.source}, {"kind", origin.kind}};
    Json totals = SummaryJson(SummarizeHeap(graph, tree));
    overview.insert(totals.begin(), totals.end());
    size_t classes = 0;
    for (const ClassTotals& row : graph.Histogram()) classes += row.instances > 0;
    overview["classes"] = classes;
    overview["threads"] = details->Threads().size();
    overview["values"] = details->HasValues();
    overview["compare"] = older != nullptr;
    if (older) overview["reachableBefore"] = older->reachable;
    if (!older) return;
    Json rows = Json::array();
    for (const ClassDelta& row : DiffClasses(older->classes, tree.ByClass())) rows.push_back(ClassDeltaJson(row, true));
    diffRows = std::move(rows);
    Json holders = Json::array();
    for (const HolderChange& holder : GrownHolders(older->holders, graph, tree, 10))
        holders.push_back(GrownHolderJson(graph, holder));
    grownHolders = std::move(holders);
    // As suspects OLD NEW finds them by default.
    growth = Growth{older->reachable, GrowthSuspects(older->holders, graph, tree, GROWTH_SUSPECT_PERCENT, 0, 20)};
}

ApiAnswer HeapExplorer::Handle(const std::string& path, const Query& query) const {
    typedef Json (HeapExplorer::*Call)(const Query&) const;
    static const std::map<std::string, Call> calls = {
        {"/api/summary", &HeapExplorer::Summary},
        {"/api/histogram", &HeapExplorer::Histogram},
        {"/api/instances", &HeapExplorer::Instances},
        {"/api/children", &HeapExplorer::Children},
        {"/api/treemap", &HeapExplorer::Treemap},
        {"/api/object", &HeapExplorer::Object},
        {"/api/refs", &HeapExplorer::Refs},
        {"/api/path", &HeapExplorer::Path},
        {"/api/merged-paths", &HeapExplorer::MergedPathsOf},
        {"/api/immediate-dominators", &HeapExplorer::ImmediateDominatorsOf},
        {"/api/retained-set", &HeapExplorer::RetainedSet},
        {"/api/threads", &HeapExplorer::Threads},
        {"/api/suspects", &HeapExplorer::Suspects},
        {"/api/diff", &HeapExplorer::Diff},
    };
    auto error = [](int status, const std::string& message) {
        return ApiAnswer{status, nlohmann::json{{"error", message}}.dump()};
    };
    auto call = calls.find(path);
    if (call == calls.end()) return error(404, "no such call: " + path);
    try {
        return {200, (this->*call->second)(query).dump()};
    } catch (const Refusal& refusal) {
        return error(refusal.status, refusal.message);
    } catch (const std::bad_alloc&) {
        return error(500, "out of memory");
    } catch (const std::exception& e) {
        return error(500, e.what());
    }
}

NodeId HeapExplorer::NodeOf(const Query& query) const {
    std::string text = Param(query, "tag");
    if (text.empty()) Refuse(400, "tag: missing");
    uint64_t tag = 0;
    if (!ParseTag(text, &tag)) Refuse(400, "tag: not a tag (hexadecimal): " + text);
    NodeId node = graph.FindTag(tag);
    if (node == NO_NODE) Refuse(404, "no object with tag " + text);
    return node;
}

HeapExplorer::Json HeapExplorer::ObjectRow(NodeId node) const {
    return {{"tag", HexTag(graph.Tag(node))},
            {"class", NodeLabel(graph, node)},
            {"shallow", graph.ShallowSize(node)},
            {"retained", tree.Retained(node)}};
}

HeapExplorer::~HeapExplorer() {
    stopping = true;
}

void HeapExplorer::Prepare() {
    // Cheapest and most asked for first; the grouped rows before the
    // referrers and paths, so that their working memory comes while less is
    // kept; the findings borrow the children and paths. A failure here is
    // the call's to meet again.
    preparing.Start([this] {
        std::vector<std::function<void()>> steps = {
            [this] { Children(); },
            [this] { Rows(BY_PACKAGE); },
            [this] { Rows(BY_LOADER); },
            [this] { Rows(BY_SUPERCLASS); },
            [this] { Referrers(); },
            [this] { Paths(); },
            [this] { Suspects({}); },
        };
        for (const auto& step : steps) {
            if (stopping) return;
            try {
                step();
            } catch (const std::exception&) {
            }
        }
    });
}

const DominatorChildren& HeapExplorer::Children() const {
    std::call_once(childrenOnce, [this] { children = std::make_unique<DominatorChildren>(tree, graph.NodeCount()); });
    return *children;
}

const ReferrerIndex& HeapExplorer::Referrers() const {
    std::call_once(referrersOnce, [this] { referrers = std::make_unique<ReferrerIndex>(graph); });
    return *referrers;
}

const PathFinder& HeapExplorer::Paths() const {
    std::call_once(pathsOnce, [this] { paths = std::make_unique<PathFinder>(graph, Referrers()); });
    return *paths;
}

HeapExplorer::Json HeapExplorer::Summary(const Query&) const { return overview; }

const ClassGroups& HeapExplorer::Groups(Grouping grouping) const {
    std::call_once(groupsOnce[grouping],
                   [this, grouping] { groups[grouping] = GroupClasses(graph, static_cast<ClassGrouping>(grouping)); });
    return groups[grouping];
}

const std::vector<GroupRow>& HeapExplorer::Rows(Grouping grouping) const {
    std::call_once(rowsOnce[grouping], [this, grouping] {
        std::vector<GroupRow>& out = rows[grouping];
        if (grouping == BY_CLASS) {
            // Classes of one name (several loaders) are one row, as a set names them.
            std::unordered_map<std::string, size_t> at;
            for (const ClassTotals& row : tree.ByClass()) {
                auto found = at.emplace(row.name, out.size());
                if (found.second) out.push_back({row.name, {}});
                GroupTotals& totals = out[found.first->second].totals;
                totals.instances += row.instances;
                totals.shallow += row.bytes;
                totals.retained += row.retained;
            }
            return;
        }
        for (GroupRow& row : GroupHistogram(graph, tree, Children(), Groups(grouping)))
            out.push_back(std::move(row));
    });
    return rows[grouping];
}

std::shared_ptr<const std::vector<uint32_t>> HeapExplorer::SortedRows(Grouping grouping, const Query& query) const {
    std::string sort = Choice(query, "sort", {"retained", "name", "instances", "shallow"});
    std::string order = Choice(query, "order", {sort == "name" ? "asc" : "desc", sort == "name" ? "desc" : "asc"});
    std::string filter = Param(query, "filter");
    std::regex pattern = Pattern("filter", filter);
    std::string key = std::to_string(grouping) + " " + sort + " " + order + " " + filter;
    {
        std::lock_guard<std::mutex> lock(viewsLock);
        auto found = views.find(key);
        if (found != views.end()) return found->second;
    }
    const std::vector<GroupRow>& all = Rows(grouping);
    auto view = std::make_shared<std::vector<uint32_t>>();
    for (size_t i = 0; i < all.size(); i++)
        if (filter.empty() || std::regex_search(all[i].name, pattern)) view->push_back(static_cast<uint32_t>(i));
    auto value = [&sort](const GroupRow& row) {
        return sort == "instances" ? row.totals.instances : sort == "shallow" ? row.totals.shallow : row.totals.retained;
    };
    bool descending = order == "desc";
    std::stable_sort(view->begin(), view->end(), [&](uint32_t a, uint32_t b) {
        const GroupRow &x = all[a], &y = all[b];
        if (sort != "name" && value(x) != value(y)) return descending ? value(x) > value(y) : value(x) < value(y);
        if (x.name != y.name) return (sort == "name" && descending) ? x.name > y.name : x.name < y.name;
        return false;
    });
    std::lock_guard<std::mutex> lock(viewsLock);
    // A few hundred views at most; beyond, start afresh.
    if (views.size() >= 256) views.clear();
    return views.emplace(key, std::move(view)).first->second;
}

static const std::vector<std::string>& GROUP_WORDS = GroupingWords();

HeapExplorer::Json HeapExplorer::Histogram(const Query& query) const {
    std::string group = Choice(query, "group", GROUP_WORDS);
    Grouping grouping = static_cast<Grouping>(std::find(GROUP_WORDS.begin(), GROUP_WORDS.end(), group) - GROUP_WORDS.begin());
    uint64_t offset = Offset(query), limit = Limit(query);
    std::shared_ptr<const std::vector<uint32_t>> view = SortedRows(grouping, query);
    const std::vector<GroupRow>& all = Rows(grouping);
    Json out = {{"total", view->size()}, {"rows", Json::array()}};
    for (uint64_t i = offset; i < view->size() && i - offset < limit; i++) {
        const GroupRow& row = all[(*view)[i]];
        out["rows"].push_back({{"name", row.name},
                               {"instances", row.totals.instances},
                               {"shallow", row.totals.shallow},
                               {"retained", row.totals.retained}});
    }
    return out;
}

std::vector<uint32_t> HeapExplorer::SetClasses(const Query& query) const {
    for (size_t g = 0; g < GROUP_WORDS.size(); g++) {
        auto named = query.find(GROUP_WORDS[g]);
        if (named == query.end()) continue;
        const std::vector<uint32_t>& groupOf = Groups(static_cast<Grouping>(g)).groupOf;
        const std::vector<std::string>& names = Groups(static_cast<Grouping>(g)).names;
        auto name = std::find(names.begin(), names.end(), named->second);
        if (name == names.end()) Refuse(404, "no " + named->first + " " + named->second);
        std::vector<uint32_t> classes;
        for (uint32_t c = 0; c < groupOf.size(); c++)
            if (groupOf[c] == static_cast<uint32_t>(name - names.begin())) classes.push_back(c);
        return classes;
    }
    Refuse(400, "name a set: class=, package=, loader= or superclass=");
}

std::vector<NodeId> HeapExplorer::SetOf(const Query& query) const { return instances.Of(SetClasses(query)); }

HeapExplorer::Json HeapExplorer::Instances(const Query& query) const {
    uint64_t offset = Offset(query), limit = Limit(query);
    std::vector<uint32_t> classes = SetClasses(query);
    // One class's instances are kept in order; several are merged.
    std::shared_ptr<const ClassInstances::Largest> ordered;
    std::vector<NodeId> merged;
    const NodeId *begin, *end;
    uint64_t total;
    if (classes.size() == 1) {
        ordered = instances.Ordered(classes[0], offset > UINT64_MAX - limit ? UINT64_MAX : offset + limit);
        begin = ordered->nodes.data();
        end = begin + ordered->nodes.size();
        total = ordered->instances;
    } else {
        merged = instances.Of(classes);
        OrderPage(merged, offset, limit, tree);
        begin = merged.data();
        end = begin + merged.size();
        total = merged.size();
    }
    Json out = {{"total", total}, {"rows", Json::array()}};
    const uint64_t have = static_cast<uint64_t>(end - begin);
    for (uint64_t i = offset; i < have && i - offset < limit; i++) out["rows"].push_back(ObjectRow(begin[i]));
    return out;
}

HeapExplorer::Json HeapExplorer::Children(const Query& query) const {
    NodeId parent = Param(query, "tag") == "root" ? DominatorTree::VIRTUAL_ROOT : NodeOf(query);
    bool byClass = Choice(query, "group", {"none", "class"}) == "class";
    uint64_t offset = Offset(query), limit = Limit(query);
    const DominatorChildren& children = Children();
    std::vector<NodeId> kids(children.Begin(parent), children.End(parent));
    auto named = query.find("class");
    if (named != query.end())
        kids.erase(std::remove_if(kids.begin(), kids.end(),
                                  [&](NodeId node) { return graph.ClassName(node) != named->second; }),
                   kids.end());
    Json out = {{"tag", parent == DominatorTree::VIRTUAL_ROOT ? "root" : HexTag(graph.Tag(parent))}};
    Json rows = Json::array();
    if (byClass) {
        std::unordered_map<uint32_t, size_t> at;
        std::vector<std::pair<uint32_t, GroupTotals>> groups;
        for (NodeId node : kids) {
            auto found = at.emplace(graph.ClassOf(node), groups.size());
            if (found.second) groups.push_back({graph.ClassOf(node), {}});
            GroupTotals& totals = groups[found.first->second].second;
            totals.instances++;
            totals.shallow += static_cast<int64_t>(graph.ShallowSize(node));
            totals.retained += static_cast<int64_t>(tree.Retained(node));
        }
        std::sort(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
            return a.second.retained != b.second.retained ? a.second.retained > b.second.retained : a.first < b.first;
        });
        out["total"] = groups.size();
        for (uint64_t i = offset; i < groups.size() && i - offset < limit; i++) {
            uint32_t cls = groups[i].first;
            rows.push_back({{"class", cls == NO_CLASS ? "?" : graph.Classes()[cls].name},
                            {"count", groups[i].second.instances},
                            {"shallow", groups[i].second.shallow},
                            {"retained", groups[i].second.retained}});
        }
    } else {
        OrderPage(kids, offset, limit, tree);
        out["total"] = kids.size();
        for (uint64_t i = offset; i < kids.size() && i - offset < limit; i++) {
            Json row = ObjectRow(kids[i]);
            row["children"] = children.End(kids[i]) - children.Begin(kids[i]);
            rows.push_back(std::move(row));
        }
    }
    out["rows"] = std::move(rows);
    return out;
}

HeapExplorer::Json HeapExplorer::Treemap(const Query& query) const {
    NodeId parent = Param(query, "tag") == "root" ? DominatorTree::VIRTUAL_ROOT : NodeOf(query);
    const DominatorChildren& children = Children();
    auto below = [&](int64_t node) {
        std::vector<TreemapNode> kids;
        NodeId at = static_cast<NodeId>(node);
        for (const NodeId* kid = children.Begin(at); kid != children.End(at); ++kid)
            kids.push_back({*kid, tree.Retained(*kid)});
        return kids;
    };
    TreemapOptions options;
    options.width = static_cast<double>(Number(query, "width", 1200, 4000));
    options.height = static_cast<double>(Number(query, "height", 640, 4000));
    options.maxDepth = 3;
    options.maxCells = 800;
    auto tenth = [](double v) { return std::round(v * 10) / 10; };
    Json cells = Json::array();
    for (const TreemapCell& cell : LayoutTreemap(below(parent), below, options)) {
        Json entry = cell.node == TreemapCell::OTHER
                         ? Json{{"merged", cell.merged}, {"retained", cell.size}}
                         : Json{{"tag", HexTag(graph.Tag(static_cast<NodeId>(cell.node)))},
                                {"class", NodeLabel(graph, static_cast<NodeId>(cell.node))},
                                {"retained", cell.size}};
        entry["x"] = tenth(cell.rect.x);
        entry["y"] = tenth(cell.rect.y);
        entry["w"] = tenth(cell.rect.width);
        entry["h"] = tenth(cell.rect.height);
        entry["depth"] = cell.depth;
        entry["parent"] = cell.parent;
        cells.push_back(std::move(entry));
    }
    return {{"tag", parent == DominatorTree::VIRTUAL_ROOT ? "root" : HexTag(graph.Tag(parent))},
            {"width", options.width},
            {"height", options.height},
            {"cells", std::move(cells)}};
}

HeapExplorer::Json HeapExplorer::Object(const Query& query) const {
    NodeId node = NodeOf(query);
    uint64_t offset = Offset(query), limit = Limit(query);
    Json out = ObjectRow(node);
    out["reachable"] = tree.Reachable(node);
    out["values"] = details->HasValues();
    // Nearest first, up to the virtual root; a very deep chain is cut.
    const size_t MOST_DOMINATORS = 1000;
    Json& dominators = out["dominators"] = Json::array();
    for (NodeId at = tree.Dominator(node);
         at != DominatorTree::VIRTUAL_ROOT && at != NO_NODE && dominators.size() < MOST_DOMINATORS;
         at = tree.Dominator(at))
        dominators.push_back(ObjectRow(at));
    int64_t length = details->Length(node);
    Json& fields = out["fields"] = Json::array();
    // An array's elements are paged; an instance's fields come whole.
    for (const FieldView& field : length >= 0 ? details->Fields(node, offset, limit) : details->Fields(node)) {
        Json entry = {{"name", field.name}, {"type", field.type}};
        if (field.hasValue) entry["value"] = field.value;
        if (field.target != NO_NODE) entry["tag"] = HexTag(graph.Tag(field.target));
        fields.push_back(std::move(entry));
    }
    if (length >= 0) out["length"] = length;
    return out;
}

HeapExplorer::Json HeapExplorer::Refs(const Query& query) const {
    NodeId node = NodeOf(query);
    bool incoming = Choice(query, "dir", {"out", "in"}) == "in";
    uint64_t offset = Offset(query), limit = Limit(query);
    Json rows = Json::array();
    uint64_t total;
    if (incoming) {
        const ReferrerIndex& index = Referrers();
        const NodeId* begin = index.Begin(node);
        total = static_cast<uint64_t>(index.End(node) - begin);
        for (uint64_t i = offset; i < total && i - offset < limit; i++) {
            NodeId from = begin[i];
            // A referrer listed k times names its k references to node in order.
            uint64_t k = 0;
            while (k < i && begin[i - k - 1] == from) k++;
            std::string via;
            for (const HeapEdge* e = graph.EdgesBegin(from); e != graph.EdgesEnd(from); ++e)
                if (e->target == node && k-- == 0) {
                    via = ViaText(graph, from, *e);
                    break;
                }
            rows.push_back({{"tag", HexTag(graph.Tag(from))}, {"class", NodeLabel(graph, from)}, {"via", via}});
        }
    } else {
        const HeapEdge* begin = graph.EdgesBegin(node);
        total = static_cast<uint64_t>(graph.EdgesEnd(node) - begin);
        for (uint64_t i = offset; i < total && i - offset < limit; i++)
            rows.push_back({{"tag", HexTag(graph.Tag(begin[i].target))},
                            {"class", NodeLabel(graph, begin[i].target)},
                            {"via", ViaText(graph, node, begin[i])}});
    }
    return {{"total", total}, {"rows", std::move(rows)}};
}

HeapExplorer::Json HeapExplorer::Path(const Query& query) const {
    NodeId node = NodeOf(query);
    return PathJson(graph, Paths().ShortestPath(node), node, tree.Retained(node));
}

HeapExplorer::Json HeapExplorer::MergedPathsOf(const Query& query) const {
    size_t objects = 0;
    MergedPaths merged;
    {
        MarkedNodes members = instances.Marked(SetClasses(query));
        objects = members.Count();
        merged = MergeShortestPaths(graph, Paths(), members);
    }
    const PathFinder& finder = Paths();
    uint64_t limit = Limit(query, 20);
    auto below = [&](uint32_t first) {
        std::vector<uint32_t> nodes;
        for (uint32_t at = first; at != MergedNode::NONE; at = merged.nodes[at].sibling) nodes.push_back(at);
        return nodes;
    };
    auto wider = [&](uint32_t a, uint32_t b) {
        const MergedNode &x = merged.nodes[a], &y = merged.nodes[b];
        return x.objects != y.objects ? x.objects > y.objects : a < b;
    };
    // The widest branches of each node, level by level, until the document
    // holds so many nodes; what is left out is counted in "more".
    const size_t MOST_NODES = 2000;
    std::vector<bool> shown(merged.nodes.size());
    size_t count = 0;
    std::vector<uint32_t> level, next;
    auto take = [&](std::vector<uint32_t> kids) {
        std::sort(kids.begin(), kids.end(), wider);
        for (size_t k = 0; k < kids.size() && k < limit && count < MOST_NODES; k++, count++) {
            shown[kids[k]] = true;
            next.push_back(kids[k]);
        }
    };
    take(below(merged.top));
    while (!next.empty() && count < MOST_NODES) {
        level.swap(next);
        next.clear();
        for (uint32_t node : level) take(below(merged.nodes[node].child));
    }
    // The shown among the nodes from first on, and how many are not: the
    // tops widest first, the nodes below them in the order found.
    std::function<Json(uint32_t, size_t*)> list = [&](uint32_t first, size_t* more) {
        std::vector<uint32_t> places = below(first);
        if (first == merged.top) std::sort(places.begin(), places.end(), wider);
        else std::sort(places.begin(), places.end());
        Json out = Json::array();
        for (uint32_t at : places) {
            if (!shown[at]) continue;
            const MergedNode& place = merged.nodes[at];
            Json entry = {{"class", NodeLabel(graph, place.example)}};
            NodeId from = finder.Parent(place.example);
            int32_t via = MergedVia(graph, finder, place.example);
            if (from == NO_NODE) {
                entry["root"] = RootKindName(static_cast<RootKind>(via));
                entry["via"] = "";
            } else {
                entry["via"] = via == MergedNode::ELEMENT ? "[]" : ViaText(graph, from, {place.example, via});
            }
            entry["objects"] = place.objects;
            size_t hidden = 0;
            entry["children"] = list(place.child, &hidden);
            if (hidden > 0) entry["more"] = hidden;
            out.push_back(std::move(entry));
        }
        *more = places.size() - out.size();
        return out;
    };
    size_t more = 0;
    Json children = list(merged.top, &more);
    Json out = {{"objects", objects}, {"unreachable", merged.unreachable}, {"children", children}};
    if (more > 0) out["more"] = more;
    return out;
}

HeapExplorer::Json HeapExplorer::ImmediateDominatorsOf(const Query& query) const {
    std::vector<NodeId> members = SetOf(query);
    std::regex skip = Pattern("skip", Param(query, "skip", "^java\\.|^jdk\\.|^sun\\."));
    // Each class's answer once: -1 not asked yet.
    std::vector<int8_t> skipped(graph.Classes().size(), -1);
    auto skipOf = [&](NodeId node) {
        uint32_t cls = graph.DescribedClass(node);
        if (cls == NO_CLASS) cls = graph.ClassOf(node);
        if (cls == NO_CLASS) return false;
        if (skipped[cls] < 0) skipped[cls] = std::regex_search(graph.Classes()[cls].name, skip) ? 1 : 0;
        return skipped[cls] == 1;
    };
    Json rows = Json::array();
    for (const DominatorGroup& group : ImmediateDominators(graph, tree, members, skipOf))
        rows.push_back({{"class", group.label},
                        {"objects", group.objects},
                        {"dominated", group.dominated},
                        {"retained", group.retained}});
    return {{"objects", members.size()}, {"rows", std::move(rows)}};
}

HeapExplorer::Json HeapExplorer::RetainedSet(const Query& query) const {
    uint64_t offset = Offset(query), limit = Limit(query);
    std::vector<NodeId> members = SetOf(query);
    std::vector<NodeId> tops = TopMembers(tree, graph.NodeCount(), members);
    uint64_t retained = 0;
    for (NodeId node : tops) retained += tree.Retained(node);
    const std::vector<uint32_t>& byClass = Groups(BY_CLASS).groupOf;
    const std::vector<std::string>& names = Groups(BY_CLASS).names;
    std::vector<GroupTotals> totals = SubtreeTotals(graph, tree, Children(), tops, byClass, names.size());
    std::vector<uint32_t> order;
    for (uint32_t g = 0; g < totals.size(); g++)
        if (totals[g].instances > 0) order.push_back(g);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return totals[a].shallow != totals[b].shallow ? totals[a].shallow > totals[b].shallow : names[a] < names[b];
    });
    Json out = {{"objects", members.size()}, {"retained", retained}, {"total", order.size()}, {"rows", Json::array()}};
    for (uint64_t i = offset; i < order.size() && i - offset < limit; i++) {
        const GroupTotals& row = totals[order[i]];
        out["rows"].push_back(
            {{"name", names[order[i]]}, {"instances", row.instances}, {"shallow", row.shallow}, {"retained", row.retained}});
    }
    return out;
}

HeapExplorer::Json HeapExplorer::Threads(const Query&) const {
    auto local = [this](NodeId node) {
        return Json{{"tag", HexTag(graph.Tag(node))}, {"class", NodeLabel(graph, node)}, {"retained", tree.Retained(node)}};
    };
    Json threads = Json::array();
    for (const ThreadView& view : details->Threads()) {
        Json thread = {{"tag", view.node == NO_NODE ? "" : HexTag(graph.Tag(view.node))},
                       {"name", view.name},
                       {"retained", view.node == NO_NODE ? 0 : tree.Retained(view.node)}};
        Json& frames = thread["frames"] = Json::array();
        for (const FrameView& frame : view.frames) {
            Json locals = Json::array();
            for (NodeId node : frame.locals) locals.push_back(local(node));
            frames.push_back({{"method", frame.method}, {"source", frame.source}, {"line", frame.line}, {"locals", locals}});
        }
        threads.push_back(std::move(thread));
    }
    return {{"threads", std::move(threads)}};
}

HeapExplorer::Json HeapExplorer::Suspects(const Query&) const {
    std::call_once(findingsOnce, [this] {
        // The explorer's own children and paths: no second copy beside them.
        HeapFindings found = FindProblems(graph, tree, FindingsOptions(), &Children(), &Paths());
        findings = FindingsJson(graph, found, growth ? &*growth : nullptr);
    });
    return *findings;
}

HeapExplorer::Json HeapExplorer::Diff(const Query& query) const {
    if (!diffRows) Refuse(404, "no earlier heap to compare with (give NEW)");
    uint64_t offset = Offset(query), limit = Limit(query, 50);
    Json rows = Json::array();
    for (uint64_t i = offset; i < diffRows->size() && i - offset < limit; i++) rows.push_back((*diffRows)[i]);
    return {{"total", diffRows->size()}, {"rows", std::move(rows)}, {"holders", *grownHolders}};
}

}  // namespace vesk
