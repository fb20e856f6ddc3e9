// SPDX-License-Identifier: Apache-2.0
// Where on the back element the light from a film point can get through.
//
// Seen from a point of the film, only part of the back element's disc
// leads through the whole lens: the image of the stop (the exit pupil),
// cut further by the rims of the other elements toward the film's corners.
// Aiming samples at the whole disc wastes the rest, most of the disc at
// small stops. ExitPupil finds, by tracing, a rectangle around the part
// that passes, for film points at a set of distances from the axis; the
// lens is round, so for a film point at angle phi the rectangle is the one
// found on the +x axis turned by phi.
//
// Frame: lens space, rectangles in the plane of the back element's vertex
// (z = lens depth), x measured along the direction from the axis to the
// film point.
#pragma once

#include <vector>

#include "core/geometry.h"
#include "realistic/exact_trace.h"
#include "realistic/lens_stack.h"

// Whether each of n film-side rays, from (fx[i], fy[i], film_z) toward
// (lx[i], ly[i]) on the back element's plane, passes the lens, traced as
// the lens traces (a ray that fails a trace condition counts as passing).
using PassTest = void (*)(const LensStack& lens, float film_z, int n, const float* fx, const float* fy,
                          const float* lx, const float* ly, unsigned char* pass);

class ExitPupil {
 public:
  // Traces from film points (r, 0, film_z) for r from 0 to film_radius.
  // `pass_test` traces the searches' rays many at a time (the camera's SIMD
  // lanes); null traces them one by one, with the same answers.
  ExitPupil(const LensStack& lens, float film_z, float film_radius, PassTest pass_test = nullptr);
  // For a tilted film, whose points lie between the planes z_near and
  // z_far: tables on a few planes between them; a film point's rectangle is
  // the union of those of the two planes around its z.
  ExitPupil(const LensStack& lens, float z_near, float z_far, float film_radius, PassTest pass_test);

  // A point of the back element's plane for the film point (fx, fy) and
  // the uniform numbers (u, v), spread evenly over the rectangle for that
  // film point, and the rectangle's area. Points outside the back
  // element's disc lie outside the back-element sampling domain: *inside is
  // false for them, and they must count as blocked.
  // `fz` is the film point's z (only a tilted film's tables look at it).
  Point Sample(float fx, float fy, float u, float v, float* area, bool* inside, float fz = 0.f) const;
  // The same in double, for a film point given in double and the back
  // element's plane at back_z.
  Vec3T<double> SampleExact(double fx, double fy, float u, float v, double back_z, float* area,
                            bool* inside, double fz = 0) const;

  // Whether the back-element point (x, y) lies in the rectangle for the
  // film point (fx, fy), and the rectangle's area.
  bool ContainsExact(double fx, double fy, double x, double y, float* area, double fz = 0) const;

  // The disc's area, for scaling weights: a sample drawn from an area A
  // stands for A / disc_area of the back-element samples.
  float GetDiscArea() const { return disc_area; }

 private:
  // x0 <= x <= x1, -y1 <= y <= y1 (the lens is symmetric about the plane
  // through the axis and the film point).
  // A lens with an obscured centre (a mirror lens) also has a hole:
  // hx0 <= x <= hx1, |y| <= hy1 passes nothing (hy1 0: no hole).
  struct Bounds {
    float x0, x1, y1;
    float hx0 = 0, hx1 = 0, hy1 = 0;
  };
  // The largest rectangle around the middle of b, symmetric about y = 0,
  // where a grid over b finds no passing ray, a cell inside its edge.
  void FindHole(const LensStack& lens, float r, float film_z, Bounds* b, PassTest pass_test) const;
  // Sampling the rectangle less its hole, evenly.
  struct HolePoint {
    double x, y, z;
    Point Narrow() const { return Point(float(x), float(y), float(z)); }
  };
  HolePoint SampleAroundHole(const Bounds& b, double fx, double fy, double r, float u, float v, double z,
                             float* area, bool* inside) const;
  static float HoledArea(const Bounds& b);
  // The rectangle for the film point (r, 0, film_z). `near` is the one
  // found for the previous, slightly smaller radius, or null: the pupil
  // moves little between neighbouring radii, so a search around it is
  // enough where it finds the whole pupil inside. *found_near says whether
  // the result may seed the next radius.
  // The rectangle for a film point at distance r from the axis (and at z,
  // for a tilted film).
  Bounds BoundsAt(float r, float z) const;
  Bounds BoundsOnPlane(size_t plane, float r) const;
  // Fills `bins` for the film plane z.
  void BuildTables(const LensStack& lens, float film_z, PassTest pass_test);
  Bounds Find(const LensStack& lens, float r, float film_z, const Bounds* near, bool* found_near,
              PassTest pass_test) const;

  // For r from film_radius * i / size to film_radius * (i + 1) / size:
  // the rectangles found at both ends, a, c. Where both and the one at the
  // middle were found around the pupil, a film point's rectangle is
  // interpolated between a and c and widened by `grow` on each side (twice
  // what the middle's rectangle sticks out past the interpolation, and a
  // little more); where not, it is the union of the three.
  struct Bin {
    Bounds a, c, grow;
    bool interpolate;
  };
  // One table per film plane: one plane for a film square to the axis,
  // several from z_near to z_far for a tilted one.
  std::vector<std::vector<Bin>> planes;
  std::vector<Bin> bins;  // the plane being built
  float film_radius, back_radius, back_z, disc_area;
  float z_near = 0, z_far = 0;
};
