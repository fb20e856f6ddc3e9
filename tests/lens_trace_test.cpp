// SPDX-License-Identifier: Apache-2.0
// Tracing rays through a whole stack, and the thick-lens model.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/test_files.h"

namespace {

LensStack Load(const std::string& contents, const std::string& name = "trace.dat") {
  return LensStack(WriteTestFile(name, contents));
}

// A ray that retraces its path comes back to within float noise of the
// lengths involved (tens of units).
constexpr float kRetraceTolerance = 1e-4f;

// The thick-lens focal length against the lensmaker's equation: the
// probes run at a tenth of the radius, where spherical aberration moves
// the focus by a few parts in ten thousand.
constexpr float kParaxialTolerance = 2e-3f;

Ray Sentinel() { return Ray(Point(7, 7, 7), Vector(7, 7, 7), 3.f, 4.f, 0.5f); }

void ExpectUnchanged(const Ray& r) {
  EXPECT_EQ(r.o.x, 7.f);
  EXPECT_EQ(r.d.z, 7.f);
  EXPECT_EQ(r.mint, 3.f);
  EXPECT_EQ(r.maxt, 4.f);
  EXPECT_EQ(r.time, 0.5f);
}

}  // namespace

TEST(TraceFilmToWorld, MissingTheFirstSurfaceLeavesTheOutputUntouched) {
  const LensStack lens = Load(kFiveSurfaceLens);
  Ray out = Sentinel();
  // 13 from the axis, beyond the back element's radius of 12.
  EXPECT_FALSE(lens.TraceFilmToWorld(Ray(Point(13, 0, 60), Vector(0, 0, -1)), &out));
  ExpectUnchanged(out);
}

TEST(TraceFilmToWorld, RayOutsideTheStopIsBlocked) {
  LensStack lens = Load(kFiveSurfaceLens);
  Ray out;
  const Ray film_ray(Point(0, 4, 60), Vector(0, 0, -1));
  EXPECT_TRUE(lens.TraceFilmToWorld(film_ray, &out));
  lens.SetApertureDiameter(2.f);
  EXPECT_FALSE(lens.TraceFilmToWorld(film_ray, &out));
  // A smaller stop passes fewer rays.
  int passed_wide = 0, passed_narrow = 0;
  for (int i = 0; i < 100; ++i) {
    const Ray r(Point(0, 0, 60), Normalize(Vector(0, 0.004f * i, -1)));
    lens.SetApertureDiameter(20.f);
    passed_wide += lens.TraceFilmToWorld(r, &out);
    lens.SetApertureDiameter(5.f);
    passed_narrow += lens.TraceFilmToWorld(r, &out);
  }
  EXPECT_LT(passed_narrow, passed_wide);
  EXPECT_GT(passed_narrow, 0);
}

TEST(Trace, StackOfAirOnlyClipsAndNormalises) {
  const LensStack lens = Load("20\t2\t1\t10\n0\t2\t1\t10\n-20\t5\t1\t10\n");
  const Ray in(Point(0.5f, -0.25f, 10), Vector(0.1f, 0.2f, -2));
  Ray out;
  ASSERT_TRUE(lens.TraceFilmToWorld(in, &out));
  EXPECT_EQ(out.o.x, in.o.x);
  EXPECT_EQ(out.o.z, in.o.z);
  const Vector unit = Normalize(in.d);
  EXPECT_EQ(out.d.x, unit.x);
  EXPECT_EQ(out.d.y, unit.y);
  EXPECT_EQ(out.d.z, unit.z);
}

TEST(Trace, OneGlassSurfaceRefractsTheRightWayRound) {
  // One surface with glass behind it, met at its vertex where the normal
  // is the axis: from the film side the ray leaves glass into air and
  // bends away from the axis, from the world side toward it.
  const LensStack lens = Load("1000\t10\t1.5\t20\n");
  const float s = 0.2f, c = std::sqrt(1 - s * s);
  Ray out;
  ASSERT_TRUE(lens.TraceFilmToWorld(Ray(Point(-5 * s, 0, 5 * c), Vector(s, 0, -c)), &out));
  EXPECT_NEAR(out.d.x, 1.5f * s, 1e-5f);
  ASSERT_TRUE(lens.TraceWorldToFilm(Ray(Point(-5 * s, 0, -5 * c), Vector(s, 0, c)), &out));
  EXPECT_NEAR(out.d.x, s / 1.5f, 1e-5f);
}

TEST(Trace, ARayRetracesItsPath) {
  const LensStack lens = Load(kFiveSurfaceLens);
  const Point film_point(1.f, -2.f, 60.f);
  const Ray in(film_point, Normalize(Point(2.f, 1.f, 15.f) - film_point));
  Ray world;
  ASSERT_TRUE(lens.TraceFilmToWorld(in, &world));
  // Start well in front of the lens on the leaving line and go back.
  const Point start = world(50.f);
  const Ray back(start, -world.d);
  Ray film;
  ASSERT_TRUE(lens.TraceWorldToFilm(back, &film));
  // The returning ray passes through the original film point.
  const float t = (film_point.z - film.o.z) / film.d.z;
  const Point p = film(t);
  EXPECT_NEAR(p.x, film_point.x, kRetraceTolerance);
  EXPECT_NEAR(p.y, film_point.y, kRetraceTolerance);
  EXPECT_NEAR(film.d.x, -in.d.x, kRetraceTolerance);
}

TEST(Trace, SuccessKeepsTheOutputsIntervalAndTime) {
  const LensStack lens = Load(kFiveSurfaceLens);
  Ray out = Sentinel();
  ASSERT_TRUE(lens.TraceFilmToWorld(Ray(Point(0, 0, 60), Vector(0, 0, -1)), &out));
  EXPECT_EQ(out.mint, 3.f);
  EXPECT_EQ(out.maxt, 4.f);
  EXPECT_EQ(out.time, 0.5f);
  EXPECT_EQ(out.d.z, -1.f);
}

TEST(Trace, PositionAndDirectionConditions) {
  const LensStack lens = Load(kFiveSurfaceLens);
  Ray out;
  // First valid point exactly on the back vertex: not behind it.
  try {
    lens.TraceFilmToWorld(Ray(Point(0, 0, 15), Vector(0, 0, -1), 0.f), &out);
    FAIL() << "a film ray starting on the back vertex passed";
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "ray(ray.mint).z > interfaces.back().GetAxisIntercept()");
    EXPECT_EQ(e.Operation(), "bool LensStack::TraceFilmToWorld(const Ray&, Ray*)");
  }
  // World side: z = 0 exactly is allowed. The ray starts on the front
  // vertex, which the spherical test does not count as a crossing.
  bool passed = true;
  EXPECT_NO_THROW(passed = lens.TraceWorldToFilm(Ray(Point(0, 0, 0), Vector(0, 0, 1), 0.f), &out));
  EXPECT_FALSE(passed);
  try {
    lens.TraceFilmToWorld(Ray(Point(0, 0, 30), Vector(1, 0, 0)), &out);
    FAIL();
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "ray.d.z < 0.0f");
  }
  try {
    lens.TraceWorldToFilm(Ray(Point(0, 0, -5), Vector(1, 0, 0)), &out);
    FAIL();
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "ray.d.z > 0.0f");
    EXPECT_EQ(e.Operation(), "bool LensStack::TraceWorldToFilm(const Ray&, Ray*)");
  }
  try {
    lens.TraceWorldToFilm(Ray(Point(0, 0, 1), Vector(0, 0, 1), 0.f), &out);
    FAIL();
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "ray(ray.mint).z <= 0.0f");
  }
}

TEST(ThickLens, SingletMatchesTheLensmakersEquation) {
  const LensStack lens = Load(kSingletLens);
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  // 1/f = (n-1) (1/R1 - 1/R2 + (n-1) d / (n R1 R2)), R1 = 50, R2 = -50.
  const double n = 1.5, d = 5, r1 = 50, r2 = -50;
  const double f = 1 / ((n - 1) * (1 / r1 - 1 / r2 + (n - 1) * d / (n * r1 * r2)));
  EXPECT_NEAR((f1 - p1) / f, 1.0, kParaxialTolerance);
  EXPECT_NEAR((p2 - f2) / f, 1.0, kParaxialTolerance);
  // A symmetric singlet has its principal planes inside the glass, each a
  // third of the thickness from its vertex for n = 1.5.
  EXPECT_NEAR(p1, 5.0 - 5.0 / 3.0, 0.05);
  EXPECT_NEAR(p2, 5.0 / 3.0, 0.05);
  EXPECT_GT(f1, lens.GetLensDepth());
  EXPECT_LT(f2, 0.f);
}

TEST(ThickLens, WorkedExampleFocalPoints) {
  // The film-side probe leaves nearly parallel to the axis, so f1 is very
  // sensitive to the last bits of every intersection on the way: it pins
  // the sphere coefficients' rounding (-1579.37 with o'.o' rounded to
  // float on its own).
  const LensStack lens = Load(kFiveSurfaceLens);
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  EXPECT_NEAR(f1, -1579.143f, 0.005f);
  EXPECT_NEAR(p1, 393.894f, 0.005f);
  EXPECT_NEAR(f2, 2456.063f, 0.005f);
  EXPECT_NEAR(p2, 483.548f, 0.005f);
}

TEST(ThickLens, BlockedFirstProbeUsesTheNextHeight) {
  // Front element radius 10: the first probe runs 1 from the axis, outside
  // the stop's radius 0.5; the second, at 0.1, passes.
  LensStack lens = Load(kSingletLens);
  lens.SetApertureDiameter(1.f);
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);

  const float radius_frac = float(0.1f * 0.1);
  const Ray probe(Point(0, float(0.5 * radius_frac * 20.f), -1), Vector(0, 0, 1));
  Ray exit;
  ASSERT_TRUE(lens.TraceWorldToFilm(probe, &exit));
  EXPECT_EQ(f1, exit(-exit.o.y / exit.d.y).z);
  EXPECT_EQ(p1, exit(float((double(probe.o.y) - exit.o.y) / exit.d.y)).z);
}

TEST(ThickLens, AirStackHasInfiniteFocalPoints) {
  const LensStack lens = Load("20\t2\t1\t10\n0\t2\t1\t10\n-20\t5\t1\t10\n");
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  EXPECT_EQ(f1, -std::numeric_limits<float>::infinity());
  EXPECT_EQ(f2, std::numeric_limits<float>::infinity());
  EXPECT_TRUE(std::isnan(p1));
  EXPECT_TRUE(std::isnan(p2));
}

TEST(ThickLens, NoPassingProbeEndsWithAnError) {
  LensStack lens = Load(kSingletLens);
  lens.SetApertureDiameter(std::numeric_limits<float>::quiet_NaN());  // passes nothing
  float f1, f2, p1, p2;
  try {
    lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
    FAIL() << "no error";
  } catch (const LensError& e) {
    EXPECT_NE(std::string(e.what()).find("no ray parallel to the axis passes the lens from the "
                                         "world side"),
              std::string::npos);
  }
}
