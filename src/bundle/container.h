// Bundle path resolution and IMX version 2 containers.
//
// A container is unpacked once into a directory beside it (or under $KA_IMX_UNWRAP_ROOT); a marker
// file next to that directory records the container state (name, size, time, inode) it came from,
// and later resolutions reuse the directory until the container changes.
#pragma once

#include <string>

namespace ka {

// True when `path` is a regular file that starts with the IMX magic and version 2.
bool isImxV2File(const std::string& path);

// True for member names that could leave the bundle directory or that name no file: empty,
// absolute, backslash-led, holding ".." or a NUL, or whose last component is empty or ".".
bool unsafeMemberName(const std::string& name);

// The directory to read the bundle at `path` from; unpacks a container when needed.
std::string resolveBundlePath(const std::string& path);

namespace bundle_path {
std::string rstripSlash(const std::string& p);
std::string baseName(const std::string& p);
std::string dirName(const std::string& p);
bool mkdirs(const std::string& dir);
void rmTree(const std::string& path);
}  // namespace bundle_path

}  // namespace ka
