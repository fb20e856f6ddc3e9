// SPDX-License-Identifier: Apache-2.0
#include "optics/chief_ray.h"

#include <cmath>
#include <functional>

#include "optics/distant_rays.h"
#include "optics/surface_trace.h"

namespace {

// A passing ray's stop-crossing height and leaving ray for an aim value.
struct Aimed {
  bool passed;
  double stop_y;
  Ray exit;
};

// The aim in [lo, hi] at which the ray crosses the stop on the axis:
// a scan for a sign change among passing rays, then bisection.
bool SolveAim(const std::function<Aimed(double)>& aim, double lo, double hi, Aimed* out) {
  constexpr int kScan = 400;
  bool have = false;
  double a0 = 0;
  Aimed prev{};
  for (int k = 0; k <= kScan; ++k) {
    const double a = lo + (hi - lo) * k / kScan;
    const Aimed cur = aim(a);
    if (!cur.passed) {
      have = false;
      continue;
    }
    if (cur.stop_y == 0) {
      *out = cur;
      return true;
    }
    if (have && (prev.stop_y < 0) != (cur.stop_y < 0)) {
      double x0 = a0, x1 = a;
      Aimed f0 = prev, mid = cur;
      for (int i = 0; i < 60; ++i) {
        const double xm = 0.5 * (x0 + x1);
        mid = aim(xm);
        if (!mid.passed) break;  // the crossing lies by a rim; take what we have
        if ((mid.stop_y < 0) == (f0.stop_y < 0))
          x0 = xm, f0 = mid;
        else
          x1 = xm;
      }
      *out = mid.passed ? mid : cur;
      return true;
    }
    have = true;
    a0 = a;
    prev = cur;
  }
  return false;
}

}  // namespace

double ChiefRayFieldAngle(const LensStack& lens, double film_z, double h) {
  // The chief ray is a reference: an obscuration in its way (a mirror
  // lens's secondary) does not move it.
  if (lens.HasObscuration()) return ChiefRayFieldAngle(lens.WithoutObscurations(), film_z, h);
  const double depth = lens.GetLensDepth();
  const double r = 0.5 * std::fabs(double(lens.GetBackElementDiameter()));
  // From the film point toward a height a on the back vertex plane.
  auto aim = [&](double a) {
    const Point film(0.f, float(h), float(film_z));
    const Ray ray(film, Normalize(Point(0.f, float(a), float(depth)) - film));
    const SurfacePath p = TraceSurfaces(lens, ray, true);
    return Aimed{p.passed && p.crossed_stop, p.stop_hit.y, p.exit};
  };
  Aimed chief;
  if (!SolveAim(aim, -r, r, &chief)) return NAN;
  // The leaving ray heads toward -z; its angle to the axis, signed so that
  // a point above the axis sees the scene below it.
  return std::atan2(-double(chief.exit.d.y), -double(chief.exit.d.z));
}

double ChiefRayImageHeight(const LensStack& lens, double film_z, double theta) {
  if (lens.HasObscuration()) return ChiefRayImageHeight(lens.WithoutObscurations(), film_z, theta);
  const double r = 0.5 * std::fabs(double(lens.GetFrontElementDiameter()));
  const float z0 = NearPlaneZ(lens);
  const Vector d(0.f, float(std::sin(theta)), float(std::cos(theta)));
  // Started on the plane in front of the lens at height b.
  auto aim = [&](double b) {
    const Ray ray(Point(0.f, float(b), z0), d);
    const SurfacePath p = TraceSurfaces(lens, ray, false);
    return Aimed{p.passed && p.crossed_stop, p.stop_hit.y, p.exit};
  };
  Aimed chief;
  if (!SolveAim(aim, -2 * r, 2 * r, &chief)) return NAN;
  const Ray& e = chief.exit;
  return e.o.y + (film_z - e.o.z) / e.d.z * e.d.y;
}
