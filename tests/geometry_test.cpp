// SPDX-License-Identifier: Apache-2.0
// The host's geometry records and operations: rounding, defaults and the
// transform's edge cases.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <gtest/gtest.h>

#include "core/core.h"
#include "core/error.h"
#include "core/geometry.h"
#include "core/transform.h"

namespace {

uint32_t Bits(float f) {
  uint32_t u;
  memcpy(&u, &f, sizeof u);
  return u;
}

float FromBits(uint32_t u) {
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

Transform FromRows(std::initializer_list<float> rows) {
  float m[4][4];
  auto it = rows.begin();
  for (auto& row : m)
    for (float& v : row) v = *it++;
  return TransformFromMatrix(m);
}

}  // namespace

// Float expressions must be evaluated in float, not in x87 extended
// precision: otherwise the per-operator rounding below would not hold.
TEST(Precision, FloatExpressionsAreEvaluatedInFloat) {
  EXPECT_EQ(FLT_EVAL_METHOD, 0);
  volatile float big = 16777216.f;  // 2^24: adding 1 is lost in float
  volatile float one = 1.f;
  const float sum = big + one - big;
  EXPECT_EQ(sum, 0.f);
}

TEST(Ray, DefaultsAndEmptyInterval) {
  Ray r;
  EXPECT_EQ(Bits(r.mint), 0x3a83126fu);
  EXPECT_TRUE(std::isinf(r.maxt) && r.maxt > 0);
  EXPECT_EQ(r.time, 0.f);
  EXPECT_EQ(r.o.x, 0.f);
  EXPECT_EQ(r.d.z, 0.f);
  r.mint = 1.f;
  r.maxt = 0.f;
  EXPECT_GT(r.mint, r.maxt);
  Vector v(Point(1.5f, -2.f, 3.25f));
  EXPECT_EQ(v.x, 1.5f);
  EXPECT_EQ(v.y, -2.f);
  EXPECT_EQ(v.z, 3.25f);
}

// o + d t rounds d t to float before adding o. The case is built so that
// the exact product lies just above the point where 1 + x rounds up, while
// the rounded product lands exactly on it and ties to even (1).
TEST(Rounding, ChainOfOperatorsRoundsAfterEveryStep) {
  const float d = FromBits(0x3f800001);  // 1 + 2^-23
  const float t = FromBits(0x337fffff);  // 2^-24 (1 - 2^-24)
  const Ray ray(Point(1.f, 0.f, 0.f), Vector(d, 0.f, 0.f));
  const float rounded_once = float(1.0 + double(d) * double(t));
  ASSERT_NE(rounded_once, 1.f) << "the case must tell the two roundings apart";
  EXPECT_EQ(ray(t).x, 1.f);
}

// A named quantity (Dot) is formed in double and rounded once: the two
// small terms together tip 1 over the halfway point; rounded step by step,
// each would be lost.
TEST(Rounding, NamedQuantityIsRoundedOnce) {
  const Vector a(1.f, std::ldexp(1.f, -24), std::ldexp(1.f, -40));
  const Vector ones(1.f, 1.f, 1.f);
  const float stepwise = (a.x * ones.x + a.y * ones.y) + a.z * ones.z;
  ASSERT_EQ(stepwise, 1.f);
  EXPECT_EQ(Dot(a, ones), FromBits(0x3f800001));
}

TEST(Vector, UnaryMinusGivesNegativeZero) {
  const Vector v = -Vector(0.f, 1.f, 0.f);
  EXPECT_TRUE(std::signbit(v.x));
  EXPECT_EQ(v.y, -1.f);
  EXPECT_TRUE(std::signbit(v.z));
}

TEST(Vector, DivisionByZeroIsReportedAndYieldsNonNumbers) {
  ScopedSevereRecorder severe;
  const Vector n = Normalize(Vector(0.f, 0.f, 0.f));
  ASSERT_EQ(severe.Messages().size(), 1u);
  const std::string& message = severe.Messages()[0];
  EXPECT_EQ(message.rfind("Assertion f!=0 failed in ", 0), 0u) << message;
  EXPECT_NE(message.find("geometry.h, line "), std::string::npos) << message;
  EXPECT_TRUE(std::isnan(n.x) && std::isnan(n.y) && std::isnan(n.z));
}

TEST(Vector, NormalizeGivesUnitLength) {
  const Vector n = Normalize(Vector(3.f, 4.f, 0.f));
  EXPECT_FLOAT_EQ(n.x, 0.6f);
  EXPECT_FLOAT_EQ(n.y, 0.8f);
  EXPECT_FLOAT_EQ(n.Length(), 1.f);
}

TEST(Transform, AffineResultIsNotDivided) {
  const Transform t = Translate(Vector(1.f, 2.f, 3.f));
  const Point p = t(Point(0.1f, 0.2f, 0.3f));
  EXPECT_EQ(p.x, 0.1f + 1.f);
  EXPECT_EQ(p.y, 0.2f + 2.f);
  EXPECT_EQ(p.z, 0.3f + 3.f);
  // Vectors ignore the translation.
  const Vector v = t(Vector(1.f, 0.f, 0.f));
  EXPECT_EQ(v.x, 1.f);
  EXPECT_EQ(v.y, 0.f);
}

TEST(Transform, HomogeneousWDividesAllCoordinates) {
  // w = 2 for every point: the bottom row is (0, 0, 0, 2).
  const Transform t = FromRows({1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 2});
  const Point p = t(Point(2.f, 4.f, -6.f));
  EXPECT_EQ(p.x, 1.f);
  EXPECT_EQ(p.y, 2.f);
  EXPECT_EQ(p.z, -3.f);
}

TEST(Transform, RayIntoItselfMatchesSeparateOutput) {
  const Transform t = FromRows({0.3f, -0.9f, 0.1f, 5, 0.8f, 0.2f, -0.4f, -1, 0.1f, 0.4f, 0.9f, 2,
                                0, 0, 0, 1});
  const Ray in(Point(1.1f, -2.3f, 7.7f), Vector(0.2f, 0.3f, -0.9f), 0.5f, 9.f, 0.25f);
  Ray separate;
  t(in, &separate);
  Ray same = in;
  t(same, &same);
  EXPECT_EQ(Bits(same.o.x), Bits(separate.o.x));
  EXPECT_EQ(Bits(same.o.y), Bits(separate.o.y));
  EXPECT_EQ(Bits(same.o.z), Bits(separate.o.z));
  EXPECT_EQ(Bits(same.d.x), Bits(separate.d.x));
  EXPECT_EQ(Bits(same.d.y), Bits(separate.d.y));
  EXPECT_EQ(Bits(same.d.z), Bits(separate.d.z));
  EXPECT_EQ(separate.mint, 0.5f);
  EXPECT_EQ(separate.maxt, 9.f);
  EXPECT_EQ(separate.time, 0.25f);
}

TEST(Transform, InverseUndoesMatrix) {
  const Transform t = FromRows({2, 0, 0, 1, 0, 4, 0, 2, 0, 0, 8, 3, 0, 0, 0, 1});
  const Point p = t.GetInverse()(t(Point(1.f, 1.f, 1.f)));
  EXPECT_EQ(p.x, 1.f);
  EXPECT_EQ(p.y, 1.f);
  EXPECT_EQ(p.z, 1.f);
  float singular[4][4] = {{1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
  EXPECT_THROW(TransformFromMatrix(singular), std::invalid_argument);
}

// The host helpers refuse what gives no transform with an exception that
// names the call; none goes to Severe (whose default ends the process).
TEST(Transform, HelpersRefuseDegenerateInputByName) {
  ScopedSevereRecorder severe;
  const Point eye(1.f, 2.f, 3.f);
  auto message = [](auto&& call) {
    try {
      call();
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("no exception");
  };
  EXPECT_EQ(message([&] { LookAt(eye, eye, Vector(0.f, 1.f, 0.f)); }).rfind("LookAt: the eye and the target", 0), 0u);
  EXPECT_EQ(message([&] { LookAt(eye, Point(1.f, 5.f, 3.f), Vector(0.f, 1.f, 0.f)); }),
            "LookAt: the up vector is parallel to the view direction");
  EXPECT_EQ(message([&] { LookAt(eye, Point(1.f, 2.f, 4.f), Vector(0.f, 0.f, 0.f)); }), "LookAt: the up vector is zero");
  EXPECT_EQ(message([] { Scale(0.f, 1.f, 1.f); }), "Scale: every factor must be finite and non-zero");
  EXPECT_TRUE(severe.Messages().empty());
}

// The look-at transform takes the eye to the origin and the target onto
// +z, with up in the y half-plane.
TEST(Transform, LookAtPutsTargetOnPositiveZ) {
  const Transform w2c = LookAt(Point(0.f, 1.f, -10.f), Point(0.f, 1.f, 0.f), Vector(0.f, 1.f, 0.f));
  const Point eye = w2c(Point(0.f, 1.f, -10.f));
  const Point target = w2c(Point(0.f, 1.f, 0.f));
  const Point above = w2c(Point(0.f, 2.f, -10.f));
  EXPECT_NEAR(eye.x, 0.f, 1e-6f);
  EXPECT_NEAR(eye.z, 0.f, 1e-6f);
  EXPECT_NEAR(target.x, 0.f, 1e-6f);
  EXPECT_NEAR(target.z, 10.f, 1e-5f);
  EXPECT_NEAR(above.y, 1.f, 1e-6f);
}

// Compose(a, b) applies b first: metres to a camera frame, then to
// millimetres, and its inverse brings millimetres back to the world.
TEST(Transform, ComposeAppliesTheRightOperandFirst) {
  const Transform move = Translate(Vector(1.f, 2.f, 3.f));
  const Transform t = Compose(Scale(1000.f, 1000.f, 1000.f), move);
  const Point p = t(Point(0.5f, 0.f, -1.f));
  EXPECT_EQ(p.x, 1500.f);
  EXPECT_EQ(p.y, 2000.f);
  EXPECT_EQ(p.z, 2000.f);
  // 1/1000 is not a float: back within a few ulps.
  const Point back = t.GetInverse()(p);
  EXPECT_FLOAT_EQ(back.x, 0.5f);
  EXPECT_FLOAT_EQ(back.y, 0.f);
  EXPECT_FLOAT_EQ(back.z, -1.f);
  const Point other = Compose(move, Scale(1000.f, 1000.f, 1000.f))(Point(0.5f, 0.f, -1.f));
  EXPECT_EQ(other.x, 501.f) << "the other order scales first";
}

TEST(Quadratic, ZeroDiscriminantGivesEqualRoots) {
  float t0 = -7.f, t1 = -7.f;
  ASSERT_TRUE(Quadratic(1.f, -2.f, 1.f, &t0, &t1));
  EXPECT_EQ(t0, 1.f);
  EXPECT_EQ(t1, 1.f);
}

TEST(Quadratic, ZeroBTakesTheNonNegativeBranch) {
  // q = -0.5 * rootDiscrim = -2: t0 = q / A, t1 = C / q, then ordered.
  float t0, t1;
  ASSERT_TRUE(Quadratic(1.f, 0.f, -4.f, &t0, &t1));
  EXPECT_EQ(t0, -2.f);
  EXPECT_EQ(t1, 2.f);
}

TEST(Quadratic, NegativeDiscriminantLeavesRootsUntouched) {
  float t0 = 3.f, t1 = 4.f;
  EXPECT_FALSE(Quadratic(1.f, 0.f, 1.f, &t0, &t1));
  EXPECT_EQ(t0, 3.f);
  EXPECT_EQ(t1, 4.f);
}

TEST(Reference, DeletesWhenTheLastReferenceGoes) {
  struct Counted : ReferenceCounted {
    explicit Counted(int* d) : deleted(d) {}
    ~Counted() { ++*deleted; }
    int* deleted;
  };
  int deleted = 0;
  {
    Reference<Counted> a(new Counted(&deleted));
    Reference<Counted> b = a;
    a = b;  // self-assignment through another reference keeps the object
    EXPECT_EQ(a->nReferences, 2);
    b = Reference<Counted>();
    EXPECT_EQ(deleted, 0);
  }
  EXPECT_EQ(deleted, 1);
}
