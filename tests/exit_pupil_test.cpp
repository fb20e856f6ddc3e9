// SPDX-License-Identifier: Apache-2.0
// Exit-pupil sampling: the same expected weight at every film point as
// back-element sampling, with far fewer blocked samples at small stops.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>

#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

constexpr int kWidth = 60, kHeight = 40;

// The 32-bit build runs under an emulator, some twenty times slower. It is
// there for the bits of the float arithmetic; the sampling's statistics
// are the same code, and are measured on the native build.
#define SKIP_STATISTICS_WHEN_EMULATED()                                                       \
  if (sizeof(void*) == 4) GTEST_SKIP() << "statistics are measured on the native build"

// The bundled double Gauss (f/2) focused near infinity, at a stop of
// `stop_scale` times its full diameter, sampled one way or the other.
std::unique_ptr<Camera> DoubleGauss(Film* film, float stop_scale, const char* sampling,
                                    int blades = 0) {
  const std::string lens = BundledLens("double-gauss-100mm-f2.dat");
  const LensStack stack(lens);
  ParamSet ps = RequiredParams(lens);
  ps.AddFloat("filmdistance", 58.f);
  ps.AddFloat("aperture_diameter",
              stop_scale * stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter());
  ps.AddFloat("filmdiag", 43.27f);
  ps.AddString("sampling", sampling);
  if (blades) ps.AddFloat("aperture_blades", float(blades));
  return MakeCamera(ps, film);
}

struct Estimate {
  double mean, variance_of_mean, passing;
};

// The mean weight at one film point over `n` uniform lens samples.
Estimate MeanWeight(const Camera& cam, float x, float y, int n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> uniform(0.f, 1.f);
  double sum = 0, sum2 = 0;
  int passing = 0;
  Sample s;
  s.imageX = x;
  s.imageY = y;
  Ray ray;
  for (int i = 0; i < n; ++i) {
    s.lensU = uniform(rng);
    s.lensV = uniform(rng);
    const double w = cam.GenerateRay(s, &ray);
    sum += w, sum2 += w * w, passing += w > 0;
  }
  const double mean = sum / n;
  return {mean, (sum2 / n - mean * mean) / n, double(passing) / n};
}

// The pupil's search traces only the rows of its grids below the axis and
// lets each stand for its mirror image above: the lens is symmetric about
// the plane through the axis and the film point (r, 0), and the traces
// must keep that symmetry to the bit. On every bundled lens, float and
// double, a ray and its mirror image pass alike and leave as mirror
// images, blocked or not, exactly.
TEST(ExitPupil, MirroredFilmRaysTraceAsMirrorImages) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> uniform(-1.f, 1.f);
  // Passed, blocked or refused (-1) by a trace condition, as the search
  // counts them.
  auto trace = [](const auto& run) {
    try {
      return run() ? 1 : 0;
    } catch (const LensError&) {
      return -1;
    }
  };
  int lenses = 0;
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(BundledLens("")))) {
    if (entry.path().extension() != ".dat") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++lenses;
    const LensStack lens(entry.path().string());
    const float R = 0.5f * lens.GetBackElementDiameter(), back_z = lens.GetLensDepth();
    int passed = 0, unlike = 0;
    for (int k = 0; k < 4000; ++k) {
      const float r = 15.f * std::fabs(uniform(rng)), x = R * uniform(rng), y = R * uniform(rng);
      const Point film(r, 0.f, back_z + 20.f + 30.f * std::fabs(uniform(rng)));
      const Ray a(film, Normalize(Point(x, y, back_z) - film), 0.001f, INFINITY, 0.f);
      const Ray b(film, Normalize(Point(x, -y, back_z) - film), 0.001f, INFINITY, 0.f);
      Ray ea, eb;
      const int pa = trace([&] { return lens.TraceFilmToWorld(a, &ea); });
      const int pb = trace([&] { return lens.TraceFilmToWorld(b, &eb); });
      passed += pa == 1;
      unlike += pa != pb || (pa == 1 && !(ea.o.x == eb.o.x && ea.o.y == -eb.o.y && ea.o.z == eb.o.z &&
                                          ea.d.x == eb.d.x && ea.d.y == -eb.d.y && ea.d.z == eb.d.z));
      const RayT<double> da{{film.x, film.y, film.z}, Vec3T<double>{x - film.x, y, back_z - film.z}.Normalized(),
                            kExactMint<double>};
      const RayT<double> db{da.o, {da.d.x, -da.d.y, da.d.z}, da.mint};
      RayT<double> fa, fb;
      const int qa = trace([&] { return lens.TraceFilmToWorldExact(da, &fa); });
      const int qb = trace([&] { return lens.TraceFilmToWorldExact(db, &fb); });
      passed += qa == 1;
      unlike += qa != qb || (qa == 1 && !(fa.o.x == fb.o.x && fa.o.y == -fb.o.y && fa.o.z == fb.o.z &&
                                          fa.d.x == fb.d.x && fa.d.y == -fb.d.y && fa.d.z == fb.d.z));
    }
    EXPECT_GT(passed, 100);
    EXPECT_EQ(unlike, 0);
  }
  EXPECT_GE(lenses, 10);
}

TEST(ExitPupil, ExpectedWeightMatchesBackElementSampling) {
  SKIP_STATISTICS_WHEN_EMULATED();
  Film film(kWidth, kHeight);
  for (float stop : {1.f, 0.25f}) {
    SCOPED_TRACE(stop);
    const auto back = DoubleGauss(&film, stop, "backelement");
    const auto pupil = DoubleGauss(&film, stop, "exitpupil");
    ASSERT_NE(back, nullptr);
    ASSERT_NE(pupil, nullptr);
    // Centre, off both axes half way out, and near the corner (cut by the
    // rims): a million samples each way over the two stops.
    const float points[][2] = {{30.3f, 20.2f}, {12.f, 33.f}, {58.f, 38.5f}};
    for (const auto& p : points) {
      SCOPED_TRACE(testing::Message() << p[0] << "," << p[1]);
      const Estimate a = MeanWeight(*back, p[0], p[1], 166667, 1);
      const Estimate b = MeanWeight(*pupil, p[0], p[1], 166667, 2);
      ASSERT_GT(a.mean, 0);
      // Five standard errors of the difference: a real bias of the
      // rectangles (cutting off part of the pupil) shows as much more.
      EXPECT_LT(std::fabs(a.mean - b.mean), 5 * std::sqrt(a.variance_of_mean + b.variance_of_mean))
          << a.mean << " vs " << b.mean;
      EXPECT_GE(b.passing, a.passing);
    }
  }
}

TEST(ExitPupil, FollowsABladedStop) {
  SKIP_STATISTICS_WHEN_EMULATED();
  // The tables come from traces, so they follow the pentagon; the mean is
  // the back-element sampling's.
  Film film(kWidth, kHeight);
  const auto back = DoubleGauss(&film, 0.3f, "backelement", 5);
  const auto pupil = DoubleGauss(&film, 0.3f, "exitpupil", 5);
  for (const auto& p : {std::make_pair(30.3f, 20.2f), std::make_pair(50.f, 33.f)}) {
    const Estimate a = MeanWeight(*back, p.first, p.second, 200000, 3);
    const Estimate b = MeanWeight(*pupil, p.first, p.second, 200000, 4);
    EXPECT_LT(std::fabs(a.mean - b.mean), 5 * std::sqrt(a.variance_of_mean + b.variance_of_mean))
        << a.mean << " vs " << b.mean;
    EXPECT_GT(b.passing, 3 * a.passing);
  }
}

// At a small stop the pupil is a speck on the back element; its rectangle
// must still hold all of it. A bladed stop turned away from the axes keeps
// its light off the film's x axis too (the rectangles are found on that
// axis and turned).
TEST(ExitPupil, SmallAndBladedStopsStayUnbiased) {
  SKIP_STATISTICS_WHEN_EMULATED();
  Film film(kWidth, kHeight);
  const std::string lens = BundledLens("planar-50mm-f2.dat");
  struct Case {
    float stop, blades, rotation, x, y;
  };
  const Case cases[] = {{2.257f, 0, 0, 30.f, 20.f}, {2.257f, 0, 0, 55.f, 36.f}, {10.f, 3, 0.f, 30.5f, 35.f}, {10.f, 3, 17.f, 50.f, 10.f}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.stop << " " << c.blades << " at " << c.x << "," << c.y);
    std::unique_ptr<Camera> cams[2];
    for (int k = 0; k < 2; ++k) {
      ParamSet ps = RequiredParams(lens);
      ps.AddFloat("filmdistance", 37.4f);
      ps.AddFloat("aperture_diameter", c.stop);
      ps.AddFloat("filmdiag", 43.27f);
      ps.AddFloat("aperture_blades", c.blades);
      ps.AddFloat("aperture_rotation", c.rotation);
      ps.AddString("sampling", k == 0 ? "backelement" : "exitpupil");
      cams[k] = MakeCamera(ps, &film);
      ASSERT_NE(cams[k], nullptr);
    }
    const Estimate a = MeanWeight(*cams[0], c.x, c.y, 600000, 5);
    const Estimate b = MeanWeight(*cams[1], c.x, c.y, 100000, 6);
    ASSERT_GT(a.mean, 0);
    EXPECT_LT(std::fabs(a.mean - b.mean), 5 * std::sqrt(a.variance_of_mean + b.variance_of_mean))
        << a.mean << " vs " << b.mean;
  }
}

TEST(ExitPupil, MostSamplesPassAtSmallStops) {
  Film film(kWidth, kHeight);
  // f/8: a quarter of the f/2 stop.
  const auto back = DoubleGauss(&film, 0.25f, "backelement");
  const auto pupil = DoubleGauss(&film, 0.25f, "exitpupil");
  auto share = [](const Camera& cam) {
    int passing = 0, total = 0;
    Ray ray;
    Sample s;
    for (int y = 0; y < kHeight; y += 2)
      for (int x = 0; x < kWidth; x += 2)
        for (int k = 0; k < 16; ++k) {
          s.imageX = float(x) + 0.5f;
          s.imageY = float(y) + 0.5f;
          s.lensU = (float(k % 4) + 0.5f) / 4.f;
          s.lensV = (float(k / 4) + 0.5f) / 4.f;
          passing += cam.GenerateRay(s, &ray) > 0;
          ++total;
        }
    return double(passing) / total;
  };
  const double a = share(*back), b = share(*pupil);
  EXPECT_GT(b, 5 * a) << a << " -> " << b;
}

// Exit-pupil sampling keeps most samples at every stop, from wide open to
// f/64 (or a stop of 0.5, a lens's smallest practical one), on every
// bundled lens: at the film's centre, half way out and at the corner of a
// film that the lens covers.
TEST(ExitPupil, MostSamplesPassAtEveryStopOnEveryLens) {
  SKIP_STATISTICS_WHEN_EMULATED();
  struct LensCase {
    const char* file;
    float filmdiag;  // within the lens's image circle (realcam lenses)
  };
  const LensCase lenses[] = {
      {"planar-50mm-f2.dat", 43.27f},        {"double-gauss-100mm-f2.dat", 43.27f},
      {"cooke-triplet-50mm-f4.dat", 43.27f}, {"tessar-101mm-f4.5.dat", 43.27f},
      {"telephoto-127mm-f5.6.dat", 43.27f},  {"retrofocus-24mm.dat", 36.f},
      {"fisheye-5mm-f1.8.dat", 12.f},        {"singlet-100mm-f4.dat", 43.27f},
      {"achromat-100mm-f4.dat", 43.27f},
  };
  Film film(kWidth, kHeight);
  for (const LensCase& c : lenses) {
    const std::string lens = BundledLens(c.file);
    const LensStack stack(lens);
    const float full = stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter();
    float f1, f2, p1, p2;
    stack.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
    // Stop diameters for f-numbers in whole stops from the prescription's
    // down to f/64, as a share of the full stop.
    for (float scale = 1.f; scale * full >= 0.5f; scale *= 0.5f) {
      ParamSet ps = RequiredParams(lens);
      ps.AddFloat("filmdistance", f1 - stack.GetLensDepth());
      ps.AddFloat("aperture_diameter", scale * full);
      ps.AddFloat("filmdiag", c.filmdiag);
      ps.AddString("sampling", "exitpupil");
      const auto cam = MakeCamera(ps, &film);
      ASSERT_NE(cam, nullptr);
      const float points[][2] = {{30.f, 20.f}, {45.f, 30.f}, {59.5f, 39.5f}};
      for (const auto& p : points) {
        int passing = 0;
        Sample s;
        s.imageX = p[0], s.imageY = p[1];
        Ray ray;
        for (int k = 0; k < 400; ++k) {
          s.lensU = (float(k % 20) + 0.5f) / 20.f;
          s.lensV = (float(k / 20) + 0.5f) / 20.f;
          passing += cam->GenerateRay(s, &ray) > 0;
        }
        EXPECT_GE(passing, 240) << c.file << " stop " << scale * full << " at " << p[0] << "," << p[1];
      }
    }
  }
}

TEST(ExitPupil, UnknownSamplingIsRefused) {
  Film film(kWidth, kHeight);
  testing::internal::CaptureStderr();
  EXPECT_EQ(DoubleGauss(&film, 1.f, "pupil"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "realistic: camera parameter \"sampling\" is \"pupil\"; expected \"backelement\" or "
            "\"exitpupil\"\n");
}

}  // namespace
