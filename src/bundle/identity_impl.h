// Private state of ka::Identity, shared by its translation units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bundle/identity.h"

namespace ka {

// A read-only private mapping of a whole member file; released on destruction.
struct Mapping {
  void* base = nullptr;
  size_t length = 0;
  Mapping() = default;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();
  // Maps `path`, which must hold exactly `expected` bytes.
  void map(const std::string& path, uint64_t expected);
};

struct Identity::Impl {
  int32_t NT = 0;
  int32_t crop = 0;
  Mapping pooled;
  Mapping P;
  Mapping fsRed;
  std::vector<float> M;
  std::string priorPath;
  Manifest manifest;
  std::once_flag priorOnce;
  // Shared ownership only so the record can be destroyed where the cursor type is incomplete;
  // the identity is its sole owner.
  std::shared_ptr<DriverCursor> prior;
};

}  // namespace ka
