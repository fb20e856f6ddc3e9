// SPDX-License-Identifier: Apache-2.0
#include "optics/vignetting.h"

#include <cmath>
#include <random>

#include "realistic/lens_error.h"

FilmPointLight LightAtFilmPoint(const LensStack& lens, float film_z, float x, int grid) {
  std::mt19937 rng(12345);
  std::uniform_real_distribution<float> jitter(0.f, 1.f);
  const Point f(x, 0.f, film_z);
  int passed = 0;
  double exit_light = 0, film_light = 0;
  for (int a = 0; a < grid; ++a)
    for (int b = 0; b < grid; ++b) {
      const Point l = lens.SampleBackElement((a + jitter(rng)) / grid, (b + jitter(rng)) / grid);
      const Vector d = Normalize(l - f);
      Ray out;
      try {
        if (!lens.TraceFilmToWorld(Ray(f, d), &out)) continue;
      } catch (const LensError&) {
        continue;
      }
      ++passed;
      exit_light += std::pow(double(out.d.z), 4.0);
      film_light += std::pow(double(d.z), 4.0);
    }
  const double n = double(grid) * grid;
  return {passed / n, exit_light / n, film_light / n};
}
