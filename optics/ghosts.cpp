// SPDX-License-Identifier: Apache-2.0
#include "optics/ghosts.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "realistic/ghost_trace.h"

namespace {

double Curvature(const LensInterface& s) {
  if (s.IsStop()) return 0.0;
  const double base = s.IsPlane() ? 0.0 : 1.0 / s.GetRadius();
  return s.GetAsphere() ? base + 2 * s.GetAsphere()->a[0] : base;
}

// A paraxial ray that may run either way along the axis: height y and
// lens-space slope u = dy/dz at axial position z, in a medium whose index
// carries the sign of the direction (+ toward the film). With signed
// indices one formula refracts and reflects: n'u' = nu - y (n' - n) c,
// and a reflection is n' = -n.
struct Ray2 {
  double y = 1, u = 0, z = 0, n = 1;
  double widest = 0;   // the entrance height that the rims allow, per unit
  void Surface(const LensInterface& s, double n_abs, bool reflect) {
    y += u * (double(s.GetAxisIntercept()) - z);
    z = s.GetAxisIntercept();
    const double rim = 0.5 * std::fabs(double(s.GetDiameter()));
    if (y != 0) widest = std::min(widest, rim / std::fabs(y));
    const double n2 = reflect ? -n : std::copysign(n_abs, n);
    u = (n * u - y * (n2 - n) * Curvature(s)) / n2;
    n = n2;
  }
};

}  // namespace

std::vector<GhostPath> ComputeGhostPaths(const LensStack& lens, double film_z, bool coated,
                                         double nanometres) {
  const auto& s = lens.GetInterfaces();
  const int count = int(s.size());
  auto before = [&](int k) { return k == 0 ? 1.0 : double(s[size_t(k) - 1].GetIndexOfRefractionPosZ()); };
  auto after = [&](int k) { return double(s[size_t(k)].GetIndexOfRefractionPosZ()); };
  auto reflects = [&](int k) { return !s[size_t(k)].IsStop() && before(k) != after(k); };
  std::vector<GhostPath> ghosts;
  for (int j = 0; j < count; ++j) {
    if (!reflects(j)) continue;
    for (int i = 0; i < j; ++i) {
      if (!reflects(i)) continue;
      GhostPath g;
      g.first = j, g.second = i;
      // Reflectance is the same from either side of a surface.
      auto product = [&](bool coat) {
        return SurfaceReflectance(before(j), after(j), 1, coat, nanometres) *
               SurfaceReflectance(before(i), after(i), 1, coat, nanometres);
      };
      g.reflectance = product(coated);
      g.reflectance_bare = product(false);
      // In through the front to j, back to i, and on to the back vertex.
      Ray2 ray;
      ray.z = s[0].GetAxisIntercept();
      ray.widest = std::numeric_limits<double>::infinity();
      // The lens's own mirrors (a catadioptric lens) reflect wherever met.
      auto mirror = [&](int k) { return s[size_t(k)].IsMirror(); };
      for (int k = 0; k < j; ++k) ray.Surface(s[size_t(k)], after(k), mirror(k));
      ray.Surface(s[size_t(j)], 0, true);
      for (int k = j - 1; k > i; --k) ray.Surface(s[size_t(k)], before(k), mirror(k));
      ray.Surface(s[size_t(i)], 0, true);
      for (int k = i + 1; k < count; ++k) ray.Surface(s[size_t(k)], after(k), mirror(k));
      g.focus_z = ray.u != 0 ? ray.z - ray.y / ray.u : std::numeric_limits<double>::infinity();
      const double radius = std::isfinite(ray.widest) ? ray.widest : 0.5 * std::fabs(double(s[0].GetDiameter()));
      g.beam = 2 * radius;
      g.disc = 2 * radius * std::fabs(ray.y + ray.u * (film_z - ray.z));
      const double disc = std::max(g.disc, kGhostLeastDisc);
      g.irradiance = g.reflectance * (g.beam / disc) * (g.beam / disc);
      ghosts.push_back(g);
    }
  }
  std::stable_sort(ghosts.begin(), ghosts.end(),
                   [](const GhostPath& a, const GhostPath& b) { return a.irradiance > b.irradiance; });
  return ghosts;
}
