// A stable directed graph and the Kahn state (ready queue, in-degrees) kept
// beside it.
//
// Routing results depend on three order properties of this container, so it
// is written here rather than taken from a library:
//   - a node keeps its index for life; a removed node's slot is reused by the
//     next added node, last vacated first reused;
//   - a new edge goes to the front of its source's outgoing list and of its
//     target's incoming list: neighbours are listed newest edge first;
//   - nodes are iterated in ascending slot order, skipping vacant slots.
// Adjacency lists are intrusive doubly linked lists over an edge arena, so
// adding or removing an edge is O(1) and nothing is allocated once the arenas
// have grown to the working size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "common/fault.h"
#include "common/thread_exit.h"

namespace corvane::routing {

using NodeIndex = std::uint32_t;
inline constexpr NodeIndex kNoNode = std::numeric_limits<NodeIndex>::max();

// A growable array in fixed-size chunks: growing never moves what is there
// (no copy, no doubled capacity standing idle), at the price of one more
// indirection per access.
//
// The chunks of a destroyed array are kept, emptied, by the thread that
// destroyed it, for the arrays it builds next (up to kKeptBytes per element
// type): a routing fills arrays of megabytes, and memory fresh from the
// system costs a page fault per 4 KiB when first written, a good part of the
// time of a routing.
template <class T>
class ChunkedArray {
 public:
  ChunkedArray() = default;
  ChunkedArray(const ChunkedArray&) = default;
  ChunkedArray(ChunkedArray&&) noexcept = default;
  ChunkedArray& operator=(const ChunkedArray&) = default;
  ChunkedArray& operator=(ChunkedArray&&) noexcept = default;
  ~ChunkedArray() {
    for (std::vector<T>& chunk : chunks_) give_back(std::move(chunk));
  }

  std::size_t size() const { return size_; }
  T& operator[](std::size_t i) { return chunks_[i >> kShift][i & kMask]; }
  const T& operator[](std::size_t i) const { return chunks_[i >> kShift][i & kMask]; }
  void push_back(const T& value) {
    if ((size_ & kMask) == 0) chunks_.push_back(take());
    chunks_.back().push_back(value);
    ++size_;
  }

 private:
  static constexpr std::size_t kShift = 10;
  static constexpr std::size_t kChunk = std::size_t{1} << kShift;
  static constexpr std::size_t kMask = kChunk - 1;
  static constexpr std::size_t kKeptBytes = std::size_t{8} << 20;
  static constexpr std::size_t kKeptChunks = kKeptBytes / (kChunk * sizeof(T));

  // The calling thread's kept chunks: null until it first keeps one, freed
  // when the thread ends. Behind a plain pointer, so that no destructor is
  // registered with the C++ runtime, which cannot report a lack of memory.
  struct Kept {
    std::vector<std::vector<T>> chunks;
  };
  static constinit inline thread_local Kept* t_kept = nullptr;
  static void free_kept(void* kept) noexcept {
    t_kept = nullptr;
    delete static_cast<Kept*>(kept);
  }
  static std::vector<T> take() {
    if (Kept* k = t_kept; k != nullptr && !k->chunks.empty()) {
      std::vector<T> chunk = std::move(k->chunks.back());
      k->chunks.pop_back();
      return chunk;
    }
    std::vector<T> chunk;
    chunk.reserve(kChunk);
    return chunk;
  }
  static void give_back(std::vector<T>&& chunk) noexcept {
    if (chunk.capacity() != kChunk) return;  // a copy's chunk: freed
    try {
      if (t_kept == nullptr) {
        auto k = std::make_unique<Kept>();
        k->chunks.reserve(kKeptChunks);
        at_thread_exit(&free_kept, k.get());
        t_kept = k.release();
      }
      if (t_kept->chunks.size() >= kKeptChunks) return;
      chunk.clear();
      t_kept->chunks.push_back(std::move(chunk));  // within the reserved room: no throw
    } catch (...) {
      // No room to keep it: the chunk is freed.
    }
  }

  std::vector<std::vector<T>> chunks_;
  std::size_t size_ = 0;
};

template <class N>
class StableGraph {
 public:
  NodeIndex add_node(const N& weight) {
    ++node_count_;
    if (free_node_ != kNoNode) {
      const NodeIndex x = free_node_;
      Node& node = nodes_[x];
      free_node_ = node.free_next;
      node.weight = weight;
      node.occupied = true;
      node.head[kOut] = node.head[kIn] = kNoEdge;
      node.in_degree = 0;
      return x;
    }
    if (nodes_.size() >= kNoNode) fault("graph node index overflow");
    nodes_.push_back(Node{weight, {kNoEdge, kNoEdge}, 0, kNoNode, true});
    return static_cast<NodeIndex>(nodes_.size() - 1);
  }

  // Adds a -> b at the front of a's outgoing and b's incoming lists.
  void add_edge(NodeIndex a, NodeIndex b) {
    check(a);
    check(b);
    if (a == b) fault("graph self-loop");  // the DAG never makes one
    EdgeIndex e;
    if (free_edge_ != kNoEdge) {
      e = free_edge_;
      free_edge_ = edges_[e].next[kOut];
    } else {
      if (edges_.size() >= kNoEdge) fault("graph edge index overflow");
      edges_.push_back(Edge{});
      e = static_cast<EdgeIndex>(edges_.size() - 1);
    }
    Edge& edge = edges_[e];
    edge.node[kOut] = a;
    edge.node[kIn] = b;
    link_front(e, kOut, a);
    link_front(e, kIn, b);
    ++nodes_[b].in_degree;
  }

  // Removes x and its edges; x's slot is the next to be reused.
  void remove_node(NodeIndex x) {
    check(x);
    for (int dir : {kOut, kIn}) {
      EdgeIndex e = nodes_[x].head[dir];
      while (e != kNoEdge) {
        const EdgeIndex next = edges_[e].next[dir];
        const int other = 1 - dir;
        const NodeIndex y = edges_[e].node[other];
        unlink(e, other, y);
        if (dir == kOut) --nodes_[y].in_degree;
        edges_[e].next[kOut] = free_edge_;
        free_edge_ = e;
        e = next;
      }
      nodes_[x].head[dir] = kNoEdge;
    }
    Node& node = nodes_[x];
    node.occupied = false;
    node.in_degree = 0;
    node.free_next = free_node_;
    free_node_ = x;
    --node_count_;
  }

  bool contains(NodeIndex x) const { return x < nodes_.size() && nodes_[x].occupied; }
  const N& operator[](NodeIndex x) const {
    check(x);
    return nodes_[x].weight;
  }
  std::size_t node_count() const { return node_count_; }
  // One past the highest slot ever used.
  std::size_t node_bound() const { return nodes_.size(); }
  std::size_t in_degree(NodeIndex x) const {
    check(x);
    return nodes_[x].in_degree;
  }

  // Successors of x, newest edge first.
  template <class F>
  void for_each_successor(NodeIndex x, F&& f) const {
    for_each(x, kOut, f);
  }
  // Predecessors of x, newest edge first.
  template <class F>
  void for_each_predecessor(NodeIndex x, F&& f) const {
    for_each(x, kIn, f);
  }
  // The target of x's newest outgoing edge, or kNoNode.
  NodeIndex newest_successor(NodeIndex x) const {
    check(x);
    const EdgeIndex e = nodes_[x].head[kOut];
    return e == kNoEdge ? kNoNode : edges_[e].node[kIn];
  }

  // Occupied slots in ascending order.
  template <class F>
  void for_each_node(F&& f) const {
    for (std::size_t i = 0; i < nodes_.size(); ++i)
      if (nodes_[i].occupied) f(static_cast<NodeIndex>(i));
  }

 private:
  using EdgeIndex = std::uint32_t;
  static constexpr EdgeIndex kNoEdge = std::numeric_limits<EdgeIndex>::max();
  static constexpr int kOut = 0;
  static constexpr int kIn = 1;

  struct Node {
    N weight;
    EdgeIndex head[2];       // first outgoing / incoming edge
    std::uint32_t in_degree;
    NodeIndex free_next;     // free list link while vacant
    bool occupied;
  };
  struct Edge {
    NodeIndex node[2] = {kNoNode, kNoNode};  // source, target
    EdgeIndex next[2] = {kNoEdge, kNoEdge};  // next in source's out / target's in list
    EdgeIndex prev[2] = {kNoEdge, kNoEdge};
  };

  void check(NodeIndex x) const {
    if (!contains(x)) fault(std::string(kUnwrapNone));
  }

  void link_front(EdgeIndex e, int dir, NodeIndex x) {
    Edge& edge = edges_[e];
    edge.prev[dir] = kNoEdge;
    edge.next[dir] = nodes_[x].head[dir];
    if (edge.next[dir] != kNoEdge) edges_[edge.next[dir]].prev[dir] = e;
    nodes_[x].head[dir] = e;
  }

  void unlink(EdgeIndex e, int dir, NodeIndex x) {
    Edge& edge = edges_[e];
    if (edge.prev[dir] != kNoEdge)
      edges_[edge.prev[dir]].next[dir] = edge.next[dir];
    else
      nodes_[x].head[dir] = edge.next[dir];
    if (edge.next[dir] != kNoEdge) edges_[edge.next[dir]].prev[dir] = edge.prev[dir];
  }

  template <class F>
  void for_each(NodeIndex x, int dir, F& f) const {
    check(x);
    const int other = 1 - dir;
    for (EdgeIndex e = nodes_[x].head[dir]; e != kNoEdge; e = edges_[e].next[dir])
      f(edges_[e].node[other]);
  }

  ChunkedArray<Node> nodes_;
  ChunkedArray<Edge> edges_;
  NodeIndex free_node_ = kNoNode;
  EdgeIndex free_edge_ = kNoEdge;
  std::size_t node_count_ = 0;
};

// The front of a graph under Kahn's algorithm: the nodes with no predecessor
// left, and for every other node the number of predecessors not yet removed.
struct TopologicalGenerations {
  std::vector<NodeIndex> ready;
  // Indexed by node slot; 0 means "no entry" (no predecessor left).
  std::vector<std::uint32_t> in_degree;

  TopologicalGenerations() = default;

  template <class N>
  explicit TopologicalGenerations(const StableGraph<N>& g) {
    in_degree.assign(g.node_bound(), 0);
    g.for_each_node([&](NodeIndex x) {
      const std::size_t d = g.in_degree(x);
      if (d == 0)
        ready.push_back(x);
      else
        in_degree[x] = static_cast<std::uint32_t>(d);
    });
  }

  bool has_entry(NodeIndex x) const { return x < in_degree.size() && in_degree[x] != 0; }
};

}  // namespace corvane::routing
