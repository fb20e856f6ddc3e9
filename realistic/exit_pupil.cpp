// SPDX-License-Identifier: Apache-2.0
#include "realistic/exit_pupil.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "realistic/lens_error.h"

namespace {

// Film distances from the axis at which the rectangle is found (and
// half way between each two).
constexpr int kRadialSteps = 24;
// Grid of trial points per side, for the first search over the whole disc
// and for the second over the rectangle the first one found.
constexpr int kGrid = 32;
// Grids per side of the search around the previous radius's rectangle:
// the first finds the pupil in a box three times its size, the second
// measures it.
constexpr int kNearCoarseGrid = 16;
constexpr int kNearGrid = 32;

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

ExitPupil::ExitPupil(const LensStack& lens, float film_z, float film_radius_, PassTest pass_test)
    : film_radius(film_radius_),
      back_radius(0.5f * std::fabs(lens.GetBackElementDiameter())),
      back_z(lens.GetLensDepth()),
      disc_area(3.1415927f * back_radius * back_radius), z_near(film_z), z_far(film_z) {
  BuildTables(lens, film_z, pass_test);
  planes.push_back(std::move(bins));
}

namespace {
// Planes of a tilted film's tables.
constexpr int kTiltPlanes = 5;
}  // namespace

ExitPupil::ExitPupil(const LensStack& lens, float z_near_, float z_far_, float film_radius_, PassTest pass_test)
    : film_radius(film_radius_),
      back_radius(0.5f * std::fabs(lens.GetBackElementDiameter())),
      back_z(lens.GetLensDepth()),
      disc_area(3.1415927f * back_radius * back_radius), z_near(z_near_), z_far(z_far_) {
  for (int k = 0; k < kTiltPlanes; ++k) {
    BuildTables(lens, z_near + (z_far - z_near) * float(k) / float(kTiltPlanes - 1), pass_test);
    planes.push_back(std::move(bins));
    bins.clear();
  }
}

void ExitPupil::BuildTables(const LensStack& lens_in, float film_z, PassTest pass_test) {
  // A bladed opening is not round, so a rectangle found for film points on
  // the +x axis and turned to another film point's angle would not hold
  // the polygon's image there. The round opening of the same circumscribed
  // diameter holds every turn of the polygon: search with it instead.
  LensStack round = lens_in;
  if (round.GetIndexOfStop() >= 0) round.SetApertureBlades(0, 0.f);
  const LensStack& lens = round;
  const int steps = film_radius > 0 ? kRadialSteps : 1;
  bool seed = false;
  Bounds previous{};
  const bool holes = lens.HasObscuration();
  auto find = [&](float r, bool* found) {
    previous = Find(lens, r, film_z, seed ? &previous : nullptr, found, pass_test);
    seed = *found;
    Bounds b = previous;
    if (holes) FindHole(lens, r, film_z, &b, pass_test);
    return b;
  };
  Bounds a;
  bool found_a;
  a = find(0.f, &found_a);
  // Measured again around itself, so that every radius is measured by the
  // same search (the bins widen where neighbours disagree).
  if (found_a) a = find(0.f, &found_a);
  if (steps == 1) {
    bins.push_back({a, a, {0.f, 0.f, 0.f}, false});
    return;
  }
  for (int i = 0; i + 1 < steps; ++i) {
    const float r0 = film_radius * float(i) / float(steps - 1);
    const float r1 = film_radius * float(i + 1) / float(steps - 1);
    bool found_m, found_c;
    const Bounds m = find(0.5f * (r0 + r1), &found_m);
    const Bounds c = find(r1, &found_c);
    Bin bin{a, c, {0.f, 0.f, 0.f}, found_a && found_m && found_c};
    if (bin.interpolate) {
      // The pupil's rectangle moves and grows smoothly with the film
      // point; what the middle shows of the bend, doubled, covers the
      // rest of the bin. A further 1% of its size for rounding.
      const float w = std::max(a.x1 - a.x0, c.x1 - c.x0), h = std::max(a.y1, c.y1);
      bin.grow.x0 = 2 * std::max(0.f, 0.5f * (a.x0 + c.x0) - m.x0) + 0.01f * w;
      bin.grow.x1 = 2 * std::max(0.f, m.x1 - 0.5f * (a.x1 + c.x1)) + 0.01f * w;
      bin.grow.y1 = 2 * std::max(0.f, m.y1 - 0.5f * (a.y1 + c.y1)) + 0.01f * h;
    } else {
      bin.a = bin.c = {std::min({a.x0, m.x0, c.x0}), std::max({a.x1, m.x1, c.x1}),
                       std::max({a.y1, m.y1, c.y1})};
    }
    if (holes) {
      const bool all = a.hy1 > 0.f && m.hy1 > 0.f && c.hy1 > 0.f;
      if (bin.interpolate && all) {
        // The hole moves with the film point as the rectangle does: it is
        // interpolated between the ends and shrunk by twice what the
        // middle's hole falls short of the interpolation, and a little.
        const float w = std::min(a.hx1 - a.hx0, c.hx1 - c.hx0), h = std::min(a.hy1, c.hy1);
        bin.grow.hx0 = 2 * std::max(0.f, m.hx0 - 0.5f * (a.hx0 + c.hx0)) + 0.02f * w;
        bin.grow.hx1 = 2 * std::max(0.f, 0.5f * (a.hx1 + c.hx1) - m.hx1) + 0.02f * w;
        bin.grow.hy1 = 2 * std::max(0.f, 0.5f * (a.hy1 + c.hy1) - m.hy1) + 0.02f * h;
      } else {
        // What the three holes share.
        Bounds hole{};
        if (all) {
          hole.hx0 = std::max({a.hx0, m.hx0, c.hx0});
          hole.hx1 = std::min({a.hx1, m.hx1, c.hx1});
          hole.hy1 = std::min({a.hy1, m.hy1, c.hy1});
        }
        if (!(hole.hx0 < hole.hx1) || !(hole.hy1 > 0.f)) hole.hx0 = hole.hx1 = hole.hy1 = 0.f;
        bin.a.hx0 = bin.c.hx0 = hole.hx0, bin.a.hx1 = bin.c.hx1 = hole.hx1, bin.a.hy1 = bin.c.hy1 = hole.hy1;
        bin.grow.hx0 = bin.grow.hx1 = bin.grow.hy1 = 0.f;
        // An interpolated rectangle keeps the ends' holes only through
        // the shrink: none here.
        if (bin.interpolate) bin.grow.hy1 = INFINITY;
      }
    }
    bins.push_back(bin);
    a = c, found_a = found_c;
  }
}

namespace {

// Where the ray from the film point through (x, y) on the back element's
// plane crosses the stop's plane, traced through the surfaces behind the
// stop only, in double and without their rims: this only aims the search,
// which then traces the camera's own rays. False where the ray misses a
// sphere or is reflected totally.
bool HitStopPlane(const LensStack& lens, const Point& film, float x, float y, float back_z,
                  float* sx, float* sy) {
  const auto& s = lens.GetInterfaces();
  const int stop = lens.GetIndexOfStop();
  double o[3] = {film.x, film.y, film.z};
  double d[3] = {x - o[0], y - o[1], back_z - o[2]};
  const double len = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  for (double& c : d) c /= len;
  for (int i = int(s.size()) - 1; i > stop; --i) {
    const double radius = s[size_t(i)].GetRadius(), centre = s[size_t(i)].GetCenter();
    double n[3];
    if (s[size_t(i)].IsPlane()) {
      // A flat surface (an asphere on it is taken as flat: this only aims).
      const double t = (double(s[size_t(i)].GetAxisIntercept()) - o[2]) / d[2];
      for (int k = 0; k < 3; ++k) o[k] += t * d[k];
      n[0] = 0, n[1] = 0, n[2] = 1;
    } else {
      // An asphere is aimed through as its base sphere.
      const double c[3] = {o[0], o[1], o[2] - centre};
      const double b = d[0] * c[0] + d[1] * c[1] + d[2] * c[2];
      const double disc = b * b - (c[0] * c[0] + c[1] * c[1] + c[2] * c[2] - radius * radius);
      if (!(disc >= 0)) return false;
      // The vertex side of the sphere: below the centre for a positive
      // radius, above it for a negative one.
      double t = -b - std::sqrt(disc);
      if ((c[2] + t * d[2] - 0) * radius > 0) t = -b + std::sqrt(disc);
      for (int k = 0; k < 3; ++k) o[k] += t * d[k];
      for (int k = 0; k < 3; ++k) n[k] = (o[k] - (k == 2 ? centre : 0)) / radius;
    }
    if (s[size_t(i)].IsMirror()) {
      const double dn = n[0] * d[0] + n[1] * d[1] + n[2] * d[2];
      for (int k = 0; k < 3; ++k) d[k] -= 2 * dn * n[k];
      continue;
    }
    const double before = s[size_t(i)].GetIndexOfRefractionPosZ();
    const double after = s[size_t(i - 1)].GetIndexOfRefractionPosZ();
    if (before == after) continue;
    // Snell's law with the normal turned against the ray.
    double cosi = -(n[0] * d[0] + n[1] * d[1] + n[2] * d[2]);
    if (cosi < 0) {
      for (double& v : n) v = -v;
      cosi = -cosi;
    }
    const double eta = before / after, k2 = 1 - eta * eta * (1 - cosi * cosi);
    if (!(k2 >= 0)) return false;
    for (int k = 0; k < 3; ++k) d[k] = eta * d[k] + (eta * cosi - std::sqrt(k2)) * n[k];
  }
  const double t = (double(s[size_t(stop)].GetAxisIntercept()) - o[2]) / d[2];
  *sx = float(o[0] + t * d[0]), *sy = float(o[1] + t * d[1]);
  return std::isfinite(*sx) && std::isfinite(*sy);
}

// The chief ray's point on the back element's plane for the film point
// (r, 0): where the ray through the stop's centre leaves the back element
// (it lies on y = 0 by symmetry), and the stop-plane distance per unit of
// back-plane distance around it along x and y. False when there is none.
bool ChiefPoint(const LensStack& lens, const Point& film, float R, float back_z, float* xc,
                float* gain_x, float* gain_y) {
  constexpr int kScan = 33;
  float prev_x = 0, prev_s = 0;
  bool have_prev = false, found = false;
  float lo = 0, hi = 0, slo = 0;
  for (int k = 0; k < kScan && !found; ++k) {
    const float x = -R + 2 * R * float(k) / float(kScan - 1);
    float sx, sy;
    if (!HitStopPlane(lens, film, x, 0.f, back_z, &sx, &sy)) {
      have_prev = false;
      continue;
    }
    if (have_prev && (prev_s <= 0) != (sx <= 0)) lo = prev_x, hi = x, slo = prev_s, found = true;
    prev_x = x, prev_s = sx, have_prev = true;
  }
  if (!found) return false;
  for (int i = 0; i < 40; ++i) {
    const float mid = 0.5f * (lo + hi);
    float sx, sy;
    if (!HitStopPlane(lens, film, mid, 0.f, back_z, &sx, &sy)) return false;
    if ((sx <= 0) == (slo <= 0))
      lo = mid, slo = sx;
    else
      hi = mid;
  }
  *xc = 0.5f * (lo + hi);
  const float h = 1e-3f * R;
  float ax, ay, bx, by, cx, cy;
  if (!HitStopPlane(lens, film, *xc - h, 0.f, back_z, &ax, &ay) ||
      !HitStopPlane(lens, film, *xc + h, 0.f, back_z, &bx, &by) ||
      !HitStopPlane(lens, film, *xc, h, back_z, &cx, &cy))
    return false;
  *gain_x = std::fabs(bx - ax) / (2 * h);
  *gain_y = std::fabs(cy) / h;
  return *gain_x > 0 && *gain_y > 0 && std::isfinite(*gain_x) && std::isfinite(*gain_y);
}

}  // namespace

ExitPupil::Bounds ExitPupil::Find(const LensStack& lens, float r, float film_z, const Bounds* near,
                                  bool* found_near, PassTest pass_test) const {
  *found_near = false;
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
  // Passing grid points of [x0, x1] x [y0, y1], grown by `grow` cells: a
  // cell whose centre is blocked may still pass in part, up to a cell away
  // from the outermost passing centre where the opening is convex.
  std::vector<float> fx, fy, lx, ly, ys;
  // Per row of a grid: the row it mirrors and the row mirroring it (-1:
  // none); per traced point, its row.
  std::vector<int> mirror_of, image, row_of;
  std::vector<unsigned char> pass;
  auto search = [&](float x0, float x1, float y0, float y1, float grow, int grid = kGrid) {
    Box box;
    const float hx = (x1 - x0) / grid, hy = (y1 - y0) / grid;
    // The rows, and for each row above the axis the one below it at its y
    // negated, within rounding: the lens is symmetric about the plane
    // through the axis and the film point (r, 0), and so is the trace's
    // arithmetic (negating every y term is exact), so only the row below
    // is traced and its passes stand for both (every search box is
    // symmetric about y = 0, up to rounding: about half the rays). Where
    // the two rows' y differ by the last bits, an edge of the pupil would
    // have to fall in between to make a difference, which the cell's
    // growth and the margin cover many times over.
    ys.resize(size_t(grid)), mirror_of.assign(size_t(grid), -1), image.assign(size_t(grid), -1);
    for (int j = 0; j < grid; ++j) ys[size_t(j)] = y0 + (float(j) + 0.5f) * hy;
    const float rounding = 1e-6f * (y1 - y0);
    for (int j = 0; j < grid; ++j) {
      const int k = grid - 1 - j;
      if (k < j && ys[size_t(k)] < 0 && std::fabs(ys[size_t(j)] + ys[size_t(k)]) <= rounding)
        mirror_of[size_t(j)] = k, image[size_t(k)] = j;
    }
    auto add = [&](float x, int j) {
      box.Add(x, ys[size_t(j)]);
      if (image[size_t(j)] >= 0) box.Add(x, ys[size_t(image[size_t(j)])]);
    };
    if (pass_test) {
      // The grid's points within the back element, traced all at once.
      lx.clear(), ly.clear(), row_of.clear();
      for (int j = 0; j < grid; ++j) {
        if (mirror_of[size_t(j)] >= 0) continue;
        for (int i = 0; i < grid; ++i) {
          const float x = x0 + (float(i) + 0.5f) * hx, y = ys[size_t(j)];
          if (x * x + y * y <= R * R) lx.push_back(x), ly.push_back(y), row_of.push_back(j);
        }
      }
      fx.assign(lx.size(), r), fy.assign(lx.size(), 0.f), pass.resize(lx.size());
      pass_test(lens, film_z, int(lx.size()), fx.data(), fy.data(), lx.data(), ly.data(), pass.data());
      for (size_t k = 0; k < lx.size(); ++k)
        if (pass[k]) add(lx[k], row_of[k]);
    } else {
      for (int j = 0; j < grid; ++j) {
        if (mirror_of[size_t(j)] >= 0) continue;
        for (int i = 0; i < grid; ++i) {
          const float x = x0 + (float(i) + 0.5f) * hx;
          if (passes(x, ys[size_t(j)])) add(x, j);
        }
      }
    }
    if (!box.Empty()) {
      box.x0 -= grow * hx, box.x1 += grow * hx;
      box.y0 -= grow * hy, box.y1 += grow * hy;
    }
    return box;
  };
  const Bounds whole{-R, R, R};
  auto clamp = [&](const Box& b, float margin_x, float margin_y) {
    Bounds out;
    out.x0 = std::max(-R, b.x0 - margin_x);
    out.x1 = std::min(R, b.x1 + margin_x);
    out.y1 = std::min(R, std::max(-b.y0, b.y1) + margin_y);
    return out;
  };

  // Passing points found strictly inside a search box (a cell and more
  // from every edge) leave no part of a convex pupil outside it.
  auto inside_box = [](const Box& found, float x0, float x1, float y0, float y1, int grid) {
    const float hx = (x1 - x0) / grid, hy = (y1 - y0) / grid;
    return !found.Empty() && found.x0 - hx >= x0 + hx && found.x1 + hx <= x1 - hx &&
           found.y0 - hy >= y0 + hy && found.y1 + hy <= y1 - hy;
  };
  auto measured = [&](const Box& fine) {
    // A margin of 1% of the pupil's own size for what the grid could not
    // resolve (the float rounding of the traces above all).
    *found_near = true;
    return clamp(fine, 0.01f * (fine.x1 - fine.x0), 0.01f * (fine.y1 - fine.y0));
  };

  // Around the previous radius's rectangle, grown by its own width and
  // height: the passing points must lie two cells inside the coarse grid's
  // box (its found box is grown by a cell, and must keep a cell from every
  // edge), and a small stop's pupil moves by a good part of its size from
  // one radius to the next.
  if (near) {
    const float gx = near->x1 - near->x0, gy = near->y1;
    const float x0 = near->x0 - gx, x1 = near->x1 + gx, y0 = -(near->y1 + gy), y1 = near->y1 + gy;
    const Box coarse = search(x0, x1, y0, y1, 1.f, kNearCoarseGrid);
    if (inside_box(coarse, x0, x1, y0, y1, kNearCoarseGrid)) {
      Box fine = search(coarse.x0, coarse.x1, coarse.y0, coarse.y1, 1.f, kNearGrid);
      if (fine.Empty()) fine = coarse;
      fine.x0 = std::max(fine.x0, coarse.x0), fine.x1 = std::min(fine.x1, coarse.x1);
      fine.y0 = std::max(fine.y0, coarse.y0), fine.y1 = std::min(fine.y1, coarse.y1);
      return measured(fine);
    }
  }

  // From the stop: the chief ray's point and the stop's image around it
  // give a box a few times the pupil's size, however small the stop. Its
  // grid finds the pupil, and a second grid over what it found measures it
  // to a thirty-second of its size. A search box the passing region
  // reaches the edge of is too small: it is doubled.
  const auto& stop = lens.GetInterfaces()[size_t(lens.GetIndexOfStop())];
  const float stop_radius = 0.5f * std::fabs(stop.GetDiameter());
  float xc, gain_x, gain_y;
  if (stop_radius > 0 && ChiefPoint(lens, film, R, back_z, &xc, &gain_x, &gain_y)) {
    float ex = 2 * stop_radius / gain_x, ey = 2 * stop_radius / gain_y;
    for (int tries = 0; tries < 6 && ex < 2 * R; ++tries, ex *= 2, ey *= 2) {
      const float x0 = xc - ex, x1 = xc + ex, y0 = -ey, y1 = ey;
      const Box coarse = search(x0, x1, y0, y1, 1.f);
      if (!inside_box(coarse, x0, x1, y0, y1, kGrid)) continue;
      Box fine = search(coarse.x0, coarse.x1, coarse.y0, coarse.y1, 1.f);
      if (fine.Empty()) fine = coarse;
      // Never beyond what the first grid allowed.
      fine.x0 = std::max(fine.x0, coarse.x0), fine.x1 = std::min(fine.x1, coarse.x1);
      fine.y0 = std::max(fine.y0, coarse.y0), fine.y1 = std::min(fine.y1, coarse.y1);
      return measured(fine);
    }
  }

  // Otherwise, over the whole disc: the opening may then be smaller than
  // a grid cell, and sampling the whole disc is always correct.
  const Box coarse = search(-R, R, -R, R, 1.5f);
  if (coarse.Empty()) return whole;
  Box fine = search(coarse.x0, coarse.x1, coarse.y0, coarse.y1, 1.5f);
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

void ExitPupil::FindHole(const LensStack& lens, float r, float film_z, Bounds* b, PassTest pass_test) const {
  constexpr int kHoleGrid = 48;
  const float hx = (b->x1 - b->x0) / kHoleGrid, hy = 2 * b->y1 / kHoleGrid;
  if (!(hx > 0) || !(hy > 0)) return;
  std::vector<float> fx, fy, lx, ly;
  for (int j = 0; j < kHoleGrid; ++j)
    for (int i = 0; i < kHoleGrid; ++i)
      lx.push_back(b->x0 + (float(i) + 0.5f) * hx), ly.push_back(-b->y1 + (float(j) + 0.5f) * hy);
  // The grid is symmetric about y = 0, as the lens is about the plane
  // through the film point: the rows below the axis are traced, and each
  // row above passes where its mirror image below does (as in Find).
  const int traced = kHoleGrid / 2 * kHoleGrid;
  std::vector<unsigned char> pass(lx.size());
  if (pass_test) {
    fx.assign(size_t(traced), r), fy.assign(size_t(traced), 0.f);
    pass_test(lens, film_z, traced, fx.data(), fy.data(), lx.data(), ly.data(), pass.data());
  } else {
    const Point film(r, 0.f, film_z);
    for (size_t k = 0; k < size_t(traced); ++k) {
      const Ray ray(film, Normalize(Point(lx[k], ly[k], back_z) - film), 0.001f,
                    std::numeric_limits<float>::infinity(), 0.f);
      Ray out;
      try {
        pass[k] = lens.TraceFilmToWorld(ray, &out);
      } catch (const LensError&) {
        pass[k] = 1;
      }
    }
  }
  for (int j = kHoleGrid / 2; j < kHoleGrid; ++j)
    std::copy_n(pass.begin() + (kHoleGrid - 1 - j) * kHoleGrid, kHoleGrid, pass.begin() + j * kHoleGrid);
  // Outside the disc counts as passing: the hole stays within it.
  for (size_t k = 0; k < lx.size(); ++k)
    if (lx[k] * lx[k] + ly[k] * ly[k] > back_radius * back_radius) pass[k] = 1;
  auto blocked = [&](int i0, int i1, int j0, int j1) {
    if (i0 < 0 || j0 < 0 || i1 >= kHoleGrid || j1 >= kHoleGrid) return false;
    for (int j = j0; j <= j1; ++j)
      for (int i = i0; i <= i1; ++i)
        if (pass[size_t(j * kHoleGrid + i)]) return false;
    return true;
  };
  // Grown from the middle, symmetric in y (the grid is), one cell a step.
  const int jc0 = kHoleGrid / 2 - 1, jc1 = kHoleGrid / 2;
  int i0 = -1;
  for (int i = 0; i < kHoleGrid; ++i)
    if (blocked(i, i, jc0, jc1) && (i0 < 0 || std::abs(i - kHoleGrid / 2) < std::abs(i0 - kHoleGrid / 2))) i0 = i;
  if (i0 < 0) return;
  int i1 = i0, j0 = jc0, j1 = jc1;
  for (bool grew = true; grew;) {
    grew = false;
    if (blocked(i0 - 1, i1, j0, j1)) --i0, grew = true;
    if (blocked(i0, i1 + 1, j0, j1)) ++i1, grew = true;
    if (blocked(i0, i1, j0 - 1, j1 + 1)) --j0, ++j1, grew = true;
  }
  // From the outermost blocked cells' centres, a cell further in: the
  // edge between grid points is not resolved.
  const float x0 = b->x0 + (float(i0) + 1.5f) * hx, x1 = b->x0 + (float(i1) - 0.5f) * hx;
  const float y1 = b->y1 - (float(j0) + 1.5f) * hy;
  // (The true edge lies between the outermost blocked centres and the
  // passing ones beyond; a cell's margin inside them keeps the hole blocked
  // where the grid is too coarse to tell.)
  if (x0 < x1 && y1 > 0) b->hx0 = x0, b->hx1 = x1, b->hy1 = y1;
}

float ExitPupil::HoledArea(const Bounds& b) {
  return (b.x1 - b.x0) * (2.f * b.y1) - (b.hx1 - b.hx0) * (2.f * b.hy1);
}

ExitPupil::HolePoint ExitPupil::SampleAroundHole(const Bounds& b, double fx, double fy, double r, float u, float v,
                                                 double z, float* area, bool* inside) const {
  // The rectangle less the hole, as four pieces: the bands below and
  // above the hole (full width) and the pieces left and right of it. u
  // picks the piece by its area and is stretched across it; v spans it.
  const double w = double(b.x1) - b.x0, band = double(b.y1) - b.hy1, mid = 2.0 * b.hy1;
  const double pieces[4] = {w * band, w * band, (double(b.hx0) - b.x0) * mid, (double(b.x1) - b.hx1) * mid};
  const double total = pieces[0] + pieces[1] + pieces[2] + pieces[3];
  double t = double(u) * total;
  int k = 0;
  while (k < 3 && t >= pieces[k]) t -= pieces[k], ++k;
  const double s = pieces[k] > 0 ? std::min(1.0, t / pieces[k]) : 0.0;
  double px, py;
  if (k < 2) {
    px = b.x0 + s * w;
    py = k == 0 ? -double(b.y1) + v * band : double(b.hy1) + v * band;
  } else {
    px = k == 2 ? b.x0 + s * (double(b.hx0) - b.x0) : b.hx1 + s * (double(b.x1) - b.hx1);
    py = -double(b.hy1) + v * mid;
  }
  const double c = r > 0 ? fx / r : 1.0, sn = r > 0 ? fy / r : 0.0;
  const double x = px * c - py * sn, y = px * sn + py * c;
  *area = float(total);
  *inside = x * x + y * y <= double(back_radius) * back_radius;
  return {x, y, z};
}

ExitPupil::Bounds ExitPupil::BoundsAt(float r, float z) const {
  if (planes.size() == 1) return BoundsOnPlane(0, r);
  // The two planes around z, and the rectangle holding both of theirs.
  const float at = std::min(1.f, std::max(0.f, (z - z_near) / (z_far - z_near))) * float(planes.size() - 1);
  const size_t k = std::min(planes.size() - 2, size_t(at));
  const Bounds a = BoundsOnPlane(k, r), b = BoundsOnPlane(k + 1, r);
  Bounds u{std::min(a.x0, b.x0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
  u.hx0 = std::max(a.hx0, b.hx0), u.hx1 = std::min(a.hx1, b.hx1), u.hy1 = std::min(a.hy1, b.hy1);
  if (!(u.hx0 < u.hx1) || !(u.hy1 > 0)) u.hx0 = u.hx1 = u.hy1 = 0;
  return u;
}

ExitPupil::Bounds ExitPupil::BoundsOnPlane(size_t plane, float r) const {
  const std::vector<Bin>& bins = planes[plane];
  size_t i = 0;
  float t = 0.f;
  if (bins.size() > 1) {
    const float at = std::min(1.f, r / film_radius) * float(bins.size());
    i = std::min(bins.size() - 1, size_t(at));
    t = std::min(1.f, at - float(i));
  }
  const Bin& bin = bins[i];
  Bounds b = bin.a;
  if (bin.interpolate) {
    b.x0 = bin.a.x0 + t * (bin.c.x0 - bin.a.x0) - bin.grow.x0;
    b.x1 = bin.a.x1 + t * (bin.c.x1 - bin.a.x1) + bin.grow.x1;
    b.y1 = bin.a.y1 + t * (bin.c.y1 - bin.a.y1) + bin.grow.y1;
    b.x0 = std::max(b.x0, -back_radius), b.x1 = std::min(b.x1, back_radius);
    b.y1 = std::min(b.y1, back_radius);
    if (b.hy1 > 0.f) {
      b.hx0 = bin.a.hx0 + t * (bin.c.hx0 - bin.a.hx0) + bin.grow.hx0;
      b.hx1 = bin.a.hx1 + t * (bin.c.hx1 - bin.a.hx1) - bin.grow.hx1;
      b.hy1 = bin.a.hy1 + t * (bin.c.hy1 - bin.a.hy1) - bin.grow.hy1;
      if (!(b.hx0 < b.hx1) || !(b.hy1 > 0.f)) b.hx0 = b.hx1 = b.hy1 = 0.f;
    }
  }
  return b;
}

Point ExitPupil::Sample(float fx, float fy, float u, float v, float* area, bool* inside, float fz) const {
  const float r = std::sqrt(fx * fx + fy * fy);
  const Bounds b = BoundsAt(r, fz);
  if (b.hy1 > 0.f) return SampleAroundHole(b, fx, fy, r, u, v, double(back_z), area, inside).Narrow();
  const float px = b.x0 + u * (b.x1 - b.x0), py = b.y1 * (2.f * v - 1.f);
  // Turn the rectangle from the +x axis to the film point's direction.
  const float c = r > 0 ? fx / r : 1.f, s = r > 0 ? fy / r : 0.f;
  const float x = px * c - py * s, y = px * s + py * c;
  *area = (b.x1 - b.x0) * (2.f * b.y1);
  *inside = x * x + y * y <= back_radius * back_radius;
  return Point(x, y, back_z);
}

Vec3T<double> ExitPupil::SampleExact(double fx, double fy, float u, float v, double back_z_exact,
                                     float* area, bool* inside, double fz) const {
  const double r = std::sqrt(fx * fx + fy * fy);
  const Bounds b = BoundsAt(float(r), float(fz));
  if (b.hy1 > 0.f) {
    const HolePoint p = SampleAroundHole(b, fx, fy, r, u, v, back_z_exact, area, inside);
    return {p.x, p.y, p.z};
  }
  const double px = b.x0 + u * (double(b.x1) - b.x0), py = b.y1 * (2.0 * v - 1.0);
  const double c = r > 0 ? fx / r : 1.0, s = r > 0 ? fy / r : 0.0;
  const double x = px * c - py * s, y = px * s + py * c;
  *area = (b.x1 - b.x0) * (2.f * b.y1);
  *inside = x * x + y * y <= double(back_radius) * back_radius;
  return {x, y, back_z_exact};
}

bool ExitPupil::ContainsExact(double fx, double fy, double x, double y, float* area, double fz) const {
  const double r = std::sqrt(fx * fx + fy * fy);
  const Bounds b = BoundsAt(float(r), float(fz));
  *area = (b.x1 - b.x0) * (2.f * b.y1);
  // Into the frame in which the film point lies on +x.
  const double c = r > 0 ? fx / r : 1.0, s = r > 0 ? fy / r : 0.0;
  const double px = x * c + y * s, py = -x * s + y * c;
  if (b.hy1 > 0.f) {
    *area = HoledArea(b);
    if (px > b.hx0 && px < b.hx1 && std::fabs(py) < b.hy1) return false;
  }
  return px >= b.x0 && px <= b.x1 && std::fabs(py) <= b.y1;
}
