// SPDX-License-Identifier: Apache-2.0
#include "render/spectral_bands.h"

#include <algorithm>
#include <cmath>

namespace {

// A Gaussian with different widths left and right of its peak.
double Lobe(double x, double mu, double sigma_left, double sigma_right) {
  const double t = (x - mu) / (x < mu ? sigma_left : sigma_right);
  return std::exp(-0.5 * t * t);
}

// The CIE 1931 2-degree colour-matching functions, as the multi-lobe fit of
// Wyman, Sloan and Shirley (2013), within a few percent of the tables.
Vec3 ColourMatching(double nm) {
  const double x = 1.056 * Lobe(nm, 599.8, 37.9, 31.0) + 0.362 * Lobe(nm, 442.0, 16.0, 26.7) -
                   0.065 * Lobe(nm, 501.1, 20.4, 26.2);
  const double y = 0.821 * Lobe(nm, 568.8, 46.9, 40.5) + 0.286 * Lobe(nm, 530.9, 16.3, 31.1);
  const double z = 1.217 * Lobe(nm, 437.0, 11.8, 36.0) + 0.681 * Lobe(nm, 459.0, 26.0, 13.8);
  return {x, y, z};
}

// XYZ to linear sRGB (D65).
Vec3 XyzToLinearSrgb(const Vec3& c) {
  return {3.2406 * c.x - 1.5372 * c.y - 0.4986 * c.z, -0.9689 * c.x + 1.8758 * c.y + 0.0415 * c.z,
          0.0557 * c.x - 0.2040 * c.y + 1.0570 * c.z};
}

}  // namespace

std::vector<SpectralBand> SpectralBands(int count) {
  std::vector<SpectralBand> bands;
  const double width = (kSpectralMax - kSpectralMin) / count;
  Vec3 total;
  for (int b = 0; b < count; ++b) {
    const double lo = kSpectralMin + b * width;
    // Midpoint rule at 0.25 nm steps, fine for functions tens of nm wide.
    const int steps = std::max(1, int(std::lround(width / 0.25)));
    Vec3 xyz;
    for (int k = 0; k < steps; ++k) xyz += ColourMatching(lo + (k + 0.5) * width / steps);
    const Vec3 rgb = XyzToLinearSrgb(xyz * (width / steps));
    bands.push_back({lo + 0.5 * width, rgb});
    total += rgb;
  }
  for (SpectralBand& band : bands)
    band.rgb = Vec3(band.rgb.x / total.x, band.rgb.y / total.y, band.rgb.z / total.z);
  return bands;
}
