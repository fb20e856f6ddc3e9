// SPDX-License-Identifier: Apache-2.0
#include "realistic/exit_pupil.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "realistic/lens_error.h"

namespace {

// Film distances from the axis at which the rectangle is found; between
// two of them a sample uses the union of both rectangles.
constexpr int kRadialSteps = 32;
// Grid of trial points per side, for the first search over the whole disc
// and for the second over the rectangle the first one found.
constexpr int kGrid = 32;

struct Box {
  float x0 = std::numeric_limits<float>::infinity(), x1 = -x0;
  float y0 = x0, y1 = -x0;
  bool Empty() const { return x0 > x1; }
  void Add(float x, float y) {
    x0 = std::min(x0, x), x1 = std::max(x1, x);
    y0 = std::min(y0, y), y1 = std::max(y1, y);
  }
};

}  // namespace

ExitPupil::ExitPupil(const LensStack& lens, float film_z, float film_radius_)
    : film_radius(film_radius_),
      back_radius(0.5f * std::fabs(lens.GetBackElementDiameter())),
      back_z(lens.GetLensDepth()),
      disc_area(3.1415927f * back_radius * back_radius) {
  const int steps = film_radius > 0 ? kRadialSteps : 1;
  std::vector<Bounds> at_radius;
  for (int i = 0; i < steps; ++i) {
    const float r = steps > 1 ? film_radius * float(i) / float(steps - 1) : 0.f;
    at_radius.push_back(Find(lens, r, film_z));
  }
  // A film point between two radii uses the union of their rectangles.
  if (steps == 1) bounds = at_radius;
  for (size_t i = 0; i + 1 < at_radius.size(); ++i) {
    const Bounds &a = at_radius[i], &c = at_radius[i + 1];
    bounds.push_back({std::min(a.x0, c.x0), std::max(a.x1, c.x1), std::max(a.y1, c.y1)});
  }
}

ExitPupil::Bounds ExitPupil::Find(const LensStack& lens, float r, float film_z) const {
  const float R = back_radius;
  const Point film(r, 0.f, film_z);
  // Whether the ray from the film point through (x, y) on the back
  // element's plane gets through. A ray that fails a trace condition counts
  // as passing, so that the rectangle errs on the large side.
  auto passes = [&](float x, float y) {
    if (x * x + y * y > R * R) return false;
    const Ray ray(film, Normalize(Point(x, y, back_z) - film), 0.001f,
                  std::numeric_limits<float>::infinity(), 0.f);
    Ray out;
    try {
      return lens.TraceFilmToWorld(ray, &out);
    } catch (const LensError&) {
      return true;
    }
  };
  // Passing grid points of [x0, x1] x [y0, y1], grown by one and a half
  // cells: a cell whose centre is blocked may still pass in part.
  auto search = [&](float x0, float x1, float y0, float y1) {
    Box box;
    const float hx = (x1 - x0) / kGrid, hy = (y1 - y0) / kGrid;
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) {
        const float x = x0 + (float(i) + 0.5f) * hx, y = y0 + (float(j) + 0.5f) * hy;
        if (passes(x, y)) box.Add(x, y);
      }
    if (!box.Empty()) {
      box.x0 -= 1.5f * hx, box.x1 += 1.5f * hx;
      box.y0 -= 1.5f * hy, box.y1 += 1.5f * hy;
    }
    return box;
  };

  const Bounds whole{-R, R, R};
  const Box coarse = search(-R, R, -R, R);
  // Nothing found: the opening may be smaller than a grid cell. Sampling
  // the whole disc is always correct.
  if (coarse.Empty()) return whole;
  Box fine = search(coarse.x0, coarse.x1, coarse.y0, coarse.y1);
  if (fine.Empty()) fine = coarse;
  // A margin of 1% of the back element's radius for what the grids could
  // not resolve; never beyond the first search's bounds or the disc.
  const float margin = 0.01f * R;
  Bounds b;
  b.x0 = std::max({-R, coarse.x0, fine.x0 - margin});
  b.x1 = std::min({R, coarse.x1, fine.x1 + margin});
  const float y1 = std::max(-fine.y0, fine.y1) + margin;
  b.y1 = std::min({R, std::max(-coarse.y0, coarse.y1), y1});
  return b;
}

Point ExitPupil::Sample(float fx, float fy, float u, float v, float* area, bool* inside) const {
  const float r = std::sqrt(fx * fx + fy * fy);
  size_t i = 0;
  if (bounds.size() > 1) {
    const float t = std::min(1.f, r / film_radius) * float(bounds.size());
    i = std::min(bounds.size() - 1, size_t(t));
  }
  const Bounds& b = bounds[i];
  const float px = b.x0 + u * (b.x1 - b.x0), py = b.y1 * (2.f * v - 1.f);
  // Turn the rectangle from the +x axis to the film point's direction.
  const float c = r > 0 ? fx / r : 1.f, s = r > 0 ? fy / r : 0.f;
  const float x = px * c - py * s, y = px * s + py * c;
  *area = (b.x1 - b.x0) * (2.f * b.y1);
  *inside = x * x + y * y <= back_radius * back_radius;
  return Point(x, y, back_z);
}
