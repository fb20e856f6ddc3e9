// SPDX-License-Identifier: Apache-2.0
#include "optics/chromatic.h"

#include "realistic/dispersion.h"

namespace {

float FilmSideFocus(const LensStack& lens, double nanometres) {
  LensStack at = lens;
  at.SetWavelength(float(nanometres));
  float f1, f2, p1, p2;
  at.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  return f1;
}

}  // namespace

bool ComputeChromatic(const LensStack& lens, Chromatic* out) {
  if (!lens.HasDispersion()) return false;
  out->f1_c = FilmSideFocus(lens, kLineC);
  out->f1_d = FilmSideFocus(lens, kLineD);
  out->f1_f = FilmSideFocus(lens, kLineF);
  return true;
}
