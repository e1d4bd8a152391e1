#include "session/target_rows.h"

#include <cstdint>

#include "base/units.h"
#include "bundle/members.h"
#include "base/regular_file.h"

namespace ka {

std::vector<float> readTargetRows(const std::string& dir, int nt) {
  constexpr int kKp = kKeypointValues;
  const uint64_t want = static_cast<uint64_t>(nt) * kKp * sizeof(float);
  RegularFile f(resolveMember(dir, "xs_target.bin"));
  if (!f.ok() || nt < 1 || f.size() != want) return {};
  std::vector<float> rows(static_cast<size_t>(nt) * kKp);
  if (!f.readExactly(rows.data(), want)) return {};
  return rows;
}

}  // namespace ka
