// SPDX-License-Identifier: Apache-2.0
// Glass dispersion: the fifth column, the index at a wavelength, and the
// colour it gives a lens's focus.
#include <cmath>

#include <gtest/gtest.h>

#include "optics/chromatic.h"
#include "realistic/dispersion.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

LensStack Load(const std::string& contents) { return LensStack(WriteTestFile("glass.dat", contents)); }

Chromatic ChromaticOf(const std::string& bundled) {
  Chromatic c{};
  EXPECT_TRUE(ComputeChromatic(LensStack(BundledLens(bundled)), &c)) << bundled;
  return c;
}

double Efl(const std::string& bundled) {
  const LensStack lens(BundledLens(bundled));
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  return double(f1) - p1;
}

}  // namespace

TEST(Dispersion, CauchyFitMeetsTheCatalogueNumbers) {
  // BK7: n_d 1.5168, V_d 64.17; the catalogue's n_F 1.52238 and n_C 1.51432.
  EXPECT_EQ(IndexAtWavelength(1.5168f, 64.17f, float(kLineD)), 1.5168f);
  const double nf = IndexAtWavelength(1.5168f, 64.17f, float(kLineF));
  const double nc = IndexAtWavelength(1.5168f, 64.17f, float(kLineC));
  EXPECT_NEAR(nf - nc, 0.5168 / 64.17, 2e-7);
  EXPECT_NEAR(nf, 1.52238, 2e-4);
  EXPECT_NEAR(nc, 1.51432, 2e-4);
  // Normal dispersion: the index falls with the wavelength.
  EXPECT_GT(IndexAtWavelength(1.5168f, 64.17f, 400.f), nf);
  EXPECT_LT(IndexAtWavelength(1.5168f, 64.17f, 700.f), nc);
}

TEST(Dispersion, FifthColumnIsReadOnlyAfterATabAndANumber) {
  const LensStack lens = Load(
      "50\t5\t1.5168\t20\t64.17\n"   // read
      "-50\t1\t1.62\t20 36.4\n"     // a space: the rest of the line, ignored as before
      "0\t1\t1\t10\t# stop\n"       // not a number: ignored
      "30\t2\t1.6\t20\t\t40\n"       // a run of tabs counts as one
      "-30\t40\t1\t20\t0\n");        // 0: no data
  const auto& d = lens.GetDispersion();
  ASSERT_EQ(d.size(), 5u);
  EXPECT_EQ(d[0].v_d, 64.17f);
  EXPECT_EQ(d[1].v_d, 0.f);
  EXPECT_EQ(lens.GetInterfaces()[1].GetDiameter(), 20.f);
  EXPECT_EQ(d[2].v_d, 0.f);
  EXPECT_EQ(d[3].v_d, 40.f);
  EXPECT_EQ(d[4].v_d, 0.f);
  EXPECT_TRUE(lens.HasDispersion());
  EXPECT_FALSE(Load("0\t1\t1\t10\n50\t40\t1.5\t20\n").HasDispersion());

  for (const char* bad : {"-5", "inf", "nan"}) {
    try {
      Load(std::string("50\t5\t1.5\t20\t") + bad + "\n0\t40\t1\t10\n");
      FAIL() << bad;
    } catch (const LensError& e) {
      EXPECT_NE(std::string(e.what()).find("glass.dat:1: column 5 (abbe number) is "), std::string::npos)
          << e.what();
    }
  }
}

TEST(Dispersion, SingletFocusMovesByFOverVd) {
  // A thin lens's focal shift between C and F is -f / V_d; the thick
  // singlet agrees within 5%.
  const Chromatic c = ChromaticOf("singlet-100mm-f4.dat");
  const double thin = -Efl("singlet-100mm-f4.dat") / 64.17;
  EXPECT_NEAR(c.Longitudinal() / thin, 1.0, 0.05) << c.Longitudinal();
  EXPECT_GT(c.f1_c, c.f1_d);
  EXPECT_GT(c.f1_d, c.f1_f);
}

TEST(Dispersion, AchromatIsTenTimesBetter) {
  const double singlet = ChromaticOf("singlet-100mm-f4.dat").Longitudinal() / Efl("singlet-100mm-f4.dat");
  const double achromat =
      ChromaticOf("achromat-100mm-f4.dat").Longitudinal() / Efl("achromat-100mm-f4.dat");
  EXPECT_LT(std::fabs(achromat) * 10, std::fabs(singlet)) << achromat << " vs " << singlet;
}

TEST(Dispersion, EveryBundledLensHasItsGlasses) {
  for (const char* f : {"cooke-triplet-50mm-f4.dat", "double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat",
                        "planar-50mm-f2.dat", "retrofocus-24mm.dat", "telephoto-127mm-f5.6.dat",
                        "tessar-101mm-f4.5.dat", "singlet-100mm-f4.dat", "achromat-100mm-f4.dat"}) {
    const LensStack lens(BundledLens(f));
    for (size_t i = 0; i < lens.GetInterfaces().size(); ++i) {
      const bool glass = lens.GetInterfaces()[i].GetIndexOfRefractionPosZ() != 1.f;
      EXPECT_EQ(glass, lens.GetDispersion()[i].v_d > 0.f) << f << " surface " << i;
    }
  }
}

namespace {

// A hash of the camera's rays and weights over the film and the lens.
uint64_t CameraHash(const std::string& lens, float wavelength) {
  Film film(64, 48);
  ParamSet ps = RequiredParams(lens);
  ps.AddFloat("filmdistance", 40.f);
  ps.AddFloat("aperture_diameter", 8.f);
  if (wavelength > 0) ps.AddFloat("wavelength", wavelength);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  if (!cam) return 0;
  uint64_t hash = 1469598103934665603ull;
  for (int k = 0; k < 3000; ++k) {
    Sample s;
    s.imageX = float(k % 60) + 2.f, s.imageY = float(k / 60) * 0.9f + 1.f;
    s.lensU = float(k * 37 % 101) / 101.f, s.lensV = float(k * 59 % 103) / 103.f;
    Ray ray;
    const float w = cam->GenerateRay(s, &ray);
    const float fields[] = {ray.o.x, ray.o.y, ray.o.z, ray.d.x, ray.d.y, ray.d.z, w};
    for (size_t i = 0; i < sizeof fields; ++i)
      hash = (hash ^ reinterpret_cast<const unsigned char*>(fields)[i]) * 1099511628211ull;
  }
  return hash;
}

}  // namespace

TEST(Wavelength, ChangesRaysOnlyWhereTheLensHasDispersion) {
  const std::string plain = WriteTestFile("plain.dat", "50\t5\t1.5168\t20\n0\t2\t1\t10\n-50\t40\t1\t20\n");
  const std::string glass =
      WriteTestFile("glass5.dat", "50\t5\t1.5168\t20\t64.17\n0\t2\t1\t10\n-50\t40\t1\t20\n");
  const uint64_t reference = CameraHash(plain, 0);
  ASSERT_NE(reference, 0u);
  // No Abbe numbers: every bit as without a wavelength.
  EXPECT_EQ(CameraHash(plain, 450.f), reference);
  // The same glass with its Abbe number: the same at the d line, changed in blue.
  EXPECT_EQ(CameraHash(glass, 0), reference);
  EXPECT_EQ(CameraHash(glass, float(kLineD)), reference);
  EXPECT_NE(CameraHash(glass, 450.f), reference);
}

TEST(Wavelength, OutsideTheVisibleIsRefused) {
  for (float nm : {359.f, 831.f, -1.f, NAN}) {
    Film film(64, 48);
    ParamSet ps = RequiredParams(BundledLens("singlet-100mm-f4.dat"));
    ps.AddFloat("wavelength", nm);
    testing::internal::CaptureStderr();
    EXPECT_EQ(MakeCamera(ps, &film), nullptr) << nm;
    EXPECT_NE(testing::internal::GetCapturedStderr().find(
                  "realistic: camera parameter \"wavelength\" is "),
              std::string::npos);
  }
}

namespace {

// The mean world direction that a film point sees through the camera at
// one wavelength: the centre of the light it gathers.
Vector MeanDirection(const std::string& lens, float wavelength, float image_x, float image_y) {
  Film film(300, 200);
  ParamSet ps = RequiredParams(BundledLens(lens));
  ps.AddFloat("filmdistance", 28.6f);
  ps.AddFloat("aperture_diameter", 4.34f);
  ps.AddFloat("filmdiag", 36.f);
  ps.AddFloat("wavelength", wavelength);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  double x = 0, y = 0, z = 0;
  int passed = 0;
  Sample s;
  s.imageX = image_x, s.imageY = image_y;
  Ray ray;
  for (int i = 0; i < 64; ++i)
    for (int j = 0; j < 64; ++j) {
      s.lensU = (i + 0.5f) / 64, s.lensV = (j + 0.5f) / 64;
      if (cam->GenerateRay(s, &ray) == 0.f) continue;
      x += ray.d.x, y += ray.d.y, z += ray.d.z;
      ++passed;
    }
  EXPECT_GT(passed, 100) << image_x << "," << image_y;
  return Normalize(Vector(float(x), float(y), float(z)));
}

double AngleBetween(const Vector& a, const Vector& b) {
  return std::acos(std::min(1.0, double(Dot(a, b))));
}

}  // namespace

TEST(Wavelength, LateralColourGrowsTowardTheCorner) {
  // The retrofocus at its design stop: at the film's centre red and blue
  // light come from the same direction; toward the corner they part.
  const char* lens = "retrofocus-24mm.dat";
  const double centre = AngleBetween(MeanDirection(lens, 460.f, 150.f, 100.f),
                                     MeanDirection(lens, 640.f, 150.f, 100.f));
  const double corner = AngleBetween(MeanDirection(lens, 460.f, 260.f, 170.f),
                                     MeanDirection(lens, 640.f, 260.f, 170.f));
  EXPECT_LT(centre, 1e-5);
  EXPECT_GT(corner, 20 * std::max(centre, 1e-6)) << corner;
}
