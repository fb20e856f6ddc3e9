// SPDX-License-Identifier: Apache-2.0
#include "import/clear_apertures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "realistic/exact_trace.h"

namespace {

using V = Vec3T<double>;

constexpr double kPi = 3.14159265358979323846;
// Rim points of the pupil per field, and the rounding of the computed
// semi-diameters (up, to a tenth of a micrometre).
constexpr int kRimPoints = 64;
constexpr double kRounding = 1e-4;

// The surfaces' vertices along the axis (a mirror turns the light back:
// the thicknesses after it are negative, as the file writes them).
std::vector<double> Vertices(const ImportedLens& lens) {
  std::vector<double> z;
  double at = 0;
  for (const ImportedSurface& s : lens.surfaces) z.push_back(at), at += s.thickness;
  return z;
}

// The ray's crossing of surface s (vertex at z0) with no aperture: the
// sphere's hemisphere nearest its vertex, or the plane, or the asphere.
bool Cross(const ImportedSurface& s, double z0, const RayT<double>& ray, V* hit, V* normal) {
  if (s.aspheric) {
    const double c = s.radius == 0 || std::isinf(s.radius) ? 0.0 : 1 / s.radius;
    return AsphereIntersect(z0, c, s.asphere, 1e30, ray, hit, normal);
  }
  if (s.radius == 0 || std::isinf(s.radius)) {
    if (ray.d.z == 0) return false;
    const double t = (z0 - ray.o.z) / ray.d.z;
    if (!(t >= ray.mint)) return false;
    *hit = ray.At(t);
    *normal = {0, 0, 1};
    return true;
  }
  const double r = s.radius;
  const V o{ray.o.x, ray.o.y, ray.o.z - (z0 + r)};
  const double a = ray.d.Dot(ray.d), b = 2 * ray.d.Dot(o), c = o.Dot(o) - r * r;
  const double disc = b * b - 4 * a * c;
  if (!(disc >= 0)) return false;
  const double root = std::sqrt(disc);
  const double q = b < 0 ? -0.5 * (b - root) : -0.5 * (b + root);
  double t[2] = {q / a, c / q};
  if (t[0] > t[1]) std::swap(t[0], t[1]);
  for (double tt : t) {
    if (!(tt >= ray.mint)) continue;
    const V p = o + ray.d * tt;
    // The vertex's hemisphere: the side of the centre toward the vertex.
    if (p.z * r > 0) continue;
    *hit = {p.x, p.y, p.z + z0 + r};
    *normal = (p * (1 / r)).Normalized();
    return true;
  }
  return false;
}

// Traces a ray from object space through the lens, recording the radial
// height at each surface in *heights (maxima kept). False: it missed a
// surface or was totally reflected.
bool TraceHeights(const ImportedLens& lens, const std::vector<double>& z, RayT<double> ray,
                  std::vector<double>* heights) {
  std::vector<double> h(lens.surfaces.size());
  double n = 1;
  for (size_t i = 0; i < lens.surfaces.size(); ++i) {
    const ImportedSurface& s = lens.surfaces[i];
    V hit, normal;
    if (!Cross(s, z[i], ray, &hit, &normal)) return false;
    h[i] = std::hypot(hit.x, hit.y);
    V d = ray.d.Normalized();
    double cosi = -normal.Dot(d);
    if (cosi < 0) normal = -normal, cosi = -cosi;
    if (s.mirror) {
      d = d + normal * (2 * cosi);
    } else if (s.radius != 0) {
      const double eta = n / s.index, k = 1 - eta * eta * (1 - cosi * cosi);
      if (k < 0) return false;
      d = d * eta + normal * (eta * cosi - std::sqrt(k));
      n = s.index;
    }
    // The next surface may share this point's plane (a zero thickness).
    ray = {hit, d, -1e-9};
  }
  for (size_t i = 0; i < h.size(); ++i) (*heights)[i] = std::max((*heights)[i], h[i]);
  return true;
}

std::string Text(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.6g", v);
  return buf;
}

}  // namespace

bool ParaxialEntrancePupil(const ImportedLens& lens, double* z, double* stop_over_pupil) {
  // Two paraxial rays from object space: one parallel to the axis at
  // height 1, one through the front vertex at slope 1. Their heights at
  // the stop, a and b, give the chief ray's (the one that crosses the
  // stop's centre): height -b/a at the front vertex for slope 1.
  double y[2] = {1, 0}, u[2] = {0, 1}, a = NAN, b = NAN;
  double n = 1;  // signed: a mirror turns the light, and the index's sign
  for (const ImportedSurface& s : lens.surfaces) {
    if (s.radius == 0) {
      a = y[0], b = y[1];
    } else {
      double c = std::isinf(s.radius) ? 0.0 : 1 / s.radius;
      if (s.aspheric) c += 2 * s.asphere.a[0];
      const double after = s.mirror ? -n : (n < 0 ? -s.index : s.index);
      for (int k = 0; k < 2; ++k) u[k] = (n * u[k] - y[k] * (after - n) * c) / after;
      n = after;
    }
    for (int k = 0; k < 2; ++k) y[k] += s.thickness * u[k];
  }
  if (!std::isfinite(a) || a == 0) return false;
  *z = b / a;  // the chief ray at slope 1 crosses the axis here
  *stop_over_pupil = std::fabs(a);
  return true;
}

void ComputeClearApertures(ImportedLens* lens, const ApertureSpec& spec) {
  std::vector<bool> missing;
  bool any = false;
  for (const ImportedSurface& s : lens->surfaces) missing.push_back(s.aperture <= 0), any = any || s.aperture <= 0;
  if (!any) return;
  double ep_z = 0, ratio = 0;
  if (!ParaxialEntrancePupil(*lens, &ep_z, &ratio))
    throw ImportError(lens->source + ": no paraxial ray reaches the stop; its clear apertures cannot be computed");
  double pupil = spec.pupil_diameter;
  if (!(pupil > 0) && spec.fnumber > 0) pupil = ImportedEfl(*lens) / spec.fnumber;
  if (!(pupil > 0) || !std::isfinite(pupil))
    throw ImportError(lens->source + ": the file gives no clear apertures and no entrance pupil or f-number "
                      "to compute them from; give the apertures in the file (or convert it with a table "
                      "that has them)");
  const bool at_infinity = !(spec.object_distance > 0) || std::isinf(spec.object_distance);
  if (spec.kind == ApertureSpec::kObjectHeight && at_infinity)
    throw ImportError(lens->source + ": fields are object heights but the object is at infinity");
  // The stop: as the entrance pupil asks.
  for (size_t i = 0; i < lens->surfaces.size(); ++i)
    if (missing[i] && lens->surfaces[i].radius == 0) lens->surfaces[i].aperture = pupil * ratio;

  std::vector<double> fields = spec.fields;
  if (fields.empty()) fields.push_back(0);
  const double efl = ImportedEfl(*lens);
  const std::vector<double> z = Vertices(*lens);
  std::vector<double> heights(lens->surfaces.size(), 0.0);
  int traced = 0, blocked = 0;
  for (double field : fields) {
    field = std::fabs(field);
    // The object point (or direction) of the field, in the y-z plane.
    V from, dir{0, 0, 1};
    if (at_infinity) {
      double angle = field * kPi / 180;
      if (spec.kind == ApertureSpec::kParaxialImageHeight) angle = std::atan(field / std::fabs(efl));
      dir = {0, std::sin(angle), std::cos(angle)};
    } else {
      double height = field;
      if (spec.kind == ApertureSpec::kAngle) height = std::tan(field * kPi / 180) * (spec.object_distance + ep_z);
      from = {0, -height, -spec.object_distance};
    }
    for (int k = 0; k <= kRimPoints; ++k) {
      // The rim of the pupil and its centre (the chief ray).
      const double phi = 2 * kPi * k / kRimPoints, rim = k == kRimPoints ? 0 : 0.5 * pupil;
      const V target{rim * std::cos(phi), rim * std::sin(phi), ep_z};
      RayT<double> ray;
      if (at_infinity) {
        // Start well ahead of every surface, on the line through the target.
        double ahead = ep_z - pupil;
        for (size_t i = 0; i < z.size(); ++i) {
          const double r = lens->surfaces[i].radius;
          ahead = std::min(ahead, z[i] - (r == 0 || std::isinf(r) ? 0.0 : std::fabs(r)) - pupil);
        }
        const double t = (target.z - ahead) / dir.z;
        ray = {target - dir * t, dir, 0};
      } else {
        ray = {from, (target - from).Normalized(), 0};
      }
      ++traced;
      if (!TraceHeights(*lens, z, ray, &heights)) ++blocked;
    }
  }
  if (blocked == traced)
    throw ImportError(lens->source + ": no real ray of the entrance pupil passes the lens; its clear apertures "
                      "cannot be computed");
  int filled = 0;
  for (size_t i = 0; i < lens->surfaces.size(); ++i) {
    ImportedSurface& s = lens->surfaces[i];
    if (!missing[i] || s.radius == 0) continue;
    // Rounded up to the tenth of a micrometre, as a short decimal.
    char text[40];
    snprintf(text, sizeof text, "%.4f", std::ceil(heights[i] / kRounding) * kRounding);
    double semi = std::strtod(text, nullptr);
    // A sphere's cap reaches at most its hemisphere.
    if (std::isfinite(s.radius) && !s.aspheric) semi = std::min(semi, std::fabs(s.radius));
    s.aperture = 2 * semi;
    ++filled;
  }
  std::string warning = "the file gives no clear apertures";
  if (filled + 1 < int(lens->surfaces.size())) warning = std::to_string(filled) + (filled == 1 ? " surface has" : " surfaces have") + " no clear aperture in the file";
  warning += ": computed as a design program does, from the real rays of the entrance pupil's rim (diameter " +
             Text(pupil) + " mm";
  if (!spec.described.empty()) warning += ", " + spec.described;
  warning += ") at " + std::to_string(fields.size()) + (fields.size() == 1 ? " field" : " fields");
  if (blocked) warning += "; " + std::to_string(blocked) + " of " + std::to_string(traced) + " rays missed a surface";
  lens->warnings.push_back(warning);
}

namespace {

// The surface's sag at height h: z from its vertex along the axis.
double SagAt(const ImportedSurface& s, double h) {
  if (s.radius == 0) return 0;
  const double c = std::isinf(s.radius) ? 0.0 : 1 / s.radius;
  if (s.aspheric) return AsphereSag(c, s.asphere, h * h);
  if (c == 0) return 0;
  const double arg = 1 - c * c * h * h;
  return arg >= 0 ? c * h * h / (1 + std::sqrt(arg)) : NAN;
}

}  // namespace

int KeepSurfacesApart(ImportedLens* lens) {
  std::vector<bool> narrowed(lens->surfaces.size());
  double travel = 1;
  for (size_t i = 0; i + 1 < lens->surfaces.size(); ++i) {
    ImportedSurface &a = lens->surfaces[i], &b = lens->surfaces[i + 1];
    if (a.mirror) travel = -travel;
    if (a.radius == 0 || b.radius == 0) continue;  // the stop is no material surface
    for (int step = 0; step < 100; ++step) {
      const double hmax = 0.5 * std::min(a.aperture, b.aperture);
      double least = INFINITY;
      for (int k = 0; k <= 64; ++k) {
        const double h = hmax * k / 64, d = travel * (a.thickness + SagAt(b, h) - SagAt(a, h));
        least = std::min(least, std::isfinite(d) ? d : -INFINITY);
      }
      if (least >= 0.1 * std::fabs(a.thickness)) break;
      a.aperture *= 0.95, b.aperture *= 0.95;
      narrowed[i] = narrowed[i + 1] = true;
    }
  }
  int count = 0;
  for (bool n : narrowed) count += n;
  return count;
}
