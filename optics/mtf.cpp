// SPDX-License-Identifier: Apache-2.0
#include "optics/mtf.h"

#include <algorithm>
#include <cmath>

#include "optics/paraxial.h"
#include "realistic/lens_error.h"

namespace {

using V = Vec3T<double>;
constexpr double kPi = 3.14159265358979323846;

// A ray from the scene to the film side, with its optical path: the sum of
// index times length over the segments between surfaces.
bool TraceOpticalPath(const LensStack& lens, RayT<double> ray, RayT<double>* out, double* path) {
  const auto& s = lens.GetExactSurfaces();
  const auto& shape = lens.GetInterfaces();
  double n = 1, sum = 0;
  ray.d = ray.d.Normalized();
  try {
    for (size_t i = 0; i < s.size(); ++i) {
      V hit, normal;
      if (!ExactIntersect(s[i], shape[i], ray, &hit, &normal)) return false;
      sum += n * (hit - ray.o).Length();
      const double before = i == 0 ? 1.0 : s[i - 1].index, after = s[i].index;
      if (shape[i].IsMirror()) {
        ray = ExactReflect(ray.d, hit, normal);
      } else if (before != after) {
        ray = ExactRefract(ray.o, hit, normal, before, after);
        ray.d = ray.d.Normalized();
      } else {
        ray = {hit, ray.d, kExactMint<double>};
      }
      n = after;
    }
  } catch (const LensError&) {
    return false;
  }
  *out = ray;
  *path = sum;
  return true;
}

}  // namespace

std::complex<double> ShiftOtf(const PupilFunction& p, int k, bool along_y) {
  const int n = p.n;
  k = std::abs(k);
  if (k >= n) return 0.0;
  std::complex<double> sum = 0;
  double norm = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const size_t a = size_t(j * n + i);
      const double aa = p.amplitude[a];
      norm += aa * aa;
      if (aa == 0) continue;
      const int i2 = along_y ? i : i + k, j2 = along_y ? j + k : j;
      if (i2 >= n || j2 >= n) continue;
      const size_t b = size_t(j2 * n + i2);
      if (p.amplitude[b] == 0) continue;
      sum += aa * p.amplitude[b] * std::polar(1.0, 2 * kPi * (p.waves[b] - p.waves[a]));
    }
  return norm > 0 ? sum / norm : 0.0;
}

double CellFrequency(const PupilFunction& p, bool along_y) {
  return p.cell * std::fabs(along_y ? p.dm_dy : p.dl_dx) / (p.nanometres * 1e-6);
}

std::complex<double> OtfAt(const PupilFunction& p, double nu, bool along_y) {
  const double step = CellFrequency(p, along_y);
  if (!(step > 0)) return 0.0;
  const double k = std::fabs(nu) / step;
  const int k0 = int(std::floor(k));
  if (k0 >= p.n) return 0.0;
  const double t = k - k0;
  const std::complex<double> a = ShiftOtf(p, k0, along_y);
  return t > 0 ? a * (1 - t) + ShiftOtf(p, k0 + 1, along_y) * t : a;
}

double DiffractionLimitedMtf(double s) {
  if (s <= 0) return 1;
  if (s >= 1) return 0;
  const double phi = std::acos(s);
  return 2 / kPi * (phi - std::cos(phi) * std::sin(phi));
}

PupilFunction ComputePupilFunction(const LensStack& lens, double film_z, double field_degrees,
                                   double object_distance, double nanometres, int n,
                                   const PupilFunction* reference) {
  PupilFunction p;
  p.n = n;
  p.nanometres = nanometres;
  p.amplitude.assign(size_t(n) * n, 0.0);
  p.waves.assign(size_t(n) * n, 0.0);
  const Paraxial par = ComputeParaxial(lens);
  const double r_ep = 0.5 * par.entrance.diameter, z_ep = par.entrance.z;
  p.side = 2.2 * r_ep;
  p.cell = p.side / n;
  const double theta = field_degrees * kPi / 180;
  const V dir{0, std::sin(theta), std::cos(theta)};
  const bool finite = object_distance > 0;
  // Ahead of every surface (a front surface may curve toward the scene).
  double ahead = std::min(0.0, z_ep);
  for (const ExactSurface& s : lens.GetExactSurfaces()) ahead = std::min(ahead, s.zintercept - std::fabs(s.diameter));
  ahead -= 1;
  const V object{0, -std::tan(theta) * (object_distance + z_ep), -object_distance};
  auto start = [&](double x, double y) {
    const V target{x, y, z_ep};
    if (finite) return RayT<double>{object, (target - object).Normalized(), 0};
    const double along = (z_ep - ahead) / dir.z;
    return RayT<double>{target - dir * along, dir, 0};
  };
  // The optical path up to the start: 0 from the object point, the plane
  // wave's phase for an object at infinity.
  auto start_path = [&](const RayT<double>& r) { return finite ? 0.0 : dir.Dot(r.o); };

  // The chief ray: through the entrance pupil's centre.
  RayT<double> chief_out;
  double chief_path;
  const RayT<double> chief_in = start(0, 0);
  // A reference ray: an obscuration in its way (a mirror lens's) does not
  // move it.
  const bool traced = lens.HasObscuration() ? TraceOpticalPath(lens.WithoutObscurations(), chief_in, &chief_out, &chief_path)
                                             : TraceOpticalPath(lens, chief_in, &chief_out, &chief_path);
  if (!traced) return p;
  const double t_film = (film_z - chief_out.o.z) / chief_out.d.z;
  V centre = chief_out.At(t_film);
  const double t_exit = (par.exit.z - chief_out.o.z) / chief_out.d.z;
  double radius = (centre - chief_out.At(t_exit)).Length();
  if (reference) {
    centre = {reference->image_x, reference->image_y, film_z};
  }
  p.image_x = centre.x, p.image_y = centre.y;
  auto to_sphere = [&](const RayT<double>& r, double* t) {
    const V oc = r.o - centre;
    const double b = r.d.Dot(oc), c = oc.Dot(oc) - radius * radius, disc = b * b - c;
    if (!(disc >= 0)) return false;
    *t = -b - std::sqrt(disc);
    return true;
  };
  double chief_tail;
  if (!to_sphere(chief_out, &chief_tail)) return p;
  const double chief_total = start_path(chief_in) + chief_path + chief_tail;
  const double lambda = nanometres * 1e-6;

  // Least squares of the leaving directions against the pupil position.
  double sx = 0, sxx = 0, sl = 0, sxl = 0, sy = 0, syy = 0, sm = 0, sym = 0;
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double x = -0.5 * p.side + (i + 0.5) * p.cell, y = -0.5 * p.side + (j + 0.5) * p.cell;
      const RayT<double> in = start(x, y);
      RayT<double> out;
      double path, tail;
      if (!TraceOpticalPath(lens, in, &out, &path) || !(out.d.z > 0) || !to_sphere(out, &tail)) continue;
      const size_t k = size_t(j * n + i);
      p.amplitude[k] = 1;
      p.waves[k] = (start_path(in) + path + tail - chief_total) / lambda;
      ++p.passed;
      sx += x, sxx += x * x, sl += out.d.x, sxl += x * out.d.x;
      sy += y, syy += y * y, sm += out.d.y, sym += y * out.d.y;
    }
  const double m = p.passed;
  if (m >= 2) {
    const double vx = sxx - sx * sx / m, vy = syy - sy * sy / m;
    p.dl_dx = vx > 0 ? (sxl - sx * sl / m) / vx : 0;
    p.dm_dy = vy > 0 ? (sym - sy * sm / m) / vy : 0;
  }
  return p;
}
