// C entry points of bundle path resolution.
#include <cstring>
#include <string>

#include "base/last_error.h"
#include "bundle/container.h"
#include "base/regular_file.h"
#include "bundle/members.h"
#include "ka/ka.h"

namespace {

bool copyOut(const std::string& s, char* out, size_t outSize) {
  if (s.size() + 1 > outSize) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, s.c_str(), s.size() + 1);
  return true;
}

}  // namespace

extern "C" int ka_bundle_resolve_handle(const char* path, char* out, size_t out_size) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!path || !out || out_size == 0) return -1;
  out[0] = '\0';
  return ka::guarded(err, "ka_bundle_resolve_handle", -1, [&] {
    if (copyOut(ka::resolveBundlePath(path), out, out_size)) return 1;
    ka::setError(err, "ka_bundle_resolve_handle: buffer too small");
    return -1;
  });
}

extern "C" int ka_bundle_resolve_member(const char* path, const char* member, char* out, size_t out_size) {
  std::string& err = ka::coreLastError();
  err.clear();
  if (!path || !member || !out || out_size == 0) return -1;
  out[0] = '\0';
  return ka::guarded(err, "ka_bundle_resolve_member", -1, [&] {
    const std::string p = ka::resolveMember(ka::resolveBundlePath(path), member);
    if (!copyOut(p, out, out_size)) {
      ka::setError(err, "ka_bundle_resolve_member: buffer too small");
      return -1;
    }
    return ka::canOpenForReading(p) ? 1 : 0;
  });
}
