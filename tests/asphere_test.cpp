// SPDX-License-Identifier: Apache-2.0
// Aspheric and plane surfaces, and catalogue glasses: the optics they make
// possible, checked against physics and against independent computations.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "realistic/glass_catalogue.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/test_files.h"

namespace {

// The RMS radius, on its best plane, of the spot of rays parallel to the
// axis filling a disc of radius h, traced in double. x = a + b z for each
// ray; the RMS radius is least at z = -sum(ab) / sum(b^2).
double BestSpot(const LensStack& lens, double h) {
  double ab = 0, bb = 0;
  std::vector<double> a, b;
  for (int j = -20; j <= 20; ++j)
    for (int i = -20; i <= 20; ++i) {
      const double x = h * i / 20, y = h * j / 20;
      if (x * x + y * y > h * h) continue;
      RayT<double> out;
      if (!lens.TraceWorldToFilmExact({{x, y, -1}, {0, 0, 1}, kExactMint<double>}, &out)) continue;
      for (int axis = 0; axis < 2; ++axis) {
        const double o = axis ? out.o.y : out.o.x, d = axis ? out.d.y : out.d.x;
        a.push_back(o - d / out.d.z * out.o.z), b.push_back(d / out.d.z);
      }
    }
  for (size_t i = 0; i < a.size(); ++i) ab += a[i] * b[i], bb += b[i] * b[i];
  const double z = -ab / bb;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += std::pow(a[i] + b[i] * z, 2);
  EXPECT_GT(a.size(), 1000u);
  return std::sqrt(2 * sum / double(a.size()));
}

}  // namespace

// Collimated light entering the flat side of a plano-convex lens meets the
// convex side inside the glass; a hyperboloid of eccentricity n (k = -n^2)
// brings it to a point, where the sphere of the same vertex radius leaves
// its spherical aberration.
TEST(Asphere, HyperboloidPlanoConvexFocusesToAPoint) {
  const std::string sphere = "0\t1\t0\t40\ninf\t5\t1.5\t40\n-50\t95\t1\t40\n";
  const LensStack spherical(WriteTestFile("plano-convex.dat", sphere));
  const LensStack hyperbolic(WriteTestFile("plano-hyperbolic.dat", sphere + "asphere k=-2.25\n"));
  ASSERT_TRUE(hyperbolic.GetInterfaces()[1].IsPlane());
  ASSERT_NE(hyperbolic.GetInterfaces()[2].GetAsphere(), nullptr);
  const double with_sphere = BestSpot(spherical, 19), with_hyperboloid = BestSpot(hyperbolic, 19);
  EXPECT_GT(with_sphere, 0.05) << "a sphere this fast has spherical aberration";
  EXPECT_LT(with_hyperboloid, 1e-3 * with_sphere) << with_hyperboloid << " vs " << with_sphere;
}

// The asphere's intersection against an independent root search: a scan
// and bisection in long double on sag(x, y) - z along the ray, over random
// rays and surfaces with strong conics and high-order terms.
TEST(Asphere, IntersectionAgreesWithAnIndependentRootSearch) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  int compared = 0;
  for (int s = 0; s < 60; ++s) {
    const bool plane = s % 6 == 0;
    const double radius = plane ? INFINITY : (u(rng) < 0.5 ? -1 : 1) * (8 + 60 * u(rng));
    const double diameter = plane ? 30 : std::min(30.0, 1.2 * std::fabs(radius));
    AsphereTerms terms;
    terms.k = -4 + 5 * u(rng);
    terms.a[1] = (u(rng) - 0.5) * 1e-4;  // r^4
    terms.a[2] = (u(rng) - 0.5) * 1e-6;  // r^6
    terms.a[4] = (u(rng) - 0.5) * 1e-10;  // r^10
    const double c = plane ? 0 : 1 / radius, h = diameter / 2;
    if (1 - (1 + terms.k) * c * c * h * h < 0) continue;
    LensInterface surface(float(radius), 10.f, 1.5f, float(diameter));
    surface.SetAsphere(terms);
    auto sag = [&](long double s2) {
      const long double cl = c, arg = 1 - (1 + (long double)terms.k) * cl * cl * s2;
      long double poly = 0;
      for (int i = 9; i >= 0; --i) poly = poly * s2 + (long double)terms.a[i];
      return cl * s2 / (1 + std::sqrt(arg)) + poly * s2;
    };
    for (int r = 0; r < 20; ++r) {
      // From in front of the vertex toward a point of the clear aperture.
      const double angle = 2 * M_PI * u(rng), rad = 0.95 * h * std::sqrt(u(rng));
      const Point from(float(10 * (u(rng) - 0.5)), float(10 * (u(rng) - 0.5)), -20.f);
      const Vector dir = Normalize(Point(float(rad * std::cos(angle)), float(rad * std::sin(angle)), 10.f) - from);
      Point hit;
      Vector normal;
      if (!surface.Intersect(Ray(from, dir, 0.001f), &hit, &normal)) continue;
      // Independent: f(t) = sag - (z - z0) changes sign where the ray
      // crosses the surface; scan, then bisect.
      auto f = [&](long double t) {
        const long double x = from.x + t * dir.x, y = from.y + t * dir.y, z = from.z + t * dir.z;
        return sag(x * x + y * y) - (z - 10);
      };
      long double lo = 0, hi = 0;
      bool found = false;
      for (int k = 0; k < 4000 && !found; ++k) {
        const long double t0 = 60.0L * k / 4000, t1 = 60.0L * (k + 1) / 4000;
        if ((f(t0) < 0) != (f(t1) < 0)) lo = t0, hi = t1, found = true;
      }
      ASSERT_TRUE(found);
      for (int k = 0; k < 200; ++k) {
        const long double mid = (lo + hi) / 2;
        ((f(mid) < 0) == (f(lo) < 0) ? lo : hi) = mid;
      }
      EXPECT_NEAR(hit.x, double(from.x + lo * dir.x), 1e-5);
      EXPECT_NEAR(hit.y, double(from.y + lo * dir.y), 1e-5);
      EXPECT_NEAR(hit.z, double(from.z + lo * dir.z), 1e-5);
      ++compared;
    }
  }
  EXPECT_GT(compared, 400);
}

// Schott's data sheet for N-BK7: n_F 1.522376, n_C 1.514322.
TEST(Glass, CatalogueGivesTheMakersIndices) {
  std::string why;
  const Glass* bk7 = FindGlass("N-BK7", &why);
  ASSERT_NE(bk7, nullptr) << why;
  EXPECT_EQ(bk7->maker, "SCHOTT");
  EXPECT_NEAR(bk7->Index(486.1327), 1.522376, 1e-5);
  EXPECT_NEAR(bk7->Index(656.2725), 1.514322, 1e-5);
  EXPECT_NEAR(bk7->Index(587.5618), 1.5168, 1e-5);
  // F2 is made by several makers: it needs its maker.
  EXPECT_EQ(FindGlass("F2", &why), nullptr);
  EXPECT_NE(why.find("SCHOTT:F2"), std::string::npos) << why;
  EXPECT_NE(FindGlass("schott:f2", &why), nullptr);
  EXPECT_EQ(FindGlass("N-BK8", &why), nullptr);
  EXPECT_NE(why.find("N-BK7"), std::string::npos) << why;
}

namespace {

// The paraxial back focus of thin-lens surfaces (curvatures c, indices n
// after each, thicknesses t between), by a y-nu trace.
double BackFocus(const std::vector<double>& c, const std::vector<double>& n, const std::vector<double>& t) {
  double y = 1, nu = 0, before = 1;
  for (size_t i = 0; i < c.size(); ++i) {
    nu -= y * (n[i] - before) * c[i];
    before = n[i];
    if (i + 1 < c.size()) y += t[i] * nu / n[i];
  }
  return -y / nu;
}

// The paraxial back focus of a lens stack (its stop first) at a
// wavelength, from its surfaces in double.
double BackFocusAt(LensStack* stack, double nanometres) {
  stack->SetWavelength(float(nanometres));
  std::vector<double> c, n, t;
  const auto& s = stack->GetExactSurfaces();
  for (size_t i = 1; i < s.size(); ++i) {
    c.push_back(1 / s[i].radius), n.push_back(s[i].index);
    t.push_back(s[i].zintercept - s[i - 1].zintercept);
  }
  t.erase(t.begin());
  return BackFocus(c, n, t);
}

}  // namespace

// An achromat of N-BK7 and Schott F2 that brings C and F light to one
// focus shows the secondary spectrum of ordinary glasses: the d focus about
// f/2000 from it and the g focus about f/580 (within 20%). A lens file
// naming the glasses gives the camera those indices; with Abbe numbers
// instead, the two-term model has no secondary spectrum at all.
TEST(Glass, AchromatShowsTheSecondarySpectrum) {
  std::string why;
  const Glass* crown = FindGlass("N-BK7", &why);
  const Glass* flint = FindGlass("SCHOTT:F2", &why);
  ASSERT_TRUE(crown && flint);
  const double f = 100, nm[] = {656.2725, 587.5618, 486.1327, 435.8343};
  // Thin-lens shape factors K (power = (n - 1) K) for power 1/f at d and
  // equal power at C and F.
  const double dc = crown->Index(nm[2]) - crown->Index(nm[0]), df = flint->Index(nm[2]) - flint->Index(nm[0]);
  const double k_crown = 1 / f / ((crown->nd - 1) - (flint->nd - 1) * dc / df), k_flint = -k_crown * dc / df;
  const double r1 = 2 / k_crown, r2 = -r1, r3 = 1 / (1 / r2 - k_flint);
  const std::string lens = "0\t1\t0\t20\n" + std::to_string(r1) + "\t0.01\t1.5168\t20\tN-BK7\n" +
                           std::to_string(r2) + "\t0.01\t1.62004\t20\tSCHOTT:F2\n" + std::to_string(r3) +
                           "\t100\t1\t20\n";
  LensStack stack(WriteTestFile("achromat.dat", lens));
  double focus[4];
  for (int w = 0; w < 4; ++w) focus[w] = BackFocusAt(&stack, nm[w]);
  EXPECT_NEAR(focus[0], focus[2], 1e-3) << "C and F focus together";
  const double cf = 0.5 * (focus[0] + focus[2]);
  EXPECT_NEAR(std::fabs(focus[1] - cf), f / 2000, 0.2 * f / 2000);
  EXPECT_NEAR(std::fabs(focus[3] - cf), f / 580, 0.2 * f / 580);

  // The same lens with the glasses' Abbe numbers: no secondary spectrum.
  LensStack cauchy(WriteTestFile("achromat-abbe.dat",
                                 "0\t1\t0\t20\n" + std::to_string(r1) + "\t0.01\t1.5168\t20\t" +
                                     std::to_string(crown->vd) + "\n" + std::to_string(r2) +
                                     "\t0.01\t1.62004\t20\t" + std::to_string(flint->vd) + "\n" +
                                     std::to_string(r3) + "\t100\t1\t20\n"));
  double plain[3];
  for (int w = 0; w < 3; ++w) plain[w] = BackFocusAt(&cauchy, nm[w]);
  EXPECT_LT(std::fabs(plain[1] - 0.5 * (plain[0] + plain[2])), 0.1 * f / 2000);
}

// What the loader refuses in the new syntax, and where it says so.
TEST(Asphere, BadLinesAndGlassNamesAreRefusedWithTheirPlace) {
  const std::string lens = "50\t5\t1.5\t20\n";
  struct Case {
    std::string text, message;
  };
  const Case cases[] = {
      {"asphere k=1\n" + lens, "bad.dat:1:1: an asphere line before any surface"},
      {"0\t1\t0\t10\nasphere k=1\n" + lens, "bad.dat:2:1: an asphere line after the aperture stop"},
      {lens + "asphere k=1\nasphere a4=1e-5\n", "bad.dat:3:1: a second asphere line for one surface"},
      {lens + "asphere k=1 b4=2\n", "bad.dat:2:13: unknown asphere term \"b4\""},
      {lens + "asphere a4=1e-5\ta4=2e-5\n", "bad.dat:2:17: asphere term \"a4\" is given twice"},
      {lens + "asphere k=nan\n", "bad.dat:2:9: asphere term k is \"nan\"; expected a finite number"},
      {lens + "asphere a6=1e-5x\n", "bad.dat:2:9: asphere term a6 is \"1e-5x\""},
      {lens + "asphere k\n", "bad.dat:2:9: \"k\" is not name=value"},
      // An oblate ellipsoid too steep for its aperture: 1 - (1 + k) c^2 r^2 < 0.
      {lens + "asphere k=30\n", "bad.dat:2:1: the asphere's sag is not defined within the clear aperture 20"},
      {"50\t5\t1.5\t20\tN-BK77\n", "bad.dat:1:13: column 5: unknown glass \"N-BK77\"; nearest: N-BK7"},
      {"50\t5\t1.5\t20\tF2\n", "bad.dat:1:13: column 5: glass \"F2\" is made by several makers"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      LensStack(WriteTestFile("bad.dat", c.text));
      ADD_FAILURE() << "loaded";
    } catch (const LensError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  // What it accepts: planes of either sign, and an asphere on a plane.
  const LensStack ok(WriteTestFile("ok.dat", "inf\t2\t1.5\t20\nasphere a4=-1e-5\n-inf\t5\t1\t20\n0\t5\t0\t10\n"));
  EXPECT_TRUE(ok.GetInterfaces()[0].IsPlane());
  EXPECT_TRUE(ok.GetInterfaces()[1].IsPlane());
  EXPECT_NEAR(ok.GetInterfaces()[0].Sag(10), -1e-5 * 1e4, 1e-12);
}
