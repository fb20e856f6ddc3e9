// SPDX-License-Identifier: Apache-2.0
// Longitudinal chromatic aberration: where the film-side focus lies in
// red (C line), yellow (d) and blue (F) light.
#pragma once

#include "realistic/lens_stack.h"

struct Chromatic {
  float f1_c, f1_d, f1_f;  // film-side focal point, lens-space z, at each line
  // Blue focus minus red focus: negative for an uncorrected positive lens,
  // whose blue light focuses closer to it.
  double Longitudinal() const { return double(f1_f) - f1_c; }
};

// False, and nothing computed, for a lens without dispersion data. The
// focal points are the thick-lens approximation's at each wavelength.
bool ComputeChromatic(const LensStack& lens, Chromatic* out);
