// SPDX-License-Identifier: Apache-2.0
#include "core/sampling.h"

#include <cmath>

void ConcentricSampleDisk(float u1, float u2, float* dx, float* dy) {
  // The square [-1, 1]^2; its four triangular wedges between the diagonals
  // each map onto a quarter of the disc.
  const double a = 2.0 * u1 - 1.0;
  const double b = 2.0 * u2 - 1.0;
  if (a == 0.0 && b == 0.0) {
    *dx = 0.f;
    *dy = 0.f;
    return;
  }
  const double quarter_pi = M_PI / 4.0;
  double r, phi;
  if (std::fabs(a) > std::fabs(b)) {
    // Left and right wedges: the ring radius is |a|, the angle runs with b/a.
    r = a;
    phi = quarter_pi * (b / a);
  } else {
    // Top and bottom wedges.
    r = b;
    phi = 2.0 * quarter_pi - quarter_pi * (a / b);
  }
  *dx = float(r * std::cos(phi));
  *dy = float(r * std::sin(phi));
}
