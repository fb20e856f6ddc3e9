// SPDX-License-Identifier: Apache-2.0
#include "optics/coverage.h"

#include "optics/paraxial.h"

#include <algorithm>
#include <cmath>

#include "optics/vignetting.h"

namespace {

// Back-element samples per side at each film point: enough to see the
// last few percent of a vignetted beam, few enough to scan a lens quickly.
constexpr int kGrid = 24;
// Scan steps before giving up on finding the edge (a lens whose field is
// unlimited within that range reports the scanned radius).
constexpr int kMaxSteps = 400;
constexpr int kBisections = 12;

// The largest radius at which `inside(r)` holds, for a predicate true at
// the centre and false from some radius on.
template <typename Inside>
double Edge(Inside inside, double step) {
  double lo = 0;
  for (int k = 1; k <= kMaxSteps; ++k) {
    const double r = k * step;
    if (!inside(r)) {
      double hi = r;
      for (int i = 0; i < kBisections; ++i) {
        const double mid = 0.5 * (lo + hi);
        (inside(mid) ? lo : hi) = mid;
      }
      return lo;
    }
    lo = r;
  }
  return lo;
}

const FilmFormat kFormats[] = {
    {"36x24 (full frame)", 36, 24},     {"23.6x15.6 (APS-C)", 23.6, 15.6},
    {"17.3x13 (Four Thirds)", 17.3, 13}, {"13.2x8.8 (1 inch)", 13.2, 8.8},
    {"6.17x4.55 (1/2.3 inch)", 6.17, 4.55},
};

}  // namespace

Coverage ComputeCoverage(const LensStack& lens, float film_z, double step) {
  const FilmPointLight centre = LightAtFilmPoint(lens, film_z, 0.f, kGrid);
  if (!(centre.illumination_film > 0)) return {NAN, NAN};
  const double lit = Edge(
      [&](double r) { return LightAtFilmPoint(lens, film_z, float(r), kGrid).passing > 0; }, step);
  const double half = Edge(
      [&](double r) {
        return LightAtFilmPoint(lens, film_z, float(r), kGrid).illumination_film >=
               0.5 * centre.illumination_film;
      },
      step);
  return {2 * lit, 2 * half};
}

double CoveringCircle(const LensStack& lens, float film_z, double step) {
  LensStack stopped = lens;
  try {
    if (ComputeParaxial(lens).f_number < kCoverageFNumber)
      stopped.SetApertureDiameter(float(StopDiameterForFNumber(lens, kCoverageFNumber)));
  } catch (const std::exception&) {
  }
  return ComputeCoverage(stopped, film_z, step).half_lit;
}

const FilmFormat* LargestFormatWithin(double diameter) {
  for (const FilmFormat& f : kFormats)
    if (std::hypot(f.width, f.height) <= diameter) return &f;
  return nullptr;
}

double MovedFilmReach(double w, double h, double shift_x, double shift_y, double tilt_x, double tilt_y) {
  const double ax = tilt_x * 3.14159265358979323846 / 180, ay = tilt_y * 3.14159265358979323846 / 180;
  // The film's x and y directions, projected on the x-y plane.
  const double ex[2] = {std::cos(ay), 0}, ey[2] = {std::sin(ay) * std::sin(ax), std::cos(ax)};
  double reach = 0;
  for (double u : {-0.5 * w, 0.5 * w})
    for (double v : {-0.5 * h, 0.5 * h})
      reach = std::max(reach, std::hypot(shift_x + u * ex[0] + v * ey[0], shift_y + u * ex[1] + v * ey[1]));
  return reach;
}
