// SPDX-License-Identifier: Apache-2.0
// Camera movements: a shifted film is a part of a larger film, a level
// camera with its film shifted keeps verticals vertical where a camera
// tilted up makes them lean, and a tilted film's exit-pupil sampling keeps
// the light and its pass rate.
#include <dlfcn.h>

#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/transform.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

Sample At(float x, float y, float u, float v) {
  Sample s;
  s.imageX = x, s.imageY = y, s.lensU = u, s.lensV = v;
  return s;
}

std::unique_ptr<Camera> Make(const char* lens, int w, int h, float diag, std::vector<std::pair<const char*, float>> extra,
                             const Transform& w2c = Transform(), const char* sampling = "backelement") {
  ParamSet ps = RequiredParams(BundledLens(lens));
  ps.AddFloat("filmdiag", diag);
  ps.AddString("precision", "double");
  ps.AddString("sampling", sampling);
  for (const auto& e : extra) ps.AddFloat(e.first, e.second);
  // The films outlive every camera of the test program (a deque keeps
  // their addresses).
  static std::deque<Film> films;
  films.emplace_back(w, h);
  return std::unique_ptr<Camera>(RealisticFactory()(ps, w2c, &films.back()));
}

}  // namespace

// The right half of a 2:1 film, as its own square film shifted by a
// quarter of the width, gives the same rays at the same film points.
TEST(Movements, AShiftedFilmIsPartOfALargerOne) {
  const float width = 36.f, height = 18.f;
  // In double: the float trace's own rounding would hide what is compared.
  const std::vector<std::pair<const char*, float>> common = {{"aperture_diameter", 18.f}, {"focusdistance", 3000.f}};
  std::unique_ptr<Camera> large = Make("planar-50mm-f2.dat", 200, 100, std::hypot(width, height), common);
  auto shifted_params = common;
  shifted_params.push_back({"film_shift_x", width / 4});
  std::unique_ptr<Camera> part = Make("planar-50mm-f2.dat", 100, 100, std::hypot(width / 2, height), shifted_params);
  ASSERT_NE(large, nullptr);
  ASSERT_NE(part, nullptr);
  int compared = 0;
  for (int k = 0; k < 2000; ++k) {
    const float x = float(k % 100) + 0.5f, y = float(k / 20 % 100) + 0.25f;
    const float u = float(k * 37 % 101) / 101.f, v = float(k * 59 % 103) / 103.f;
    Ray a, b;
    const float wa = large->GenerateRay(At(x + 100.f, y, u, v), &a);
    const float wb = part->GenerateRay(At(x, y, u, v), &b);
    if (wa == 0 || wb == 0) {
      EXPECT_EQ(wa > 0, wb > 0) << k;  // only rays within rounding of a rim may differ
      continue;
    }
    ++compared;
    EXPECT_NEAR(a.o.x, b.o.x, 1e-3f);
    EXPECT_NEAR(a.o.y, b.o.y, 1e-3f);
    EXPECT_NEAR(a.d.x, b.d.x, 1e-5f);
    EXPECT_NEAR(a.d.y, b.d.y, 1e-5f);
    EXPECT_NEAR(wa, wb, 1e-5f * wa);
  }
  EXPECT_GT(compared, 500);
}

// A building's vertical edge off to the side, seen from below: a camera
// tilted up 12 degrees makes it lean in the image; a level camera whose
// film is shifted to frame the same view keeps it vertical. The edge's
// image is read from the world rays of one raster column: the rays of a
// level camera's column lie in one vertical plane (their azimuth is the
// same), so a vertical line in the scene lies along the column.
TEST(Movements, AShiftedFilmKeepsVerticalsVertical) {
  const float f = 100.f, shift = f * std::tan(12.f * 3.14159265f / 180);
  auto azimuths = [](const Camera& cam, float column) {
    std::vector<double> a;
    for (float row : {0.5f, 50.5f, 99.5f}) {
      Ray r;
      if (cam.GenerateRay(At(column, row, 0.5f, 0.5f), &r) == 0) return std::vector<double>{};
      a.push_back(std::atan2(double(r.d.x), double(r.d.z)) * 180 / 3.14159265358979);
    }
    return a;
  };
  const std::vector<std::pair<const char*, float>> common = {{"aperture_diameter", 6.f}, {"focusdistance", 20000.f}};
  auto shifted_params = common;
  shifted_params.push_back({"film_shift_y", -shift});  // the film down: the view up
  std::unique_ptr<Camera> level = Make("achromat-100mm-f4.dat", 150, 100, 43.27f, shifted_params);
  // The same view by turning the camera up about its x axis.
  const float a = 12.f * 3.14159265f / 180;
  const float pitch[4][4] = {{1, 0, 0, 0}, {0, std::cos(a), -std::sin(a), 0}, {0, std::sin(a), std::cos(a), 0}, {0, 0, 0, 1}};
  std::unique_ptr<Camera> pitched =
      Make("achromat-100mm-f4.dat", 150, 100, 43.27f, common, TransformFromMatrix(pitch).GetInverse());
  ASSERT_NE(level, nullptr);
  ASSERT_NE(pitched, nullptr);
  const std::vector<double> l = azimuths(*level, 140.5f), p = azimuths(*pitched, 140.5f);
  ASSERT_EQ(l.size(), 3u);
  ASSERT_EQ(p.size(), 3u);
  // Level and shifted: within 0.1 degree (0.084 here: the achromat's own
  // distortion, 33 mm off the axis at the top). Tilted up: 0.45 degrees.
  EXPECT_LT(std::fabs(l[0] - l[2]), 0.1) << "top and bottom of the column see one vertical plane";
  EXPECT_GT(std::fabs(p[0] - p[2]), 0.35) << "tilted up, the column's top and bottom look in different directions";
}

// A tilted film's exit-pupil sampling finds the pupil of each of its
// points (their distance to the lens varies across the film): the mean
// weight at film points across it equals the back element's, and most
// samples pass.
TEST(Movements, ATiltedFilmsExitPupilKeepsTheLight) {
  const std::vector<std::pair<const char*, float>> params = {
      {"aperture_diameter", 9.f}, {"focusdistance", 2000.f}, {"film_tilt_x", 8.f}, {"film_tilt_y", -5.f},
      {"film_shift_y", 3.f}};
  std::unique_ptr<Camera> pupil = Make("planar-50mm-f2.dat", 60, 40, 43.27f, params, Transform(), "exitpupil");
  std::unique_ptr<Camera> whole = Make("planar-50mm-f2.dat", 60, 40, 43.27f, params, Transform(), "backelement");
  ASSERT_NE(pupil, nullptr);
  ASSERT_NE(whole, nullptr);
  const int n = 96;
  for (const auto& point : {std::make_pair(30.f, 20.f), std::make_pair(2.f, 2.f), std::make_pair(58.f, 38.f),
                            std::make_pair(2.f, 38.f)}) {
    double sum_p = 0, sum_w = 0;
    int passed = 0;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) {
        Ray r;
        const float u = (float(i) + 0.5f) / n, v = (float(j) + 0.5f) / n;
        const float wp = pupil->GenerateRay(At(point.first, point.second, u, v), &r);
        sum_p += wp, passed += wp > 0;
        sum_w += whole->GenerateRay(At(point.first, point.second, u, v), &r);
      }
    SCOPED_TRACE(std::to_string(point.first) + "," + std::to_string(point.second));
    EXPECT_NEAR(sum_p / sum_w, 1.0, 0.02);
    EXPECT_GT(passed, n * n * 6 / 10);
  }
  // Refused: tilts of 45 degrees and more, numbers that are not finite.
  for (const auto& bad : std::vector<std::pair<const char*, float>>{
           {"film_tilt_x", 45.f}, {"film_tilt_y", -60.f}, {"film_shift_x", NAN}, {"film_tilt_x", INFINITY}}) {
    std::unique_ptr<Camera> cam = Make("planar-50mm-f2.dat", 60, 40, 43.27f, {{bad.first, bad.second}});
    EXPECT_EQ(cam, nullptr) << bad.first;
  }
}

// The batch lanes take each film point's own z: a shifted and tilted film
// gives GenerateRay's bits through them, in float and double, both
// sampling modes.
TEST(Movements, TheBatchEntryGivesGenerateRaysBits) {
  RealisticFactory();
  void* plugin = dlopen(REALISTIC_SO, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(plugin, nullptr);
  const auto batch = reinterpret_cast<decltype(&RealisticGenerateRays)>(dlsym(plugin, "RealisticGenerateRays"));
  ASSERT_NE(batch, nullptr);
  std::vector<Sample> samples;
  for (int k = 0; k < 6000; ++k)
    samples.push_back(At(float(k % 90) + 0.3f, float(k / 90) * 0.9f + 0.2f, float(k * 37 % 1009) / 1009.f,
                         float(k * 59 % 1013) / 1013.f));
  for (const char* precision : {"float", "double"})
    for (const char* sampling : {"backelement", "exitpupil"}) {
      SCOPED_TRACE(std::string(precision) + " " + sampling);
      ParamSet ps = RequiredParams(BundledLens("planar-50mm-f2.dat"));
      ps.AddString("precision", precision);
      ps.AddString("sampling", sampling);
      ps.AddFloat("aperture_diameter", 12.f);
      ps.AddFloat("focusdistance", 2000.f);
      ps.AddFloat("film_shift_x", -4.f);
      ps.AddFloat("film_tilt_x", 6.f);
      ps.AddFloat("film_tilt_y", 3.f);
      Film film(90, 60);
      std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
      ASSERT_NE(cam, nullptr);
      std::vector<Ray> rays(samples.size());
      std::vector<float> weights(samples.size());
      ASSERT_EQ(batch(cam.get(), int(samples.size()), samples.data(), rays.data(), weights.data()),
                int(samples.size()));
      int passed = 0;
      for (size_t i = 0; i < samples.size(); ++i) {
        Ray ray;
        const float w = cam->GenerateRay(samples[i], &ray);
        ASSERT_EQ(0, std::memcmp(&w, &weights[i], sizeof w)) << i;
        ASSERT_EQ(0, std::memcmp(&ray, &rays[i], sizeof ray)) << i;
        passed += w > 0;
      }
      EXPECT_GT(passed, 1000);
    }
}
