// SPDX-License-Identifier: Apache-2.0
// First-order lens data: the thick-lens model of the lens and the film
// distance that focuses it, shared by the camera's "focusdistance" and the
// tools.
#pragma once

#include "realistic/lens_stack.h"

struct ThickLens {
  float f1, p1, f2, p2;  // focal points and principal planes, lens-space z
  double Efl() const { return double(f1) - p1; }  // film side
  double FrontEfl() const { return double(p2) - f2; }
};

ThickLens ComputeThickLens(const LensStack& lens);

// The film distance (from the back vertex) that images an object at
// `distance` in front of the front vertex sharply, by the thick-lens
// equation 1/s + 1/s' = 1/f with s measured from the front principal plane
// and s' from the rear one. Throws LensError when the object is at or
// inside the front focal point, where no real image forms.
double FilmDistanceForObject(const LensStack& lens, const ThickLens& t, double distance);
