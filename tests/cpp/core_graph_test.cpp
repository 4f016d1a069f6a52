// The stable graph under the DAG and its Kahn state. Routing results depend
// on its slot reuse and neighbour order, so both are checked exactly, and
// against a plain reference model over random operation sequences.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/fault.h"
#include "routing/graph.h"

namespace corvane::routing {
namespace {

using Graph = StableGraph<int>;

std::vector<NodeIndex> successors(const Graph& g, NodeIndex x) {
  std::vector<NodeIndex> out;
  g.for_each_successor(x, [&](NodeIndex s) { out.push_back(s); });
  return out;
}

std::vector<NodeIndex> predecessors(const Graph& g, NodeIndex x) {
  std::vector<NodeIndex> out;
  g.for_each_predecessor(x, [&](NodeIndex s) { out.push_back(s); });
  return out;
}

std::vector<NodeIndex> nodes(const Graph& g) {
  std::vector<NodeIndex> out;
  g.for_each_node([&](NodeIndex x) { out.push_back(x); });
  return out;
}

using V = std::vector<NodeIndex>;

TEST(StableGraphSlots, NewNodesTakeFreshSlotsInOrder) {
  Graph g;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(g.add_node(i * 10), static_cast<NodeIndex>(i));
  EXPECT_EQ(g.node_count(), 5u);
  EXPECT_EQ(g[3], 30);
}

TEST(StableGraphSlots, LastVacatedSlotIsReusedFirst) {
  Graph g;
  for (int i = 0; i < 7; ++i) g.add_node(i);
  g.remove_node(1);
  g.remove_node(5);
  g.remove_node(3);
  EXPECT_EQ(g.node_count(), 4u);
  EXPECT_EQ(g.add_node(100), 3u);
  EXPECT_EQ(g.add_node(101), 5u);
  // A slot vacated between reuses goes to the top of the free list.
  g.remove_node(0);
  EXPECT_EQ(g.add_node(102), 0u);
  EXPECT_EQ(g.add_node(103), 1u);
  EXPECT_EQ(g.add_node(104), 7u);  // none vacant: a new slot at the end
  EXPECT_EQ(g[3], 100);
  EXPECT_EQ(g[5], 101);
  EXPECT_EQ(g[0], 102);
  EXPECT_EQ(g[1], 103);
  EXPECT_EQ(g.node_count(), 8u);
}

TEST(StableGraphSlots, IterationIsAscendingAndSkipsHoles) {
  Graph g;
  for (int i = 0; i < 8; ++i) g.add_node(i);
  g.remove_node(6);
  g.remove_node(0);
  g.remove_node(3);
  EXPECT_EQ(nodes(g), (V{1, 2, 4, 5, 7}));
  EXPECT_FALSE(g.contains(0));
  EXPECT_FALSE(g.contains(3));
  EXPECT_FALSE(g.contains(8));
  EXPECT_TRUE(g.contains(7));
  g.add_node(9);  // refills slot 3
  EXPECT_EQ(nodes(g), (V{1, 2, 3, 4, 5, 7}));
}

TEST(StableGraphEdges, NeighboursAreListedNewestEdgeFirst) {
  Graph g;
  for (int i = 0; i < 5; ++i) g.add_node(i);
  g.add_edge(0, 1);
  g.add_edge(0, 3);
  g.add_edge(0, 2);
  g.add_edge(4, 2);
  g.add_edge(1, 2);
  EXPECT_EQ(successors(g, 0), (V{2, 3, 1}));
  EXPECT_EQ(predecessors(g, 2), (V{1, 4, 0}));
  EXPECT_EQ(successors(g, 2), V{});
  EXPECT_EQ(g.newest_successor(0), 2u);
  EXPECT_EQ(g.newest_successor(2), kNoNode);
  EXPECT_EQ(g.in_degree(2), 3u);
  EXPECT_EQ(g.in_degree(0), 0u);
}

TEST(StableGraphEdges, RemovingANodeDropsItsEdgesFromItsNeighbours) {
  Graph g;
  for (int i = 0; i < 5; ++i) g.add_node(i);
  g.add_edge(0, 2);
  g.add_edge(1, 2);
  g.add_edge(2, 3);
  g.add_edge(2, 4);
  g.add_edge(0, 3);
  g.add_edge(0, 4);
  g.remove_node(2);
  EXPECT_EQ(successors(g, 0), (V{4, 3}));
  EXPECT_EQ(successors(g, 1), V{});
  EXPECT_EQ(predecessors(g, 3), V{0});
  EXPECT_EQ(predecessors(g, 4), V{0});
  EXPECT_EQ(g.in_degree(3), 1u);
  EXPECT_EQ(g.in_degree(4), 1u);
  // Removing from the middle of a list keeps the order of the rest.
  g.add_edge(1, 4);
  g.add_edge(3, 4);
  EXPECT_EQ(predecessors(g, 4), (V{3, 1, 0}));
  g.remove_node(1);
  EXPECT_EQ(predecessors(g, 4), (V{3, 0}));
  EXPECT_EQ(g.in_degree(4), 2u);
}

TEST(StableGraphEdges, AReusedSlotStartsWithoutEdges) {
  Graph g;
  for (int i = 0; i < 3; ++i) g.add_node(i);
  g.add_edge(0, 1);
  g.add_edge(1, 2);
  g.remove_node(1);
  ASSERT_EQ(g.add_node(7), 1u);
  EXPECT_EQ(successors(g, 1), V{});
  EXPECT_EQ(predecessors(g, 1), V{});
  EXPECT_EQ(g.in_degree(1), 0u);
  EXPECT_EQ(successors(g, 0), V{});
  EXPECT_EQ(g.in_degree(2), 0u);
}

TEST(StableGraphEdges, VacantNodesFaultOnAccess) {
  Graph g;
  g.add_node(0);
  g.add_node(1);
  g.remove_node(0);
  const std::string none = "called `Option::unwrap()` on a `None` value";
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const Fault& e) {
      return e.message();
    }
    return "";
  };
  EXPECT_EQ(message([&] { g.remove_node(0); }), none);
  EXPECT_EQ(message([&] { g.add_edge(0, 1); }), none);
  EXPECT_EQ(message([&] { g.add_edge(1, 5); }), none);
  EXPECT_EQ(message([&] { (void)g[0]; }), none);
  EXPECT_EQ(g.node_count(), 1u);
}

// Chunks of a destroyed array are reused by the next: a graph built after
// another (and beside a copy of one) holds its own nodes and edges only.
TEST(StableGraphChunks, GraphsBuiltAfterOthersHoldOnlyTheirOwn) {
  constexpr int kNodes = 3000;  // several chunks
  auto build = [](int base) {
    Graph g;
    for (int i = 0; i < kNodes; ++i) g.add_node(base + i);
    for (int i = 1; i < kNodes; ++i)
      g.add_edge(static_cast<NodeIndex>(i - 1), static_cast<NodeIndex>(i));
    return g;
  };
  { const Graph first = build(0); }
  Graph second = build(100000);
  const Graph copy = second;
  { const Graph third = build(200000); }
  second.add_node(-1);  // grows past the copy's chunks
  for (const Graph* g : std::vector<const Graph*>{&second, &copy}) {
    for (int i = 0; i < kNodes; ++i) {
      const auto x = static_cast<NodeIndex>(i);
      ASSERT_EQ((*g)[x], 100000 + i);
      ASSERT_EQ(g->in_degree(x), i == 0 ? 0u : 1u);
      ASSERT_EQ(successors(*g, x),
                i + 1 < kNodes ? std::vector<NodeIndex>{x + 1} : std::vector<NodeIndex>{});
    }
  }
  EXPECT_EQ(second[kNodes], -1);
  EXPECT_EQ(copy.node_count(), static_cast<std::size_t>(kNodes));
}

TEST(TopologicalGenerationsTest, EmptyGraphHasEmptyState) {
  Graph g;
  TopologicalGenerations t(g);
  EXPECT_TRUE(t.ready.empty());
  EXPECT_FALSE(t.has_entry(0));
}

TEST(TopologicalGenerationsTest, ReadyInAscendingSlotOrderAcrossHoles) {
  Graph g;
  for (int i = 0; i < 8; ++i) g.add_node(i);
  g.add_edge(7, 1);
  g.add_edge(0, 4);
  g.add_edge(2, 4);
  g.add_edge(6, 4);
  g.add_edge(5, 2);
  g.remove_node(3);
  g.remove_node(0);
  TopologicalGenerations t(g);
  EXPECT_EQ(t.ready, (V{5, 6, 7}));
  EXPECT_EQ(t.in_degree.size() >= 8, true);
  EXPECT_EQ(t.in_degree[1], 1u);
  EXPECT_EQ(t.in_degree[2], 1u);
  EXPECT_EQ(t.in_degree[4], 2u);  // the edge from removed node 0 is gone
  for (NodeIndex x : {0u, 3u, 5u, 6u, 7u}) EXPECT_FALSE(t.has_entry(x)) << x;
  EXPECT_TRUE(t.has_entry(4));
  EXPECT_FALSE(t.has_entry(100));
}

// Plain model of the same container: adjacency lists with insertion at the
// front, and a stack of vacated slots.
struct ModelGraph {
  std::vector<bool> occupied;
  std::vector<int> weight;
  std::vector<std::deque<NodeIndex>> out, in;
  std::vector<NodeIndex> free_slots;

  NodeIndex add_node(int w) {
    if (!free_slots.empty()) {
      const NodeIndex x = free_slots.back();
      free_slots.pop_back();
      occupied[x] = true;
      weight[x] = w;
      return x;
    }
    occupied.push_back(true);
    weight.push_back(w);
    out.emplace_back();
    in.emplace_back();
    return static_cast<NodeIndex>(occupied.size() - 1);
  }
  void add_edge(NodeIndex a, NodeIndex b) {
    out[a].push_front(b);
    in[b].push_front(a);
  }
  void remove_node(NodeIndex x) {
    for (NodeIndex s : out[x]) in[s].erase(std::find(in[s].begin(), in[s].end(), x));
    for (NodeIndex p : in[x]) out[p].erase(std::find(out[p].begin(), out[p].end(), x));
    out[x].clear();
    in[x].clear();
    occupied[x] = false;
    free_slots.push_back(x);
  }
  std::vector<NodeIndex> live() const {
    std::vector<NodeIndex> v;
    for (std::size_t i = 0; i < occupied.size(); ++i)
      if (occupied[i]) v.push_back(static_cast<NodeIndex>(i));
    return v;
  }
};

TEST(StableGraphModel, RandomOperationsMatchTheModel) {
  for (std::uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    Graph g;
    ModelGraph m;
    int next_weight = 0;
    for (int step = 0; step < 600; ++step) {
      const auto live = m.live();
      const unsigned r = rng() % 10;
      if (live.size() < 2 || r < 3) {
        const int w = next_weight++;
        ASSERT_EQ(g.add_node(w), m.add_node(w)) << "seed " << seed << " step " << step;
      } else if (r < 8) {
        const NodeIndex a = live[rng() % live.size()];
        NodeIndex b = live[rng() % live.size()];
        if (a == b) continue;
        g.add_edge(a, b);
        m.add_edge(a, b);
      } else {
        const NodeIndex x = live[rng() % live.size()];
        g.remove_node(x);
        m.remove_node(x);
      }
      if (step % 20 != 19) continue;
      ASSERT_EQ(nodes(g), m.live()) << "seed " << seed << " step " << step;
      ASSERT_EQ(g.node_count(), m.live().size());
      for (NodeIndex x : m.live()) {
        ASSERT_EQ(g[x], m.weight[x]);
        ASSERT_EQ(successors(g, x), V(m.out[x].begin(), m.out[x].end()))
            << "seed " << seed << " step " << step << " node " << x;
        ASSERT_EQ(predecessors(g, x), V(m.in[x].begin(), m.in[x].end()))
            << "seed " << seed << " step " << step << " node " << x;
        ASSERT_EQ(g.in_degree(x), m.in[x].size());
      }
    }
  }
}

}  // namespace
}  // namespace corvane::routing
