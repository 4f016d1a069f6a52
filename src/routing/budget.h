// What a routing call may take of the machine: memory and threads. A call
// whose inputs describe more work than fits is refused before anything large
// is allocated, and a pass never runs more threads than the machine has.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::routing {

// Bytes one call may hold at once: half the machine's physical memory, and
// no more than the process may have (RLIMIT_AS, RLIMIT_DATA, its cgroup's
// memory limit). Read once, at the first call.
std::uint64_t memory_budget() noexcept;

// Bytes one worker holds for a circuit of `gates` gates on `num_qubits`
// qubits and a coupling map of `edges` entries: an estimate, from routings of
// random circuits on lines, grids and heavy-hex devices of up to 127 qubits
// (1 to 2.5 KiB per input gate, the routed circuit included).
std::uint64_t worker_memory(std::uint64_t gates, std::uint64_t edges,
                            std::uint64_t num_qubits) noexcept;

// Bytes of a pass's result as Python receives it: three lists of num_qubits
// ints besides the gate list.
std::uint64_t result_memory(std::uint64_t gates, std::uint64_t num_qubits) noexcept;

// Bytes per unit behind worker_memory, also used to tell which argument asks for most.
inline constexpr std::uint64_t kBytesPerGate = 2048;
inline constexpr std::uint64_t kBytesPerEdge = 64;
inline constexpr std::uint64_t kBytesPerQubit = 256;

// Processors this process may run on (at least 1).
std::size_t available_cpus() noexcept;

// Worker threads for a pass of `runs` routings: no more than the processors,
// the runs, and what the memory budget holds (at least 1 when runs > 0).
std::size_t pass_threads(std::uint64_t runs, std::uint64_t worker_bytes) noexcept;

}  // namespace corvane::routing
