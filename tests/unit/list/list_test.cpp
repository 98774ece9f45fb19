#include <gtest/gtest.h>

#include <vector>

#include "list/list.h"

namespace {

struct node {
    node* next;
    int value;
};

std::vector<int> values(list<node>* l)
{
    std::vector<int> out;
    for (node* n = list_head(l); n; n = list_next(n))
        out.push_back(n->value);
    return out;
}

struct ListTest : ::testing::Test {
    node nodes[5] = {{nullptr, 0}, {nullptr, 1}, {nullptr, 2}, {nullptr, 3}, {nullptr, 4}};
    list<node> l{};
    void SetUp() override
    {
        list_init(&l);
        for (node& n : nodes)
            list_add_item(&l, &n);
    }
};

TEST(List, EmptyListHasNoHeadAndNoLength)
{
    list<node> l{reinterpret_cast<node*>(0x1)};
    list_init(&l);
    EXPECT_EQ(list_head(&l), nullptr);
    EXPECT_EQ(list_get_length(&l), 0u);
    EXPECT_EQ(list_next<node>(nullptr), nullptr);
    node stray{};
    EXPECT_EQ(list_remove(&l, &stray), nullptr);
}

TEST_F(ListTest, AppendKeepsInsertionOrder)
{
    EXPECT_EQ(values(&l), (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(list_get_length(&l), 5u);
}

TEST_F(ListTest, RemoveReturnsTheSuccessor)
{
    struct {
        int remove;
        node* successor;
        std::vector<int> left;
    } const cases[] = {
        {0, &nodes[1], {1, 2, 3, 4}},
        {2, &nodes[3], {1, 3, 4}},
        {4, nullptr, {1, 3}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list_remove(&l, &nodes[c.remove]), c.successor) << c.remove;
        EXPECT_EQ(nodes[c.remove].next, nullptr) << c.remove;
        EXPECT_EQ(values(&l), c.left) << c.remove;
    }
}

TEST_F(ListTest, RemovingAnAbsentItemChangesNothing)
{
    node stray{&nodes[2], 9};
    EXPECT_EQ(list_remove(&l, &stray), nullptr);
    EXPECT_EQ(values(&l), (std::vector<int>{0, 1, 2, 3, 4}));
    // Removed once already: a second removal finds nothing.
    list_remove(&l, &nodes[3]);
    EXPECT_EQ(list_remove(&l, &nodes[3]), nullptr);
    EXPECT_EQ(values(&l), (std::vector<int>{0, 1, 2, 4}));
}

TEST_F(ListTest, RemovingWhileWalkingVisitsEveryItemOnce)
{
    std::vector<int> visited;
    for (node* n = list_head(&l); n;) {
        visited.push_back(n->value);
        n = n->value % 2 == 0 ? list_remove(&l, n) : list_next(n);
    }
    EXPECT_EQ(visited, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(values(&l), (std::vector<int>{1, 3}));
}

} // namespace
