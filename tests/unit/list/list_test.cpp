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
}

TEST_F(ListTest, AppendKeepsOrderAndRemoveReturnsTheSuccessor)
{
    EXPECT_EQ(values(&l), (std::vector<int>{0, 1, 2, 3, 4}));
    node stray{&nodes[2], 9};
    struct {
        node* remove;
        node* successor;
        std::vector<int> left;
    } const cases[] = {
        {&stray, nullptr, {0, 1, 2, 3, 4}}, {&nodes[0], &nodes[1], {1, 2, 3, 4}}, {&nodes[2], &nodes[3], {1, 3, 4}},
        {&nodes[4], nullptr, {1, 3}},       {&nodes[4], nullptr, {1, 3}}, // removed already
    };
    for (const auto& c : cases) {
        EXPECT_EQ(list_remove(&l, c.remove), c.successor) << c.remove->value;
        EXPECT_EQ(values(&l), c.left) << c.remove->value;
    }
    EXPECT_EQ(list_get_length(&l), 2u);
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
