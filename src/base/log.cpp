#include "base/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace ka::log {
namespace {

struct Sink {
  std::recursive_mutex mutex;  // lines are delivered one at a time; a callback may reset the sink
  ka_log_fn callback = nullptr;
  void* user = nullptr;
};

Sink& sink() {
  static Sink* s = new Sink;  // never destroyed: threads may log while the process exits
  return *s;
}

std::atomic<int> g_level{KA_LOG_INFO};

void deliver(Level level, const char* line, size_t n) {
  Sink& s = sink();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  if (s.callback) {
    const std::string copy(line, n);
    s.callback(s.user, static_cast<int>(level), copy.c_str());
  } else {
    std::fwrite(line, 1, n, stderr);
    std::fputc('\n', stderr);
  }
}

}  // namespace

bool enabled(Level level) { return static_cast<int>(level) <= g_level.load(std::memory_order_relaxed); }

void write(Level level, const std::string& text) {
  if (!enabled(level)) return;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    deliver(level, text.data() + start, end - start);
    start = end + 1;
  }
}

void printf(Level level, const char* format, ...) {
  if (!enabled(level)) return;
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    std::vector<char> text(static_cast<size_t>(n) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    write(level, std::string(text.data(), static_cast<size_t>(n)));
  }
  va_end(again);
}

void setSink(ka_log_fn callback, void* user) {
  Sink& s = sink();
  std::lock_guard<std::recursive_mutex> lock(s.mutex);
  s.callback = callback;
  s.user = user;
}

void setLevel(Level level) { g_level.store(static_cast<int>(level), std::memory_order_relaxed); }

}  // namespace ka::log
