// Measures of a routed circuit: CX count, CX depth and a noise estimate from
// per-edge error rates. A worker ranks its routing by these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "routing/ops.h"
#include "routing/types.h"

namespace corvane::routing::metrics {

class CircuitMetrics {
 public:
  // The names are resolved here; an unknown one faults in get_metrics. The
  // error map is copied, so the caller's map may change afterwards.
  CircuitMetrics(std::size_t n, const MetricNames& metrics_names, const ErrMap& err_map);

  // Records as many CX gates on (q0, q1) as the gate's kind costs.
  void apply(const Operation& op);
  // Records one CX gate on the ordered pair (a, b).
  void cx(std::size_t a, std::size_t b);
  // One value per metric name, in the caller's order.
  std::vector<std::uint64_t> get_metrics() const;

  double fidelity() const { return fidelity_; }

 private:
  enum class Metric : std::uint8_t { Noise, Layers, CnotLayers, NCnots, NGates, Unknown };

  std::vector<std::int64_t> depth_;
  std::vector<std::int64_t> cnot_depth_;
  std::vector<Metric> metrics_;
  ErrMap err_map_;
  // Every layer number above 0 is one more than one already reached, so the
  // set of layers is 0..max: its size is max + 1.
  std::int64_t max_layer_ = -1;
  std::int64_t max_cnot_layer_ = -1;
  std::uint64_t n_cnots_ = 0;
  std::uint64_t n_gates_ = 0;
  double fidelity_ = 1.0;
};

// (1 - fidelity) * 1e6 truncated, saturating: NaN and negatives give 0.
std::uint64_t noise_value(double fidelity);

}  // namespace corvane::routing::metrics
