// SPDX-License-Identifier: Apache-2.0
// The host stand-in: parameter look-ups, Severe, the camera base and the
// concentric disc mapping.
#include <cmath>

#include <gtest/gtest.h>

#include "core/camera.h"
#include "core/error.h"
#include "core/paramset.h"
#include "core/sampling.h"

TEST(ParamSet, FindsValuesOrDefaultsAndReportsUnusedKeys) {
  ParamSet ps;
  ps.AddFloat("hither", 0.5f);
  ps.AddFloat("hither", 0.25f);  // a second add replaces the value
  ps.AddString("specfile", "a.dat");
  ps.AddFloat("typo", 1.f);
  EXPECT_EQ(ps.FindOneFloat("hither", -1.f), 0.25f);
  EXPECT_EQ(ps.FindOneFloat("yon", -1.f), -1.f);
  EXPECT_EQ(ps.FindOneString("specfile", ""), "a.dat");
  // A float key is not a string key.
  EXPECT_EQ(ps.FindOneString("hither", "none"), "none");
  EXPECT_EQ(ps.UnusedKeys(), std::vector<std::string>{"typo"});
}

TEST(Severe, DefaultPrintsFatalErrorAndExitsWithOne) {
  EXPECT_EXIT(Severe("bad value %d", 7), ::testing::ExitedWithCode(1),
              "^Fatal error: bad value 7\n$");
}

TEST(Severe, RecorderMakesItReturn) {
  {
    ScopedSevereRecorder severe;
    Severe("first %s", "one");
    Severe("second\n");
    ASSERT_EQ(severe.Messages().size(), 2u);
    EXPECT_EQ(severe.Messages()[0], "first one");
    EXPECT_EQ(severe.Messages()[1], "second\n");
  }
  // Out of scope the default is back.
  EXPECT_EXIT(Severe("again"), ::testing::ExitedWithCode(1), "Fatal error: again");
}

namespace {

class FixedCamera : public Camera {
 public:
  using Camera::Camera;
  float GenerateRay(const Sample&, Ray* ray) const override {
    *ray = Ray();
    return 1.f;
  }
};

}  // namespace

TEST(Camera, BaseKeepsItsArgumentsAndTheInverseTransform) {
  Film film(64, 32);
  const Transform w2c = Translate(Vector(1.f, 2.f, 3.f));
  FixedCamera cam(w2c, 0.1f, 100.f, 0.f, 1.f, &film);
  EXPECT_EQ(cam.film, &film);
  EXPECT_EQ(cam.film->xResolution, 64);
  EXPECT_EQ(cam.ClipHither, 0.1f);
  EXPECT_EQ(cam.ClipYon, 100.f);
  EXPECT_EQ(cam.ShutterClose, 1.f);
  // Camera to world swaps the matrices: no new inverse is computed.
  EXPECT_EQ(cam.CameraToWorld.m.GetPtr(), w2c.mInv.GetPtr());
  EXPECT_EQ(cam.CameraToWorld.mInv.GetPtr(), w2c.m.GetPtr());
  const Point origin = cam.CameraToWorld(Point(0.f, 0.f, 0.f));
  EXPECT_EQ(origin.x, -1.f);
  EXPECT_EQ(origin.z, -3.f);
}

TEST(ConcentricSampleDisk, MapsTheSquareOntoTheDisc) {
  float x, y;
  ConcentricSampleDisk(0.5f, 0.5f, &x, &y);
  EXPECT_EQ(x, 0.f);
  EXPECT_EQ(y, 0.f);
  // The middle of each edge of the square lands on the circle's axes.
  ConcentricSampleDisk(1.f, 0.5f, &x, &y);
  EXPECT_FLOAT_EQ(x, 1.f);
  EXPECT_NEAR(y, 0.f, 1e-7f);
  ConcentricSampleDisk(0.5f, 0.f, &x, &y);
  EXPECT_NEAR(x, 0.f, 1e-7f);
  EXPECT_FLOAT_EQ(y, -1.f);
  // Corners go to the diagonals, on the rim.
  ConcentricSampleDisk(1.f, 1.f, &x, &y);
  EXPECT_FLOAT_EQ(x, std::sqrt(0.5f));
  EXPECT_FLOAT_EQ(y, std::sqrt(0.5f));
}

// Area is preserved: a square of side s around the centre maps onto the
// disc of radius s, so the ring radius grows linearly with the square's.
TEST(ConcentricSampleDisk, KeepsAreaAndStaysInsideTheDisc) {
  const int n = 64;
  int inside_half = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      float x, y;
      ConcentricSampleDisk((i + 0.5f) / n, (j + 0.5f) / n, &x, &y);
      const float r2 = x * x + y * y;
      ASSERT_LE(r2, 1.f + 1e-6f);
      if (r2 < 0.25f) ++inside_half;
    }
  // The disc of radius 1/2 holds a quarter of the area.
  EXPECT_EQ(inside_half, n * n / 4);
}
