#include "routing/dag.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>

#include "common/fault.h"
#include "common/rng.h"

namespace corvane::routing {

Layout Layout::identity(std::size_t n) {
  Layout l;
  l.perm.resize(n);
  std::iota(l.perm.begin(), l.perm.end(), std::size_t{0});
  l.p2v = l.perm;
  l.v2p = l.perm;
  return l;
}

namespace {

using A = PushAction;

// Rows: the new gate's kind; columns: the kind of the gate standing last on
// both its qubits. Cx/Cx is resolved by qubit order in push_action.
// A one-qubit gate or a barrier standing last on both qubits (possible only
// for unusual qubit conventions) is never merged away: the new gate is added
// after it, so no gate of the caller's circuit is lost.
constexpr std::size_t kCols = 8;
constexpr A kTable[6][kCols] = {
    // P:   Cx          Swap        SymCx       Block3     Block2    Coded       OneQubit WaitAll
    /*Cx*/ {A::Cancel, A::Merge, A::Add, A::Absorb, A::Merge, A::Add, A::Add, A::Add},
    /*Swap*/ {A::Reorder, A::Cancel, A::Reorder, A::Reorder, A::Merge, A::Reorder, A::Add, A::Add},
    /*SymCx*/ {A::Add, A::Add, A::Cancel, A::Absorb, A::Merge, A::Add, A::Add, A::Add},
    /*Block3*/ {A::Merge, A::Merge, A::Merge, A::Absorb, A::Merge, A::Merge, A::Add, A::Add},
    /*Block2*/ {A::Merge, A::Merge, A::Merge, A::Absorb, A::Merge, A::Merge, A::Add, A::Add},
    /*Coded*/ {A::Add, A::Add, A::Add, A::Absorb, A::Merge, A::Add, A::Add, A::Add},
};

// rng::gen_index for a range that fits 32 bits, inlined: the same words
// drawn, the same value returned.
[[gnu::always_inline]] inline std::uint32_t draw_below(rng::ThreadRng& r, std::uint32_t range) {
  std::uint64_t m = std::uint64_t{r.next_u32()} * range;
  auto low = static_cast<std::uint32_t>(m);
  if (low < range) [[unlikely]] {
    const std::uint32_t threshold = (0u - range) % range;  // 2^32 mod range
    while (low < threshold) {
      m = std::uint64_t{r.next_u32()} * range;
      low = static_cast<std::uint32_t>(m);
    }
  }
  return static_cast<std::uint32_t>(m >> 32);
}

// rng::shuffle with the generator looked up once by the caller and the
// draws inlined (a routing step shuffles a few dozen entries): the same
// draws, in the same order, so the same permutation.
template <class T>
void shuffle_small(rng::ThreadRng& r, T* items, std::size_t count) {
  if (count > 0xFFFF'FFFFu) {  // never for node lists, whose indices are 32 bits
    rng::shuffle(r, std::span<T>(items, count));
    return;
  }
  for (auto i = static_cast<std::uint32_t>(count); i > 1; --i) {
    const std::uint32_t j = draw_below(r, i);
    std::swap(items[i - 1], items[j]);
  }
}

}  // namespace

PushAction push_action(const Operation& next, const Operation& prev, bool flag_merge) {
  if (!flag_merge) return A::Add;
  const auto row = static_cast<std::size_t>(next.kind.tag);
  const auto col = static_cast<std::size_t>(prev.kind.tag);
  if (row >= 6) return A::Add;  // one-qubit gates and barriers never combine
  const A action = kTable[row][col];
  if (next.kind.tag == OpTag::Cx && prev.kind.tag == OpTag::Cx)
    return (next.q0 == prev.q0 && next.q1 == prev.q1) ? A::Cancel : A::Add;
  return action;
}

TwoQubitDAG::TwoQubitDAG(bool flag_merge_, bool flag_swap_as_perm_, const CouplingMap& coupling_map,
                         std::size_t n, bool flag_track_front_)
    : perm(n),
      last(n),
      flag_merge(flag_merge_),
      flag_swap_as_perm(flag_swap_as_perm_),
      flag_track_front(flag_track_front_) {
  std::iota(perm.begin(), perm.end(), std::size_t{0});
  slot_mask_.assign(n, 0);
  edge_mark_.assign(coupling_map.size(), 0);
  // Incident lists in compressed form: count, then fill in coupling-map order.
  incident_offsets_.assign(n + 1, 0);
  for (const auto& [a, b] : coupling_map) {
    if (a >= n) index_fault(n, a);
    ++incident_offsets_[a + 1];
    if (b >= n) index_fault(n, b);
    ++incident_offsets_[b + 1];
  }
  for (std::size_t p = 0; p < n; ++p) incident_offsets_[p + 1] += incident_offsets_[p];
  incident_edges_.resize(incident_offsets_[n]);
  std::vector<std::size_t> fill(incident_offsets_.begin(), incident_offsets_.end() - 1);
  for (std::size_t i = 0; i < coupling_map.size(); ++i) {
    incident_edges_[fill[coupling_map[i].first]++] = i;
    incident_edges_[fill[coupling_map[i].second]++] = i;
  }
}

NodeIndex TwoQubitDAG::add_node(const Operation& g) {
  frozen_ = false;
  const NodeIndex x = graph.add_node(g);
  cx_count += g.kind.cx_cost();
  return x;
}

void TwoQubitDAG::push(const Operation& op) {
  // Re-pushes run depth first, in the order a recursive push would make them.
  pending_.clear();
  push_one(op);
  while (!pending_.empty()) {
    Operation g = pending_.back();
    pending_.pop_back();
    push_one(g);
  }
}

void TwoQubitDAG::push_one(Operation g) {
  g.id = next_id++;
  switch (g.kind.tag) {
    case OpTag::OneQubit: {
      const NodeIndex n = add_node(g);
      const NodeIndex prev = last.get(g.q0);
      if (prev != kNoNode) graph.add_edge(prev, n);
      if (last_one_qubit != kNoNode && (prev == kNoNode || last_one_qubit != prev))
        graph.add_edge(last_one_qubit, n);
      last.set(g.q0, n);
      last_one_qubit = n;
      return;
    }
    case OpTag::WaitAll: {
      const NodeIndex n = add_node(g);
      last.for_each([&](std::size_t, NodeIndex x) {
        // Several qubits may share one last gate: one edge each. An edge
        // x -> n added in this loop is x's newest outgoing edge.
        if (graph.newest_successor(x) != n) graph.add_edge(x, n);
      });
      last.set(g.q0, n);
      return;
    }
    default:
      push_two_qubit(g);
  }
}

void TwoQubitDAG::push_two_qubit(const Operation& g) {
  const NodeIndex a = last.get(g.q0);
  const NodeIndex b = last.get(g.q1);
  if (a == kNoNode && b == kNoNode) {
    if (g.kind.tag == OpTag::Swap && flag_swap_as_perm) {
      // Nothing stands before this SWAP: relabel instead of emitting it.
      if (g.q0 >= perm.size()) index_fault(perm.size(), g.q0);
      if (g.q1 >= perm.size()) index_fault(perm.size(), g.q1);
      std::swap(perm[g.q0], perm[g.q1]);
      return;
    }
    const NodeIndex n = add_node(g);
    last.set(g.q0, n);
    last.set(g.q1, n);
    return;
  }
  if (a == kNoNode || b == kNoNode || a != b) {
    const NodeIndex n = add_node(g);
    if (a != kNoNode) graph.add_edge(a, n);
    if (b != kNoNode) graph.add_edge(b, n);
    last.set(g.q0, n);
    last.set(g.q1, n);
    return;
  }
  const Operation p = graph[a];
  switch (push_action(g, p, flag_merge)) {
    case A::Cancel:
      remove(a);
      return;
    case A::Absorb:
      return;
    case A::Reorder: {
      remove(a);
      Operation moved = p;
      std::swap(moved.q0, moved.q1);
      pending_.push_back(moved);  // runs after g and all it triggers
      pending_.push_back(g);
      return;
    }
    case A::Merge: {
      remove(a);
      const MergeResult merged = merge_ops(g, p);
      for (std::size_t i = merged.len; i-- > 0;) pending_.push_back(merged.ops[i]);
      return;
    }
    case A::Add: {
      const NodeIndex n = add_node(g);
      graph.add_edge(a, n);
      last.set(g.q0, n);
      last.set(g.q1, n);
      return;
    }
  }
}

void TwoQubitDAG::remove(NodeIndex x) {
  const Operation op = graph[x];
  for (const std::size_t q : {op.q0, op.q1}) {
    NodeIndex best = kNoNode;
    std::size_t best_id = 0;
    graph.for_each_predecessor(x, [&](NodeIndex p) {
      const Operation& pred = graph[p];
      if ((pred.q0 == q || pred.q1 == q) && (best == kNoNode || pred.id > best_id)) {
        best = p;
        best_id = pred.id;
      }
    });
    if (best == kNoNode)
      last.erase(q);
    else
      last.set(q, best);
  }
  remove_node(x);
}

void TwoQubitDAG::remove_node(NodeIndex x) {
  if (!graph.contains(x)) fault(std::string(kUnwrapNone));
  if (flag_track_front) {
    ++front_epoch_;
    auto& ready = generations.ready;
    auto it = std::find(ready.begin(), ready.end(), x);
    if (it != ready.end()) ready.erase(it);
    auto& deg = generations.in_degree;
    graph.for_each_successor(x, [&](NodeIndex s) {
      if (s < deg.size() && deg[s] != 0) {
        if (--deg[s] == 0) ready.push_back(s);
      }
    });
  }
  const std::size_t cost = graph[x].kind.cx_cost();
  graph.remove_node(x);
  cx_count -= cost;
}

void TwoQubitDAG::update_lookahead() {
  if (found_epoch_ == front_epoch_ && found_ready_ == generations.ready) {
    // Same front, same generations: restore the order found in those that
    // the last step shuffled.
    for (std::size_t g = 0; g < lookahead.size(); ++g)
      if (shuffled_[g]) lookahead[g].assign(found_[g].begin(), found_[g].end());
  } else {
    find_lookahead();
    largest_generation_ = 0;
    for (std::size_t g = 0; g < lookahead.size(); ++g) {
      found_[g].assign(lookahead[g].begin(), lookahead[g].end());
      largest_generation_ = std::max(largest_generation_, lookahead[g].size());
    }
    found_ready_.assign(generations.ready.begin(), generations.ready.end());
    found_epoch_ = front_epoch_;
  }
  // Each generation is shuffled when first read in an order that matters;
  // fresh draws either way, so every order stays equally likely.
  shuffled_.fill(false);
}

void TwoQubitDAG::find_lookahead() {
  lookahead.clear();
  ++stamp_;  // every feature row was of the old lookahead
  // The gates of the new lookahead are listed by qubit as they are found.
  const std::size_t n = num_qubits();
  ++list_;  // every list is empty
  bool listed = n <= std::numeric_limits<std::uint32_t>::max() && dist_rows_.size() == n;
  if (listed && on_count_.size() != n) {
    on_count_.assign(n, Count{});
    on_qubit_.resize(kPerQubit * n);
  }
  if (visits_.size() < generations.in_degree.size()) visits_.resize(generations.in_degree.size());
  if (++visit_ == 0) {  // wrapped: forget every old visit
    for (Visit& v : visits_) v.visit = 0;
    visit_ = 1;
  }
  // The hot loops read plain pointers held in locals: nothing they write
  // can move or change them.
  const std::uint32_t* const deg = generations.in_degree.data();
  const std::size_t deg_size = generations.in_degree.size();
  Visit* const visits = visits_.data();
  const std::uint32_t visit = visit_;
  Count* const counts = on_count_.data();
  OnQubit* const on = on_qubit_.data();
  const std::uint64_t list_now = list_;

  // A gate on two qubits is listed under both; one on a single qubit once,
  // so that no gate counts twice for a candidate.
  auto list = [&](NodeIndex node, std::uint32_t gen) {
    if (!listed) return;
    const auto [q0, q1] = qubits_of(node);
    if (q0 >= n || q1 >= n) {
      listed = false;
      return;
    }
    auto add = [&](std::size_t q, std::size_t other) {
      Count& c = counts[q];
      if (c.list != list_now) c = {list_now, 0};
      if (c.count == kPerQubit) {
        listed = false;
        return;
      }
      on[kPerQubit * q + c.count++] = {static_cast<std::uint32_t>(other), gen};
    };
    add(q0, q1);
    if (q1 != q0) add(q1, q0);
  };

  std::vector<NodeIndex>& front = lookahead.append();
  front.assign(generations.ready.begin(), generations.ready.end());
  for (const NodeIndex v : front) list(v, 0);
  // Kahn's algorithm on the in-degrees as they stand, one generation at a
  // time; a successor reached by two edges counts twice, as in the degree.
  while (lookahead.size() < LOOKAHEAD_DEPTH) {  // the next frontier is never stored
    const std::vector<NodeIndex>& frontier = lookahead[lookahead.size() - 1];
    std::vector<NodeIndex>& next = lookahead.append();
    const auto gen = static_cast<std::uint32_t>(lookahead.size() - 1);
    auto reach = [&](NodeIndex s) {
      if (s >= deg_size) return;  // cannot happen in a DAG
      Visit& v = visits[s];
      if (v.visit != visit) v = {visit, deg[s]};
      if (v.left == 0) return;  // likewise
      if (--v.left == 0) {
        next.push_back(s);
        list(s, gen);
      }
    };
    if (frozen_) {
      const std::uint32_t* const succ_start = succ_start_.data();
      const NodeIndex* const succ = succ_.data();
      for (const NodeIndex v : frontier)
        for (std::uint32_t e = succ_start[v]; e < succ_start[v + 1]; ++e) reach(succ[e]);
    } else {
      for (const NodeIndex v : frontier) graph.for_each_successor(v, reach);
    }
    if (next.empty()) {
      lookahead.drop_last();
      break;
    }
  }
  if (front.empty()) lookahead.clear();
  gates_listed_ = listed;
}

void TwoQubitDAG::shuffle_generation(std::size_t g) {
  if (shuffled_[g]) return;
  shuffle_small(rng::thread_rng(), lookahead[g].data(), lookahead[g].size());
  shuffled_[g] = true;
}

bool TwoQubitDAG::sums_are_exact(std::size_t g) const {
  return lookahead[g].size() < exact_below_;
}

void TwoQubitDAG::freeze_successors() {
  const std::size_t bound = graph.node_bound();
  succ_start_.assign(bound + 1, 0);
  succ_.clear();
  node_qubits_.assign(bound, {0, 0});
  for (std::size_t x = 0; x < bound; ++x) {
    succ_start_[x] = static_cast<std::uint32_t>(succ_.size());
    const auto node = static_cast<NodeIndex>(x);
    if (!graph.contains(node)) continue;
    graph.for_each_successor(node, [&](NodeIndex s) { succ_.push_back(s); });
    node_qubits_[x] = {graph[node].q0, graph[node].q1};
  }
  succ_start_[bound] = static_cast<std::uint32_t>(succ_.size());
  frozen_ = true;
}

void TwoQubitDAG::set_distance_bound(const Dists& dists) {
  // Only distances between qubits below n are ever read.
  const std::size_t n = num_qubits();
  std::uint64_t max_abs = 0;
  for (std::size_t p = 0; p < std::min(dists.size(), n); ++p) {
    const auto& row = dists[p];
    for (std::size_t r = 0; r < std::min(row.size(), n); ++r) {
      const std::int32_t v = row[r];
      max_abs = std::max<std::uint64_t>(max_abs, v < 0 ? -static_cast<std::int64_t>(v) : v);
    }
  }
  // A term is a difference of two distances.
  term_bound_ = 2 * max_abs;
  ++stamp_;  // rows kept were of other distances
  // Below this many terms every partial sum of a feature is an integer of
  // magnitude below 2^24, hence exact in a float whatever order the terms
  // come in.
  constexpr std::uint64_t kExact = std::uint64_t{1} << 24;
  exact_below_ = term_bound_ >= kExact ? 0 : static_cast<std::size_t>(kExact / (term_bound_ + 1));
  dist_rows_.clear();
  if (dists.size() >= n &&
      std::all_of(dists.begin(), dists.begin() + static_cast<std::ptrdiff_t>(n),
                  [&](const auto& row) { return row.size() >= n; })) {
    for (std::size_t p = 0; p < n; ++p) dist_rows_.push_back(dists[p].data());
  }
}

void TwoQubitDAG::swap_candidates(const std::vector<std::size_t>& v2p,
                                  std::vector<std::size_t>& out) {
  // One more place than can be filled: an edge is written before it is known
  // to be new, so the gathering needs no branch on that.
  std::array<std::size_t, MAX_CANDIDATES + 1> found;
  std::size_t count = 0;
  ++mark_;  // no edge is marked as gathered
  rng::ThreadRng& r = rng::thread_rng();
  std::uint64_t* const marks = edge_mark_.data();
  const std::uint64_t mark = mark_;
  for (std::size_t g = 0; g < lookahead.size(); ++g) {
    if (!shuffled_[g]) {
      shuffle_small(r, lookahead[g].data(), lookahead[g].size());
      shuffled_[g] = true;
    }
    for (const NodeIndex node : lookahead[g]) {
      const auto [q0, q1] = qubits_of(node);
      for (const std::size_t q : {q0, q1}) {
        const std::size_t p = at(v2p, q);
        for (const std::size_t e : incident(p)) {
          if (count == MAX_CANDIDATES) goto gathered;
          const bool fresh = marks[e] != mark;
          marks[e] = mark;
          found[count] = e;
          count += fresh;
        }
      }
    }
  }
gathered:
  shuffle_small(r, found.data(), count);
  out.assign(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(count));
}

void TwoQubitDAG::number_couplers(const CouplingMap& coupling_map) {
  std::vector<std::uint32_t> order(coupling_map.size());
  std::iota(order.begin(), order.end(), 0u);
  auto ends = [&](std::uint32_t e) {
    const auto [a, b] = coupling_map[e];
    return std::make_pair(std::min(a, b), std::max(a, b));
  };
  std::sort(order.begin(), order.end(),
            [&](std::uint32_t x, std::uint32_t y) { return ends(x) < ends(y); });
  coupler_of_.assign(coupling_map.size(), 0);
  std::uint32_t id = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (i > 0 && ends(order[i]) != ends(order[i - 1])) ++id;
    coupler_of_[order[i]] = id;
  }
  const std::size_t couplers = order.empty() ? 0 : id + 1;
  rows_.assign(couplers, Row{});
  // Couplers by end, each once; self-loops never change a sum.
  const std::size_t n = num_qubits();
  couplers_at_start_.assign(n + 1, 0);
  couplers_at_.clear();
  for (std::size_t p = 0; p < n; ++p) {
    couplers_at_start_[p] = static_cast<std::uint32_t>(couplers_at_.size());
    for (const std::size_t e : incident(p)) {
      const auto [a, b] = coupling_map[e];
      if (a == b) continue;
      const auto other = static_cast<std::uint32_t>(a == p ? b : a);
      const auto entry = std::make_pair(coupler_of_[e], other);
      if (std::find(couplers_at_.begin() + couplers_at_start_[p], couplers_at_.end(), entry) ==
          couplers_at_.end())
        couplers_at_.push_back(entry);
    }
  }
  couplers_at_start_[n] = static_cast<std::uint32_t>(couplers_at_.size());
}

void TwoQubitDAG::drop_rows_at(std::size_t p) {
  for (const std::size_t e : incident(p)) rows_[coupler_of_[e]].stamp = 0;
}

void TwoQubitDAG::swapped(std::size_t a, std::size_t b, const std::vector<std::size_t>& v2p,
                          const std::vector<std::size_t>& p2v) {
  if (coupler_of_.empty() || !gates_listed_ || a == b) return;  // nothing kept or moved
  // A front changed since the lookahead was found: the next update finds it
  // afresh, and every row with it.
  if (front_epoch_ != found_epoch_) return;
  // The couplers at a and b now read other qubits: computed afresh.
  drop_rows_at(a);
  drop_rows_at(b);
  // A coupler (p, c) elsewhere reads the moved qubit through each gate
  // between it and the qubit at p: that gate's term changes.
  // A row is kept only while its sums are exact: every term and sum is then
  // far inside 32 bits.
  auto term = [&](std::size_t p, std::size_t c, std::size_t q) -> std::int32_t {
    if (q == c) return 0;  // the gate lies on the coupler
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(dist_rows_[p][q]) -
                                     static_cast<std::uint32_t>(dist_rows_[c][q]));
  };
  for (const auto& [moved, from, to] : {std::tuple{p2v[a], b, a}, std::tuple{p2v[b], a, b}}) {
    for (const OnQubit& gate : gates_on(moved)) {
      const std::size_t p = v2p[gate.other];
      if (p == a || p == b) continue;  // one-qubit gates, and couplers just dropped
      for (std::uint32_t k = couplers_at_start_[p]; k < couplers_at_start_[p + 1]; ++k) {
        const auto [coupler, c] = couplers_at_[k];
        Row& row = rows_[coupler];
        if (row.stamp != stamp_) continue;
        std::int32_t& sum = row.sums[gate.gen];
        const std::int32_t before = sign_digit(sum);
        sum += term(p, c, to) - term(p, c, from);
        row.code += (sign_digit(sum) - before) * SLOT_CODE_WEIGHTS[gate.gen];
      }
    }
  }
}

bool TwoQubitDAG::rows_usable(const CouplingMap& coupling_map,
                              const std::vector<std::size_t>& v2p,
                              const std::vector<std::size_t>& p2v) {
  const std::size_t n = num_qubits();
  if (!gates_listed_ || dist_rows_.size() != n || v2p.size() != n || p2v.size() != n)
    return false;
  if (!lookahead.empty() && largest_generation_ >= exact_below_) return false;
  if (coupler_of_.size() != coupling_map.size()) number_couplers(coupling_map);
  return true;
}

void TwoQubitDAG::compute_row(Row& row, std::pair<std::size_t, std::size_t> coupler,
                              const std::vector<std::size_t>& v2p,
                              const std::vector<std::size_t>& p2v) {
  const auto [a, b] = coupler;  // ends below n: checked by new
  const std::int32_t* row_a = dist_rows_[a];
  const std::int32_t* row_b = dist_rows_[b];
  // Only the gates on the qubits at a and at b move. A gate with a qubit at a
  // and its other qubit at p gains dists[a][p] - dists[b][p], unless p is b
  // (the gate lies on the edge); likewise from b. Every sum is an exact
  // integer in a float, so summing as integers, in any order, gives the value
  // the generation's order gives; and (b, a) the same as (a, b).
  row.sums.fill(0);
  auto gather = [&](std::size_t q, const std::int32_t* from, const std::int32_t* to,
                    std::size_t skip) {
    for (const OnQubit& gate : gates_on(q)) {
      const std::size_t p = v2p[gate.other];
      if (p == skip) continue;
      row.sums[gate.gen] += static_cast<std::int32_t>(static_cast<std::uint32_t>(from[p]) -
                                                      static_cast<std::uint32_t>(to[p]));
    }
  };
  gather(p2v[a], row_a, row_b, b);
  if (a != b) gather(p2v[b], row_b, row_a, a);  // a self-loop coupler has one qubit
  row.stamp = stamp_;
  row.code = slot_code(row.sums);
}

bool TwoQubitDAG::features_from_qubits(const std::vector<std::size_t>& candidates,
                                       const CouplingMap& coupling_map,
                                       const std::vector<std::size_t>& v2p,
                                       const std::vector<std::size_t>& p2v, IntFeatures& x) {
  if (!rows_usable(coupling_map, v2p, p2v)) return false;
  const std::size_t slots = std::min(candidates.size(), MAX_CANDIDATES);
  // Generations beyond the lookahead sum to 0, as do empty slots.
  for (std::size_t j = 0; j < slots; ++j)
    std::memcpy(x.data() + LOOKAHEAD_DEPTH * j,
                current_row(candidates[j], coupling_map, v2p, p2v).sums.data(),
                LOOKAHEAD_DEPTH * sizeof(std::int32_t));
  for (std::size_t i = LOOKAHEAD_DEPTH * slots; i < x.size(); ++i) x[i] = 0;
  return true;
}

bool TwoQubitDAG::feature_codes(const std::vector<std::size_t>& candidates,
                                const CouplingMap& coupling_map,
                                const std::vector<std::size_t>& v2p,
                                const std::vector<std::size_t>& p2v, SlotCodes& codes) {
  static_assert(SLOT_INPUTS == LOOKAHEAD_DEPTH && POLICY_OUTPUTS == MAX_CANDIDATES);
  if (!rows_usable(coupling_map, v2p, p2v)) return false;
  const std::size_t slots = std::min(candidates.size(), MAX_CANDIDATES);
  for (std::size_t j = 0; j < slots; ++j)
    codes[j] = static_cast<std::uint16_t>(current_row(candidates[j], coupling_map, v2p, p2v).code);
  for (std::size_t j = slots; j < codes.size(); ++j) codes[j] = ZERO_SLOT_CODE;
  return true;
}

Features TwoQubitDAG::features(const std::vector<std::size_t>& candidates,
                               const CouplingMap& coupling_map,
                               const std::vector<std::size_t>& v2p, const Dists& dists) {
  Features x{};
  if (candidates.empty()) return x;
  const std::size_t slots = std::min(candidates.size(), MAX_CANDIDATES);
  // slot_mask_[p]: the candidate slots whose edge touches physical qubit p,
  // so that a gate is compared only with the candidates it can meet.
  std::array<std::pair<std::size_t, std::size_t>, MAX_CANDIDATES> edge{};
  for (std::size_t j = 0; j < slots; ++j) {
    edge[j] = at(coupling_map, candidates[j]);
    at(slot_mask_, edge[j].first) |= static_cast<std::uint16_t>(1u << j);
    at(slot_mask_, edge[j].second) |= static_cast<std::uint16_t>(1u << j);
  }
  auto dist = [&](std::size_t p, std::size_t r) -> std::uint32_t {
    return static_cast<std::uint32_t>(at(at(dists, p), r));
  };
  for (std::size_t g = 0; g < lookahead.size(); ++g) {
    // The terms are added in the generation's order: when the sums could
    // round, that order must be the shuffled one.
    if (!sums_are_exact(g)) shuffle_generation(g);
    for (const NodeIndex node : lookahead[g]) {
      const Operation& op = graph[node];
      const std::size_t p0 = at(v2p, op.q0);
      const std::size_t p1 = at(v2p, op.q1);
      unsigned mask = 0;
      if (p0 < slot_mask_.size()) mask |= slot_mask_[p0];
      if (p1 < slot_mask_.size()) mask |= slot_mask_[p1];
      while (mask != 0) {
        const unsigned j = static_cast<unsigned>(__builtin_ctz(mask));
        mask &= mask - 1;
        const auto [a, b] = edge[j];
        std::uint32_t now, after;
        if (p0 == a && p1 != b) {
          now = dist(a, p1), after = dist(b, p1);
        } else if (p0 == b && p1 != a) {
          now = dist(b, p1), after = dist(a, p1);
        } else if (p1 == a && p0 != b) {
          now = dist(a, p0), after = dist(b, p0);
        } else if (p1 == b && p0 != a) {
          now = dist(b, p0), after = dist(a, p0);
        } else {
          continue;  // the gate lies on the edge itself
        }
        // 32-bit wrapping difference, as the distances are signed 32-bit.
        const auto term = static_cast<std::int32_t>(now - after);
        x[g + LOOKAHEAD_DEPTH * j] += static_cast<float>(term);
      }
    }
  }
  for (std::size_t j = 0; j < slots; ++j) {
    slot_mask_[edge[j].first] = 0;
    slot_mask_[edge[j].second] = 0;
  }
  return x;
}

}  // namespace corvane::routing
