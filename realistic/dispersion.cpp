// SPDX-License-Identifier: Apache-2.0
#include "realistic/dispersion.h"

double IndexAtWavelengthExact(double n_d, double v_d, double nanometres) {
  const double b = (n_d - 1.0) / v_d / (1.0 / (kLineF * kLineF) - 1.0 / (kLineC * kLineC));
  const double a = n_d - b / (kLineD * kLineD);
  return a + b / (nanometres * nanometres);
}

float IndexAtWavelength(float n_d, float v_d, float nanometres) {
  // n(F) - n(C) = B (1/F^2 - 1/C^2) fixes B; n(d) = n_d fixes A.
  const double b = (double(n_d) - 1.0) / double(v_d) /
                   (1.0 / (kLineF * kLineF) - 1.0 / (kLineC * kLineC));
  const double a = double(n_d) - b / (kLineD * kLineD);
  return float(a + b / (double(nanometres) * nanometres));
}
