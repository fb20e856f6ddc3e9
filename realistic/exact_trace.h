// SPDX-License-Identifier: Apache-2.0
// The traces of the lens stack in a wider arithmetic: the same
// intersection, cap test, refraction and order of surfaces as the float
// traces, carried in T (double for the camera's "precision" "double",
// long double for tests that measure its rounding) from the prescription's
// numbers as the file gives them.
//
// What the float traces lose, and these keep: the hit point is held in
// coordinates centred on the sphere, so on a nearly flat surface (a radius
// of thousands) its z carries half a float step, about 0.1 um; and
// refraction rebuilds the incoming direction from the previous hit point,
// which turns that into an angle over the gap to the next surface. Rays
// then land up to some 18 um off on the film of a 50 mm lens.
//
// Frames as everywhere in the lens code: lens space, +z toward the film.
#pragma once

#include <cmath>

#include "realistic/lens_error.h"
#include "realistic/lens_interface.h"

template <typename T>
struct Vec3T {
  T x, y, z;
  Vec3T operator+(const Vec3T& v) const { return {x + v.x, y + v.y, z + v.z}; }
  Vec3T operator-(const Vec3T& v) const { return {x - v.x, y - v.y, z - v.z}; }
  Vec3T operator*(T s) const { return {x * s, y * s, z * s}; }
  Vec3T operator-() const { return {-x, -y, -z}; }
  T Dot(const Vec3T& v) const { return x * v.x + y * v.y + z * v.z; }
  T Length() const { return std::sqrt(Dot(*this)); }
  Vec3T Normalized() const { return *this * (T(1) / Length()); }
  bool Finite() const { return std::isfinite(x) && std::isfinite(y) && std::isfinite(z); }
};

// A ray of the wide traces: origin, direction (not necessarily of unit
// length on entry) and the start of its interval.
template <typename T>
struct RayT {
  Vec3T<T> o, d;
  T mint;
  Vec3T<T> At(T t) const { return o + d * t; }
};

// One surface in the wide arithmetic: the prescription's radius, vertex,
// index and clear aperture, and the cap's bounds in sphere-centred z,
// formed as the float surface forms them. The float surface beside it
// (`shape` below) holds the stop's blades.
struct ExactSurface {
  double radius, zintercept, center, index, diameter, zmin, zmax;
  double thickness = 0;  // to the next vertex, as the file writes it
  bool IsStop() const { return radius == 0; }
};

// The cap of a sphere of this radius with this clear aperture, in
// sphere-centred z; false where the aperture is wider than the sphere.
inline bool ExactCap(double radius, double diameter, double* zmin, double* zmax) {
  if (radius == 0) return true;
  const double half_d = 0.5 * diameter;
  if (!(half_d <= std::fabs(radius))) return false;
  const double s = std::sqrt(radius * radius - half_d * half_d);
  if (radius > 0) {
    *zmin = -radius, *zmax = -s;
  } else {
    *zmin = s, *zmax = -radius;
  }
  return *zmin <= *zmax;
}

// The film rays' and refracted rays' interval start, as the float traces
// have it.
template <typename T>
constexpr T kExactMint = T(0.001f);

// The even asphere's sag at squared height s2 for vertex curvature c, and
// its derivative by s2. NaN where the conic's square root is not real.
template <typename T>
T AsphereSag(T c, const AsphereTerms& a, T s2, T* slope = nullptr) {
  const T arg = T(1) - (T(1) + T(a.k)) * c * c * s2;
  if (!(arg >= T(0))) return T(NAN);
  const T q = std::sqrt(arg);
  T poly = 0, dpoly = 0;
  for (int i = 9; i >= 0; --i) {
    poly = poly * s2 + T(a.a[i]);
    dpoly = dpoly * s2 + T(i + 1) * T(a.a[i]);
  }
  if (slope) *slope = (q > T(0) ? c / (T(2) * q) : T(INFINITY)) + dpoly;
  return c * s2 / (T(1) + q) + poly * s2;
}

// Iterations and tolerance of the asphere's intersection: Newton's method
// on the surface's sag along the ray, from the ray's crossing of the vertex
// plane, until a step moves the ray parameter by less than 1e-12 of it
// (the rounding of double positions in a lens is about 1e-14 of them).
constexpr int kAsphereIterations = 30;
constexpr double kAsphereTolerance = 1e-12;

// The ray's hit with the asphere whose vertex is at z0 (lens space), within
// the clear aperture, and the unit normal there. False where the ray misses
// it, leaves the conic's domain, or Newton's method does not settle: a
// blocked ray, never a wrong hit.
template <typename T>
bool AsphereIntersect(double z0, double c, const AsphereTerms& a, double diameter, const RayT<T>& ray,
                      Vec3T<T>* hit, Vec3T<T>* normal) {
  if (!(ray.d.z != T(0))) return false;
  T t = (T(z0) - ray.o.z) / ray.d.z;
  for (int i = 0; i < kAsphereIterations; ++i) {
    const Vec3T<T> p = ray.At(t);
    const T s2 = p.x * p.x + p.y * p.y;
    T slope = T(0);
    const T z = AsphereSag(T(c), a, s2, &slope);
    const T f = z - (p.z - T(z0));
    const T fp = T(2) * (p.x * ray.d.x + p.y * ray.d.y) * slope - ray.d.z;
    if (!std::isfinite(f) || !std::isfinite(fp) || fp == T(0)) return false;
    const T dt = f / fp;
    t -= dt;
    if (std::fabs(dt) <= T(kAsphereTolerance) * (T(1) + std::fabs(t))) {
      const Vec3T<T> h = ray.At(t);
      const T hs2 = h.x * h.x + h.y * h.y, half = T(0.5) * T(std::fabs(diameter));
      if (!(hs2 <= half * half) || t < ray.mint) return false;
      AsphereSag(T(c), a, hs2, &slope);
      if (!std::isfinite(slope)) return false;
      *hit = h;
      *normal = Vec3T<T>{T(-2) * h.x * slope, T(-2) * h.y * slope, T(1)}.Normalized();
      return true;
    }
  }
  return false;
}

template <typename T>
bool ExactIntersectSurface(const ExactSurface& s, const LensInterface& shape, const RayT<T>& ray, Vec3T<T>* hit,
                           Vec3T<T>* normal);

template <typename T>
bool ExactIntersect(const ExactSurface& s, const LensInterface& shape, const RayT<T>& ray, Vec3T<T>* hit,
                    Vec3T<T>* normal) {
  if (!(shape.GetObscuration() > 0.f)) return ExactIntersectSurface(s, shape, ray, hit, normal);
  Vec3T<T> p, n;
  if (!ExactIntersectSurface(s, shape, ray, &p, &n) || shape.Obscured(double(p.x), double(p.y))) return false;
  *hit = p, *normal = n;
  return true;
}

template <typename T>
bool ExactIntersectSurface(const ExactSurface& s, const LensInterface& shape, const RayT<T>& ray, Vec3T<T>* hit,
                           Vec3T<T>* normal) {
  if (shape.GetAsphere())
    return AsphereIntersect(s.zintercept, shape.IsPlane() ? 0.0 : 1.0 / s.radius, *shape.GetAsphere(),
                            s.diameter, ray, hit, normal);
  if (s.IsStop() || shape.IsPlane()) {
    const T t = (T(s.zintercept) - ray.o.z) / ray.d.z;
    const Vec3T<T> p = ray.At(t);
    LENS_CHECK(std::fabs(p.z - T(s.zintercept)) < T(EPSILON), "fabs(hit.z - zintercept) < EPSILON",
               "bool LensInterface::IntersectPlanar(const Ray&, Point*, Vector*) const");
    if (!(p.x * p.x + p.y * p.y <= T(0.25) * T(s.diameter) * T(s.diameter))) return false;
    if (shape.GetBlades() > 0 && !shape.InsideIris(double(p.x), double(p.y))) return false;
    *hit = p;
    *normal = {T(0), T(0), T(1)};
    return true;
  }
  const RayT<T> r{{ray.o.x, ray.o.y, ray.o.z - T(s.center)}, ray.d, ray.mint};
  const T A = r.d.Dot(r.d), B = T(2) * r.d.Dot(r.o), C = r.o.Dot(r.o) - T(s.radius) * T(s.radius);
  const T discrim = B * B - T(4) * A * C;
  if (!(discrim >= T(0))) return false;
  const T root = std::sqrt(discrim);
  const T q = B < T(0) ? T(-0.5) * (B - root) : T(-0.5) * (B + root);
  T t0 = q / A, t1 = C / q;
  if (t0 > t1) std::swap(t0, t1);
  if (t1 < r.mint) return false;
  T thit = t0 >= r.mint ? t0 : t1;
  Vec3T<T> p = r.At(thit);
  // The vertex's side of the cap is open: a hit past it is the vertex.
  const T lo = s.radius > 0 ? T(-INFINITY) : T(s.zmin), hi = s.radius < 0 ? T(INFINITY) : T(s.zmax);
  if (p.z < lo || p.z > hi) {
    if (thit == t1) return false;
    thit = t1;
    p = r.At(thit);
    if (p.z < lo || p.z > hi) return false;
  }
  *hit = {p.x, p.y, p.z + T(s.center)};
  *normal = p.Normalized();
  return true;
}

template <typename T>
RayT<T> ExactRefract(const Vec3T<T>& O, const Vec3T<T>& P, Vec3T<T> N, T ni, T nt) {
  static const char* const operation =
      "Ray Refract(const Point&, const Point&, const Vector&, float, float)";
  const Vec3T<T> I = (O - P).Normalized();
  const T ratio = ni / nt;
  T cosi = N.Dot(I);
  if (cosi < T(0)) {
    N = -N;
    cosi = -cosi;
  }
  LENS_CHECK(cosi != T(0), "cosi != 0", operation);
  const T cos_o_squared = T(1) - ratio * ratio * (T(1) - cosi * cosi);
  if (cos_o_squared < T(0)) {
    const Vec3T<T> tangent = (I - N * cosi).Normalized();
    return {O, -tangent, kExactMint<T>};
  }
  const T coso = std::sqrt(cos_o_squared);
  const Vec3T<T> dir = N * (ratio * cosi - coso) + I * (-ratio);
  LENS_CHECK(std::fabs(dir.Dot(N) + coso) < T(EPSILON), "fabs(Dot(refract_dir, N) - (-coso)) < EPSILON",
             operation);
  LENS_CHECK(std::fabs(dir.Length() - T(1)) < T(EPSILON), "fabs(refract_dir.Length() - 1.0f) < EPSILON",
             operation);
  return {P, dir, kExactMint<T>};
}

// The ray that leaves a mirror at P: the incoming direction d mirrored in
// the unit normal N.
template <typename T>
RayT<T> ExactReflect(const Vec3T<T>& d, const Vec3T<T>& P, const Vec3T<T>& N) {
  const Vec3T<T> u = d.Normalized();
  return {P, u - N * (T(2) * N.Dot(u)), kExactMint<T>};
}

// The medium in front of the front element is air.
template <typename T>
bool ExactTraceFilmToWorld(const ExactSurface* s, const LensInterface* shape, int n, const RayT<T>& ray,
                           RayT<T>* exit) {
  static const char* const operation = "bool LensStack::TraceFilmToWorld(const Ray&, Ray*)";
  LENS_CHECK(ray.At(ray.mint).z > T(s[n - 1].zintercept),
             "ray(ray.mint).z > interfaces.back().GetAxisIntercept()", operation);
  LENS_CHECK(ray.d.z < T(0), "ray.d.z < 0.0f", operation);
  RayT<T> t = ray;
  Vec3T<T> hit, normal;
  for (int i = n - 1; i >= 0; --i) {
    if (!ExactIntersect(s[i], shape[i], t, &hit, &normal)) return false;
    const T before = T(s[i].index), after = i == 0 ? T(1) : T(s[i - 1].index);
    if (shape[i].IsMirror())
      t = ExactReflect(t.d, hit, normal);
    else if (before != after)
      t = ExactRefract(t.o, hit, normal, before, after);
  }
  *exit = {t.o, t.d.Normalized(), t.mint};
  return true;
}

template <typename T>
bool ExactTraceWorldToFilm(const ExactSurface* s, const LensInterface* shape, int n, const RayT<T>& ray,
                           RayT<T>* exit) {
  static const char* const operation = "bool LensStack::TraceWorldToFilm(const Ray&, Ray*)";
  LENS_CHECK(ray.At(ray.mint).z <= T(0), "ray(ray.mint).z <= 0.0f", operation);
  LENS_CHECK(ray.d.z > T(0), "ray.d.z > 0.0f", operation);
  RayT<T> t = ray;
  Vec3T<T> hit, normal;
  for (int i = 0; i < n; ++i) {
    if (!ExactIntersect(s[i], shape[i], t, &hit, &normal)) return false;
    const T before = i == 0 ? T(1) : T(s[i - 1].index), after = T(s[i].index);
    if (shape[i].IsMirror())
      t = ExactReflect(t.d, hit, normal);
    else if (before != after)
      t = ExactRefract(t.o, hit, normal, before, after);
  }
  *exit = {t.o, t.d.Normalized(), t.mint};
  return true;
}
