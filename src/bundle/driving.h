// Where a bundle keeps the videos its cursors play: the driving video (a JPEG directory or a video
// member) and the warp prior, named by the manifest and resolved under the bundle directory.
#pragma once

#include <string>

#include "bundle/manifest.h"
#include "driver/cursor.h"

namespace ka {

// The driving video: the JPEG directory ("target_frames", or the manifest's "target_frames") and
// the video member ("target_frames_mp4", or the manifest's), NT frames of W x H.
DrivingVideo drivingVideo(const Manifest& m);

// The warp prior: "P_hevc.mov" or the manifest's "P_hevc", NT frames of crop x crop.
PriorVideo priorVideo(const Manifest& m);

namespace driving {

// Whole file in binary mode; a file that cannot be opened gives the empty string, one that opens
// but is not a regular file (a FIFO) is refused with "<path>: not a regular file".
std::string readText(const std::string& path);

// The key's scalar string value from a manifest text: true, with `out` set, when it is a
// non-empty double-quoted string; otherwise false and `out` unchanged.
bool optStr(const std::string& text, const char* key, std::string& out);

}  // namespace driving

}  // namespace ka
