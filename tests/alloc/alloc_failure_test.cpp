// Allocation failures on every open path: this binary replaces operator new/delete and the malloc
// family with versions that fail the n-th allocation while armed. Each path is first run dry to
// count its allocations, then once for every n (every n while the count is small, a stride over
// the rest; KA_ALLOC_SWEEP=full runs every n, KA_ALLOC_SWEEP=<points> sets the stride's points).
// Each run must succeed or fail cleanly with a text, within a deadline, leaving the files on disk
// as they were or complete; leaks are checked per path under the leak checker.
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/test_util.h"
#include "ka/ka.h"
#include "ka/ka_a2x.h"
#include "ka/ka_fca.h"
#include "ka/ka_motion.h"
#include "ka/ka_stream.h"
#include "ka/ka_tessera.h"
#include "ka/ka_utt.h"
#include "runtime/ort_env.h"
#include "tessera/bank_decode.h"
#include "tessera/members.h"

// ---- The failing allocator ---------------------------------------------------------------------

// The allocator underneath: the sanitizer's when one is linked, else the C library's own entry
// points (so a replaced malloc can still reach the real one).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KA_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KA_SANITIZED 1
#endif
#endif
#ifdef KA_SANITIZED
#define KA_REAL(f) __interceptor_##f
#else
#define KA_REAL(f) __libc_##f
#endif
extern "C" {
void* KA_REAL(malloc)(size_t);
void* KA_REAL(calloc)(size_t, size_t);
void* KA_REAL(realloc)(void*, size_t);
void* KA_REAL(memalign)(size_t, size_t);
int __lsan_do_recoverable_leak_check() __attribute__((weak));
}

namespace {

// Plain words read through atomic builtins in uninstrumented code: the allocator is called before
// the sanitizer's runtime has set itself up.
bool g_armed = false;
long g_count = 0;
long g_failAt = LONG_MAX;
long g_injected = 0;

#define KA_UNINSTRUMENTED __attribute__((no_sanitize_address, no_sanitize_thread, no_sanitize_undefined))

// C library code whose allocations are not failed: pthread_getattr_np, the
// pthread_attr_setaffinity_np it calls and every calloc of the C library's own (the sanitizer's
// runtime calls pthread_getattr_np as each thread starts, before any of the thread's own code, and
// the C library then reads through a null pointer), and __cxa_thread_atexit_impl (the C library
// stops the process when it cannot record a thread-local object's destructor).
constexpr size_t kExempt = 3;
const char* const kExemptNames[kExempt] = {"pthread_getattr_np", "pthread_attr_setaffinity_np",
                                           "__cxa_thread_atexit_impl"};
uintptr_t g_exemptLo[kExempt] = {}, g_exemptHi[kExempt] = {};
// ONNX Runtime's code: an operator new failing there can throw through the runtime's own noexcept
// functions (std::terminate inside the runtime, which is its to mend). Its malloc family is failed
// (the runtime checks those); its operator new only with KA_ALLOC_FAIL_ORT_NEW=1.
uintptr_t g_ortLo = 0, g_ortHi = 0;
uintptr_t g_libcLo = 0, g_libcHi = 0;
bool g_trace = false;

// The code of the loaded object whose name holds `name`.
struct CodeRange {
  const char* name;
  uintptr_t* lo;
  uintptr_t* hi;
};
int findCode(dl_phdr_info* info, size_t, void* data) {
  const CodeRange& r = *static_cast<const CodeRange*>(data);
  if (!info->dlpi_name || !std::strstr(info->dlpi_name, r.name)) return 0;
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD || !(ph.p_flags & PF_X)) continue;
    *r.lo = info->dlpi_addr + ph.p_vaddr;
    *r.hi = *r.lo + ph.p_memsz;
  }
  return 1;
}

void findExemptCode() {
  void* libc = ::dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
  for (size_t k = 0; libc && k < kExempt; ++k) {
    void* sym = ::dlsym(libc, kExemptNames[k]);
    Dl_info info;
    const ElfW(Sym)* entry = nullptr;
    if (sym && ::dladdr1(sym, &info, const_cast<void**>(reinterpret_cast<const void**>(&entry)), RTLD_DL_SYMENT) &&
        entry) {
      g_exemptLo[k] = reinterpret_cast<uintptr_t>(sym);
      g_exemptHi[k] = g_exemptLo[k] + entry->st_size;
    }
  }
  if (libc) ::dlclose(libc);
  CodeRange libcCode{"libc.so.6", &g_libcLo, &g_libcHi}, ortCode{"libonnxruntime", &g_ortLo, &g_ortHi};
  ::dl_iterate_phdr(findCode, &libcCode);
  const char* ortNew = std::getenv("KA_ALLOC_FAIL_ORT_NEW");
  if (!(ortNew && ortNew[0] == '1')) ::dl_iterate_phdr(findCode, &ortCode);
}

// How an allocation was asked for.
enum class Via { kMalloc, kCalloc, kNew };

// Counts an allocation made from `caller` while armed; true for the one to fail.

KA_UNINSTRUMENTED inline bool failThis(void* caller, Via via = Via::kMalloc) {
  if (!__atomic_load_n(&g_armed, __ATOMIC_RELAXED)) return false;
  const uintptr_t at = reinterpret_cast<uintptr_t>(caller);
  for (size_t k = 0; k < kExempt; ++k)
    if (at >= g_exemptLo[k] && at < g_exemptHi[k]) return false;
  if (via == Via::kNew && at >= g_ortLo && at < g_ortHi) return false;
  if (via == Via::kCalloc && at >= g_libcLo && at < g_libcHi) return false;
  const long c = __atomic_add_fetch(&g_count, 1, __ATOMIC_RELAXED);
  if (c != __atomic_load_n(&g_failAt, __ATOMIC_RELAXED)) return false;
  __atomic_add_fetch(&g_injected, 1, __ATOMIC_RELAXED);
  if (g_trace) {  // where the failure lands, for reading a sweep (KA_ALLOC_TRACE=1)
    void* frames[32];
    ::backtrace_symbols_fd(frames, ::backtrace(frames, 32), 2);
  }
  return true;
}

// Arms the allocator to fail allocation failAt (LONG_MAX: none) from zero.
void arm(long failAt) {
  static const bool found = [] {
    findExemptCode();
    const char* trace = std::getenv("KA_ALLOC_TRACE");
    g_trace = trace && trace[0] == '1';
    void* frame[1];
    ::backtrace(frame, 1);  // loads the unwinder now, not while failing an allocation
    return true;
  }();
  (void)found;
  __atomic_store_n(&g_count, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&g_injected, 0, __ATOMIC_SEQ_CST);
  __atomic_store_n(&g_failAt, failAt, __ATOMIC_SEQ_CST);
  __atomic_store_n(&g_armed, true, __ATOMIC_SEQ_CST);
}
void disarm() { __atomic_store_n(&g_armed, false, __ATOMIC_SEQ_CST); }
long allocations() { return __atomic_load_n(&g_count, __ATOMIC_SEQ_CST); }
bool injected() { return __atomic_load_n(&g_injected, __ATOMIC_SEQ_CST) > 0; }

KA_UNINSTRUMENTED void* alignedReal(size_t align, size_t n) {
  return KA_REAL(memalign)(std::max(align, sizeof(void*)), n ? n : 1);
}

KA_UNINSTRUMENTED void* newOrThrow(size_t n, void* caller) {
  void* p = failThis(caller, Via::kNew) ? nullptr : KA_REAL(malloc)(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

KA_UNINSTRUMENTED void* newAlignedOrThrow(size_t n, std::align_val_t a, void* caller) {
  void* p = failThis(caller, Via::kNew) ? nullptr : alignedReal(static_cast<size_t>(a), n);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

extern "C" {
KA_UNINSTRUMENTED void* malloc(size_t n) {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(malloc)(n);
}
KA_UNINSTRUMENTED void* calloc(size_t k, size_t n) {
  return failThis(__builtin_return_address(0), Via::kCalloc) ? nullptr : KA_REAL(calloc)(k, n);
}
KA_UNINSTRUMENTED void* realloc(void* p, size_t n) {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(realloc)(p, n);
}
KA_UNINSTRUMENTED void* memalign(size_t a, size_t n) {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(memalign)(a, n);
}
KA_UNINSTRUMENTED void* aligned_alloc(size_t a, size_t n) {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(memalign)(a, n);
}
KA_UNINSTRUMENTED int posix_memalign(void** out, size_t a, size_t n) {
  if (a < sizeof(void*) || (a & (a - 1)) != 0) return EINVAL;
  void* p = failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(memalign)(a, n);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}

KA_UNINSTRUMENTED void* operator new(size_t n) { return newOrThrow(n, __builtin_return_address(0)); }
KA_UNINSTRUMENTED void* operator new[](size_t n) { return newOrThrow(n, __builtin_return_address(0)); }
KA_UNINSTRUMENTED void* operator new(size_t n, const std::nothrow_t&) noexcept {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(malloc)(n ? n : 1);
}
KA_UNINSTRUMENTED void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  return failThis(__builtin_return_address(0)) ? nullptr : KA_REAL(malloc)(n ? n : 1);
}
KA_UNINSTRUMENTED void* operator new(size_t n, std::align_val_t a) {
  return newAlignedOrThrow(n, a, __builtin_return_address(0));
}
KA_UNINSTRUMENTED void* operator new[](size_t n, std::align_val_t a) {
  return newAlignedOrThrow(n, a, __builtin_return_address(0));
}
KA_UNINSTRUMENTED void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return failThis(__builtin_return_address(0)) ? nullptr : alignedReal(static_cast<size_t>(a), n);
}
KA_UNINSTRUMENTED void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return failThis(__builtin_return_address(0)) ? nullptr : alignedReal(static_cast<size_t>(a), n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using ka::test::TempDir;
using Clock = std::chrono::steady_clock;

// ---- The sweep ---------------------------------------------------------------------------------

// What an armed run returns: nothing in it may allocate, so the text is a pointer (valid until the
// next call of its family on this thread) or kept in a fixed buffer.
struct Outcome {
  bool ok = false;
  const char* error = "";  // the failure's text
};

// Copies a text that would not outlive the run into a fixed buffer.
const char* keep(const char* text) {
  static char buf[4096];
  std::snprintf(buf, sizeof buf, "%s", text);
  return buf;
}

// A path under test: run() is armed, setUp() and tearDown() (freeing what run() made) are not.
struct Path {
  std::function<void()> setUp = [] {};
  std::function<Outcome()> run;
  std::function<void()> tearDown = [] {};
};

// A run longer than this is a hang: the process stops naming the path and n.
constexpr int kDeadlineS = 120;

class Watchdog {
 public:
  Watchdog() : thread_([this] { loop(); }) {}
  ~Watchdog() {
    stop_ = true;
    thread_.join();
  }
  void start(const char* name, long n) {
    name_ = name;
    n_ = n;
    deadline_ = Clock::now().time_since_epoch().count() +
                std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(kDeadlineS)).count();
  }
  void stop() { deadline_ = LLONG_MAX; }

 private:
  void loop() {
    while (!stop_) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (Clock::now().time_since_epoch().count() > deadline_) {
        std::fprintf(stderr, "alloc sweep: %s hangs with allocation %ld failing\n", name_.load(), n_.load());
        std::abort();
      }
    }
  }
  std::atomic<bool> stop_{false};
  std::atomic<long long> deadline_{LLONG_MAX};
  std::atomic<const char*> name_{""};
  std::atomic<long> n_{0};
  std::thread thread_;
};

// Relative path and size of every entry under root, sorted: what is on disk.
using Listing = std::vector<std::pair<std::string, long long>>;
void listInto(const std::string& root, const std::string& rel, Listing& out) {
  DIR* d = ::opendir((root + rel).c_str());
  if (!d) return;
  while (dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const std::string r = rel + "/" + name;
    if (::lstat((root + r).c_str(), &st) != 0) continue;
    out.emplace_back(r, S_ISDIR(st.st_mode) ? -1 : static_cast<long long>(st.st_size));
    if (S_ISDIR(st.st_mode)) listInto(root, r, out);
  }
  ::closedir(d);
}
Listing listing(const std::string& root) {
  Listing l;
  listInto(root, "", l);
  std::sort(l.begin(), l.end());
  return l;
}

std::string names(const Listing& l) {
  std::string s;
  for (const auto& e : l) s += e.first + " ";
  return s;
}

// The n to fail for a path of `total` allocations.
std::vector<long> schedule(long total) {
  const char* env = std::getenv("KA_ALLOC_SWEEP");
  const std::string mode = env ? env : "";
  std::vector<long> ns;
  if (mode == "full") {
    for (long n = 1; n <= total; ++n) ns.push_back(n);
    return ns;
  }
  const long every = 64;
  const long points = mode.empty() ? 64 : std::max(1L, std::atol(mode.c_str()));
  for (long n = 1; n <= std::min(total, every); ++n) ns.push_back(n);
  for (long k = 1; k <= points && total > every; ++k) ns.push_back(every + (total - every) * k / points);
  ns.erase(std::unique(ns.begin(), ns.end()), ns.end());
  return ns;
}

// Runs `p` dry, then failing each scheduled n. `disk` is the directory whose files must stay as
// they were (or as a successful dry run left them, or, with `reset`, emptied); `reset` (disarmed)
// returns it to its state before each run.
void sweep(const char* name, const Path& p, const std::string& disk, const std::function<void()>& reset = {}) {
  static Watchdog dog;
  auto once = [&](long failAt, Outcome& o) {
    if (reset) reset();
    p.setUp();
    dog.start(name, failAt);
    arm(failAt);
    o = p.run();
    disarm();
    dog.stop();
    const long count = allocations();
    p.tearDown();
    return count;
  };
  if (reset) reset();
  const Listing before = listing(disk);
  Outcome dry;
  const long total = once(LONG_MAX, dry);
  ASSERT_TRUE(dry.ok) << name << ": the dry run fails: " << dry.error;
  ASSERT_GT(total, 0) << name;
  const Listing done = listing(disk);
  const std::vector<long> ns = schedule(total);
  long failed = 0, succeeded = 0, notReached = 0;
  for (long n : ns) {
    Outcome o;
    once(n, o);
    notReached += !injected();
    if (g_trace) std::fprintf(stderr, "alloc sweep: %s, allocation %ld: %s\n", name, n, o.ok ? "succeeded" : o.error);
    if (o.ok) {
      ++succeeded;
    } else {
      ++failed;
      EXPECT_NE(o.error[0], '\0') << name << ": allocation " << n << " fails without a text";
    }
    const Listing after = listing(disk);
    EXPECT_TRUE(after == before || after == done || (reset && after.empty()))
        << name << ": allocation " << n << " failing leaves the files on disk half-written (" << after.size()
        << " entries; " << before.size() << " before, " << done.size() << " after a success): " << names(after);
    if (::testing::Test::HasFailure()) return;
  }
  std::printf(
      "alloc sweep: %-28s %6ld allocations, %4zu runs: %4ld failed cleanly, %4ld succeeded (%ld past the end)\n", name,
      total, ns.size(), failed, succeeded, notReached);
  if (__lsan_do_recoverable_leak_check) {
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << name << " leaks";
  }
}

// ---- The fixtures ------------------------------------------------------------------------------

// One bundle serving every path: its batch-1 director (with a lip template: every load rewrite),
// the offline stream's director, the audio models, a motion directory and the teeth-borrow
// members; a second small bundle packed into a container.
struct Fixture {
  // ONNX Runtime's process environment exists before any sweep, as in a host already running a
  // network: its first creation stops the process (std::terminate inside the runtime) when one of
  // its allocations fails, which is the runtime's to mend, not ours.
  Ort::Env ort = ka::makeOrtEnv("ka_alloc_sweep");
  TempDir tmp;
  std::string bundle = tmp / "b";
  std::string motion = tmp / "b/motion";
  std::string w2v = tmp / "w2v/w2v.onnx";
  std::string small = tmp / "s";
  std::string unwrapRoot = tmp / "unwrap";
  std::string container = tmp / "c/avatar.imx";
  Fixture() {
    ka::test::forge({"bundle", bundle, "--lip"});
    ka::test::forge({"director-into", bundle});
    ka::test::forge({"director-steady", bundle, "--render-key"});
    ka::test::forge({"a2x", bundle, tmp / "w2v", "--legacy-only"});
    ka::test::forge({"motion", motion, "--nt", "6", "--xs-target", bundle + "/xs_target.bin"});
    ka::test::forge({"tessera", bundle, "--n", "6"});
    ka::test::forge({"bundle", small});
    ka::test::forge({"director-into", small});
    ka::test::runCommand("mkdir -p " + ka::test::shellQuote(tmp / "c") + " " + ka::test::shellQuote(unwrapRoot));
    ka::test::forge({"imx", small, container});
  }
};

Fixture& fx() {
  static Fixture f;  // forged once per process, removed at exit
  return f;
}

// The outcome of a call that returned `h`, its text read after the call.
Outcome fromHandle(const void* h, const char* (*error)()) { return {h != nullptr, h ? "" : error()}; }

TEST(AllocFailure, CreateOnADirectoryBundle) {
  ka_ctx* ctx = nullptr;
  Path p;
  p.run = [&] {
    ctx = ka_create(fx().bundle.c_str(), "b1", 1, nullptr);
    return fromHandle(ctx, ka_last_error);
  };
  p.tearDown = [&] { ka_destroy(std::exchange(ctx, nullptr)); };
  sweep("ka_create directory", p, fx().bundle);
}

TEST(AllocFailure, CreateOnAContainer) {
  ka::test::ScopedEnv root("KA_IMX_UNWRAP_ROOT", fx().unwrapRoot);
  ka_ctx* ctx = nullptr;
  Path p;
  p.run = [&] {
    ctx = ka_create(fx().container.c_str(), "b1", 1, nullptr);
    return fromHandle(ctx, ka_last_error);
  };
  p.tearDown = [&] { ka_destroy(std::exchange(ctx, nullptr)); };
  // Every run finds the leftovers of an unpack cut short (no marker), removes them and unpacks
  // afresh: a failure leaves them, the complete unpack or nothing.
  const std::string stale = fx().unwrapRoot + "/avatar.kabundle";
  sweep("ka_create container", p, fx().unwrapRoot, [&] {
    ka::test::removeTree(stale);
    ::unlink((stale + ".imx_unwrapped").c_str());
    ::mkdir(stale.c_str(), 0755);
    ::mkdir((stale + "/drive").c_str(), 0755);
    ka::test::writeString(stale + "/manifest.json", "{}");
    ka::test::writeString(stale + "/drive/xs.f32.part", "cut short");
  });
}

// The first render builds the renderer: the load rewrites (grid sample, student blend, head cubic,
// lip contour; with KA_WARP_NODE the warp block) and the source-cone hoist.
void firstRender(const char* name) {
  ka_ctx* ctx = nullptr;
  Path p;
  p.setUp = [&] {
    ctx = ka_create(fx().bundle.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << ka_last_error();
  };
  p.run = [&] { return fromHandle(ka_render_drive_crop(ctx, 0), ka_last_error); };
  p.tearDown = [&] { ka_destroy(std::exchange(ctx, nullptr)); };
  sweep(name, p, fx().bundle);
}

TEST(AllocFailure, FirstRender) { firstRender("first render"); }

TEST(AllocFailure, FirstRenderWithTheWarpNode) {
  ka::test::ScopedEnv on("KA_WARP_NODE", std::string("1"));
  firstRender("first render, warp node");
}

TEST(AllocFailure, A2xCreate) {
  ka::test::ScopedEnv w2v("W2V_ONNX", fx().w2v);
  ka_a2x* a = nullptr;
  Path p;
  p.run = [&] {
    a = ka_a2x_create(fx().bundle.c_str(), 1);
    return fromHandle(a, ka_a2x_last_error);
  };
  p.tearDown = [&] { ka_a2x_destroy(std::exchange(a, nullptr)); };
  sweep("ka_a2x_create", p, fx().bundle);
}

// The process-wide audio encoder is loaded once and then kept, so its first load is swept here, in
// increasing n until the first run that loads it (later runs would find it loaded).
TEST(AllocFailure, SharedEncoderFirstLoad) {
  const std::string path = fx().w2v;
  long runs = 0, failed = 0;
  for (long n = 1;; n += std::max(1L, n / 16)) {
    arm(n);
    const int loaded = ka_a2x_preload_w2v(path.c_str());
    disarm();
    ++runs;
    if (loaded == 1) break;
    ++failed;
    EXPECT_NE(ka_a2x_last_error()[0], '\0') << "allocation " << n << " fails without a text";
    ASSERT_LT(n, 10000000L) << "the encoder never loads";
  }
  std::printf("alloc sweep: %-28s %4ld runs: %4ld failed cleanly until the first load\n", "shared encoder first load",
              runs, failed);
  if (__lsan_do_recoverable_leak_check) {
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "the encoder's first load leaks";
  }
}

TEST(AllocFailure, MotionCreate) {
  ka_motion* m = nullptr;
  Path p;
  p.run = [&] {
    m = ka_motion_create(fx().motion.c_str(), 1, nullptr);
    return fromHandle(m, ka_motion_last_error);
  };
  p.tearDown = [&] { ka_motion_destroy(std::exchange(m, nullptr)); };
  sweep("ka_motion_create", p, fx().bundle);
}

TEST(AllocFailure, FcaCreate) {
  ka_fca* f = nullptr;
  const std::string model = fx().bundle + "/fca_stream.onnx";
  Path p;
  p.run = [&] {
    f = ka_fca_create(fx().w2v.c_str(), model.c_str(), 1);
    return fromHandle(f, ka_fca_last_error);
  };
  p.tearDown = [&] { ka_fca_destroy(std::exchange(f, nullptr)); };
  sweep("ka_fca_create", p, fx().bundle);
}

// A session: created, warmed up (ready or failed), destroyed, all armed.
TEST(AllocFailure, UtteranceSessionCreateReadyDestroy) {
  ka_ctx* ctx = nullptr;
  Path p;
  p.setUp = [&] {
    ctx = ka_create(fx().bundle.c_str(), "b1", 1, nullptr);
    ASSERT_NE(ctx, nullptr) << ka_last_error();
  };
  p.run = [&] {
    ka_utt_opts o{};
    o.motion_dir = fx().motion.c_str();
    o.threads = 1;
    o.steady_model = "-";
    ka_utt* u = ka_utt_create(ctx, &o);
    if (!u) return Outcome{false, ka_utt_last_error()};
    int r = 0;
    while ((r = ka_utt_ready(u)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Outcome out{r == 1, r == 1 ? "" : keep(ka_utt_last_error())};
    ka_utt_destroy(u);
    return out;
  };
  p.tearDown = [&] { ka_destroy(std::exchange(ctx, nullptr)); };
  sweep("ka_utt_create+ready+destroy", p, fx().bundle);
}

TEST(AllocFailure, StreamCreate) {
  ka_stream* s = nullptr;
  Path p;
  p.run = [&] {
    s = ka_stream_create(fx().bundle.c_str(), fx().w2v.c_str(), 1, 0, 1.0f);
    return fromHandle(s, ka_stream_last_error);
  };
  p.tearDown = [&] { ka_stream_destroy(std::exchange(s, nullptr)); };
  sweep("ka_stream_create", p, fx().bundle);
}

TEST(AllocFailure, TesseraMembersOpen) {
  ka_tessera_members* m = nullptr;
  char err[512];
  Path p;
  p.run = [&] {
    err[0] = '\0';
    m = ka_tessera_members_open(fx().bundle.c_str(), err, sizeof err);
    return Outcome{m != nullptr, err};
  };
  p.tearDown = [&] { ka_tessera_members_close(std::exchange(m, nullptr)); };
  sweep("ka_tessera_members_open", p, fx().bundle);
}

TEST(AllocFailure, BankDecode) {
  const ka::TesseraAttachInputs m = ka::loadTesseraMembers(fx().bundle);
  const std::vector<uint8_t> track = ka::test::readBytes(m.bank_track_path);
  Path p;
  p.run = [&] {
    try {
      const std::vector<uint8_t> bank =
          ka::tessera::decodeBankTrack(track.data(), track.size(), m.band_w, m.band_h, m.n_donors, m.track_order);
      return Outcome{!bank.empty(), bank.empty() ? "an empty bank" : ""};
    } catch (const std::exception& e) {
      return Outcome{false, keep(e.what())};
    }
  };
  sweep("bank decode", p, fx().bundle);
}

}  // namespace
