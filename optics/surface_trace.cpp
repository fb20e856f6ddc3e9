// SPDX-License-Identifier: Apache-2.0
#include "optics/surface_trace.h"

#include "realistic/lens_error.h"
#include "realistic/refract.h"

SurfacePath TraceSurfaces(const LensStack& lens, const Ray& start, bool from_film) {
  const auto& s = lens.GetInterfaces();
  const int n = int(s.size());
  SurfacePath path;
  Ray ray = start;
  try {
    for (int k = 0; k < n; ++k) {
      const int i = from_film ? n - 1 - k : k;
      Point hit;
      Vector normal;
      if (!s[size_t(i)].Intersect(ray, &hit, &normal)) {
        const float t = (s[size_t(i)].GetAxisIntercept() - ray.o.z) / ray.d.z;
        path.hits.push_back(ray(t));
        return path;
      }
      path.hits.push_back(hit);
      if (i == lens.GetIndexOfStop()) {
        path.crossed_stop = true;
        path.stop_hit = hit;
      }
      // The medium the ray leaves and the one it enters.
      const float behind = s[size_t(i)].GetIndexOfRefractionPosZ();
      const float in_front = i == 0 ? 1.f : s[size_t(i - 1)].GetIndexOfRefractionPosZ();
      const float before = from_film ? behind : in_front, after = from_film ? in_front : behind;
      if (s[size_t(i)].IsMirror())
        ray = Reflect(ray.d, hit, normal);
      else if (before != after)
        ray = Refract(ray.o, hit, normal, before, after);
    }
  } catch (const LensError&) {
    return path;
  }
  path.passed = true;
  path.exit = Ray(ray.o, Normalize(ray.d));
  return path;
}
