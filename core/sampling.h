// SPDX-License-Identifier: Apache-2.0
// The host's camera sample and its disc mapping.
#pragma once

#include <cstdint>
#include <vector>

// One image sample as the host hands it to a camera. A camera reads the
// raster position (pixels) and the two lens numbers in [0, 1); time and the
// integrator's extra dimensions belong to the host.
struct Sample {
  float imageX = 0.f, imageY = 0.f;
  float lensU = 0.f, lensV = 0.f;
  float time = 0.f;
  std::vector<uint32_t> n1D, n2D;
  float** oneD = nullptr;
  float** twoD = nullptr;
};

// Shirley and Chiu's concentric map of the unit square onto the unit disc:
// squares around the centre go to rings, so strata keep their area and
// shape. (u1, u2) in [0, 1)^2 is written as (*dx, *dy) on the disc.
void ConcentricSampleDisk(float u1, float u2, float* dx, float* dy);
