#include "doctest.h"

#include <string>
#include <vector>

#include "app/recording_setup.h"
#include "base/text.h"
#include "platform/memory.h"
#include "support/test_random.h"
#include "support/text_check.h"
#include "views/process_tree.h"
#include "views/row_store.h"

using namespace olv;

namespace {

// The placement as it was first written: whole passes over the nodes until one places nothing,
// each looking its parent up from the start. Quadratic per pass; kept here as the reference the
// linear placement must agree with, insertion for insertion.
struct Insertion {
    int32_t node;
    int32_t parent; // -1: root
    bool operator==(const Insertion&) const = default;
};

struct Log {
    std::vector<Insertion> insertions;
    const ProcessTreeNode* nodes;
    uint32_t failPid; // an insertion of this pid fails (0: none fails)
};

void* Record(void* context, const ProcessTreeNode* node, void* parentItem) {
    Log& log = *static_cast<Log*>(context);
    const int32_t parent =
        parentItem == nullptr ? -1 : static_cast<int32_t>(static_cast<const ProcessTreeNode*>(parentItem) - log.nodes);
    log.insertions.push_back({static_cast<int32_t>(node - log.nodes), parent});
    return node->pid == log.failPid && log.failPid != 0 ? nullptr
                                                        : const_cast<ProcessTreeNode*>(node);
}

void ReferencePlace(ProcessTreeNode* nodes, int32_t count, Log* log) {
    bool progress = true;
    while (progress) {
        progress = false;
        for (int32_t i = 0; i < count; ++i) {
            ProcessTreeNode& node = nodes[i];
            if (node.placed != 0) continue;
            int32_t parent = -1;
            for (int32_t p = 0; p < count; ++p) {
                if (nodes[p].pid == node.parentPid) {
                    parent = p;
                    break;
                }
            }
            void* parentItem = nullptr;
            if (parent >= 0) {
                if (nodes[parent].placed == 0 || nodes[parent].item == nullptr) continue;
                parentItem = nodes[parent].item;
            }
            node.item = Record(log, &node, parentItem);
            node.placed = 1;
            progress = true;
        }
    }
    for (int32_t i = 0; i < count; ++i) {
        if (nodes[i].placed != 0) continue;
        nodes[i].item = Record(log, &nodes[i], nullptr);
        nodes[i].placed = 1;
    }
}

struct Rows {
    Recording* app = AllocRecord<Recording>();
    explicit Rows(int32_t capacity) {
        InitRecording(app);
        ReserveRows(app, capacity);
    }
    ~Rows() {
        CleanUpRecording(app);
        FreeBlock(app);
    }
    void Start(uint32_t pid, uint32_t parent) {
        EventRow row{};
        row.category = kCategoryProcess;
        row.pid = pid;
        row.parentPid = parent;
        CopyBounded(row.process, kProcessChars, u"p.exe");
        AppendRow(app, &row);
    }
    void Decoy() {
        EventRow row{};
        row.category = kCategoryFile;
        AppendRow(app, &row);
    }
};

std::vector<ProcessTreeNode> Nodes() {
    return std::vector<ProcessTreeNode>(kProcessTreeNodes);
}

} // namespace

TEST_CASE("the linear placement inserts exactly what whole passes would, failures and loops too") {
    TestRandom random{0x7EEu};
    for (int trial = 0; trial < 2000; ++trial) {
        CAPTURE(trial);
        const int32_t count = 1 + static_cast<int32_t>(random.Below(40));
        const uint32_t pidRange = 1 + random.Below(60); // small ranges give reused parent pids
        std::vector<ProcessTreeNode> a(count);
        for (int32_t i = 0; i < count; ++i) {
            a[i] = ProcessTreeNode{};
            a[i].pid = 1 + random.Below(pidRange);
            // Mostly a parent among the nodes, sometimes itself or one that is not there.
            const uint32_t kind = random.Below(10);
            a[i].parentPid = kind == 0 ? a[i].pid
                             : kind == 1 ? 1000 + random.Below(3)
                                         : 1 + random.Below(pidRange);
        }
        std::vector<ProcessTreeNode> b = a;
        const uint32_t failPid = random.Below(3) == 0 ? 1 + random.Below(pidRange) : 0;
        Log expected{{}, a.data(), failPid};
        Log got{{}, b.data(), failPid};
        ReferencePlace(a.data(), count, &expected);
        CHECK(PlaceProcessTree(b.data(), count, Record, &got) == count);
        REQUIRE(got.insertions.size() == expected.insertions.size());
        CHECK(got.insertions == expected.insertions);
    }
}

TEST_CASE("4,096 processes in one parent chain are collected and placed in linear steps") {
    constexpr int32_t n = kProcessTreeNodes;
    // Each child's start row comes before its parent's: whole passes would need one pass per
    // generation (n passes over n nodes); a decoy row of another category between each pair.
    for (const bool childFirst : {true, false}) {
        CAPTURE(childFirst);
        Rows rows(3 * n);
        for (int32_t k = 0; k < n; ++k) {
            const int32_t i = childFirst ? n - 1 - k : k;
            rows.Start(4u * (i + 1), i == 0 ? 7u : 4u * i);
            rows.Decoy();
        }
        rows.Start(8, 4); // pid reuse: ignored, and not a node past the capacity either
        std::vector<ProcessTreeNode> nodes = Nodes();
        uint64_t collectSteps = 0;
        const int32_t count =
            CollectProcessTreeNodes(rows.app, nodes.data(), kProcessTreeNodes, &collectSteps);
        REQUIRE(count == n);
        Log log{{}, nodes.data(), 0};
        uint64_t placeSteps = 0;
        CHECK(PlaceProcessTree(nodes.data(), count, Record, &log, &placeSteps) == n);
        // Rows read plus a few bucket probes each; a few visits of each node.
        CHECK(collectSteps <= 4 * static_cast<uint64_t>(rows.app->rowCount));
        CHECK(placeSteps <= 12 * static_cast<uint64_t>(n));
        // Every process under its parent, the program at the root, parents before children.
        REQUIRE(log.insertions.size() == static_cast<size_t>(n));
        std::vector<bool> placed(n, false);
        for (const Insertion& in : log.insertions) {
            const ProcessTreeNode& node = nodes[in.node];
            if (node.pid == 4) {
                CHECK(in.parent == -1);
            } else {
                REQUIRE(in.parent >= 0);
                CHECK(nodes[in.parent].pid == node.parentPid);
                CHECK(placed[in.parent]);
            }
            placed[in.node] = true;
        }
    }
}

TEST_CASE("a tree item shows its name with hidden characters marked") {
    ProcessTreeNode node{};
    node.pid = 4242;
    CopyBounded(node.name, 64, u"evil\u202Eexe.txt");
    char16_t text[kProcessTreeItemChars];
    ProcessTreeItemText(&node, text, kProcessTreeItemChars);
    CHECK(U8(text) == "evil[U+202E]exe.txt (PID: 4242)");
    // A name of 63 hidden characters still shows whole, with its pid.
    for (int i = 0; i < 63; ++i)
        node.name[i] = u'\u2067';
    node.name[63] = 0;
    ProcessTreeItemText(&node, text, kProcessTreeItemChars);
    CHECK(TextEndsWith(text, u"[U+2067] (PID: 4242)"));
    CHECK(TextLength(text) == 63 * 8 + 12);
}
