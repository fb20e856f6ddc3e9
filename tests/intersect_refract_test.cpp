// SPDX-License-Identifier: Apache-2.0
// One surface: where a ray meets it, and how it bends there.
#include <cmath>

#include <gtest/gtest.h>

#include "realistic/lens_error.h"
#include "realistic/lens_interface.h"
#include "realistic/refract.h"

namespace {

// Radius 10, vertex at 0 (centre 10), diameter 10: the cap spans
// sphere-centred z from -10 to -sqrt(75).
LensInterface SurfaceS() { return LensInterface(10.f, 0.f, 1.5f, 10.f); }
// The stop: plane z = 8, opening diameter 20.
LensInterface StopP() { return LensInterface(0.f, 8.f, 1.f, 20.f); }

struct Hit {
  bool hit;
  Point p;
  Vector n;
};

Hit Intersect(const LensInterface& s, const Point& o, const Vector& d, float mint = 0.001f) {
  Hit h{false, Point(-99.f, -99.f, -99.f), Vector(-99.f, -99.f, -99.f)};
  h.hit = s.Intersect(Ray(o, d, mint), &h.p, &h.n);
  return h;
}

void ExpectPoint(const Point& p, float x, float y, float z) {
  EXPECT_EQ(p.x, x);
  EXPECT_EQ(p.y, y);
  EXPECT_EQ(p.z, z);
}

// Angles from Snell's law in float agree with double to a few ulps.
constexpr float kSnellTolerance = 1e-6f;

}  // namespace

TEST(IntersectSpherical, NearRootOnTheCap) {
  const Hit h = Intersect(SurfaceS(), Point(0, 0, -5), Vector(0, 0, 1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 0, 0, 0);
  EXPECT_EQ(h.n.z, -1.f);
}

TEST(IntersectSpherical, FarRootFallBackFromBehindTheSphere) {
  // Roots 10 and 30: the near one is on the far side of the sphere.
  const Hit h = Intersect(SurfaceS(), Point(0, 0, 30), Vector(0, 0, -1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 0, 0, 0);
  EXPECT_EQ(h.n.z, -1.f);
}

TEST(IntersectSpherical, FromInsideTheNegativeRootIsPassedOver) {
  const Hit h = Intersect(SurfaceS(), Point(0, 0, 5), Vector(0, 0, -1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 0, 0, 0);
}

TEST(IntersectSpherical, OutsideTheApertureMissesAndKeepsOutputs) {
  const Hit h = Intersect(SurfaceS(), Point(6, 0, -5), Vector(0, 0, 1));
  EXPECT_FALSE(h.hit);
  ExpectPoint(h.p, -99, -99, -99);
  EXPECT_EQ(h.n.x, -99.f);
}

TEST(IntersectSpherical, RootsBelowTheBoundMissAndTheRaysIntervalIsIgnored) {
  // From z = 20.5 on a radius-10 sphere centred at 10: both roots behind
  // the origin.
  EXPECT_FALSE(Intersect(SurfaceS(), Point(0, 0, 20.5f), Vector(0, 0, 1)).hit);
  // The bound is always 0.001, whatever the ray's own interval says.
  EXPECT_TRUE(Intersect(SurfaceS(), Point(0, 0, -5), Vector(0, 0, 1), 6.f).hit);
}

TEST(IntersectSpherical, CIsRoundedOnceFromTheFloatComponents) {
  // o' = (0.01, 0, -15): o'.o' - 100 formed in double and rounded once is
  // 0x1.f4001ap+6; rounding o'.o' to float first gives 0x1.f4001cp+6, a
  // root one ulp later and a hit 2^-21 deeper into the glass.
  const Hit h = Intersect(SurfaceS(), Point(0.01f, 0, -5), Vector(0, 0, 1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 0.01f, 0, 0x1.4p-18f);
}

TEST(IntersectSpherical, TangentOutsideTheCapMisses) {
  // Grazes the sphere at its equator (x = 10 from the centre), beyond the
  // cap's rim.
  EXPECT_FALSE(Intersect(SurfaceS(), Point(10, 0, 0), Vector(0, 0, 1)).hit);
}

TEST(IntersectPlanar, RimCountsAsInside) {
  Hit h = Intersect(StopP(), Point(10, 0, 0), Vector(0, 0, 1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 10, 0, 8);
  EXPECT_EQ(h.n.z, 1.f);
  EXPECT_FALSE(Intersect(StopP(), Point(10.01f, 0, 0), Vector(0, 0, 1)).hit);
}

TEST(IntersectPlanar, PlaneIsHitBehindTheOriginAndNormalIsAlwaysPlusZ) {
  Hit h = Intersect(StopP(), Point(0, 0, 10), Vector(0, 0, 1));
  ASSERT_TRUE(h.hit);
  ExpectPoint(h.p, 0, 0, 8);
  h = Intersect(StopP(), Point(0, 0, 10), Vector(0, 0, -1));
  ASSERT_TRUE(h.hit);
  EXPECT_EQ(h.n.z, 1.f);
}

TEST(IntersectPlanar, RayParallelToThePlaneFailsItsCondition) {
  try {
    Intersect(StopP(), Point(0, 0, 0), Vector(1, 0, 0));
    FAIL() << "no failure";
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "fabs(hit.z - zintercept) < EPSILON");
    EXPECT_EQ(e.Operation(), "bool LensInterface::IntersectPlanar(const Ray&, Point*, Vector*) const");
  }
}

TEST(Refract, FollowsSnellsLaw) {
  // 30 degrees of incidence from air into n = 1.5 through a plane z = 0.
  const float s = 0.5f, c = std::sqrt(0.75f);
  const Point O(-s, 0.f, -c), P(0.f, 0.f, 0.f);
  const Ray r = Refract(O, P, Vector(0.f, 0.f, 1.f), 1.f, 1.5f);
  ExpectPoint(r.o, 0, 0, 0);
  EXPECT_NEAR(r.d.x, s / 1.5f, kSnellTolerance);
  EXPECT_NEAR(r.d.Length(), 1.f, kSnellTolerance);
  EXPECT_GT(r.d.z, 0.f);
  EXPECT_EQ(r.mint, 0.001f);
  EXPECT_TRUE(std::isinf(r.maxt));
  EXPECT_EQ(r.time, 0.f);
  // The normal's side does not matter.
  const Ray flipped = Refract(O, P, Vector(0.f, 0.f, -1.f), 1.f, 1.5f);
  EXPECT_EQ(flipped.d.x, r.d.x);
  EXPECT_EQ(flipped.d.z, r.d.z);
}

TEST(Refract, EqualIndicesKeepTheDirection) {
  const Point O(1.f, 2.f, -3.f), P(0.f, 0.f, 0.f);
  const Ray r = Refract(O, P, Normalize(Vector(0.1f, 0.f, 1.f)), 1.3f, 1.3f);
  const Vector forward = Normalize(P - O);
  EXPECT_NEAR(r.d.x, forward.x, kSnellTolerance);
  EXPECT_NEAR(r.d.y, forward.y, kSnellTolerance);
  EXPECT_NEAR(r.d.z, forward.z, kSnellTolerance);
}

TEST(Refract, TotalInternalReflectionRunsAlongTheSurfaceFromO) {
  // 60 degrees inside glass, beyond the critical angle of 41.8 degrees.
  const Point O(-std::sqrt(0.75f), 0.f, -0.5f), P(0.f, 0.f, 0.f);
  const Ray r = Refract(O, P, Vector(0.f, 0.f, 1.f), 1.5f, 1.f);
  ExpectPoint(r.o, O.x, O.y, O.z);
  EXPECT_FLOAT_EQ(r.d.x, 1.f);
  EXPECT_EQ(r.d.z, 0.f);
  EXPECT_EQ(r.mint, 0.001f);
}

TEST(Refract, ConditionsFailInOrder) {
  const char* operation = "Ray Refract(const Point&, const Point&, const Vector&, float, float)";
  // In the tangent plane.
  try {
    Refract(Point(-1.f, 0.f, 0.f), Point(0.f, 0.f, 0.f), Vector(0.f, 0.f, 1.f), 1.f, 1.5f);
    FAIL();
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "cosi != 0");
    EXPECT_EQ(e.Operation(), operation);
  }
  // A normal far from unit length sends the ray off the expected angle.
  try {
    Refract(Point(-0.5f, 0.f, -1.f), Point(0.f, 0.f, 0.f), Vector(0.f, 0.f, 3.f), 1.f, 1.5f);
    FAIL();
  } catch (const ConsistencyError& e) {
    EXPECT_EQ(e.Condition(), "fabs(Dot(refract_dir, N) - (-coso)) < EPSILON");
  }
}

// The batch trace decides the refracted direction's unit-length check on
// the squared length: the interval must hold exactly the floats that pass
// the square-root form, its ends in, their neighbours out, and every float
// around 1 and the special values agreeing.
TEST(Refract, UnitLengthIntervalDecidesAsTheSquareRootCheck) {
  const auto check = [](float x) { return std::fabs(double(sqrtf(x)) - 1.0) < double(EPSILON); };
  const auto interval = [](float x) {
    return x >= kUnitLengthSquaredMin && x <= kUnitLengthSquaredMax;
  };
  EXPECT_TRUE(check(kUnitLengthSquaredMin));
  EXPECT_TRUE(check(kUnitLengthSquaredMax));
  EXPECT_FALSE(check(std::nextafter(kUnitLengthSquaredMin, 0.f)));
  EXPECT_FALSE(check(std::nextafter(kUnitLengthSquaredMax, 2.f)));
  int disagree = 0, inside = 0;
  for (float x = 0.99f; x <= 1.01f; x = std::nextafter(x, 2.f)) {
    disagree += check(x) != interval(x);
    inside += interval(x);
  }
  EXPECT_EQ(disagree, 0);
  EXPECT_GT(inside, 50000);
  for (float x : {0.f, -0.f, -1.f, 1e-45f, 3.4e38f, INFINITY, -INFINITY, NAN})
    EXPECT_EQ(check(x), interval(x)) << x;
}
