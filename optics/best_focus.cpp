// SPDX-License-Identifier: Apache-2.0
#include "optics/best_focus.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "optics/distant_rays.h"
#include "realistic/thick_lens.h"

namespace {

// Rays per side of the grid over the entrance plane: about 3,000 of them
// fill a round opening, enough to put the RMS spot's plane within a few
// micrometres.
constexpr int kGrid = 64;

}  // namespace

BestFocus ComputeBestFocus(const LensStack& lens, double distance) {
  BestFocus f{};
  f.paraxial = FilmDistanceForObject(lens, ComputeThickLens(lens), distance);
  // The bundle from the object point through a grid over the widest cap in
  // front of the stop, started on the plane just in front of the lens.
  float radius = 0.f;
  for (int i = 0; i <= lens.GetIndexOfStop(); ++i)
    radius = std::max(radius, 0.5f * std::fabs(lens.GetInterfaces()[size_t(i)].GetDiameter()));
  const double plane = NearPlaneZ(lens);
  // A point on the film plane z of the ray o + t d is linear in z: the
  // spot's squared RMS radius is a quadratic in z, least where its
  // derivative vanishes.
  struct Line {
    double ax, bx, ay, by;  // x = ax + bx z, y = ay + by z
  };
  std::vector<Line> lines;
  double reach = 0;  // the farthest entry point of a passing ray from the axis
  auto trace_grid = [&](double r) {
    lines.clear();
    reach = 0;
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) {
        const double x = r * (2.0 * (i + 0.5) / kGrid - 1), y = r * (2.0 * (j + 0.5) / kGrid - 1);
        if (x * x + y * y > r * r) continue;
        const double dz = plane + distance;
        const double len = std::sqrt(x * x + y * y + dz * dz);
        const Ray in(Point(float(x), float(y), float(plane)),
                     Vector(float(x / len), float(y / len), float(dz / len)), 0.f);
        Ray out;
        try {
          if (!lens.TraceWorldToFilm(in, &out)) continue;
        } catch (const std::exception&) {
          continue;
        }
        if (!(out.d.z > 0.f)) continue;
        const double bx = double(out.d.x) / out.d.z, by = double(out.d.y) / out.d.z;
        lines.push_back({out.o.x - bx * out.o.z, bx, out.o.y - by * out.o.z, by});
        reach = std::max(reach, std::hypot(x, y));
      }
  };
  // Once over the whole front, then over the beam that passed (a small
  // stop's beam is a small part of the front), a cell larger.
  // A wide-angle lens's entrance pupil can be smaller than a cell over its
  // front: look closer to the axis until the beam is found.
  double r = radius;
  for (int tries = 0; tries < 4; ++tries, r /= 4) {
    trace_grid(r);
    if (!lines.empty()) break;
  }
  if (!lines.empty() && reach < 0.9 * r) trace_grid(std::min(r, reach + 2.0 * r / kGrid));
  f.rays = int(lines.size());
  if (lines.empty()) throw std::runtime_error("no ray from the object point passes the lens");
  double ab = 0, bb = 0;
  for (const Line& l : lines) ab += l.ax * l.bx + l.ay * l.by, bb += l.bx * l.bx + l.by * l.by;
  const double depth = lens.GetLensDepth();
  const double z_best = bb > 0 ? -ab / bb : depth + f.paraxial;
  auto rms = [&](double z) {
    double sum = 0;
    for (const Line& l : lines) {
      const double x = l.ax + l.bx * z, y = l.ay + l.by * z;
      sum += x * x + y * y;
    }
    return std::sqrt(sum / double(lines.size()));
  };
  f.best = z_best - depth;
  f.rms_best = rms(z_best);
  f.rms_paraxial = rms(depth + f.paraxial);
  return f;
}
