// SPDX-License-Identifier: Apache-2.0
#include "realistic/thick_lens.h"

#include <cmath>
#include <sstream>

#include "realistic/lens_error.h"

ThickLens ComputeThickLens(const LensStack& lens) {
  ThickLens t;
  lens.CalculateParaxialThickLensApproximation(&t.f1, &t.f2, &t.p1, &t.p2);
  return t;
}

double FilmDistanceForObject(const LensStack& lens, const ThickLens& t, double distance) {
  const double f = t.Efl();
  if (!std::isfinite(f) || f <= 0)
    throw LensError("the lens has no positive focal length to focus with");
  // Object at z = -distance; s from the front principal plane p2.
  const double s = double(t.p2) + distance;
  if (!(s > t.FrontEfl())) {
    std::ostringstream m;
    m << "cannot focus at " << distance << ": the object must lie beyond the front focal point, "
      << -double(t.f2) << " in front of the front vertex";
    throw LensError(m.str());
  }
  const double s_image = 1.0 / (1.0 / f - 1.0 / s);
  return double(t.p1) + s_image - lens.GetLensDepth();
}
