#include "bundle/members.h"

#include <cstring>

#include "base/regular_file.h"

namespace ka {
namespace {

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

bool endsWith(const std::string& s, const char* p) {
  size_t n = std::strlen(p);
  return s.size() >= n && s.compare(s.size() - n, n, p) == 0;
}

}  // namespace

std::string canonicalMember(const std::string& name) {
  static const struct {
    const char* legacy;
    const char* canonical;
  } kPairs[] = {
      {"P.f16", "source_frames.f16"},
      {"P_hevc.mov", "source_frames.hevc"},
      {"a2x_enc_stream.onnx", "audio_motion_encoder.onnx"},
      {"a2x_dec.onnx", "audio_motion_decoder.onnx"},
      {"M.f32", "paste_transform.f32"},
      {"mask_512.u8", "paste_mask.u8"},
      {"pooled64.f16", "pooled_features.f16"},
      {"fs_red.f16", "feature_synth.f16"},
      {"xs_target.bin", "target_keypoints.bin"},
  };
  for (const auto& p : kPairs)
    if (name == p.legacy) return p.canonical;

  const size_t pre = std::strlen("model_b"), post = std::strlen(".onnx");
  if (startsWith(name, "model_b") && endsWith(name, ".onnx") && name.size() > pre + post) {
    std::string mid = name.substr(pre, name.size() - pre - post);
    size_t us = mid.find('_');
    std::string batch = mid.substr(0, us);
    std::string variant = us == std::string::npos ? std::string() : mid.substr(us + 1);
    return "render_model.batch" + batch + (variant.empty() ? "" : "." + variant) + ".onnx";
  }

  if (startsWith(name, "drive/")) {
    std::string rest = name.substr(6);
    size_t dot = rest.find('.');
    std::string stem = rest.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : rest.substr(dot);
    if (stem == "xs")
      stem = "source_keypoints";
    else if (stem == "xd")
      stem = "driven_keypoints";
    else if (stem == "si")
      stem = "source_index";
    return "idle_loop/" + stem + ext;
  }
  return name;
}

std::string resolveMember(const std::string& dir, const std::string& name) {
  const std::string canonical = canonicalMember(name);
  const std::string legacyPath = dir + "/" + name;
  if (canonical == name) return legacyPath;
  if (canOpenForReading(legacyPath)) return legacyPath;
  const std::string canonicalPath = dir + "/" + canonical;
  if (canOpenForReading(canonicalPath)) return canonicalPath;
  return legacyPath;
}

}  // namespace ka
