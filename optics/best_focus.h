// SPDX-License-Identifier: Apache-2.0
// Where a lens focuses an axial object with its whole opening: the film
// plane of the smallest RMS spot of real rays, which spherical aberration
// moves away from the paraxial focus at wide apertures.
#pragma once

#include "realistic/lens_stack.h"

struct BestFocus {
  double paraxial;   // film distance of the thick-lens (paraxial) focus
  double best;       // film distance of the smallest RMS spot
  double rms_paraxial, rms_best;  // RMS spot radius on those two planes
  int rays;          // rays that passed the lens, of the bundle traced
};

// For an object `distance` in front of the front vertex (lens units), with
// the lens's stop as set. Throws LensError where the thick-lens focus
// does (no power, an object inside the front focal point) and
// std::runtime_error when no ray of the bundle passes (a closed stop).
BestFocus ComputeBestFocus(const LensStack& lens, double distance);
