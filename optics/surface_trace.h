// SPDX-License-Identifier: Apache-2.0
// Real rays carried surface by surface with the plug-in's own
// intersection and refraction, keeping where they meet each surface: the
// drawings draw these points, the first-order report reads the stop's.
#pragma once

#include <vector>

#include "realistic/lens_stack.h"

struct SurfacePath {
  // Hit points in the order the ray meets the surfaces. For a blocked ray
  // the last is where it meets the plane of the surface that stops it.
  std::vector<Point> hits;
  bool passed = false;
  // The stop's hit (valid when passed or blocked after the stop).
  bool crossed_stop = false;
  Point stop_hit;
  // The leaving ray, unit direction, when passed.
  Ray exit;
};

// From the world side (toward +z) or the film side (toward -z). A failed
// trace condition counts as blocked.
SurfacePath TraceSurfaces(const LensStack& lens, const Ray& ray, bool from_film);
