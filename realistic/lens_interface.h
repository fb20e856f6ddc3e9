// SPDX-License-Identifier: Apache-2.0
// One surface of the lens: a spherical cap of signed radius, the planar
// aperture stop (radius 0), a plane refracting surface (radius infinite),
// or an even asphere on any of the last two shapes.
//
// Lens space: the optical axis is z, the front vertex at z = 0, the film
// toward +z, the scene toward -z. A positive radius puts the centre of
// curvature at larger z than the vertex. zmin and zmax bound the usable cap
// in sphere-centred z (z - center): the vertex side of the sphere, at most
// diameter/2 from the axis. For the stop both equal zintercept.
#pragma once

#include <cmath>
#include <memory>

#include "core/geometry.h"

// The even asphere's terms: z(r) = c r^2 / (1 + sqrt(1 - (1 + k) c^2 r^2))
// + a2 r^2 + a4 r^4 + ... + a20 r^20, z from the vertex along the axis.
struct AsphereTerms {
  double k = 0;
  double a[10] = {};  // a[i] multiplies r^(2i + 2)
};

class LensInterface {
 public:
  // axpos is the vertex's z in lens space (the loader's running sum).
  // An aspheric surface's clear aperture may reach past its base sphere
  // (SetAsphere then checks it against the asphere's own sag).
  LensInterface(float r, float axpos, float index, float d, bool aspheric = false);

  // Sets the clear aperture and recomputes the cap; fails when the cap
  // would be wider than the sphere.
  void SetDiameter(float d);

  // A diaphragm of `blades` straight blades (3 to 32; 0 for a round
  // opening): the stop's opening becomes the regular polygon inscribed in
  // the circle of its diameter, with a vertex at `rotation_degrees` from
  // lens-space +x toward +y. Only for the stop.
  void SetBlades(int blades, float rotation_degrees);
  // The polygon's edges: unit outward normals, and the cosine of half the
  // angle an edge subtends, which is the apothem over the circumradius.
  struct Iris {
    int blades;
    double cos_half_angle;
    double nx[32], ny[32];
  };
  int GetBlades() const { return iris ? iris->blades : 0; }
  const Iris* GetIris() const { return iris.get(); }
  // Whether a point (x, y) of the stop plane within the round opening is
  // also within the blades' polygon.
  bool InsideIris(double x, double y) const;

  // A mirror: the light turns back here instead of crossing. Its index
  // is that of the medium the light returns into, the one it came from.
  void SetMirror() { mirror = true; }
  bool IsMirror() const { return mirror; }
  // A centred opaque disc of this diameter on the surface (a mirror lens's
  // secondary mirror seen from the front): hits nearer the axis than its
  // radius are blocked. 0: none.
  void SetObscuration(float d) { obscuration = d; }
  float GetObscuration() const { return obscuration; }
  bool Obscured(double x, double y) const {
    return obscuration > 0.f && x * x + y * y < 0.25 * double(obscuration) * double(obscuration);
  }

  // The medium behind the surface at another wavelength.
  void SetIndexOfRefraction(float n) { index = n; }

  float GetDiameter() const { return diameter; }
  float GetAxisIntercept() const { return zintercept; }
  float GetIndexOfRefractionPosZ() const { return index; }
  float GetRadius() const { return radius; }
  float GetCenter() const { return center; }
  float GetZMin() const { return zmin; }
  float GetZMax() const { return zmax; }
  // The cap's bounds as the intersection tests them: the vertex's side is
  // open (-inf below a positive radius's vertex, +inf above a negative
  // one's), since a hit computed past the vertex lies on it within
  // rounding. A ray through the vertex itself (a lens sample at the disc's
  // centre) would otherwise be blocked.
  float VertexSideOpenMin() const { return radius > 0.f ? -INFINITY : zmin; }
  float VertexSideOpenMax() const { return radius < 0.f ? INFINITY : zmax; }
  bool IsStop() const { return radius == 0.f; }
  // A flat refracting surface: traced as a plane, exactly.
  bool IsPlane() const { return std::isinf(radius); }

  // Makes the surface an even asphere on its base sphere or plane. Throws
  // when its sag is not defined within the clear aperture.
  void SetAsphere(const AsphereTerms& terms);
  const AsphereTerms* GetAsphere() const { return asphere.get(); }
  // The surface's axial offset from its vertex at height h (lens units),
  // whatever its shape, and its least value over the clear aperture.
  double Sag(double h) const;
  double FrontMostSag() const;
  bool IsConcaveTowardsPosZ() const { return radius > 0.f; }

  // Hit point (lens space) and unit normal of the ray with this surface
  // within its aperture; on a miss nothing is written. The ray's interval
  // is not consulted.
  bool Intersect(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const {
    if (obscuration > 0.f) return IntersectObscured(ray, hitpoint, hitpoint_normal);
    if (asphere) return IntersectAspheric(ray, hitpoint, hitpoint_normal);
    return IsStop() || IsPlane() ? IntersectPlanar(ray, hitpoint, hitpoint_normal)
                                 : IntersectSpherical(ray, hitpoint, hitpoint_normal);
  }

 private:
  bool IntersectPlanar(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;
  bool IntersectSpherical(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;
  // In double (exact_trace.h), rounded to float once.
  bool IntersectAspheric(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;
  bool IntersectObscured(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const;


  float radius;
  float zintercept;
  float center;
  float index;
  float diameter;
  float zmin;
  float zmax;
  bool aspheric_aperture = false;
  bool mirror = false;
  float obscuration = 0.f;
  // Set only for a bladed stop; shared by copies, never changed.
  std::shared_ptr<const Iris> iris;
  // Set only for an asphere; shared by copies, never changed.
  std::shared_ptr<const AsphereTerms> asphere;
};

// Tolerance of the consistency conditions on hit points and directions.
constexpr float EPSILON = 0.001f;
