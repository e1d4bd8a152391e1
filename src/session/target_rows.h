// The target rows a session walks: member xs_target.bin of a bundle or model directory.
#pragma once

#include <string>
#include <vector>

namespace ka {

// Exactly nt rows of 63 floats; empty when the member is absent, shorter, longer or unreadable, or
// nt < 1. Anything but a regular file under its name throws "<path>: not a regular file".
std::vector<float> readTargetRows(const std::string& dir, int nt);

}  // namespace ka
