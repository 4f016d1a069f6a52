// The two-qubit-gate DAG: a circuit held as a dependency graph. The input DAG
// of a routing keeps its front layer current as gates are executed; the
// output DAG simplifies the routed circuit as gates arrive (cancelling,
// absorbing, reordering and merging neighbours, and optionally folding a
// leading SWAP into a permutation).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "common/fault.h"
#include "routing/graph.h"
#include "routing/ops.h"
#include "routing/policy.h"
#include "routing/types.h"

namespace corvane::routing {

inline constexpr std::size_t LOOKAHEAD_DEPTH = 8;
inline constexpr std::size_t MAX_CANDIDATES = 16;
inline constexpr std::size_t FEATURE_COUNT = LOOKAHEAD_DEPTH * MAX_CANDIDATES;

using Features = std::array<float, FEATURE_COUNT>;
// Features whose every sum is exact, as integers in the same layout.
using IntFeatures = std::array<std::int32_t, FEATURE_COUNT>;

// The layout part of a routing result.
struct Layout {
  std::vector<std::size_t> perm;  // output permutation (folded SWAPs)
  std::vector<std::size_t> p2v;   // p2v[p]: virtual qubit on physical qubit p
  std::vector<std::size_t> v2p;   // v2p[q]: physical qubit of virtual qubit q

  static Layout identity(std::size_t n);
  friend bool operator==(const Layout&, const Layout&) = default;
};

// Outcome of a two-qubit gate meeting the gate that stands last on both its
// qubits.
enum class PushAction : std::uint8_t { Cancel, Reorder, Merge, Absorb, Add };

// Map from qubit to the node standing last on it. Qubits below n live in a
// flat array; larger ones (only from malformed input, which fails later) in
// a side map.
class LastMap {
 public:
  explicit LastMap(std::size_t n) : flat_(n, kNoNode) {}
  NodeIndex get(std::size_t q) const {
    if (q < flat_.size()) return flat_[q];
    auto it = extra_.find(q);
    return it == extra_.end() ? kNoNode : it->second;
  }
  void set(std::size_t q, NodeIndex x) {
    if (q < flat_.size())
      flat_[q] = x;
    else
      extra_[q] = x;
  }
  void erase(std::size_t q) {
    if (q < flat_.size())
      flat_[q] = kNoNode;
    else
      extra_.erase(q);
  }
  template <class F>
  void for_each(F&& f) const {
    for (std::size_t q = 0; q < flat_.size(); ++q)
      if (flat_[q] != kNoNode) f(q, flat_[q]);
    for (const auto& [q, x] : extra_) f(q, x);
  }

 private:
  std::vector<NodeIndex> flat_;
  std::unordered_map<std::size_t, NodeIndex> extra_;
};

// Up to LOOKAHEAD_DEPTH generations of node indices, storage reused between
// steps.
class Lookahead {
 public:
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::vector<NodeIndex>& operator[](std::size_t g) const { return gens_[g]; }
  std::vector<NodeIndex>& operator[](std::size_t g) { return gens_[g]; }
  void clear() { size_ = 0; }
  std::vector<NodeIndex>& append() {
    gens_[size_].clear();
    return gens_[size_++];
  }
  void drop_last() { --size_; }

 private:
  std::array<std::vector<NodeIndex>, LOOKAHEAD_DEPTH> gens_;
  std::size_t size_ = 0;
};

class TwoQubitDAG {
 public:
  TwoQubitDAG(bool flag_merge, bool flag_swap_as_perm, const CouplingMap& coupling_map,
              std::size_t n, bool flag_track_front);

  // Adds the gate (its id is replaced), or cancels, absorbs, reorders, merges
  // or folds it.
  void push(const Operation& op);
  // Removes x and repairs `last` for its two qubits.
  void remove(NodeIndex x);
  // Removes x, keeping the front current when flag_track_front is set.
  void remove_node(NodeIndex x);

  // Routing-step operations on the input DAG.
  // Generations of the unexecuted gates from the front layer on, each
  // shuffled; the in-degrees and ready queue are left as they were.
  void update_lookahead();
  // Copies the successor lists and the gates' qubits into flat arrays that
  // the lookahead reads instead of the graph. For the input DAG once every
  // gate is pushed: later only removals follow, and a gate's successors then
  // stay as they were while it is present. Adding a node undoes it.
  void freeze_successors();
  // Tells the DAG how large the distances are, so that features can tell
  // when the order of a generation cannot change their sums (then that
  // generation need not be shuffled unless candidates are gathered from it).
  void set_distance_bound(const Dists& dists);
  // Up to MAX_CANDIDATES coupling-map positions around the looked-ahead
  // gates, shuffled, written to `out`.
  void swap_candidates(const std::vector<std::size_t>& v2p, std::vector<std::size_t>& out);
  // Distance change of every looked-ahead gate under each candidate SWAP.
  Features features(const std::vector<std::size_t>& candidates, const CouplingMap& coupling_map,
                    const std::vector<std::size_t>& v2p, const Dists& dists);
  // The same features, found from the gates on the two qubits of each
  // candidate rather than by visiting every looked-ahead gate. Only where
  // that gives the very same values, which it tells by its result: every
  // sum is exact (so the order of its terms cannot show; each is an integer
  // below 2^24 in magnitude, given here as that integer), dists covers all
  // qubits below n and every looked-ahead qubit is below n (so nothing can
  // fault). p2v must be the inverse of v2p.
  // A coupler's row of features stays valid until the lookahead changes or
  // a SWAP moves a qubit it reads; rows are shared by the two directions of
  // a coupler, which give the same values.
  bool features_from_qubits(const std::vector<std::size_t>& candidates,
                            const CouplingMap& coupling_map, const std::vector<std::size_t>& v2p,
                            const std::vector<std::size_t>& p2v, IntFeatures& x);
  // The policy's codes of those features (slot_codes of x), each kept with
  // its coupler's row.
  bool feature_codes(const std::vector<std::size_t>& candidates, const CouplingMap& coupling_map,
                     const std::vector<std::size_t>& v2p, const std::vector<std::size_t>& p2v,
                     SlotCodes& codes);
  // Tells the features that the qubits on physical a and b were exchanged
  // (v2p and p2v already updated), before the next update_lookahead.
  void swapped(std::size_t a, std::size_t b, const std::vector<std::size_t>& v2p,
               const std::vector<std::size_t>& p2v);

  // (q0, q1) of node x, from the flat copy once frozen.
  std::pair<std::size_t, std::size_t> qubits_of(NodeIndex x) const {
    if (frozen_) return node_qubits_[x];
    const Operation& op = graph[x];
    return {op.q0, op.q1};
  }

  // Coupling-map positions of the edges touching physical qubit p.
  std::span<const std::size_t> incident(std::size_t p) const {
    return {incident_edges_.data() + incident_offsets_[p],
            incident_offsets_[p + 1] - incident_offsets_[p]};
  }
  std::size_t num_qubits() const { return perm.size(); }

  StableGraph<Operation> graph;
  std::vector<std::size_t> perm;
  Lookahead lookahead;
  TopologicalGenerations generations;
  NodeIndex last_one_qubit = kNoNode;
  LastMap last;
  std::size_t next_id = 0;
  std::size_t cx_count = 0;
  bool flag_merge;
  bool flag_swap_as_perm;
  bool flag_track_front;

 private:
  void push_one(Operation g);
  NodeIndex add_node(const Operation& g);
  void push_two_qubit(const Operation& g);

  std::vector<std::size_t> incident_offsets_;
  std::vector<std::size_t> incident_edges_;
  // Gates waiting to be pushed: the re-pushes of Reorder and Merge, kept on
  // an explicit stack so that long chains on one pair cannot exhaust a
  // worker's stack.
  std::vector<Operation> pending_;
  // Lookahead scratch: while a lookahead is found, a node whose visit is the
  // current one has `left` predecessors not yet reached, instead of its
  // in-degree (which the search thus leaves as it is).
  struct Visit {
    std::uint32_t visit = 0;
    std::uint32_t left = 0;
  };
  std::vector<Visit> visits_;
  std::uint32_t visit_ = 0;
  // Feature scratch, all zero between calls.
  std::vector<std::uint16_t> slot_mask_;
  // Candidate scratch: edge_mark_[e] == mark_ while e is gathered this step.
  std::vector<std::uint64_t> edge_mark_;
  std::uint64_t mark_ = 0;
  // Lookahead generations shuffled so far in this step.
  std::array<bool, LOOKAHEAD_DEPTH> shuffled_{};
  // The lookahead as last computed, generations in the order found: a step
  // whose front is the same (no gate executed since) starts from it instead
  // of walking the graph again.
  std::uint64_t front_epoch_ = 0;  // bumped whenever remove_node changes the front
  std::uint64_t found_epoch_ = std::numeric_limits<std::uint64_t>::max();
  std::vector<NodeIndex> found_ready_;
  std::array<std::vector<NodeIndex>, LOOKAHEAD_DEPTH> found_;
  // Looked-ahead gates by virtual qubit, side by side: qubit q's are
  // gates_on(q), kPerQubit places from on_qubit_[kPerQubit * q] on. A
  // generation holds at most three gates on one qubit: the gates that stand
  // last on a qubit when pushed (two-qubit gates on it, one-qubit gates and
  // barriers whose first qubit it is) follow each other, as do all one-qubit
  // gates and all barriers, whatever second qubit they name. Should more
  // meet on one all the same, a qubit lie beyond n or 32 bits, or the
  // distances not cover every qubit (the rows need them all), the gates are
  // not listed (gates_listed_ is false) and the features are found the slow
  // way.
  static constexpr std::size_t kPerQubit = 3 * LOOKAHEAD_DEPTH;
  struct OnQubit {
    std::uint32_t other;  // the gate's other virtual qubit (itself for a one-qubit gate)
    std::uint32_t gen;
  };
  // A count of an older lookahead than the current list_ is 0.
  struct Count {
    std::uint64_t list = 0;
    std::uint32_t count = 0;
  };
  std::vector<OnQubit> on_qubit_;
  std::vector<Count> on_count_;
  std::uint64_t list_ = 0;
  bool gates_listed_ = false;
  std::span<const OnQubit> gates_on(std::size_t q) const {
    const Count& c = on_count_[q];
    return {on_qubit_.data() + kPerQubit * q, c.list == list_ ? c.count : 0u};
  }
  // freeze_successors(): successors of x at succ_[succ_start_[x]] onwards,
  // newest edge first, and each node's (q0, q1).
  bool frozen_ = false;
  std::vector<std::uint32_t> succ_start_;
  std::vector<NodeIndex> succ_;
  std::vector<std::pair<std::size_t, std::size_t>> node_qubits_;
  // Row pointers of dists when it covers every qubit below n.
  std::vector<const std::int32_t*> dist_rows_;
  // Feature rows by coupler (coupling-map entries with the same two ends,
  // in either order, are one coupler), with the policy's code of the row; a
  // row is valid while its stamp is the current one.
  // A SWAP recomputes the rows of the couplers at its two ends and brings
  // those at the other qubits of the moved qubits' gates up to date by the
  // change of each gate's term. Sums are kept as integers: every one is exact.
  struct Row {
    std::array<std::int32_t, LOOKAHEAD_DEPTH> sums{};
    std::uint64_t stamp = 0;
    std::int32_t code = 0;
  };
  std::vector<std::uint32_t> coupler_of_;
  std::vector<Row> rows_;
  std::uint64_t stamp_ = 1;
  // Per physical qubit, its couplers (each once) with their other ends.
  std::vector<std::uint32_t> couplers_at_start_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> couplers_at_;
  void number_couplers(const CouplingMap& coupling_map);
  void drop_rows_at(std::size_t p);
  bool rows_usable(const CouplingMap& coupling_map, const std::vector<std::size_t>& v2p,
                   const std::vector<std::size_t>& p2v);
  Row& current_row(std::size_t position, const CouplingMap& coupling_map,
                   const std::vector<std::size_t>& v2p, const std::vector<std::size_t>& p2v) {
    if (position >= coupler_of_.size()) index_fault(coupler_of_.size(), position);
    Row& row = rows_[coupler_of_[position]];
    if (row.stamp != stamp_) compute_row(row, coupling_map[position], v2p, p2v);
    return row;
  }
  void compute_row(Row& row, std::pair<std::size_t, std::size_t> coupler,
                   const std::vector<std::size_t>& v2p, const std::vector<std::size_t>& p2v);
  // Bound on the magnitude of one feature term; unknown means "any".
  std::uint64_t term_bound_ = std::numeric_limits<std::uint64_t>::max();
  // Generations smaller than this have exact sums (see sums_are_exact).
  std::size_t exact_below_ = 0;
  // The largest generation of the lookahead as last found.
  std::size_t largest_generation_ = 0;

  void shuffle_generation(std::size_t g);
  bool sums_are_exact(std::size_t g) const;
  void find_lookahead();
};

// The action a gate of kind `next` takes against a common last gate `prev`.
PushAction push_action(const Operation& next, const Operation& prev, bool flag_merge);

}  // namespace corvane::routing
