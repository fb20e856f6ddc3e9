// SPDX-License-Identifier: Apache-2.0
#include "optics/paraxial.h"

#include <cmath>
#include <stdexcept>

namespace {

struct YU {
  double y, u;
};

// The vertex curvature: 0 for the stop and a plane, and with an asphere's
// r^2 term (z = a2 r^2 is the paraxial sag of curvature 2 a2) added.
double Curvature(const LensInterface& s) {
  if (s.IsStop()) return 0.0;
  const double base = s.IsPlane() ? 0.0 : 1.0 / s.GetRadius();
  return s.GetAsphere() ? base + 2 * s.GetAsphere()->a[0] : base;
}
// The indices carry a sign: negative while a mirror has turned the light
// back toward -z (after a mirror n' = -n), so that one refraction formula
// serves both, and u stays the slope dy/dz.
double IndexAfter(const LensStack& lens, size_t i) {
  const auto& s = lens.GetInterfaces();
  double sign = 1;
  for (size_t k = 0; k <= i; ++k)
    if (s[k].IsMirror()) sign = -sign;
  return sign * s[i].GetIndexOfRefractionPosZ();
}
double IndexBefore(const LensStack& lens, size_t i) {
  return i == 0 ? 1.0 : IndexAfter(lens, i - 1);
}

// Carries a ray given at surface `first` (before refraction there) to
// surface `last` (after refraction there), front to back.
YU TraceForward(const LensStack& lens, YU ray, size_t first, size_t last) {
  const auto& s = lens.GetInterfaces();
  for (size_t i = first; i <= last; ++i) {
    if (i > first) ray.y += (double(s[i].GetAxisIntercept()) - s[i - 1].GetAxisIntercept()) * ray.u;
    const double n = IndexBefore(lens, i), n2 = IndexAfter(lens, i);
    ray.u = (n * ray.u - ray.y * (n2 - n) * Curvature(s[i])) / n2;
  }
  return ray;
}

// Carries a ray given just in front of surface `first` (in the medium
// behind it, running toward -z) back through surfaces first .. 0, into
// object space. Slopes keep their lens-space sign.
YU TraceBackward(const LensStack& lens, YU ray, size_t first) {
  const auto& s = lens.GetInterfaces();
  for (size_t k = first + 1; k-- > 0;) {
    if (k < first) ray.y += (double(s[k].GetAxisIntercept()) - s[k + 1].GetAxisIntercept()) * ray.u;
    // From the medium behind surface k to the one in front of it.
    const double n = IndexAfter(lens, k), n2 = IndexBefore(lens, k);
    ray.u = (n * ray.u - ray.y * (n2 - n) * Curvature(s[k])) / n2;
  }
  return ray;
}

}  // namespace

Paraxial ComputeParaxial(const LensStack& lens) {
  const auto& s = lens.GetInterfaces();
  const int stop = lens.GetIndexOfStop();
  if (s.empty() || stop < 0) throw std::runtime_error("first-order data need a lens with a stop");
  const size_t last = s.size() - 1, st = size_t(stop);
  const double depth = lens.GetLensDepth();
  Paraxial p;

  // A ray parallel to the axis at unit height: the film-side focus.
  const YU m = TraceForward(lens, {1.0, 0.0}, 0, last);
  if (!(m.u != 0.0)) throw std::runtime_error("the lens has no power: its focal length is infinite");
  p.efl = -1.0 / m.u;
  p.bfl = -m.y / m.u;
  // The same from the film side: the front focal point.
  const YU b = TraceBackward(lens, {1.0, 0.0}, last);
  p.ffd = -b.y / b.u;

  // Entrance pupil. A ray (y0, u0) at the front vertex reaches the stop at
  // y = A y0 + B u0: A from a ray parallel to the axis, B from one through
  // the vertex. Its image of the stop's centre lies where y0 = -B/A u0
  // meets the axis; a parallel beam of height r_stop / A fills the stop.
  const double r_stop = 0.5 * std::fabs(double(s[st].GetDiameter()));
  const double A = TraceForward(lens, {1.0, 0.0}, 0, st).y;
  const double B = TraceForward(lens, {0.0, 1.0}, 0, st).y;
  p.entrance = {B / A, 2.0 * r_stop / std::fabs(A)};
  // Exit pupil: a ray from the stop's centre, and one from its rim parallel
  // to the axis, carried into film space.
  if (st == last) {
    p.exit = {depth, 2.0 * r_stop};
  } else {
    YU c{0.0, 1.0}, e{r_stop, 0.0};
    c = TraceForward(lens, {c.y + (double(s[st + 1].GetAxisIntercept()) - s[st].GetAxisIntercept()) * c.u, c.u},
                     st + 1, last);
    e = TraceForward(lens, {e.y, e.u}, st + 1, last);
    const double z = depth - c.y / c.u;
    p.exit = {z, 2.0 * std::fabs(e.y + (z - depth) * e.u)};
  }
  p.f_number = p.efl / p.entrance.diameter;
  return p;
}

double WorkingFNumber(const LensStack& lens, double distance) {
  const auto& s = lens.GetInterfaces();
  const size_t st = size_t(lens.GetIndexOfStop());
  const double A = TraceForward(lens, {1.0, 0.0}, 0, st).y;
  const double B = TraceForward(lens, {0.0, 1.0}, 0, st).y;
  const double r_stop = 0.5 * std::fabs(double(s[st].GetDiameter()));
  // From the axial object at z = -distance with slope u0: y0 = distance u0.
  const double u0 = r_stop / (A * distance + B);
  const YU out = TraceForward(lens, {distance * u0, u0}, 0, s.size() - 1);
  return 1.0 / (2.0 * std::fabs(out.u));
}

double ParaxialFilmDistance(const LensStack& lens, double distance) {
  // From the axial object at z = -distance: any slope; take 1 / distance.
  const YU out = TraceForward(lens, {1.0, 1.0 / distance}, 0, lens.GetInterfaces().size() - 1);
  return -out.y / out.u;
}

double ParaxialImageScale(const LensStack& lens, const Paraxial& p, double filmdistance) {
  // Unit slope in object space, crossing the axis at the entrance pupil.
  const YU out = TraceForward(lens, {-p.entrance.z, 1.0}, 0, lens.GetInterfaces().size() - 1);
  return std::fabs(out.y + filmdistance * out.u);
}

double StopDiameterForFNumber(const LensStack& lens, double n) {
  const Paraxial p = ComputeParaxial(lens);
  if (!(p.efl > 0)) throw std::runtime_error("the lens has no positive focal length for an f-number");
  const double stop = std::fabs(double(lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter()));
  // The entrance pupil is the stop magnified by 1 / |A|; find |A| from the
  // stop's own image, or from a unit stop when the stop is closed.
  LensStack unit = lens;
  unit.SetApertureDiameter(1.f);
  const double magnification = stop > 0 ? p.entrance.diameter / stop : ComputeParaxial(unit).entrance.diameter;
  return p.efl / n / magnification;
}
