// SPDX-License-Identifier: Apache-2.0
#include "optics/first_order.h"

#include <algorithm>
#include <cmath>

#include "optics/chief_ray.h"
#include "optics/coverage.h"
#include "optics/distant_rays.h"
#include "optics/vignetting.h"
#include "realistic/dispersion.h"

namespace {

constexpr double kDegrees = 180.0 / 3.14159265358979323846;

// Percent by which the real image height h of field angle theta differs
// from the distortion-free paraxial one, scale * tan(theta) (f tan(theta)
// with the film at the focal plane).
double Distortion(double h, double theta, double scale) {
  const double ideal = scale * std::tan(theta);
  return 100.0 * (h - ideal) / ideal;
}

}  // namespace

double AxialBeamFNumber(const LensStack& lens, double efl) {
  // The grid covers the widest cap in front of the stop, which bounds the
  // entrance beam; cells of 1/160 of it put the area within about 1%.
  constexpr int kCells = 160;
  float radius = 0.f;
  for (int i = 0; i <= lens.GetIndexOfStop(); ++i)
    radius = std::max(radius, 0.5f * std::fabs(lens.GetInterfaces()[size_t(i)].GetDiameter()));
  const float z = NearPlaneZ(lens);
  const double cell = 2.0 * radius / kCells;
  int passed = 0;
  for (int j = 0; j < kCells; ++j)
    for (int i = 0; i < kCells; ++i) {
      const float x = float(-radius + (i + 0.5) * cell), y = float(-radius + (j + 0.5) * cell);
      Ray out;
      try {
        passed += lens.TraceWorldToFilm(Ray(Point(x, y, z), Vector(0.f, 0.f, 1.f), 0.f), &out);
      } catch (const std::exception&) {
      }
    }
  const double area = passed * cell * cell;
  const double pi = 3.14159265358979323846;
  return area > 0 ? efl / (2 * std::sqrt(area / pi)) : INFINITY;
}

FirstOrder ComputeFirstOrder(const LensStack& lens, const FilmSetup& film) {
  FirstOrder r;
  r.paraxial = ComputeParaxial(lens);
  r.f_number_real = AxialBeamFNumber(lens, r.paraxial.efl);
  if (film.focus > 0) r.working_f_number = WorkingFNumber(lens, film.focus);
  r.filmdistance = film.filmdistance >= 0 ? film.filmdistance
                   : film.focus > 0       ? ParaxialFilmDistance(lens, film.focus)
                                          : r.paraxial.bfl;
  const double film_z = lens.GetLensDepth() + r.filmdistance;
  const double scale = ParaxialImageScale(lens, r.paraxial, r.filmdistance);

  const double hx = 0.5 * film.width, hy = 0.5 * film.height, hd = std::hypot(hx, hy);
  const double tx = ChiefRayFieldAngle(lens, film_z, hx);
  const double ty = ChiefRayFieldAngle(lens, film_z, hy);
  const double td = ChiefRayFieldAngle(lens, film_z, hd);
  r.fov_horizontal = 2 * std::fabs(tx) * kDegrees;
  r.fov_vertical = 2 * std::fabs(ty) * kDegrees;
  r.fov_diagonal = 2 * std::fabs(td) * kDegrees;
  // A film point above the axis sees the scene below it: image height and
  // field angle have opposite signs, so compare magnitudes.
  r.distortion_edge_x = Distortion(hx, std::fabs(tx), scale);
  r.distortion_edge_y = Distortion(hy, std::fabs(ty), scale);
  r.distortion_corner = Distortion(hd, std::fabs(td), scale);

  const Coverage coverage = ComputeCoverage(lens, float(film_z), std::max(1e-3, r.paraxial.efl / 100));
  r.image_circle = coverage.lit, r.image_circle_half_light = coverage.half_lit;
  r.covering_circle = CoveringCircle(lens, float(film_z), std::max(1e-3, r.paraxial.efl / 100));

  const FilmPointLight centre = LightAtFilmPoint(lens, float(film_z), 0.f);
  const FilmPointLight corner = LightAtFilmPoint(lens, float(film_z), float(hd));
  if (centre.illumination_exit > 0) {
    r.illumination_corner = corner.illumination_exit / centre.illumination_exit;
    r.illumination_corner_film = corner.illumination_film / centre.illumination_film;
  }

  r.has_chromatic = ComputeChromatic(lens, &r.chromatic);
  if (r.has_chromatic && std::isfinite(td)) {
    LensStack blue = lens, red = lens;
    blue.SetWavelength(float(kLineF));
    red.SetWavelength(float(kLineC));
    // The corner's field angle in d light, imaged in F and in C light.
    r.lateral_colour_corner = std::fabs(ChiefRayImageHeight(blue, film_z, td)) -
                              std::fabs(ChiefRayImageHeight(red, film_z, td));
  }
  return r;
}
