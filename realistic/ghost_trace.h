// SPDX-License-Identifier: Apache-2.0
// Light that reflects inside the lens: the ghosts and veiling glare of
// lens flare. At each surface where the index changes, a path reflects
// with a probability chosen from the surface's reflectance (Fresnel's, or
// a single-layer anti-reflection coating's) and otherwise refracts; the
// weight carries reflectance / probability, so the estimate is unbiased.
// After a reflection the path travels back through surfaces it has
// passed, meeting them from the other side, the stop (and its blades)
// included. A path that leaves the back of the lens carries no light; one
// that leaves the front is the camera ray.
//
// Lens space, +z toward the film; in double, from the prescription's own
// numbers.
#pragma once

#include <cstdint>

#include "realistic/exact_trace.h"

// The reflectance of a surface between media of index n1 (the ray's) and
// n2, at the cosine of incidence cosi (> 0), unpolarised. With `coated`, a
// quarter-wave layer of magnesium fluoride (n 1.38, a quarter wave thick
// at 550 nm) on the glass side of an air-glass surface, with its thin-film
// interference at this wavelength and angle. Total internal reflection
// gives 1.
double SurfaceReflectance(double n1, double n2, double cosi, bool coated, double nanometres);

struct GhostSettings {
  int reflections = 2;      // at most this many per path
  bool coated = true;       // the single-layer coating on air-glass surfaces
  double nanometres = 587.5618;
  double floor = 0.05;      // the least probability of taking a reflection
};

// Traces a film-side ray (toward -z, starting behind the back vertex) with
// reflections. True: *exit is the ray leaving the front element, *factor
// the path's weight (the products of reflectances and transmittances over
// their probabilities), *reflections how many it took. `random` seeds the
// path's choices.
bool GhostTraceFilmToWorld(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
                           const GhostSettings& settings, uint64_t random, RayT<double>* exit, double* factor,
                           int* reflections);
