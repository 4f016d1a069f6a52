#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/rng.h"
#include "common/thread_exit.h"

namespace corvane {
namespace {

std::vector<int>* g_calls = nullptr;

void record(void* arg) noexcept { g_calls->push_back(*static_cast<int*>(arg)); }

TEST(ThreadExit, RunsEveryEntryOnceWhenTheThreadEndsLastFirst) {
  std::vector<int> calls;
  g_calls = &calls;
  int first = 1, second = 2;
  std::vector<int> before_exit;
  std::thread([&] {
    at_thread_exit(&record, &first);
    at_thread_exit(&record, &second);
    before_exit = calls;
  }).join();
  EXPECT_TRUE(before_exit.empty());
  EXPECT_EQ(calls, (std::vector<int>{2, 1}));
}

TEST(ThreadExit, EachThreadHasItsOwnGenerator) {
  rng::seed_thread_rng(7);
  const rng::ThreadRng* here = &rng::thread_rng();
  const rng::ThreadRng* there = nullptr;
  bool seeded_there = true;
  std::thread([&] {
    there = &rng::thread_rng();
    seeded_there = there->deterministic();
  }).join();
  EXPECT_NE(here, there);
  EXPECT_FALSE(seeded_there);
  EXPECT_TRUE(rng::thread_rng().deterministic());
}

}  // namespace
}  // namespace corvane
