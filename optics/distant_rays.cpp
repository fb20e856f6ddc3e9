// SPDX-License-Identifier: Apache-2.0
#include "optics/distant_rays.h"

#include <algorithm>

float NearPlaneZ(const LensStack& lens) {
  float front = 0.f;
  for (const LensInterface& s : lens.GetInterfaces()) {
    // The cap's lowest lens-space z: a surface concave toward the scene
    // reaches in front of its vertex at its rim.
    const float z = s.IsStop() || s.IsPlane() || s.GetAsphere()
                        ? float(s.GetAxisIntercept() + s.FrontMostSag())
                        : s.GetCenter() + s.GetZMin();
    front = std::min(front, z);
  }
  return front - 1.f;
}

Ray StartNearLens(const LensStack& lens, const Ray& ray) {
  const double plane = NearPlaneZ(lens);
  if (!(ray.d.z > 0.f) || !(ray.o.z < plane)) return ray;
  const double t = (plane - ray.o.z) / ray.d.z;
  Ray moved = ray;
  moved.o = Point(float(ray.o.x + t * ray.d.x), float(ray.o.y + t * ray.d.y), float(plane));
  return moved;
}
