// Head pose of a keypoint info row: angles decoded from 66 bins and the rotation they make.
#pragma once

namespace ka {

// Degrees from 66 bin scores: softmax over the bins, expected bin index x 3 - 97.5.
float bin66(const float* bins);

// Row-major rotation for pitch, yaw, roll in degrees; a keypoint row vector multiplies it on the
// left (x' = x R).
void poseRotation(float pitch, float yaw, float roll, float r[9]);

// out = (x R + exp) * scale + (t[0], t[1], 0) for the 21 keypoints of x and exp (63 values each).
void placeKeypoints(const float* x, const float r[9], const float* exp, float scale, const float* t, float* out);

}  // namespace ka
