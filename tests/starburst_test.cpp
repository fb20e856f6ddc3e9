// SPDX-License-Identifier: Apache-2.0
// The iris's diffraction pattern: the Airy disc's first dark ring where
// optics puts it, the number of spikes a polygon of blades gives, and no
// light lost or made on the way to pixels.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "optics/starburst.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Peaks of a circular profile within a tenth of its highest: the spikes,
// not the rings' ripples between them.
int Spikes(const std::vector<double>& p) {
  const double highest = *std::max_element(p.begin(), p.end());
  int peaks = 0;
  const int m = int(p.size());
  for (int a = 0; a < m; ++a) {
    const double v = p[size_t(a)];
    bool top = v > 0.1 * highest;
    for (int d = 1; d <= m / 40 && top; ++d) top = v >= p[size_t((a + d) % m)] && v > p[size_t((a - d + m) % m)];
    peaks += top;
  }
  return peaks;
}

}  // namespace

// A round stop: the Airy pattern's first dark ring at 1.22 lambda N,
// within 2%.
TEST(Starburst, RoundStopHasItsFirstDarkRingAt122LambdaN) {
  StarburstSettings s;
  s.nanometres = 550, s.f_number = 8, s.size = 512, s.pad = 8;
  const Starburst b = ComputeStarburst(s);
  // Along the four axes from the centre, averaged; its first minimum,
  // refined by a parabola through it and its neighbours.
  const int n = b.size, c0 = n / 2;
  std::vector<double> radial;
  for (int r = 0; r < 60; ++r)
    radial.push_back(0.25 * (b.value[size_t(c0) * n + c0 + r] + b.value[size_t(c0) * n + c0 - r] +
                             b.value[size_t(c0 + r) * n + c0] + b.value[size_t(c0 - r) * n + c0]));
  size_t k = 1;
  while (k + 1 < radial.size() && !(radial[k] < radial[k - 1] && radial[k] <= radial[k + 1])) ++k;
  ASSERT_LT(k + 1, radial.size());
  const double a = radial[k - 1], c = radial[k], e = radial[k + 1];
  const double offset = 0.5 * (a - e) / (a - 2 * c + e);
  const double dark = (double(k) + offset) * b.spacing;
  const double expected = 1.22 * 550e-6 * 8;
  EXPECT_NEAR(dark, expected, 0.02 * expected) << dark / (550e-6 * 8) << " lambda N";
}

// Six blades give six spikes, five blades ten (odd polygons' edges are
// not parallel: each diffracts both ways), at any rotation.
TEST(Starburst, BladesGiveTheirSpikes) {
  for (const auto& [blades, spikes] : {std::pair<int, int>{6, 6}, {5, 10}, {8, 8}}) {
    for (double rotation : {0.0, 17.0}) {
      StarburstSettings s;
      s.blades = blades, s.rotation_degrees = rotation, s.size = 512, s.pad = 4;
      const Starburst b = ComputeStarburst(s);
      // Averaged over radii from 10 to 50 lambda N, where the rings'
      // ripples between the spikes wash out.
      std::vector<double> ring(720, 0.0);
      const int n = b.size;
      for (int j = 0; j < n; ++j)
        for (int i = 0; i < n; ++i) {
          const double x = i - n / 2, y = j - n / 2, r = std::hypot(x, y);
          if (r < 40 || r > 200) continue;
          const int a = int((std::atan2(y, x) + kPi) / (2 * kPi) * 720) % 720;
          ring[size_t(a)] += b.value[size_t(j) * n + i] * r;  // r^2 weight, over r cells a sector
        }
      EXPECT_EQ(Spikes(ring), spikes) << blades << " blades at " << rotation << " deg";
    }
  }
}

// Gathered into pixels and reaching past its grid, the pattern keeps its
// energy: the kernel sums to 1, its centre holds the core, and the light
// between spikes falls off with distance.
TEST(Starburst, KernelConservesEnergy) {
  StarburstSettings s;
  s.blades = 6, s.f_number = 11, s.size = 512, s.pad = 2;
  const Starburst b = ComputeStarburst(s);
  double total = 0;
  for (double v : b.value) total += v;
  EXPECT_NEAR(total, 1.0, 1e-9);
  const int radius = 40;
  const std::vector<double> k = StarburstKernel(b, 0.06, radius);
  double sum = 0;
  for (double v : k) sum += v;
  EXPECT_NEAR(sum, 1.0, 0.005);
  const int side = 2 * radius + 1;
  const double centre = k[size_t(radius) * side + radius];
  EXPECT_GT(centre, 0.8);
  EXPECT_GT(k[size_t(radius) * side + radius + 5], k[size_t(radius) * side + radius + 30]);
}
