// The bundle manifest: `manifest.json` at the root of every bundle, read through the JSON reader's
// key scan (base/json.h) over the raw text, with one rule on top: a key that occurs ambiguously is
// refused.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/json.h"

namespace ka {

// The parsed manifest of one bundle. A plain value; every field is required in the file.
struct Manifest {
  std::string dir;              // bundle directory after path resolution; members resolve against it
  std::string agent;            // "agent"
  int32_t NT = 0;               // "NT" / "frame_count": source frames
  int32_t H = 0;                // "H": output frame height
  int32_t W = 0;                // "W": output frame width
  int32_t mSrcW = 0;            // "M_src_w" / "paste_source_width": canvas the paste transforms were authored on
  int32_t mSrcH = 0;            // "M_src_h" / "paste_source_height"
  int32_t crop = 512;           // "crop" / "crop_size": side of the square face crop
  float amount = 1.3f;          // "amount": unsharp amount
  float sigma = 2.0f;           // "sigma": unsharp Gaussian sigma
  int32_t ksize = 13;           // "ksize": unsharp kernel size
  int32_t frames = 0;           // "frames": driving frames of the idle loop
  std::string lipTemplateJson;  // text of "lip_template.v1.json", empty when absent

  // The bundle member "model_" + name + ".onnx" (legacy or canonical name).
  std::string modelPath(const std::string& name) const;
};

// Builds the manifest of the bundle at `path` (a directory or a container).
Manifest loadManifest(const std::string& path);

namespace manifest_key {

// The key scan of the JSON reader (every occurrence of a key used as an object key, in text order).
using json::KeyHit;
using json::keyHits;

constexpr uint64_t kAbsent = ~uint64_t{0};

// The value offset of the one scalar occurrence of `key` that decides (the top-level one if any,
// else the only nested one); kAbsent when there is none. Refuses ambiguous keys.
uint64_t scalarValuePos(const std::string& text, const char* key);

}  // namespace manifest_key

// Readers over the manifest text.
uint64_t findKey(const std::string& text, const char* key);  // required key's value offset
std::string strField(const std::string& text, const char* key);
double numFieldEither(const std::string& text, const char* key, const char* alias);
double numField(const std::string& text, const char* key);
bool optStr(const std::string& text, const char* key, std::string& out);

// Whole-file reads of a regular file of at most 64 MiB ("cannot open " / "short read " + path,
// "<path>: not a regular file", "<path>: <n> bytes, more than <max>").
std::string readFile(const std::string& path);
std::string readText(const std::string& path);

}  // namespace ka
