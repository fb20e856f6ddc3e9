// SPDX-License-Identifier: Apache-2.0
// The weight's angle: the exit ray's (the default) or the film-side ray's
// ("weight" "film"), and what each does to the light across the film.
#include <cmath>
#include <cstring>
#include <random>

#include <gtest/gtest.h>

#include "core/sampling.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

constexpr float kPi = 3.1415927f;

struct LensSetup {
  const char* lens;
  float filmdistance, aperture, filmdiag;
};

// A wide film (4:1) so that points well off the axis lie on it.
constexpr int kXRes = 400, kYRes = 100;

std::unique_ptr<Camera> MakeWeightedCamera(const LensSetup& s, Film* film, const char* weight,
                                           const char* sampling = "backelement") {
  ParamSet ps = RequiredParams(BundledLens(s.lens));
  ps.AddFloat("filmdistance", s.filmdistance);
  ps.AddFloat("aperture_diameter", s.aperture);
  ps.AddFloat("filmdiag", s.filmdiag);
  if (weight) ps.AddString("weight", weight);
  ps.AddString("sampling", sampling);
  return MakeCamera(ps, film);
}

// The film-side weight written out from its definition: the film point
// of the raster position and the back-element point of the lens sample,
// the unit direction between them, and pi r^2 / z^2 cos^4 of its angle
// to the axis, each step rounded to float where the camera rounds.
float FilmSideWeightModel(const LensStack& lens, const LensSetup& s, float image_x, float image_y,
                          float u, float v) {
  const float depth = lens.GetLensDepth();
  const float aspect = float(double(kXRes) / kYRes);
  const float y = sqrtf(float(double(s.filmdiag) * s.filmdiag / (double(aspect) * aspect + 1.0)));
  const Point corner(aspect * y * 0.5f, y * 0.5f, depth + s.filmdistance);
  const float fx = float(double(image_x) / kXRes), fy = float(double(image_y) / kYRes);
  const Point film(float((2.0 * fx - 1.0) * corner.x), float((2.0 * fy - 1.0) * corner.y), corner.z);
  float dx, dy;
  ConcentricSampleDisk(u, v, &dx, &dy);
  const float r = lens.GetBackElementDiameter() * 0.5f;
  const Vector d = Normalize(Point(dx * r, dy * r, depth) - film);
  const float z = corner.z - depth;
  const float scale = float((r * kPi) * r / (double(z) * z));
  return scale * powf(-d.z, 4.f);
}

// Mean weight at a film point x lens units right of the centre, over a
// stratified grid of lens samples.
double MeanWeight(const Camera& cam, const Point& corner, float x) {
  constexpr int kGrid = 96;
  double sum = 0;
  Sample sample;
  sample.imageX = kXRes * (0.5f + x / (2 * corner.x));
  sample.imageY = kYRes * 0.5f;
  Ray ray;
  for (int i = 0; i < kGrid; ++i)
    for (int j = 0; j < kGrid; ++j) {
      sample.lensU = (i + 0.5f) / kGrid;
      sample.lensV = (j + 0.5f) / kGrid;
      sum += cam.GenerateRay(sample, &ray);
    }
  return sum / (kGrid * kGrid);
}

Point Corner(const LensSetup& s) {
  const float aspect = float(kXRes) / kYRes;
  const float y = std::sqrt(s.filmdiag * s.filmdiag / (aspect * aspect + 1));
  return Point(aspect * y / 2, y / 2, 0);
}

const LensSetup kFisheye{"fisheye-5mm-f1.8.dat", 21.1f, 17.39f, 14.f};
const LensSetup kDoubleGauss{"double-gauss-100mm-f2.dat", 58.f, 31.71f, 43.27f};
const LensSetup kTessar{"tessar-101mm-f4.5.dat", 90.f, 10.f, 43.27f};

}  // namespace

TEST(FilmWeight, AgreesBitForBitWithItsDefinition) {
  Film film(kXRes, kYRes);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uniform(0.f, 1.f);
  for (const LensSetup& s : {kFisheye, kDoubleGauss, kTessar}) {
    SCOPED_TRACE(s.lens);
    const LensStack lens(BundledLens(s.lens));
    std::unique_ptr<Camera> cam = MakeWeightedCamera(s, &film, "film");
    ASSERT_NE(cam, nullptr);
    int passed = 0;
    for (int k = 0; k < 20000; ++k) {
      const float x = uniform(rng) * kXRes, y = uniform(rng) * kYRes, u = uniform(rng),
                  v = uniform(rng);
      Sample sample;
      sample.imageX = x, sample.imageY = y, sample.lensU = u, sample.lensV = v;
      Ray ray;
      const float w = cam->GenerateRay(sample, &ray);
      if (w == 0.f) continue;
      ++passed;
      ASSERT_EQ(w, FilmSideWeightModel(lens, s, x, y, u, v)) << x << " " << y << " " << u << " " << v;
    }
    EXPECT_GT(passed, 1000);
  }
}

TEST(FilmWeight, RaysAreTheSameEitherWay) {
  Film film(kXRes, kYRes);
  std::unique_ptr<Camera> exit = MakeWeightedCamera(kTessar, &film, "exit");
  std::unique_ptr<Camera> film_side = MakeWeightedCamera(kTessar, &film, "film");
  std::unique_ptr<Camera> unset = MakeWeightedCamera(kTessar, &film, nullptr);
  for (int k = 0; k < 2000; ++k) {
    Sample s;
    s.imageX = float(k % 40) * 10.f + 3.f, s.imageY = float(k / 40) * 2.f + 1.f;
    s.lensU = float(k * 37 % 101) / 101.f, s.lensV = float(k * 59 % 103) / 103.f;
    Ray a, b, c;
    const float wa = exit->GenerateRay(s, &a), wb = film_side->GenerateRay(s, &b);
    EXPECT_EQ(wa, unset->GenerateRay(s, &c));
    EXPECT_EQ(wa == 0.f, wb == 0.f);
    EXPECT_EQ(0, std::memcmp(&a, &b, sizeof a));
  }
}

TEST(FilmWeight, NearlyTheExitWeightWhereTheAnglesAgree) {
  // The double Gauss is nearly symmetric about its stop. Focused at unit
  // magnification (film 2f behind the rear principal plane), a ray near
  // the axis leaves at about the angle at which it came from the film.
  // (Focused at infinity the two differ by design: the exit bundle is
  // parallel, the film-side cone f/2.)
  const LensSetup unit{"double-gauss-100mm-f2.dat", 161.6f, 31.71f, 43.27f};
  Film film(kXRes, kYRes);
  const Point corner = Corner(unit);
  std::unique_ptr<Camera> exit = MakeWeightedCamera(unit, &film, "exit");
  std::unique_ptr<Camera> film_side = MakeWeightedCamera(unit, &film, "film");
  for (float x : {0.f, 2.f}) {
    const double a = MeanWeight(*exit, corner, x), b = MeanWeight(*film_side, corner, x);
    EXPECT_NEAR(b / a, 1.0, 0.02) << x;
  }
}

TEST(FilmWeight, FisheyeImageStaysLitOffTheAxis) {
  // With the exit angle a fisheye's image falls to black long before its
  // rim: its rays leave at up to 85 degrees although they meet the film
  // almost square on.
  Film film(kXRes, kYRes);
  const Point corner = Corner(kFisheye);
  for (const char* sampling : {"backelement", "exitpupil"}) {
    SCOPED_TRACE(sampling);
    std::unique_ptr<Camera> exit = MakeWeightedCamera(kFisheye, &film, "exit", sampling);
    std::unique_ptr<Camera> film_side = MakeWeightedCamera(kFisheye, &film, "film", sampling);
    const double exit_share = MeanWeight(*exit, corner, 5.f) / MeanWeight(*exit, corner, 0.f);
    const double film_share = MeanWeight(*film_side, corner, 5.f) / MeanWeight(*film_side, corner, 0.f);
    EXPECT_GT(film_share, 0.5);
    EXPECT_LT(exit_share, 0.15);
  }
}

TEST(FilmWeight, OtherValuesAreRefused) {
  Film film(kXRes, kYRes);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(MakeWeightedCamera(kTessar, &film, "cos4"), nullptr);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find(
                "realistic: camera parameter \"weight\" is \"cos4\"; expected \"exit\" or \"film\""),
            std::string::npos);
}
