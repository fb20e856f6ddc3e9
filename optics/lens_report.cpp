// SPDX-License-Identifier: Apache-2.0
#include "optics/lens_report.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <stdexcept>

#include "optics/best_focus.h"
#include "optics/chief_ray.h"
#include "optics/coverage.h"
#include "optics/mtf.h"
#include "optics/paraxial.h"
#include "optics/vignetting.h"
#include "realistic/dispersion.h"
#include "realistic/lens_error.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegrees = 180 / kPi;
// The three colours: C, d and F.
const double kLines[3] = {kLineC, kLineD, kLineF};
// Points of the maker's chart across the field, and of the MTF curves.
constexpr int kChartHeights = 11;
constexpr int kCurvePoints = 81;
// Pupil grids: the chart's, and the curves' at three fields.
constexpr int kChartGrid = 48;
constexpr int kCurveGrid = 96;
constexpr int kSpotGrid = 25;
constexpr int kRmsGrid = 64;
constexpr int kBokehGrid = 64;

// The lens in light of one colour (itself where it has no dispersion).
LensStack InColour(const LensStack& lens, double nanometres) {
  LensStack l = lens;
  if (lens.HasDispersion()) l.SetWavelength(float(nanometres));
  return l;
}

// A film height's field angle (degrees, positive), from the chief ray.
double FieldAngle(const LensStack& lens, double film_z, double h) {
  if (h == 0) return 0;
  const double theta = ChiefRayFieldAngle(lens, film_z, h);
  return std::isfinite(theta) ? std::fabs(theta) * kDegrees : NAN;
}

// The white-light OTF of three pupil functions, weighted alike.
double WhiteMtf(const std::array<PupilFunction, 3>& p, double nu, bool along_y) {
  std::complex<double> sum = 0;
  int count = 0;
  for (const PupilFunction& f : p)
    if (f.passed > 0) sum += OtfAt(f, nu, along_y), ++count;
  return count ? std::abs(sum) / count : 0;
}

// The three colours' pupil functions of one field, on the d chief ray's
// image point.
std::array<PupilFunction, 3> Pupils(const std::array<LensStack, 3>& colours, double film_z, double angle,
                                    double object, int grid) {
  std::array<PupilFunction, 3> p;
  p[1] = ComputePupilFunction(colours[1], film_z, angle, object, kLines[1], grid);
  for (int c : {0, 2})
    p[size_t(c)] = ComputePupilFunction(colours[size_t(c)], film_z, angle, object, kLines[c], grid, &p[1]);
  return p;
}

// Where the ray through the entrance pupil's centre from the field angle
// theta (radians) lands on the film, traced in double.
bool LandCentreRay(const LensStack& l, const Paraxial& par, double film_z, double theta, double object, double* fx,
                   double* fy) {
  const Vec3T<double> dir{0, std::sin(theta), std::cos(theta)};
  const Vec3T<double> target{0, 0, par.entrance.z};
  double ahead = std::min(0.0, par.entrance.z);
  for (const ExactSurface& e : l.GetExactSurfaces()) ahead = std::min(ahead, e.zintercept - std::fabs(e.diameter));
  RayT<double> in;
  if (object > 0) {
    const Vec3T<double> from{0, -std::tan(theta) * (object + par.entrance.z), -object};
    in = {from, (target - from).Normalized(), 0};
  } else {
    in = {target - dir * ((par.entrance.z - ahead + 1) / dir.z), dir, 0};
  }
  RayT<double> out;
  try {
    const bool passed = l.HasObscuration() ? l.WithoutObscurations().TraceWorldToFilmExact(in, &out)
                                           : l.TraceWorldToFilmExact(in, &out);
    if (!passed || !(out.d.z > 0)) return false;
  } catch (const LensError&) {
    return false;
  }
  const double t = (film_z - out.o.z) / out.d.z;
  *fx = out.o.x + t * out.d.x, *fy = out.o.y + t * out.d.y;
  return true;
}

}  // namespace

LensReport ComputeLensReport(const LensStack& lens_in, const ReportSettings& settings) {
  LensStack lens = lens_in;
  lens.SetExact(true);
  LensReport r;
  const Paraxial par = ComputeParaxial(lens);
  if (!(par.efl > 0)) throw std::runtime_error("the lens has no positive focal length to report on");
  r.efl = par.efl, r.f_number = par.f_number;
  r.entrance_pupil = par.entrance.diameter, r.entrance_pupil_z = par.entrance.z;
  r.exit_pupil = par.exit.diameter, r.exit_pupil_z = par.exit.z;
  const double object = settings.focus > 0 ? settings.focus : 0;
  r.working_f_number = object > 0 ? WorkingFNumber(lens, object) : par.f_number;
  if (settings.filmdistance >= 0) {
    r.filmdistance = settings.filmdistance;
  } else {
    const BestFocus focus = ComputeBestFocus(lens, object > 0 ? object : 1e12);
    r.filmdistance = focus.best;
    r.best_focus_rms = focus.rms_best;
  }
  const double depth = lens.GetLensDepthExact();
  r.film_z = depth + r.filmdistance;
  r.film_width = settings.film_width, r.film_height = settings.film_height;
  r.corner = 0.5 * std::hypot(settings.film_width, settings.film_height);
  r.field_of_view = 2 * FieldAngle(lens, r.film_z, r.corner);
  const Coverage coverage = ComputeCoverage(lens, float(r.film_z), std::max(1e-3, par.efl / 100));
  r.image_circle = coverage.lit, r.image_circle_half_light = coverage.half_lit;
  r.has_dispersion = lens.HasDispersion();
  const std::array<LensStack, 3> colours{InColour(lens, kLines[0]), InColour(lens, kLines[1]),
                                         InColour(lens, kLines[2])};
  r.cutoff = 1 / (kLineD * 1e-6 * r.working_f_number);
  r.airy_radius = 1.22 * kLineD * 1e-6 * r.working_f_number;

  // The maker's chart across the field.
  for (int k = 0; k < kChartHeights; ++k) {
    const double h = r.corner * k / (kChartHeights - 1), angle = FieldAngle(lens, r.film_z, h);
    if (!std::isfinite(angle)) continue;
    const std::array<PupilFunction, 3> p = Pupils(colours, r.film_z, angle, object, kChartGrid);
    if (p[1].passed == 0) continue;
    r.sagittal10.x.push_back(h), r.sagittal10.y.push_back(WhiteMtf(p, 10, false));
    r.tangential10.x.push_back(h), r.tangential10.y.push_back(WhiteMtf(p, 10, true));
    r.sagittal30.x.push_back(h), r.sagittal30.y.push_back(WhiteMtf(p, 30, false));
    r.tangential30.x.push_back(h), r.tangential30.y.push_back(WhiteMtf(p, 30, true));
  }

  // The MTF against frequency at the centre, 70% of the way and the corner.
  for (double share : {0.0, 0.7, 1.0}) {
    MtfAtField m;
    m.height = share * r.corner, m.angle = FieldAngle(lens, r.film_z, m.height);
    if (!std::isfinite(m.angle)) continue;
    const std::array<PupilFunction, 3> p = Pupils(colours, r.film_z, m.angle, object, kCurveGrid);
    if (p[1].passed == 0) continue;
    for (int k = 0; k < kCurvePoints; ++k) {
      // Denser at low frequencies, where a real lens's curve falls fastest.
      const double t = double(k) / (kCurvePoints - 1), nu = r.cutoff * t * t;
      m.frequency.push_back(nu);
      m.sagittal_d.push_back(std::abs(OtfAt(p[1], nu, false)));
      m.tangential_d.push_back(std::abs(OtfAt(p[1], nu, true)));
      m.sagittal_poly.push_back(WhiteMtf(p, nu, false));
      m.tangential_poly.push_back(WhiteMtf(p, nu, true));
    }
    r.mtf.push_back(m);
  }

  // Spot diagrams at five fields: a grid over the entrance pupil (a little
  // wider, for the pupil's real edge), landing on the film.
  for (int k = 0; k < 5; ++k) {
    SpotAtField s;
    s.height = r.corner * k / 4, s.angle = FieldAngle(lens, r.film_z, s.height);
    if (!std::isfinite(s.angle)) continue;
    const double theta = s.angle / kDegrees, rp = 0.55 * par.entrance.diameter;
    const Vec3T<double> dir{0, std::sin(theta), std::cos(theta)};
    const Vec3T<double> from{0, -std::tan(theta) * (object + par.entrance.z), -object};
    double ahead = std::min(0.0, par.entrance.z);
    for (const ExactSurface& e : lens.GetExactSurfaces()) ahead = std::min(ahead, e.zintercept - std::fabs(e.diameter));
    auto land = [&](const LensStack& l, double x, double y, double* fx, double* fy) {
      const Vec3T<double> target{x, y, par.entrance.z};
      RayT<double> in;
      if (object > 0) {
        in = {from, (target - from).Normalized(), 0};
      } else {
        in = {target - dir * ((par.entrance.z - ahead + 1) / dir.z), dir, 0};
      }
      RayT<double> out;
      try {
        if (!l.TraceWorldToFilmExact(in, &out) || !(out.d.z > 0)) return false;
      } catch (const LensError&) {
        return false;
      }
      const double t = (r.film_z - out.o.z) / out.d.z;
      *fx = out.o.x + t * out.d.x, *fy = out.o.y + t * out.d.y;
      return true;
    };
    double cx, cy;
    // The chief ray is a reference: an obscuration does not stop it.
    if (!(colours[1].HasObscuration() ? land(colours[1].WithoutObscurations(), 0, 0, &cx, &cy)
                                      : land(colours[1], 0, 0, &cx, &cy)))
      continue;
    // The RMS radii from a fine grid (as best focus samples its bundle);
    // the drawing keeps a coarser one.
    double all_x = 0, all_y = 0, all_xx = 0;
    int all = 0;
    for (int c = 0; c < 3; ++c) {
      std::vector<std::array<double, 2>> fine;
      for (int j = 0; j < kRmsGrid; ++j)
        for (int i = 0; i < kRmsGrid; ++i) {
          const double x = rp * (2.0 * (i + 0.5) / kRmsGrid - 1), y = rp * (2.0 * (j + 0.5) / kRmsGrid - 1);
          if (x * x + y * y > rp * rp) continue;
          double fx, fy;
          if (land(colours[size_t(c)], x, y, &fx, &fy)) fine.push_back({fx - cx, fy - cy});
        }
      double mx = 0, my = 0;
      for (const auto& q : fine) mx += q[0], my += q[1];
      if (!fine.empty()) mx /= double(fine.size()), my /= double(fine.size());
      double sum = 0;
      for (const auto& q : fine) sum += (q[0] - mx) * (q[0] - mx) + (q[1] - my) * (q[1] - my);
      s.rms[size_t(c)] = fine.empty() ? NAN : std::sqrt(sum / double(fine.size()));
      for (const auto& q : fine) all_x += q[0], all_y += q[1], all_xx += q[0] * q[0] + q[1] * q[1], ++all;
      auto& pts = s.points[size_t(c)];
      for (int j = 0; j < kSpotGrid; ++j)
        for (int i = 0; i < kSpotGrid; ++i) {
          const double x = rp * (2.0 * (i + 0.5) / kSpotGrid - 1), y = rp * (2.0 * (j + 0.5) / kSpotGrid - 1);
          if (x * x + y * y > rp * rp) continue;
          double fx, fy;
          if (land(colours[size_t(c)], x, y, &fx, &fy)) pts.push_back({fx - cx, fy - cy});
        }
    }
    if (all) {
      all_x /= all, all_y /= all;
      s.rms_poly = std::sqrt(std::max(0.0, all_xx / all - all_x * all_x - all_y * all_y));
    }
    r.spots.push_back(s);
  }

  // Distortion, illumination and lateral colour across the field.
  const double scale = ParaxialImageScale(lens, par, r.filmdistance);
  const FilmPointLight centre = LightAtFilmPoint(lens, float(r.film_z), 0.f);
  for (int k = 0; k <= 20; ++k) {
    const double h = r.corner * k / 20;
    if (k > 0) {
      const double theta = FieldAngle(lens, r.film_z, h) / kDegrees;
      if (std::isfinite(theta)) {
        const double ideal = scale * std::tan(theta);
        r.distortion.x.push_back(h), r.distortion.y.push_back(100.0 * (h - ideal) / ideal);
        if (r.has_dispersion) {
          // The ray through the entrance pupil's centre, in double: the
          // chief-ray solver's float rays would add micrometres of noise.
          double x, yc, yf;
          if (LandCentreRay(colours[0], par, r.film_z, theta, object, &x, &yc) &&
              LandCentreRay(colours[2], par, r.film_z, theta, object, &x, &yf))
            r.lateral_colour.x.push_back(h), r.lateral_colour.y.push_back(std::fabs(yf) - std::fabs(yc));
        }
      }
    }
    if (centre.illumination_exit > 0) {
      const FilmPointLight at = k == 0 ? centre : LightAtFilmPoint(lens, float(r.film_z), float(h));
      r.illumination_exit.x.push_back(h), r.illumination_exit.y.push_back(at.illumination_exit / centre.illumination_exit);
      r.illumination_film.x.push_back(h), r.illumination_film.y.push_back(at.illumination_film / centre.illumination_film);
    }
  }

  // Longitudinal colour: the paraxial focus against wavelength.
  if (r.has_dispersion) {
    const double d_focus = object > 0 ? ParaxialFilmDistance(colours[1], object) : ComputeParaxial(colours[1]).bfl;
    for (double nm = 420; nm <= 700; nm += 10) {
      const LensStack l = InColour(lens, nm);
      const double f = object > 0 ? ParaxialFilmDistance(l, object) : ComputeParaxial(l).bfl;
      r.longitudinal_colour.x.push_back(nm), r.longitudinal_colour.y.push_back(f - d_focus);
    }
  }

  // The out-of-focus highlight's shape: which part of the back element
  // passes light to five film points along +x.
  // The grid spans the square around the light that passes at any of the
  // five points (a first pass over the whole disc finds it), so that a
  // small pupil's shape is drawn as finely as a large one's.
  const double back = 0.5 * std::fabs(lens.GetExactSurfaces().back().diameter);
  auto passes = [&](double height, double x, double y) {
    if (x * x + y * y > back * back) return false;
    const Vec3T<double> film{height, 0, r.film_z}, to{x, y, depth};
    RayT<double> out;
    try {
      return lens.TraceFilmToWorldExact({film, (to - film).Normalized(), kExactMint<double>}, &out);
    } catch (const LensError&) {
      return false;
    }
  };
  // Each field's light is found on a grid over the whole disc, then drawn
  // on a finer one around it: one size for all five, each centred on its
  // own light, so that a small pupil's shape shows as well as a large one's.
  std::array<std::array<double, 4>, 5> boxes;  // x0, x1, y0, y1
  double extent = 0;
  for (int k = 0; k < 5; ++k) {
    auto& b = boxes[size_t(k)];
    b = {INFINITY, -INFINITY, INFINITY, -INFINITY};
    for (int j = 0; j < kBokehGrid; ++j)
      for (int i = 0; i < kBokehGrid; ++i) {
        const double x = back * (2.0 * (i + 0.5) / kBokehGrid - 1), y = back * (1 - 2.0 * (j + 0.5) / kBokehGrid);
        if (!passes(r.corner * k / 4, x, y)) continue;
        b = {std::min(b[0], x), std::max(b[1], x), std::min(b[2], y), std::max(b[3], y)};
      }
    if (b[0] <= b[1]) extent = std::max({extent, 0.5 * (b[1] - b[0]), 0.5 * (b[3] - b[2])});
  }
  extent = std::min(back, extent + 2 * back / kBokehGrid);
  r.bokeh_extent = extent;
  for (int k = 0; k < 5; ++k) {
    BokehAtField b;
    b.height = r.corner * k / 4, b.grid = kBokehGrid;
    const auto& box = boxes[size_t(k)];
    if (box[0] <= box[1]) b.centre_x = 0.5 * (box[0] + box[1]), b.centre_y = 0.5 * (box[2] + box[3]);
    b.pass.assign(size_t(kBokehGrid) * kBokehGrid, 0);
    for (int j = 0; j < kBokehGrid; ++j)
      for (int i = 0; i < kBokehGrid; ++i) {
        const double x = b.centre_x + extent * (2.0 * (i + 0.5) / kBokehGrid - 1);
        const double y = b.centre_y + extent * (1 - 2.0 * (j + 0.5) / kBokehGrid);
        b.pass[size_t(j * kBokehGrid + i)] = passes(b.height, x, y);
      }
    r.bokeh.push_back(b);
  }

  r.ghosts = ComputeGhostPaths(lens, r.film_z, settings.coated);
  return r;
}
