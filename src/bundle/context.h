// The rendering context behind the C handle ka_ctx: one opened bundle with its identity, driving
// table, compositor, background cursor and (built on first use) renderer. The sessions built on a
// context reach into it through this record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "paste/paste.h"
#include "render/renderer.h"

struct ka_ctx {
  ka::Manifest manifest;
  std::unique_ptr<ka::Identity> identity;
  ka::Drive drive;
  std::unique_ptr<ka::Renderer> renderer;  // null until the first render needs it
  std::unique_ptr<ka::Paste> paste;
  int32_t threads = 1;
  std::string ep;
  bool threadsExplicit = false;
  std::string modelKey;
  std::unique_ptr<ka::DriverCursor> cursor;
  std::vector<uint8_t> rgb;         // H * W * 3, the output of ka_paste_last
  const float* lastCrop = nullptr;  // the most recent render's crop, owned by the renderer
};

namespace ka {

// Builds the context's renderer once (the caller's thread count when it chose one or named a
// provider, else min(pool, 2)). A failed build leaves none, so the next call tries again.
Renderer& ensureRenderer(ka_ctx& ctx);

// The bundle's paste mask: exactly crop x crop bytes of "mask_512.u8" ("mask read failed").
std::vector<uint8_t> readPasteMask(const Manifest& m);

}  // namespace ka
