// The identity's warp prior when it plays from the bundle's prior video.
#include <mutex>

#include "bundle/driving.h"
#include "bundle/identity.h"
#include "bundle/identity_impl.h"

namespace ka {

DriverCursor& Identity::prior() {
  Impl& s = *impl_;
  // A throwing open leaves the flag unset, so the next call tries again.
  std::call_once(s.priorOnce, [&] { s.prior = DriverCursor::openPrior(priorVideo(s.manifest), 2, 11); });
  return *s.prior;
}

bool Identity::playsPriorVideo() const { return !impl_->P.base && !impl_->priorPath.empty(); }

const uint16_t* Identity::P(int si) {
  if (impl_->P.base)
    return static_cast<const uint16_t*>(impl_->P.base) + static_cast<size_t>(si) * impl_->crop * impl_->crop * 3;
  int got = -1;
  return reinterpret_cast<const uint16_t*>(prior().pullAt(si, got));
}

void Identity::walkP(int si) {
  if (!playsPriorVideo()) return;
  int got = -1;
  prior().pullAt(si, got);
}

std::string Identity::priorBackend() {
  if (impl_->P.base) return "mmap P.f16";
  if (!impl_->priorPath.empty()) return prior().name;
  return "none";
}

uint64_t Identity::priorResidentBytes() { return playsPriorVideo() ? prior().residentBytes() : 0; }

uint64_t Identity::priorSeeks() { return playsPriorVideo() ? prior().seeks() : 0; }

}  // namespace ka
