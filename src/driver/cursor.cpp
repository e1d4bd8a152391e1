#include "driver/cursor.h"
#include "base/env.h"
#include "base/log.h"
#include "base/regular_file.h"
#include "base/thread_name.h"

#include <algorithm>
#include <cstdint>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "driver/ff_source.h"

namespace ka {

namespace {

int ringSize(int lookahead, int history) {
  const int64_t n = int64_t(lookahead) + int64_t(history) + 1;
  if (n > INT32_MAX)
    throw std::runtime_error("ka_driver: look-ahead " + std::to_string(lookahead) + " and history " +
                             std::to_string(history) + " make a ring of more than 2^31 frames");
  return int(n);
}

}  // namespace

// Ring positions are monotonically increasing 64-bit counters; position p lives in slot p % N.
// Frames between `consumed` and `produced` are decoded and not yet handed out; the producer never
// runs more than L ahead of `consumed`, so with N = L + K + 1 it never overwrites the K + 1 frames
// handed out last.
struct DriverCursor::Impl {
  Impl(std::unique_ptr<driver::Source> s, int lookahead, int history);
  ~Impl();

  void run();
  uint8_t* take(int& index, bool mutableFrame);
  void seek(int i);
  void seekToPosition();
  // The frame at `position` / frame i exactly; copied into `copyTo` (when given) before another
  // consumer call can move the ring on.
  uint8_t* next(int& index, bool mutableFrame, uint8_t* copyTo = nullptr);
  uint8_t* at(int i, int& index, bool mutableFrame, uint8_t* copyTo = nullptr);
  void recordError(const std::string& text);  // state mutex held

  std::unique_ptr<driver::Source> src;
  const int NT, W, H;
  const uint64_t frameBytes;
  const int L, K, N;
  std::vector<std::vector<uint8_t>> ring;
  std::vector<int> slotIndex;

  mutable std::mutex state;  // guards everything below
  std::mutex cursor;         // one consumer call at a time; taken before `state`
  std::condition_variable work, ready;
  uint64_t consumed = 0, produced = 0;
  uint64_t pin = 0;  // positions below it are never served again
  bool busy = false;
  int decodeIndex = 0;
  int position = 0;
  int sourceIndex = 0;  // touched by the look-ahead thread only
  int pendingSeek = -1;
  uint64_t generation = 0;
  bool stop = false;
  std::string error;
  bool errorSeen = false;  // a consumer call has thrown `error`
  uint64_t seekCount = 0;
  bool reuse = false;  // copy a frame still held in the ring instead of decoding it again
  std::thread thread;

  // The latest ring position that holds frame d untouched and that the producer may read while it
  // fills slot produced % N, or kNone. State mutex held.
  static constexpr uint64_t kNone = UINT64_MAX;
  uint64_t heldPosition(int d) const;
};

uint64_t DriverCursor::Impl::heldPosition(int d) const {
  const uint64_t lo = std::max<uint64_t>(pin, produced + 1 >= uint64_t(N) ? produced + 1 - uint64_t(N) : 0);
  for (uint64_t p = produced; p-- > lo;)
    if (slotIndex[p % N] == d) return p;
  return kNone;
}

DriverCursor::Impl::Impl(std::unique_ptr<driver::Source> s, int lookahead, int history)
    : src(std::move(s)),
      NT(src->NT()),
      W(src->W()),
      H(src->H()),
      frameBytes(src->frameBytes()),
      L(std::max(1, lookahead)),
      K(std::max(0, history)),
      N(ringSize(L, K)) {
  if (NT < 1)
    throw std::runtime_error("ka_driver: " + src->name() + " has " + std::to_string(NT) +
                             " frames \xE2\x80\x94 nothing to play");
  // Slot buffers are allocated by the look-ahead thread as frames first arrive in them, so a long
  // history costs memory only once it holds frames.
  ring.resize(size_t(N));
  slotIndex.assign(size_t(N), -1);
  thread = std::thread([this] { run(); });
}

DriverCursor::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lk(state);
    stop = true;
  }
  work.notify_all();
  ready.notify_all();
  if (thread.joinable()) thread.join();
}

void DriverCursor::Impl::recordError(const std::string& text) {
  if (error.empty()) error = text.empty() ? std::string("ka_driver: unknown failure") : text;
  ready.notify_all();
}

void DriverCursor::Impl::run() {
  nameWorkerThread("ka-cursor");
  std::unique_lock<std::mutex> lk(state);
  for (;;) {
    if (stop) return;
    if (pendingSeek >= 0) {
      const int s = pendingSeek;
      decodeIndex = s;
      pendingSeek = -1;
      lk.unlock();
      std::string err;
      try {
        src->seek(s);
        sourceIndex = s;
      } catch (const std::exception& e) {
        err = std::string("ka_driver: seek failed: ") + e.what();
      } catch (...) {
        err = "ka_driver: seek failed: unknown failure";
      }
      lk.lock();
      if (!err.empty()) {
        recordError(err);
        return;
      }
      continue;
    }
    if (produced - consumed < uint64_t(L)) {
      const int d = decodeIndex;
      const size_t slotNo = size_t(produced % N);
      const uint64_t held = reuse ? heldPosition(d) : kNone;
      if (held != kNone && held < consumed) {
        // Handed out already and still untouched: its buffer moves to the new position instead of
        // being copied. A consumer still reading it reads the same bytes, now at a later position;
        // the buffer the new position gives up (the oldest frame, past the history kept) leaves
        // the old position holding nothing.
        std::swap(ring[size_t(held % N)], ring[slotNo]);
        slotIndex[size_t(held % N)] = -1;
        slotIndex[slotNo] = d;
        ++produced;
        decodeIndex = (d + 1) % NT;
        ready.notify_all();
        continue;
      }
      busy = true;
      const uint64_t g = generation;
      // Nobody reads this slot until it is published below, so it may be sized outside the lock.
      std::vector<uint8_t>& slot = ring[slotNo];
      lk.unlock();
      std::string err;
      try {
        if (slot.size() != frameBytes) slot.resize(frameBytes);
        bool copied = false;
        if (held != kNone) {
          // Only this thread writes slots, so the held one stays put while it is copied; a consumer
          // that took it writable meanwhile raised the pin past it, and the copy is not used.
          std::memcpy(slot.data(), ring[held % N].data(), frameBytes);
          lk.lock();
          copied = pin <= held;
          lk.unlock();
        }
        if (!copied) {
          if (sourceIndex != d) {  // the loop wraps by rewinding; frames copied since were skipped
            if (d == 0)
              src->rewind();
            else
              src->seek(d);
            sourceIndex = d;
          }
          if (!src->next(slot.data()))
            throw std::runtime_error(
                src->name() + " ended after " + std::to_string(sourceIndex) +
                " frames, the manifest says NT=" + std::to_string(NT) +
                " \xE2\x80\x94 a short driver is a session that stops part way through the loop, refusing");
          ++sourceIndex;
        }
      } catch (const std::exception& e) {
        err = std::string("ka_driver: ") + e.what();
      } catch (...) {
        err = "ka_driver: unknown failure";
      }
      lk.lock();
      busy = false;
      if (!err.empty()) {
        recordError(err);
        return;
      }
      if (generation == g) {  // otherwise a seek abandoned this frame
        slotIndex[slotNo] = d;
        ++produced;
        decodeIndex = (d + 1) % NT;
        ready.notify_all();
      } else {
        slotIndex[slotNo] = -1;  // the slot no longer holds the frame it held before
      }
      continue;
    }
    work.wait(lk);
  }
}

uint8_t* DriverCursor::Impl::take(int& index, bool mutableFrame) {
  std::unique_lock<std::mutex> lk(state);
  for (;;) {
    // Frames decoded before a failure are still delivered; the failure surfaces when the
    // consumer needs a frame beyond them, and from then on on every call.
    if (consumed < produced && !errorSeen) {
      const size_t slot = size_t(consumed % N);
      ++consumed;
      if (mutableFrame) pin = consumed;
      work.notify_one();
      const int f = slotIndex[slot];
      index = f;
      position = (f + 1) % NT;
      return ring[slot].data();
    }
    if (!error.empty()) {
      errorSeen = true;
      throw std::runtime_error(error);
    }
    ready.wait(lk);
  }
}

void DriverCursor::Impl::seek(int i) {
  if (i < 0 || i >= NT)
    throw std::runtime_error("ka_driver: seek(" + std::to_string(i) + ") outside [0," + std::to_string(NT) + ")");
  std::lock_guard<std::mutex> lk(state);
  if (errorSeen) throw std::runtime_error(error);
  position = i;
  const int upcoming = consumed < produced ? slotIndex[consumed % N] : (pendingSeek >= 0 ? pendingSeek : decodeIndex);
  if (upcoming == i) return;

  bool found = false;
  if (pendingSeek < 0) {
    // Lowest position still intact (not overwritten, not being decoded into), not pinned, and
    // inside the history window.
    uint64_t lo = produced >= uint64_t(N) ? produced + (busy ? 1 : 0) - uint64_t(N) : 0;
    lo = std::max(lo, pin);
    if (consumed > uint64_t(K) + 1) lo = std::max(lo, consumed - uint64_t(K) - 1);
    for (uint64_t p = lo; p < produced; ++p)
      if (slotIndex[p % N] == i) {
        consumed = p;
        found = true;
        break;
      }
    if (!found && i == decodeIndex && error.empty()) {
      consumed = produced;  // the thread decodes it next anyway
      found = true;
    }
  }
  if (!found) {
    if (!error.empty()) {
      errorSeen = true;
      throw std::runtime_error(error);
    }
    ++generation;
    ++seekCount;
    consumed = produced;
    pendingSeek = i;
  }
  work.notify_one();
}

void DriverCursor::Impl::seekToPosition() {
  int p;
  {
    std::lock_guard<std::mutex> lk(state);
    p = position;
  }
  seek(p);
}

DriverCursor::DriverCursor(std::unique_ptr<driver::Source> src, int lookahead, int history)
    : NT(src ? src->NT() : 0),
      W(src ? src->W() : 0),
      H(src ? src->H() : 0),
      frameBytes(src ? src->frameBytes() : 0),
      name(src ? src->name() : std::string()) {
  if (!src) throw std::runtime_error("ka_driver: no frame source");
  impl_ = std::make_unique<Impl>(std::move(src), lookahead, history);
}

DriverCursor::~DriverCursor() = default;

std::unique_ptr<DriverCursor> DriverCursor::over(std::unique_ptr<driver::Source> src, int lookahead, int history) {
  return std::make_unique<DriverCursor>(std::move(src), lookahead, history);
}

uint8_t* DriverCursor::Impl::next(int& index, bool mutableFrame, uint8_t* copyTo) {
  std::lock_guard<std::mutex> lk(cursor);
  seekToPosition();
  uint8_t* p = take(index, mutableFrame);
  if (copyTo) std::memcpy(copyTo, p, frameBytes);
  return p;
}

uint8_t* DriverCursor::Impl::at(int i, int& index, bool mutableFrame, uint8_t* copyTo) {
  std::lock_guard<std::mutex> lk(cursor);
  seek(i);
  uint8_t* p = take(index, mutableFrame);
  if (index != i)
    throw std::runtime_error("ka_driver: cursor yielded frame " + std::to_string(index) +
                             " for si=" + std::to_string(i));
  if (copyTo) std::memcpy(copyTo, p, frameBytes);
  return p;
}

int DriverCursor::pull(uint8_t* dst) {
  int index;
  impl_->next(index, false, dst);
  return index;
}

const uint8_t* DriverCursor::pull(int& index) { return impl_->next(index, false); }

uint8_t* DriverCursor::pullMut(int& index) { return impl_->next(index, true); }

int DriverCursor::pullAt(int i, uint8_t* dst) {
  int index;
  impl_->at(i, index, false, dst);
  return index;
}

const uint8_t* DriverCursor::pullAt(int i, int& index) { return impl_->at(i, index, false); }

uint8_t* DriverCursor::pullMutAt(int i, int& index) { return impl_->at(i, index, true); }

void DriverCursor::reuseHeldFrames(bool on) {
  std::lock_guard<std::mutex> lk(impl_->state);
  impl_->reuse = on;
}

void DriverCursor::seek(int i) {
  std::lock_guard<std::mutex> lk(impl_->cursor);
  impl_->seek(i);
}

int DriverCursor::position() const {
  std::lock_guard<std::mutex> lk(impl_->state);
  return impl_->position;
}

uint64_t DriverCursor::seeks() const {
  std::lock_guard<std::mutex> lk(impl_->state);
  return impl_->seekCount;
}

uint64_t DriverCursor::residentBytes() const { return uint64_t(impl_->N) * frameBytes + impl_->src->residentBytes(); }

std::unique_ptr<DriverCursor> DriverCursor::open(const DrivingVideo& v, int lookahead, int history) {
  char last[32];
  std::snprintf(last, sizeof last, "/frame_%06d.jpg", v.NT - 1);
  const bool jpgPopulated = pathExists(v.dirPath + last);
  const bool haveVideo = pathExists(v.videoPath);
  if (env::is("KA_DRIVER_PREFER_MP4", "1") && haveVideo) {
    if (jpgPopulated)
      log::printf(log::Level::Warning,
                  "[ka-driver] KA_DRIVER_PREFER_MP4=1 \xE2\x80\x94 %s/ is populated and NOT used; %s is the member "
                  "this consumer reads\n",
                  v.dirName.c_str(), v.videoName.c_str());
  } else if (jpgPopulated) {
    log::printf(log::Level::Info, "[ka-driver] %s/ (raw jpg, %d frames) \xE2\x80\x94 read one frame per pull\n",
                v.dirName.c_str(), v.NT);
    // The frame size comes from the manifest; a frame that exists must agree before any buffer
    // is sized from it.
    driver::checkJpgFrameSize(v.dirPath + last, v.W, v.H);
    return over(driver::openJpgDir(v.dirPath, v.NT, v.W, v.H), lookahead, history);
  } else if (!haveVideo) {
    throw std::runtime_error("this bundle carries neither a populated " + v.dirName + "/ nor " + v.videoName + " (" +
                             v.videoPath +
                             ") \xE2\x80\x94 there is no driver video to play. REFUSING to create a session.");
  }
  auto src = driver::openMp4(v.videoPath, v.NT, v.W, v.H);
  log::printf(log::Level::Info,
              "[ka-driver] %s decoded IN PLACE (%s, %d frames %dx%d, look-ahead %d, history %d) \xE2\x80\x94 no frame "
              "of the driver is expanded ahead of the paste\n",
              v.videoName.c_str(), src->name().c_str(), v.NT, v.W, v.H, std::max(1, lookahead), std::max(0, history));
  return over(std::move(src), lookahead, history);
}

std::unique_ptr<DriverCursor> DriverCursor::openPrior(const PriorVideo& v, int lookahead, int history) {
  if (!pathExists(v.path))
    throw std::runtime_error("this bundle carries neither a raw P.f16 nor " + v.name + " (" + v.path +
                             ") \xE2\x80\x94 there is no warp prior to play. REFUSING to create a session.");
  auto src = driver::openPriorHevc(v.path, v.NT, v.crop);
  log::printf(log::Level::Info,
              "Zephrane: identity source ready \xE2\x80\x94 %d frames %dx%d, played straight from %s (%s); nothing is "
              "unpacked to disk\n",
              v.NT, v.crop, v.crop, v.name.c_str(), src->name().c_str());
  return over(std::move(src), lookahead, history);
}

}  // namespace ka
