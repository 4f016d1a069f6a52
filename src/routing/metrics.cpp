#include "routing/metrics.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string_view>

#include "common/fault.h"

namespace corvane::routing::metrics {

namespace {

// Names match without regard to case. No non-ASCII character lower-cases
// into the letters of these names, so ASCII folding is exact here.
bool equals_folded(std::string_view name, std::string_view lower) {
  if (name.size() != lower.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

std::uint64_t noise_value(double fidelity) {
  const double v = (1.0 - fidelity) * 1000000.0;
  if (!(v > 0.0)) return 0;  // NaN, zero and negatives
  if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(v);
}

CircuitMetrics::CircuitMetrics(std::size_t n, const MetricNames& metrics_names,
                               const ErrMap& err_map)
    : depth_(n, -1), cnot_depth_(n, -1), err_map_(err_map) {
  metrics_.reserve(metrics_names.size());
  for (const std::string& name : metrics_names) {
    Metric m = Metric::Unknown;
    if (equals_folded(name, "noise"))
      m = Metric::Noise;
    else if (equals_folded(name, "layers"))
      m = Metric::Layers;
    else if (equals_folded(name, "cnot_layers"))
      m = Metric::CnotLayers;
    else if (equals_folded(name, "n_cnots"))
      m = Metric::NCnots;
    else if (equals_folded(name, "n_gates"))
      m = Metric::NGates;
    metrics_.push_back(m);
  }
}

void CircuitMetrics::apply(const Operation& op) {
  const std::size_t cost = op.kind.cx_cost();
  for (std::size_t i = 0; i < cost; ++i) cx(op.q0, op.q1);
}

void CircuitMetrics::cx(std::size_t a, std::size_t b) {
  ++n_cnots_;
  ++n_gates_;
  if (!err_map_.empty()) {
    auto it = err_map_.find({a, b});
    if (it != err_map_.end()) fidelity_ = (1.0 - it->second) * fidelity_;
  }
  if (a >= depth_.size()) index_fault(depth_.size(), a);
  if (b >= depth_.size()) index_fault(depth_.size(), b);
  const std::int64_t d = std::max(depth_[a], depth_[b]) + 1;
  depth_[a] = d;
  depth_[b] = d;
  const std::int64_t c = std::max(cnot_depth_[a], cnot_depth_[b]) + 1;
  cnot_depth_[a] = c;
  cnot_depth_[b] = c;
  max_layer_ = std::max(max_layer_, d);
  max_cnot_layer_ = std::max(max_cnot_layer_, c);
}

std::vector<std::uint64_t> CircuitMetrics::get_metrics() const {
  const std::uint64_t noise = noise_value(fidelity_);
  std::vector<std::uint64_t> out;
  out.reserve(metrics_.size());
  for (const Metric m : metrics_) {
    switch (m) {
      case Metric::Noise: out.push_back(noise); break;
      case Metric::Layers: out.push_back(static_cast<std::uint64_t>(max_layer_ + 1)); break;
      case Metric::CnotLayers: out.push_back(static_cast<std::uint64_t>(max_cnot_layer_ + 1)); break;
      case Metric::NCnots: out.push_back(n_cnots_); break;
      case Metric::NGates: out.push_back(n_gates_); break;
      case Metric::Unknown: fault("This should be impossible");
    }
  }
  return out;
}

}  // namespace corvane::routing::metrics
