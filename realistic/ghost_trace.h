// SPDX-License-Identifier: Apache-2.0
// Light that reflects inside the lens: the ghosts and veiling glare of
// lens flare. A traced path reflects at chosen surfaces where the index
// changes and refracts at every other one; its weight carries the
// reflectance (Fresnel's, or a single-layer anti-reflection coating's) of
// each reflection and the transmittance of each refraction, over the
// chance of choosing that path, so the estimate is unbiased. After a
// reflection the path travels back through surfaces it has passed,
// meeting them from the other side, the stop (and its blades) included.
// A path that leaves the front is the camera ray.
//
// Lens space, +z toward the film; in double, from the prescription's own
// numbers.
#pragma once

#include <cstdint>
#include <vector>

#include "realistic/exact_trace.h"

// The reflectance of a surface between media of index n1 (the ray's) and
// n2, at the cosine of incidence cosi (> 0), unpolarised. With `coated`, a
// quarter-wave layer of magnesium fluoride (n 1.38, a quarter wave thick
// at 550 nm) on the glass side of an air-glass surface, with its thin-film
// interference at this wavelength and angle. Total internal reflection
// gives 1.
double SurfaceReflectance(double n1, double n2, double cosi, bool coated, double nanometres);

struct GhostSettings {
  int reflections = 2;      // at most this many per path: 2 or 4
  bool coated = true;       // the single-layer coating on air-glass surfaces
  double nanometres = 587.5618;
  // The surfaces where the index changes, front to back, and the running
  // sum of their reflectances at normal incidence (one longer): the odds
  // by which a path picks where it reflects. PrepareGhostSettings fills
  // them once; left empty, every trace works them out anew.
  std::vector<int> surfaces;
  std::vector<double> odds;
};

void PrepareGhostSettings(const ExactSurface* s, int n, GhostSettings* settings);

// Traces a film-side ray (toward -z, starting behind the back vertex)
// along one path: with `kind` 0 the direct one, with 1 one that reflects
// twice (with 4 reflections allowed, four times a quarter of the time),
// its surfaces picked with `random` in proportion to their reflectance;
// with -1 either, at even odds. True: *exit is the ray leaving the front
// element, *factor the path's weight (the product of its reflectances
// and transmittances over the chance of the path, given the kind),
// *reflections how many it took.
bool GhostTraceFilmToWorld(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
                           const GhostSettings& settings, uint64_t random, RayT<double>* exit, double* factor,
                           int* reflections, int kind = -1);
