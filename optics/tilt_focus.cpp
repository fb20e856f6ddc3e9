// SPDX-License-Identifier: Apache-2.0
#include "optics/tilt_focus.h"

#include <cmath>
#include <stdexcept>

#include "optics/paraxial.h"
#include "realistic/thick_lens.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The point nearest to every line o + s d (least squares), from the
// normal equations sum (I - d d^T) p = sum (I - d d^T) o.
bool NearestPoint(const std::vector<RayT<double>>& rays, std::array<double, 3>* p) {
  double a[3][3] = {}, b[3] = {};
  for (const RayT<double>& r : rays) {
    const double d[3] = {r.d.x, r.d.y, r.d.z}, o[3] = {r.o.x, r.o.y, r.o.z};
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) {
        const double m = (i == j ? 1.0 : 0.0) - d[i] * d[j];
        a[i][j] += m;
        b[i] += m * o[j];
      }
  }
  // Cramer's rule on the 3x3 system.
  auto det = [](const double m[3][3]) {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) - m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
  };
  const double d0 = det(a);
  if (!(std::fabs(d0) > 1e-12)) return false;
  for (int k = 0; k < 3; ++k) {
    double m[3][3];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) m[i][j] = j == k ? b[i] : a[i][j];
    (*p)[size_t(k)] = det(m) / d0;
  }
  return true;
}

}  // namespace

TiltFocus ComputeTiltFocus(const LensStack& lens_in, double filmdistance, double tilt_degrees, double film_height) {
  if (!(std::fabs(tilt_degrees) > 0 && std::fabs(tilt_degrees) < 45))
    throw std::runtime_error("a film tilt between 0 and 45 degrees either way is needed");
  LensStack lens = lens_in;
  lens.SetExact(true);
  const ThickLens t = ComputeThickLens(lens);
  TiltFocus r;
  r.tilt = tilt_degrees;
  r.efl = t.Efl();
  if (!(std::isfinite(r.efl) && r.efl > 0)) throw std::runtime_error("the lens has no positive power");
  const double theta = tilt_degrees * kPi / 180;
  const double film_z = lens.GetLensDepthExact() + filmdistance;
  r.v = film_z - double(t.p1);
  if (!(r.v > r.efl)) throw std::runtime_error("the film's centre lies inside the rear focal length: no real focus");
  r.u = 1 / (1 / r.efl - 1 / r.v);
  r.front_principal = t.p2;
  r.front_focal = double(t.p2) - r.efl;
  r.scheimpflug = -r.v / std::tan(theta);
  r.hinge = -r.efl / std::tan(theta);
  r.hinge_distance = r.efl / std::sin(std::fabs(theta));
  // The plane through the Scheimpflug line (at H) and the centre's focus.
  r.plane_angle = std::atan2(std::fabs(r.scheimpflug), r.u) * 180 / kPi;

  // Real rays: film points at heights along the film where the axial image
  // distance stays well beyond f (their focus in front of the lens).
  // (The image of the plane runs off to infinity where the film crosses
  // the rear focal plane: the film points stay well short of it.)
  const double reach = 0.6 * std::min(0.5 * film_height, (r.v - r.efl) / std::sin(std::fabs(theta)));
  // The real rays at f/8 or the stop given, if smaller: the rules are
  // first-order, and a wide stop's spherical aberration moves each focus.
  try {
    const double stop = std::fabs(double(lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter()));
    const double f8 = StopDiameterForFNumber(lens, 8);
    if (f8 < stop) lens.SetApertureDiameter(float(f8));
  } catch (const std::exception&) {
  }
  const double back_z = lens.GetLensDepthExact();
  const double back_r = 0.5 * std::fabs(double(lens.GetBackElementDiameter()));
  for (double h : {-reach, 0.0, reach}) {
    const Vec3T<double> film{0, h * std::cos(theta), film_z + h * std::sin(theta)};
    std::vector<RayT<double>> out;
    constexpr int kGrid = 24;
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) {
        const double x = back_r * (2 * (i + 0.5) / kGrid - 1), y = back_r * (2 * (j + 0.5) / kGrid - 1);
        if (x * x + y * y > back_r * back_r) continue;
        const RayT<double> ray{film, (Vec3T<double>{x, y, back_z} - film).Normalized(), kExactMint<double>};
        RayT<double> exit;
        try {
          if (lens.TraceFilmToWorldExact(ray, &exit)) out.push_back(exit);
        } catch (const LensError&) {
        }
      }
    std::array<double, 3> p;
    if (out.size() < 8 || !NearestPoint(out, &p))
      throw std::runtime_error("too few real rays pass from the tilted film to find its focus");
    r.film_heights.push_back(h);
    r.points.push_back(p);
  }
  // The line through the three points in the y-z plane, at the front
  // focal plane.
  double sz = 0, sy = 0, szz = 0, szy = 0;
  for (const auto& p : r.points) sz += p[2], sy += p[1], szz += p[2] * p[2], szy += p[2] * p[1];
  const double n = double(r.points.size());
  const double slope = (n * szy - sz * sy) / (n * szz - sz * sz), offset = (sy - slope * sz) / n;
  r.real_hinge = slope * r.front_focal + offset;
  return r;
}
