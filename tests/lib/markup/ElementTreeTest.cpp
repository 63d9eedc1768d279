#include "markup/ElementTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

using namespace RYL;

namespace {

constexpr uint32_t kPage = uint32_t(ElementTree::kPageRecords);

// Grows one page at a time, as a parse does, marking each record with its position.
void GrowMarking(ElementTree& tree, int records) {
    int from = tree.Capacity();
    while (tree.Capacity() < records) {
        tree.Grow(std::min(records, tree.Capacity() + int(kPage)));
        for (int pos = from; pos < tree.Capacity(); ++pos) tree[uint32_t(pos)].start = uint32_t(pos);
        from = tree.Capacity();
    }
}

void ExpectMarked(const ElementTree& tree) {
    for (int pos = 0; pos < tree.Capacity(); ++pos) ASSERT_EQ(tree[uint32_t(pos)].start, uint32_t(pos)) << pos;
}

}  // namespace

// Separate allocations of 2.5 MiB each fell below the huge-page advice, so every 4 KiB of a
// large index took a page fault of its own.
TEST(ElementTree, ReservedFullPagesLieInOneHugePageAlignedBlock) {
    ElementTree tree;
    tree.Reserve(8 * size_t(kPage));
    GrowMarking(tree, 6 * int(kPage) + 5);
    const ElementRecord* first = &tree[0];
    EXPECT_EQ(reinterpret_cast<uintptr_t>(first) % (uintptr_t(2) << 20), 0u);
    for (uint32_t page = 1; page < 7; ++page) EXPECT_EQ(&tree[page * kPage], first + page * kPage) << page;
    ExpectMarked(tree);
}

TEST(ElementTree, ReservationsKeepTheRecordsInPlace) {
    struct Case {
        const char* label;
        size_t firstRecords;  // grown before the reservation
        size_t reserved;
        int records;
    };
    const Case cases[] = {
        {"small first page moves into the block", 8, 6 * size_t(kPage), 3 * int(kPage) + 1},
        {"pages beyond the block are allocated apart", 0, 4 * size_t(kPage), 7 * int(kPage) + 3},
        {"too small to reserve", 0, 2 * size_t(kPage), 3 * int(kPage)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ElementTree tree;
        if (c.firstRecords) GrowMarking(tree, int(c.firstRecords));
        tree.Reserve(c.reserved);
        GrowMarking(tree, c.records);
        ExpectMarked(tree);
    }
}

TEST(ElementTree, ALargerReservationLeavesPagesInUseAlone) {
    ElementTree tree;
    tree.Reserve(4 * size_t(kPage));
    GrowMarking(tree, 2 * int(kPage) + 1);
    tree.Reserve(40 * size_t(kPage));  // the block in use stays
    GrowMarking(tree, 6 * int(kPage));
    ExpectMarked(tree);
    tree.Clear();
    EXPECT_EQ(tree.Capacity(), 0);
    tree.Reserve(40 * size_t(kPage));  // a cleared tree takes the larger block
    GrowMarking(tree, 5 * int(kPage));
    EXPECT_EQ(&tree[4 * kPage], &tree[0] + 4 * kPage);
    ExpectMarked(tree);
}
