// SPDX-License-Identifier: Apache-2.0
// A bladed iris: the stop's opening as a regular polygon, and what it does
// to the light through the camera.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "realistic/lens_error.h"
#include "realistic/lens_interface.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The polygon's area over its circumcircle's.
double AreaShare(int n) { return n / 2.0 * std::sin(2 * kPi / n) / kPi; }

// How far from the axis the stop lets a ray through along direction phi,
// found by bisection on rays parallel to the axis.
double EdgeRadius(const LensInterface& stop, double phi) {
  double lo = 0, hi = stop.GetDiameter();
  for (int i = 0; i < 50; ++i) {
    const double r = 0.5 * (lo + hi);
    Point hit;
    Vector normal;
    const Ray ray(Point(float(r * std::cos(phi)), float(r * std::sin(phi)), -1.f), Vector(0, 0, 1));
    (stop.Intersect(ray, &hit, &normal) ? lo : hi) = r;
  }
  return lo;
}

// A stop alone in air, 4 across, 50 in front of the film: rays pass it
// unbent and nearly square on (cos^4 at its rim is 0.997), so the mean
// weight at the film's centre is the open area's share.
std::unique_ptr<Camera> StopOnly(Film* film, int blades, float rotation) {
  ParamSet ps = RequiredParams(WriteTestFile("stop.dat", "0\t1\t1\t4\n"));
  ps.AddFloat("aperture_diameter", 4.f);
  ps.AddFloat("filmdistance", 50.f);
  if (blades) ps.AddFloat("aperture_blades", float(blades));
  if (rotation != 0.f) ps.AddFloat("aperture_rotation", rotation);
  return MakeCamera(ps, film);
}

// Weights at the film's centre over a stratified grid of lens samples.
std::vector<float> CentreWeights(const Camera& cam) {
  constexpr int kGrid = 300;
  std::vector<float> w;
  Sample s;
  s.imageX = cam.film->xResolution * 0.5f;
  s.imageY = cam.film->yResolution * 0.5f;
  Ray ray;
  for (int i = 0; i < kGrid; ++i)
    for (int j = 0; j < kGrid; ++j) {
      s.lensU = (i + 0.5f) / kGrid;
      s.lensV = (j + 0.5f) / kGrid;
      w.push_back(cam.GenerateRay(s, &ray));
    }
  return w;
}

double Mean(const std::vector<float>& w) {
  double sum = 0;
  for (float x : w) sum += x;
  return sum / double(w.size());
}

}  // namespace

TEST(Iris, OpeningIsTheInscribedRegularPolygon) {
  for (int n : {3, 5, 6, 9, 32}) {
    for (float rotation : {0.f, 20.f}) {
      SCOPED_TRACE(testing::Message() << n << " blades, rotated " << rotation);
      LensInterface stop(0.f, 8.f, 1.f, 10.f);
      stop.SetBlades(n, rotation);
      EXPECT_EQ(stop.GetBlades(), n);
      // Around the opening the edge's distance from the axis swings n
      // times between the circumradius (at a vertex) and the apothem.
      const int kSteps = 720;
      std::vector<double> r(kSteps);
      for (int k = 0; k < kSteps; ++k) r[size_t(k)] = EdgeRadius(stop, 2 * kPi * k / kSteps);
      int peaks = 0;
      for (int k = 0; k < kSteps; ++k) {
        const double before = r[size_t((k + kSteps - 1) % kSteps)], after = r[size_t((k + 1) % kSteps)];
        peaks += r[size_t(k)] > before && r[size_t(k)] >= after;
      }
      EXPECT_EQ(peaks, n);
      const double vertex = rotation * kPi / 180, mid_edge = vertex + kPi / n;
      EXPECT_NEAR(EdgeRadius(stop, vertex), 5.0, 1e-4);
      EXPECT_NEAR(EdgeRadius(stop, mid_edge), 5.0 * std::cos(kPi / n), 1e-4);
    }
  }
}

TEST(Iris, RoundAgainAndOnlyForTheStop) {
  LensInterface stop(0.f, 8.f, 1.f, 10.f);
  stop.SetBlades(6, 0.f);
  stop.SetBlades(0, 0.f);
  EXPECT_NEAR(EdgeRadius(stop, kPi / 6), 5.0, 1e-4);
  LensInterface glass(20.f, 0.f, 1.5f, 10.f);
  EXPECT_THROW(glass.SetBlades(6, 0.f), ConsistencyError);
}

TEST(Iris, MeanWeightScalesWithThePolygonsArea) {
  Film film(64, 64);
  const double round = Mean(CentreWeights(*StopOnly(&film, 0, 0.f)));
  ASSERT_GT(round, 0);
  for (int n : {5, 6, 9}) {
    SCOPED_TRACE(n);
    const std::vector<float> upright = CentreWeights(*StopOnly(&film, n, 0.f));
    const std::vector<float> turned = CentreWeights(*StopOnly(&film, n, 17.f));
    EXPECT_NEAR(Mean(upright) / round / AreaShare(n), 1.0, 0.01);
    // Turning the blades keeps the area and changes which rays pass.
    EXPECT_NEAR(Mean(turned) / Mean(upright), 1.0, 0.002);
    size_t changed = 0;
    for (size_t i = 0; i < upright.size(); ++i) changed += (upright[i] > 0) != (turned[i] > 0);
    EXPECT_GT(changed, upright.size() / 100);
  }
}

TEST(Iris, BadBladeSettingsAreRefused) {
  Film film(64, 64);
  for (float blades : {1.f, 2.f, 2.5f, 33.f, -6.f, NAN}) {
    SCOPED_TRACE(blades);
    testing::internal::CaptureStderr();
    ParamSet ps = RequiredParams(WriteTestFile("stop.dat", "0\t1\t1\t4\n"));
    ps.AddFloat("aperture_blades", blades);
    EXPECT_EQ(MakeCamera(ps, &film), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "realistic: camera parameter \"aperture_blades\" is "),
              std::string::npos);
  }
  testing::internal::CaptureStderr();
  ParamSet ps = RequiredParams(WriteTestFile("stop.dat", "0\t1\t1\t4\n"));
  ps.AddFloat("aperture_blades", 6.f);
  ps.AddFloat("aperture_rotation", INFINITY);
  EXPECT_EQ(MakeCamera(ps, &film), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "realistic: camera parameter \"aperture_rotation\" is inf; expected a finite number"),
            std::string::npos);
}
