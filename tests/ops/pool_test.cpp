// Worker pool: sizing from the environment (in child processes, since the size is fixed once per
// process), exact part boundaries, inline nesting, concurrent owners and teardown at thread exit.
#include "ops/pool.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"

namespace {

using ka::pool::parallelRange;
using ka::pool::parts;
using ka::pool::threads;

struct Call {
  uint64_t begin, end;
  std::thread::id thread;
};

std::vector<Call> recordCalls(uint64_t total, uint64_t minChunk) {
  std::mutex m;
  std::vector<Call> calls;
  parallelRange(total, minChunk, [&](uint64_t b, uint64_t e) {
    std::lock_guard<std::mutex> lock(m);
    calls.push_back({b, e, std::this_thread::get_id()});
  });
  std::sort(calls.begin(), calls.end(), [](const Call& a, const Call& b) { return a.begin < b.begin; });
  return calls;
}

// The expected split, written from the rule: P parts of ceil(total / P), the last shorter, parts
// starting at or past the end skipped.
std::vector<std::pair<uint64_t, uint64_t>> expectedParts(uint64_t total, uint64_t minChunk, int n) {
  const uint64_t q = total / std::max<uint64_t>(minChunk, 1);
  const int P = (n <= 1 || q <= 1) ? 1 : int(std::min<uint64_t>(q, uint64_t(n)));
  if (P == 1) return {{0, total}};
  const uint64_t chunk = total / uint64_t(P) + (total % uint64_t(P) ? 1 : 0);
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (int k = 0; k < P; ++k) {
    const uint64_t b = uint64_t(k) * chunk;
    if (b < total) out.push_back({b, total - b < chunk ? total : b + chunk});
  }
  return out;
}

size_t taskCount() {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

TEST(PoolThreads, SizeIsFixedAndAtLeastOne) {
  const int n = threads();
  EXPECT_GE(n, 1);
  EXPECT_TRUE(ka::pool::available());
  ka::test::ScopedEnv env("KA_CORE_THREADS", std::string("1"));
  EXPECT_EQ(threads(), n) << "the size is computed once per process";
}

TEST(PoolThreads, PartCounts) {
  const int n = threads();
  EXPECT_EQ(parts(10, 4), n >= 2 ? 2 : 1);
  EXPECT_EQ(parts(7, 4), 1);
  EXPECT_EQ(parts(8, 4), n >= 2 ? 2 : 1);
  EXPECT_EQ(parts(100, 0), std::min(100, n));
  EXPECT_EQ(parts(100, 1), std::min(100, n));
  EXPECT_EQ(parts(0, 0), 1);
  EXPECT_EQ(parts(1, 0), 1);
  EXPECT_EQ(parts(2, 1), std::min(2, n));
  EXPECT_EQ(parts(UINT64_MAX, 1), n);
  EXPECT_EQ(parts(UINT64_MAX, UINT64_MAX), 1);
}

TEST(PoolThreads, ExactPartBoundaries) {
  const int n = threads();
  const auto caller = std::this_thread::get_id();
  for (uint64_t total : {0ull, 1ull, 2ull, 3ull, 5ull, 7ull, 10ull, 17ull, 100ull, 1001ull}) {
    for (uint64_t minChunk : {0ull, 1ull, 3ull, 4ull, 64ull}) {
      SCOPED_TRACE("total " + std::to_string(total) + " minChunk " + std::to_string(minChunk));
      const auto calls = recordCalls(total, minChunk);
      const auto want = expectedParts(total, minChunk, n);
      ASSERT_EQ(calls.size(), want.size());
      std::set<std::thread::id> seen;
      for (size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].begin, want[i].first);
        EXPECT_EQ(calls[i].end, want[i].second);
        EXPECT_TRUE(seen.insert(calls[i].thread).second) << "two parts on one thread";
      }
      EXPECT_EQ(calls[0].thread, caller) << "the caller runs part 0";
    }
  }
}

TEST(PoolThreads, HugeRangeDoesNotOverflow) {
  const int n = threads();
  const auto calls = recordCalls(UINT64_MAX, 1);
  const auto want = expectedParts(UINT64_MAX, 1, n);
  ASSERT_EQ(calls.size(), want.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    EXPECT_EQ(calls[i].begin, want[i].first);
    EXPECT_EQ(calls[i].end, want[i].second);
  }
  EXPECT_EQ(calls.back().end, UINT64_MAX);
}

TEST(PoolThreads, NestedCallRunsInline) {
  std::mutex m;
  std::vector<std::tuple<uint64_t, uint64_t, bool>> inner;
  parallelRange(8, 1, [&](uint64_t, uint64_t) {
    const auto self = std::this_thread::get_id();
    parallelRange(100, 1, [&](uint64_t b, uint64_t e) {
      std::lock_guard<std::mutex> lock(m);
      inner.emplace_back(b, e, std::this_thread::get_id() == self);
    });
  });
  ASSERT_EQ(int(inner.size()), parts(8, 1));
  for (const auto& [b, e, sameThread] : inner) {
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(e, 100u);
    EXPECT_TRUE(sameThread);
  }
}

TEST(PoolThreads, CallerStackDataAndManyJobs) {
  for (int job = 0; job < 2000; ++job) {
    std::vector<uint32_t> data(size_t(257 + job % 13), 0);
    parallelRange(data.size(), 1, [&](uint64_t b, uint64_t e) {
      for (uint64_t i = b; i < e; ++i) data[i] += uint32_t(i) + 1;
    });
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], i + 1) << "job " << job;
  }
}

TEST(PoolThreads, TwoOwnersRunAtOnce) {
  auto work = [](uint64_t seed, std::atomic<bool>* ok) {
    for (int job = 0; job < 500; ++job) {
      std::vector<uint64_t> out(1000);
      parallelRange(out.size(), 16, [&](uint64_t b, uint64_t e) {
        for (uint64_t i = b; i < e; ++i) out[i] = i * seed + uint64_t(job);
      });
      for (uint64_t i = 0; i < out.size(); ++i) {
        if (out[i] != i * seed + uint64_t(job)) *ok = false;
      }
    }
  };
  std::atomic<bool> ok{true};
  std::thread a(work, 3, &ok), b(work, 7, &ok);
  a.join();
  b.join();
  EXPECT_TRUE(ok.load());
}

TEST(PoolThreads, WorkersJoinedAtOwnerExit) {
  const int n = threads();
  if (n < 2) GTEST_SKIP() << "a pool of one thread has no workers";
  // A thread started and joined first, so that helper threads the runtime starts with the first
  // thread (ThreadSanitizer's, for one) already exist when the count is taken.
  std::thread([] {}).join();
  const size_t before = taskCount();
  size_t during = 0;
  std::thread owner([&] {
    parallelRange(100, 1, [](uint64_t, uint64_t) {});
    during = taskCount();
  });
  owner.join();
  EXPECT_EQ(during, before + 1 + size_t(n - 1));
  EXPECT_EQ(taskCount(), before) << "the owner's workers outlived it";
}

// A width limit holds for its own thread only, nests, and under a limit of one no worker starts.
TEST(PoolThreads, WidthLimitIsPerThreadAndNests) {
  const int n = threads();
  if (n < 2) GTEST_SKIP() << "a pool of one thread splits nothing";
  std::thread([] {}).join();
  const size_t before = taskCount();
  std::thread owner([&] {
    ka::pool::WidthLimit one(0);  // below 1 counts as 1
    const std::vector<Call> inline1 = recordCalls(100, 1);
    ASSERT_EQ(inline1.size(), 1u);
    EXPECT_EQ(inline1[0].begin, 0u);
    EXPECT_EQ(inline1[0].end, 100u);
    EXPECT_EQ(inline1[0].thread, std::this_thread::get_id());
    EXPECT_EQ(taskCount(), before + 1) << "a width-1 thread started workers";
    {
      ka::pool::WidthLimit two(2);
      EXPECT_EQ(parts(100, 1), 2);
    }
    EXPECT_EQ(parts(100, 1), 1) << "the outer limit did not come back";
    std::vector<Call> other;
    std::thread([&] { other = recordCalls(100, 1); }).join();
    EXPECT_EQ(other.size(), expectedParts(100, 1, n).size()) << "the limit leaked to another thread";
  });
  owner.join();
  EXPECT_EQ(parts(100, 1), int(expectedParts(100, 1, n).size()));
}

TEST(PoolThreads, ThrowingPartIsRethrownAfterAllParts) {
  const int n = threads();
  if (n < 2) GTEST_SKIP() << "needs at least two parts";
  std::atomic<int> finished{0};
  try {
    parallelRange(uint64_t(n), 1, [&](uint64_t b, uint64_t) {
      if (b == 1) throw std::runtime_error("part one failed");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ++finished;
    });
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "part one failed");
    EXPECT_EQ(finished.load(), n - 1);
  }
  // The pool stays usable.
  EXPECT_EQ(recordCalls(10, 1).size(), expectedParts(10, 1, n).size());
}

// ---- Environment rules, each in a fresh process ------------------------------------------------

// Run only in a child process started by PoolEnv below.
TEST(DISABLED_PoolEnvChild, PrintThreads) { std::printf("KA_POOL_THREADS=%d\n", threads()); }

std::string selfPath() {
  char buf[4096];
  const ssize_t len = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (len <= 0) return {};
  return std::string(buf, size_t(len));
}

int childThreads(std::optional<std::string> core, std::optional<std::string> paste) {
  std::string cmd = "env -u KA_CORE_THREADS -u KA_PASTE_THREADS";
  if (core) cmd += " KA_CORE_THREADS=" + ka::test::shellQuote(*core);
  if (paste) cmd += " KA_PASTE_THREADS=" + ka::test::shellQuote(*paste);
  cmd += " " + ka::test::shellQuote(selfPath()) +
         " --gtest_also_run_disabled_tests --gtest_filter=DISABLED_PoolEnvChild.PrintThreads";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  int result = -1;
  char line[512];
  while (std::fgets(line, sizeof line, p)) std::sscanf(line, "KA_POOL_THREADS=%d", &result);
  pclose(p);
  return result;
}

TEST(PoolEnv, SizeRules) {
  const int hw = int(std::thread::hardware_concurrency());
  auto capped = [&](int request) { return hw > 0 && hw < request ? hw : request; };
  using S = std::optional<std::string>;
  const S unset;
  EXPECT_EQ(childThreads(unset, unset), capped(4)) << "default";
  EXPECT_EQ(childThreads(S("16"), unset), capped(16));
  EXPECT_EQ(childThreads(S("2"), unset), capped(2));
  EXPECT_EQ(childThreads(S("0"), unset), 1);
  EXPECT_EQ(childThreads(S("-3"), unset), 1);
  EXPECT_EQ(childThreads(S("many"), unset), 1);
  EXPECT_EQ(childThreads(S("1"), S("2")), 1) << "KA_CORE_THREADS wins";
  EXPECT_EQ(childThreads(S(""), S("1")), 1) << "an empty KA_CORE_THREADS counts as unset";
  EXPECT_EQ(childThreads(unset, S("0")), 1);
  EXPECT_EQ(childThreads(unset, S("")), capped(4)) << "an empty KA_PASTE_THREADS counts as unset";
  EXPECT_EQ(childThreads(S("99999999999999999999"), unset), capped(1 << 16));
}

}  // namespace
