// SPDX-License-Identifier: Apache-2.0
// One surface of the lens: a spherical cap of signed radius, or the planar
// aperture stop (radius 0).
//
// Lens space: the optical axis is z, the front vertex at z = 0, the film
// toward +z, the scene toward -z. A positive radius puts the centre of
// curvature at larger z than the vertex. zmin and zmax bound the usable cap
// in sphere-centred z (z - center): the vertex side of the sphere, at most
// diameter/2 from the axis. For the stop both equal zintercept.
#pragma once

#include <memory>

#include "core/geometry.h"

class LensInterface {
 public:
  // axpos is the vertex's z in lens space (the loader's running sum).
  LensInterface(float r, float axpos, float index, float d);

  // Sets the clear aperture and recomputes the cap; fails when the cap
  // would be wider than the sphere.
  void SetDiameter(float d);

  // A diaphragm of `blades` straight blades (3 to 32; 0 for a round
  // opening): the stop's opening becomes the regular polygon inscribed in
  // the circle of its diameter, with a vertex at `rotation_degrees` from
  // lens-space +x toward +y. Only for the stop.
  void SetBlades(int blades, float rotation_degrees);
  int GetBlades() const { return iris ? iris->blades : 0; }
  // Whether a point (x, y) of the stop plane within the round opening is
  // also within the blades' polygon.
  bool InsideIris(double x, double y) const;

  // The medium behind the surface at another wavelength.
  void SetIndexOfRefraction(float n) { index = n; }

  float GetDiameter() const { return diameter; }
  float GetAxisIntercept() const { return zintercept; }
  float GetIndexOfRefractionPosZ() const { return index; }
  float GetRadius() const { return radius; }
  float GetCenter() const { return center; }
  float GetZMin() const { return zmin; }
  float GetZMax() const { return zmax; }
  bool IsStop() const { return radius == 0.f; }
  bool IsConcaveTowardsPosZ() const { return radius > 0.f; }

  // Hit point (lens space) and unit normal of the ray with this surface
  // within its aperture; on a miss nothing is written. The ray's interval
  // is not consulted.
  bool Intersect(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const {
    return IsStop() ? IntersectPlanar(ray, hitpoint, hitpoint_normal)
                    : IntersectSpherical(ray, hitpoint, hitpoint_normal);
  }

 private:
  bool IntersectPlanar(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;
  bool IntersectSpherical(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;

  // The polygon's edges: unit outward normals, and the cosine of half the
  // angle an edge subtends, which is the apothem over the circumradius.
  struct Iris {
    int blades;
    double cos_half_angle;
    double nx[32], ny[32];
  };

  float radius;
  float zintercept;
  float center;
  float index;
  float diameter;
  float zmin;
  float zmax;
  // Set only for a bladed stop; shared by copies, never changed.
  std::shared_ptr<const Iris> iris;
};

// Tolerance of the consistency conditions on hit points and directions.
constexpr float EPSILON = 0.001f;
