#include "bundle/driving.h"

#include "base/regular_file.h"
#include "bundle/members.h"

namespace ka {

DrivingVideo drivingVideo(const Manifest& m) {
  DrivingVideo v;
  v.dirName = "target_frames";
  v.videoName = "target_frames_mp4";
  const std::string text = driving::readText(m.dir + "/manifest.json");
  driving::optStr(text, "target_frames", v.dirName);
  driving::optStr(text, "target_frames_mp4", v.videoName);
  v.dirPath = m.dir + "/" + v.dirName;
  v.videoPath = resolveMember(m.dir, v.videoName);
  v.NT = m.NT;
  v.W = m.W;
  v.H = m.H;
  return v;
}

PriorVideo priorVideo(const Manifest& m) {
  PriorVideo v;
  v.name = "P_hevc.mov";
  driving::optStr(driving::readText(m.dir + "/manifest.json"), "P_hevc", v.name);
  v.path = resolveMember(m.dir, v.name);
  v.NT = m.NT;
  v.crop = m.crop;
  return v;
}

namespace driving {

std::string readText(const std::string& path) {
  // Non-blocking probe first: a FIFO is then refused by the reader instead of waited on.
  if (!canOpenForReading(path)) return std::string();
  return ka::readText(path);
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  // Unlike the bundle reader, an empty string leaves `out` (the default member name) alone.
  std::string value;
  if (!ka::optStr(text, key, value)) return false;
  out = value;
  return true;
}

}  // namespace driving

}  // namespace ka
