#include "audio/motion_pose.h"

#include <cmath>

namespace ka {

float bin66(const float* bins) {
  float top = bins[0];
  for (int i = 1; i < 66; ++i) top = bins[i] > top ? bins[i] : top;
  double sum = 0.0, weighted = 0.0;
  for (int i = 0; i < 66; ++i) {
    const double e = std::exp(static_cast<double>(bins[i]) - top);
    sum += e;
    weighted += e * i;
  }
  return static_cast<float>(weighted / sum * 3.0 - 97.5);
}

void poseRotation(float pitch, float yaw, float roll, float r[9]) {
  const double k = M_PI / 180.0;
  const double cp = std::cos(pitch * k), sp = std::sin(pitch * k);
  const double cy = std::cos(yaw * k), sy = std::sin(yaw * k);
  const double cr = std::cos(roll * k), sr = std::sin(roll * k);
  const double m[9] = {cy * cr,
                       cy * sr,
                       -sy,
                       sp * sy * cr - cp * sr,
                       cp * cr + sp * sy * sr,
                       sp * cy,
                       cp * sy * cr + sp * sr,
                       cp * sy * sr - sp * cr,
                       cp * cy};
  for (int i = 0; i < 9; ++i) r[i] = static_cast<float>(m[i]);
}

void placeKeypoints(const float* x, const float r[9], const float* exp, float scale, const float* t, float* out) {
  for (int k = 0; k < 21; ++k) {
    const float* p = x + 3 * k;
    for (int j = 0; j < 3; ++j) {
      const float v = p[0] * r[j] + p[1] * r[3 + j] + p[2] * r[6 + j];
      out[3 * k + j] = (v + exp[3 * k + j]) * scale + (j < 2 ? t[j] : 0.0f);
    }
  }
}

}  // namespace ka
