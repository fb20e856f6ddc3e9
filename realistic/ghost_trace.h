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
// The same given eta = n1 / n2 and 1 / nanometres, as the ghost trace (and
// its batch lanes, operation for operation) forms it.
double Reflectance(double n1, double n2, double eta, double cosi, bool coated, double inverse_nm);

// The single-layer coating: magnesium fluoride, a quarter wave thick at
// 550 nm.
constexpr double kCoatingIndex = 1.38;
constexpr double kCoatingDesign = 550;  // nm
constexpr double kGhostPi = 3.14159265358979323846;
constexpr double kInverseLayerSquared = 1 / (kCoatingIndex * kCoatingIndex);
// 2 delta = 2 (2 pi n_layer thickness c_layer / lambda), thickness a quarter
// wave at the design wavelength.
constexpr double kTwiceDeltaScale = 2 * (2 * kGhostPi * kCoatingIndex * (kCoatingDesign / (4 * kCoatingIndex)));

// cos(x) to within a unit or two of the last place, for the coating's
// interference term, from plain IEEE arithmetic (a reduction by pi/2 and
// Taylor polynomials on [-pi/4, pi/4]) that SIMD lanes reproduce bit for
// bit; the C library's cos has no vector twin with its bits.
double CoatingCosine(double x);
// Its constants, for the lanes.
constexpr double kTwoOverPi = 0.63661977236758134308;
constexpr double kRoundingShift = 6755399441055744.0;  // 1.5 * 2^52
constexpr double kHalfPiHigh = 1.57079632673412561417;  // pi/2 to 33 bits
constexpr double kHalfPiLow = 6.07710050650619224932e-11;  // the rest
// (-1)^(t+1) / (2t+2)! and (-1)^(t+1) / (2t+3)!: cos r = 1 + z (c0 + z (c1 + ...)),
// sin r = r + r z (s0 + z (s1 + ...)), z = r^2.
constexpr double kCosTerms[8] = {-1.0 / 2, 1.0 / 24, -1.0 / 720, 1.0 / 40320, -1.0 / 3628800,
                                 1.0 / 479001600, -1.0 / 87178291200.0, 1.0 / 20922789888000.0};
constexpr double kSinTerms[8] = {-1.0 / 6, 1.0 / 120, -1.0 / 5040, 1.0 / 362880, -1.0 / 39916800,
                                 1.0 / 6227020800.0, -1.0 / 1307674368000.0, 1.0 / 355687428096000.0};

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

// The path a trace takes (see GhostTraceFilmToWorld for `kind` and
// `random`): how many reflections, at which surfaces (indices into the
// stack, in the order met), and the chance of picking it. False where no
// such path exists (a ghost asked of a lens with fewer than two
// reflecting surfaces).
struct GhostPlan {
  int count = 0;
  int chosen[4] = {};
  double chance = 1;
};
bool PlanGhostPath(const GhostSettings& settings, int kind, uint64_t random, GhostPlan* plan);

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

// Light from the scene along one ghost path: in through the front, a
// reflection at surface `later`, back toward the front to a reflection at
// `earlier` (earlier < later, both where the index changes), and on to the
// film side, refracting everywhere else (a catadioptric lens's own
// mirrors reflect as always). True where it leaves the back toward the
// film: *exit is that ray, *factor the product of the two reflectances
// and every transmittance on the way (Fresnel's, or the coating's).
bool GhostTraceWorldToFilm(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
                           int later, int earlier, const GhostSettings& settings, RayT<double>* exit,
                           double* factor);
