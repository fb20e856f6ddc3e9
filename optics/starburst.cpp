// SPDX-License-Identifier: Apache-2.0
#include "optics/starburst.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

namespace {

constexpr double kPi = 3.14159265358979323846;
using C = std::complex<double>;

// In-place radix-2 FFT of n (a power of two) values `stride` apart.
void Fft(C* a, int n, int stride) {
  for (int i = 1, j = 0; i < n; ++i) {
    int bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i * stride], a[j * stride]);
  }
  for (int len = 2; len <= n; len <<= 1) {
    const C w = std::polar(1.0, -2 * kPi / len);
    for (int i = 0; i < n; i += len) {
      C wk = 1;
      for (int k = 0; k < len / 2; ++k) {
        const C u = a[(i + k) * stride], v = a[(i + k + len / 2) * stride] * wk;
        a[(i + k) * stride] = u + v;
        a[(i + k + len / 2) * stride] = u - v;
        wk *= w;
      }
    }
  }
}

// The share of a grid cell inside the stop: 4 x 4 points of the cell.
double Coverage(double x0, double y0, double cell, int blades, double rotation) {
  int inside = 0;
  for (int j = 0; j < 4; ++j)
    for (int i = 0; i < 4; ++i) {
      const double x = x0 + (i + 0.5) * cell / 4, y = y0 + (j + 0.5) * cell / 4;
      bool in = x * x + y * y <= 1;
      if (in && blades >= 3) {
        // Inside every edge: the apothem along each edge's normal.
        const double apothem = std::cos(kPi / blades);
        for (int k = 0; k < blades && in; ++k) {
          const double a = rotation + (2 * k + 1) * kPi / blades;
          in = x * std::cos(a) + y * std::sin(a) <= apothem;
        }
      }
      inside += in;
    }
  return inside / 16.0;
}

}  // namespace

Starburst ComputeStarburst(const StarburstSettings& s) {
  const int n = s.size;
  if (n < 16 || (n & (n - 1)) || s.pad < 2 || n / s.pad < 8)
    throw std::invalid_argument("starburst: the grid must be a power of two with at least 8 samples across the pupil");
  // The pupil's circumscribed circle, radius 1, spans n / pad samples.
  const double cell = 2.0 * s.pad / n;
  const double rotation = s.rotation_degrees * kPi / 180;
  std::vector<C> grid(size_t(n) * n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double x0 = (i - n / 2) * cell, y0 = (j - n / 2) * cell;
      if (std::hypot(x0 + cell / 2, y0 + cell / 2) > 1 + cell) continue;
      grid[size_t(j) * n + i] = Coverage(x0, y0, cell, s.blades, rotation);
    }
  for (int j = 0; j < n; ++j) Fft(&grid[size_t(j) * n], n, 1);
  for (int i = 0; i < n; ++i) Fft(&grid[size_t(i)], n, n);
  Starburst b;
  b.size = n;
  // Frequencies k / (n cell) in the pupil's units (radius 1 = D/2): angle
  // lambda k / (n cell D/2), on the film R times that, R = N D.
  b.spacing = s.nanometres * 1e-6 * s.f_number * 2 / (n * cell);
  b.value.assign(size_t(n) * n, 0.0);
  double sum = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double v = std::norm(grid[size_t(j) * n + i]);
      // Centred: frequency 0 at (n/2, n/2).
      b.value[size_t((j + n / 2) % n) * n + size_t((i + n / 2) % n)] = v;
      sum += v;
    }
  for (double& v : b.value) v /= sum;
  return b;
}

std::vector<double> StarburstKernel(const Starburst& s, double pitch, int radius) {
  const int side = 2 * radius + 1;
  std::vector<double> k(size_t(side) * side, 0.0);
  const int n = s.size;
  // The samples, gathered into pixels.
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const int px = int(std::floor((i - n / 2) * s.spacing / pitch + 0.5));
      const int py = int(std::floor((j - n / 2) * s.spacing / pitch + 0.5));
      if (std::abs(px) > radius || std::abs(py) > radius) continue;
      k[size_t(py + radius) * side + size_t(px + radius)] += s.value[size_t(j) * n + i];
    }
  // Beyond the grid: each direction's light at the grid's edge (an annulus
  // just inside it, in 720 sectors), falling as 1 / r^2.
  const double edge = 0.45 * n * s.spacing;  // mm
  constexpr int kSectors = 720;
  std::vector<double> ring(kSectors, 0.0);
  std::vector<int> count(kSectors, 0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double x = (i - n / 2) * s.spacing, y = (j - n / 2) * s.spacing, r = std::hypot(x, y);
      if (r < 0.9 * edge || r > edge) continue;
      const int sector = int((std::atan2(y, x) + kPi) / (2 * kPi) * kSectors) % kSectors;
      ring[size_t(sector)] += s.value[size_t(j) * n + i] / (s.spacing * s.spacing), ++count[size_t(sector)];
    }
  for (int a = 0; a < kSectors; ++a)
    if (count[size_t(a)]) ring[size_t(a)] /= count[size_t(a)];  // per mm^2, at about 0.95 edge
  const double r0 = 0.95 * edge;
  for (int py = -radius; py <= radius; ++py)
    for (int px = -radius; px <= radius; ++px) {
      const double x = px * pitch, y = py * pitch, r = std::hypot(x, y);
      if (r <= edge + 0.5 * pitch) continue;
      const int sector = int((std::atan2(y, x) + kPi) / (2 * kPi) * kSectors) % kSectors;
      k[size_t(py + radius) * side + size_t(px + radius)] += ring[size_t(sector)] * (r0 / r) * (r0 / r) * pitch * pitch;
    }
  double sum = 0;
  for (double v : k) sum += v;
  if (sum > 0)
    for (double& v : k) v /= sum;
  return k;
}
