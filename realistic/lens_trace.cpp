// SPDX-License-Identifier: Apache-2.0
// Tracing through the whole stack, and the paraxial thick-lens model
// built from two such traces.
#include <cmath>

#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "realistic/refract.h"

namespace {

// The medium in front of the front element is air.
constexpr float kWorldIndex = 1.f;

}  // namespace

namespace {

RayT<double> Widen(const Ray& r) {
  return {{r.o.x, r.o.y, r.o.z}, {r.d.x, r.d.y, r.d.z}, r.mint};
}

// The exact trace's leaving ray, rounded once, into a float exit ray.
void Narrow(const RayT<double>& r, Ray* out) {
  out->o = Point(float(r.o.x), float(r.o.y), float(r.o.z));
  out->d = Vector(float(r.d.x), float(r.d.y), float(r.d.z));
}

}  // namespace

bool LensStack::TraceFilmToWorldExact(const RayT<double>& ray, RayT<double>* exitRay) const {
  return ExactTraceFilmToWorld(exact.data(), interfaces.data(), int(exact.size()), ray, exitRay);
}

bool LensStack::TraceWorldToFilmExact(const RayT<double>& ray, RayT<double>* exitRay) const {
  return ExactTraceWorldToFilm(exact.data(), interfaces.data(), int(exact.size()), ray, exitRay);
}

bool LensStack::TraceFilmToWorld(const Ray& ray, Ray* exitRay) const {
  static const char* const operation = "bool LensStack::TraceFilmToWorld(const Ray&, Ray*)";
  if (use_exact) {
    RayT<double> out;
    if (!TraceFilmToWorldExact(Widen(ray), &out)) return false;
    Narrow(out, exitRay);
    return true;
  }
  LENS_CHECK(ray(ray.mint).z > interfaces.back().GetAxisIntercept(),
             "ray(ray.mint).z > interfaces.back().GetAxisIntercept()", operation);
  LENS_CHECK(ray.d.z < 0.f, "ray.d.z < 0.0f", operation);

  Ray tRay = ray;
  Point hitpoint;
  Vector hitpoint_normal;
  for (int i = int(interfaces.size()) - 1; i >= 0; --i) {
    if (!interfaces[i].Intersect(tRay, &hitpoint, &hitpoint_normal)) return false;
    const float index_before = interfaces[i].GetIndexOfRefractionPosZ();
    const float index_after = (i == 0) ? kWorldIndex : interfaces[i - 1].GetIndexOfRefractionPosZ();
    // Between equal media (the stop in air, a cemented pair of one glass)
    // the surface only clips; the ray keeps its origin.
    if (interfaces[i].IsMirror())
      tRay = Reflect(tRay.d, hitpoint, hitpoint_normal);
    else if (index_before != index_after)
      tRay = Refract(tRay.o, hitpoint, hitpoint_normal, index_before, index_after);
  }
  exitRay->o = tRay.o;
  exitRay->d = Normalize(tRay.d);
  return true;
}

bool LensStack::TraceWorldToFilm(const Ray& ray, Ray* exitRay) const {
  static const char* const operation = "bool LensStack::TraceWorldToFilm(const Ray&, Ray*)";
  if (use_exact) {
    RayT<double> out;
    if (!TraceWorldToFilmExact(Widen(ray), &out)) return false;
    Narrow(out, exitRay);
    return true;
  }
  LENS_CHECK(ray(ray.mint).z <= 0.f, "ray(ray.mint).z <= 0.0f", operation);
  LENS_CHECK(ray.d.z > 0.f, "ray.d.z > 0.0f", operation);

  Ray tRay = ray;
  Point hitpoint;
  Vector hitpoint_normal;
  const int n = int(interfaces.size());
  for (int i = 0; i < n; ++i) {
    if (!interfaces[i].Intersect(tRay, &hitpoint, &hitpoint_normal)) return false;
    const float index_before = (i == 0) ? kWorldIndex : interfaces[i - 1].GetIndexOfRefractionPosZ();
    const float index_after = interfaces[i].GetIndexOfRefractionPosZ();
    if (interfaces[i].IsMirror())
      tRay = Reflect(tRay.d, hitpoint, hitpoint_normal);
    else if (index_before != index_after)
      tRay = Refract(tRay.o, hitpoint, hitpoint_normal, index_before, index_after);
  }
  exitRay->o = tRay.o;
  exitRay->d = Normalize(tRay.d);
  return true;
}

namespace {

// The probe heights shrink by ten per try; stored as floats they reach
// exactly 0 after about 45 tries, and every later try is the same ray
// along the axis. Past this many tries the side has no passing probe.
constexpr int kMaxProbeTries = 60;

// Traces probes parallel to the axis at 0.1, 0.01, ... of the element's
// radius until one passes; exit is the leaving ray, *entry the probe.
template <typename Trace>
void ProbeParallel(const LensStack& lens, float diameter, float start_z, float dir_z,
                   Trace trace, const char* side, Ray* entry, Ray* exit) {
  float radius_frac = 0.1f;
  for (int tries = 0;; ++tries) {
    *entry = Ray(Point(0.f, float((0.5 * radius_frac) * diameter), start_z),
                 Vector(0.f, 0.f, dir_z), 0.001f);
    const bool exited_successfully = (lens.*trace)(*entry, exit);
    radius_frac = float(radius_frac * 0.1);
    if (exited_successfully) return;
    if (entry->o.y == 0.f || tries >= kMaxProbeTries)
      throw LensError(std::string("void LensStack::CalculateParaxialThickLensApproximation(float*, "
                                  "float*, float*, float*): no ray parallel to the axis passes "
                                  "the lens from the ") + side + " side, down to the axis itself");
  }
}

// z where the leaving ray meets the axis (focal point) and where it is
// back at the entering height (principal plane).
void Crossings(const Ray& entry, const Ray& exit, float* focal, float* principal) {
  const float t_focal = -exit.o.y / exit.d.y;
  *focal = exit(t_focal).z;
  const float t_principal = float((double(entry.o.y) - exit.o.y) / exit.d.y);
  *principal = exit(t_principal).z;
}

}  // namespace

void LensStack::CalculateParaxialThickLensApproximation(float* f1, float* f2, float* p1,
                                                        float* p2) const {
  // The probes run near the axis, where an obscuration (a mirror lens's
  // secondary) would block them: the focus model is the optics' own.
  if (HasObscuration()) return WithoutObscurations().CalculateParaxialThickLensApproximation(f1, f2, p1, p2);
  Ray parallel_from_world, parallel_from_film, exit;
  ProbeParallel(*this, GetFrontElementDiameter(), -1.f, 1.f, &LensStack::TraceWorldToFilm, "world",
                &parallel_from_world, &exit);
  Crossings(parallel_from_world, exit, f1, p1);
  ProbeParallel(*this, GetBackElementDiameter(), GetLensDepth() + 1.f, -1.f,
                &LensStack::TraceFilmToWorld, "film", &parallel_from_film, &exit);
  Crossings(parallel_from_film, exit, f2, p2);
}
