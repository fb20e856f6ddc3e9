// SPDX-License-Identifier: Apache-2.0
// How much film a lens covers: the image circle, from real rays traced
// from film points toward the whole back element.
#pragma once

#include "realistic/lens_stack.h"

struct Coverage {
  // Film-side diameters: within `lit` some light reaches the film, within
  // `half_lit` the irradiance (film-angle cos^4 weight) is at least half
  // the centre's. NaN when the lens passes no light at its centre.
  double lit, half_lit;
};

// The image circle on a film plane at film_z (lens space), scanning film
// radii outward in steps of `step` and refining each edge by bisection.
Coverage ComputeCoverage(const LensStack& lens, float film_z, double step);

// The circle by which a lens is said to cover a film: the half-light
// circle (film-angle cos^4 weight) with the lens at f/8, or at its own stop
// where that is slower, so that a fast lens's vignetting wide open does
// not count against it and light that only leaks to the corners does not
// count for it. NaN where nothing passes.
constexpr double kCoverageFNumber = 8;
double CoveringCircle(const LensStack& lens, float film_z, double step);

// A named film format and its size, lens units taken as millimetres.
struct FilmFormat {
  const char* name;
  double width, height;
};

// The largest common format whose diagonal fits in the diameter, or
// nullptr when none does.
const FilmFormat* LargestFormatWithin(double diameter);

// How far from the axis the farthest corner of a moved film lies: the film
// w x h with its centre shifted to (shift_x, shift_y) (lens space) and
// turned by tilt_x degrees about its x axis, then tilt_y about its y axis,
// as the camera places it.
double MovedFilmReach(double w, double h, double shift_x, double shift_y, double tilt_x, double tilt_y);
