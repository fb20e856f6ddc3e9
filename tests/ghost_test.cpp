// SPDX-License-Identifier: Apache-2.0
// Lens flare: reflections inside the lens, bare and coated, against the
// optics of a glass plate and a thin film; and the camera's contract.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include <dlfcn.h>

#include "realistic/ghost_trace.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

// A quarter-wave layer of MgF2 on glass of 1.52 at its design wavelength,
// normal incidence: ((1.52 - 1.38^2) / (1.52 + 1.38^2))^2 = 1.26%; bare
// glass ((1.52 - 1) / (1.52 + 1))^2 = 4.26%. Either side of the surface
// reflects the same.
TEST(Ghosts, SingleLayerCoatingReflectsAThirdOfBareGlass) {
  const double coated = std::pow((1.52 - 1.38 * 1.38) / (1.52 + 1.38 * 1.38), 2);
  const double bare = std::pow(0.52 / 2.52, 2);
  EXPECT_NEAR(SurfaceReflectance(1.0, 1.52, 1.0, true, 550), coated, 1e-6);
  EXPECT_NEAR(SurfaceReflectance(1.52, 1.0, 1.0, true, 550), coated, 1e-6);
  EXPECT_NEAR(SurfaceReflectance(1.0, 1.52, 1.0, false, 550), bare, 1e-6);
  // Away from its design wavelength the layer reflects more (its colour).
  EXPECT_GT(SurfaceReflectance(1.0, 1.52, 1.0, true, 420), coated);
  EXPECT_GT(SurfaceReflectance(1.0, 1.52, 1.0, true, 700), coated);
  // Past the critical angle inside glass, all of it.
  EXPECT_EQ(SurfaceReflectance(1.52, 1.0, 0.3, false, 550), 1.0);
}

// Through an uncoated plate at normal incidence, light that reflects 0, 2
// or 4 times inside it leaves the front: T^2 (1 + R^2 + R^4). The direct
// path gives T^2; the ghost paths, picked at random, average to the rest.
TEST(Ghosts, PlateTransmittanceSumsItsInternalReflections) {
  const double n = 1.5, R = std::pow((n - 1) / (n + 1), 2), T = 1 - R;
  const LensStack plate(WriteTestFile("plate.dat", "0\t1\t0\t10\ninf\t5\t1.5\t20\ninf\t30\t1\t20\n"));
  const auto& s = plate.GetExactSurfaces();
  GhostSettings settings;
  settings.reflections = 4, settings.coated = false;
  const RayT<double> in{{0.1, 0.2, 40}, {0, 0, -1}, kExactMint<double>};
  RayT<double> exit;
  double factor;
  int taken;
  ASSERT_TRUE(GhostTraceFilmToWorld(s.data(), plate.GetInterfaces().data(), int(s.size()), in, settings, 1, &exit,
                                    &factor, &taken, 0));
  EXPECT_NEAR(factor, T * T, 1e-12);
  EXPECT_EQ(taken, 0);
  double sum = 0;
  const int paths = 200000;
  int four = 0;
  for (int k = 0; k < paths; ++k) {
    ASSERT_TRUE(GhostTraceFilmToWorld(s.data(), plate.GetInterfaces().data(), int(s.size()), in, settings,
                                      uint64_t(k) * 0x9e3779b97f4a7c15ull + 1, &exit, &factor, &taken, 1));
    sum += factor;
    four += taken == 4;
    EXPECT_NEAR(exit.d.z, -1, 1e-12);
  }
  EXPECT_NEAR(sum / paths, T * T * (R * R + R * R * R * R), 0.005 * T * T * R * R);
  EXPECT_GT(four, paths / 8) << "a quarter of the ghost paths reflect four times";
}

namespace {

// The 32-bit build runs under an emulator, some twenty times slower; it is
// there for the float arithmetic's bits, and the estimators' statistics
// are the same code, measured on the native build.
bool Emulated() { return sizeof(void*) == 4; }

// Every path a film ray can take with at most `most` reflections, summed
// exactly: the light that leaves the front, as the product of
// reflectances and transmittances along each path. The random trace must
// average to this.
double AllPaths(const LensStack& lens, const RayT<double>& r, int i, int dir, int taken, int most, bool coated) {
  const auto& s = lens.GetExactSurfaces();
  const int n = int(s.size());
  if (i < 0) return 1;
  if (i >= n) return 0;
  Vec3T<double> hit, normal;
  if (!ExactIntersect(s[size_t(i)], lens.GetInterfaces()[size_t(i)], r, &hit, &normal)) return 0;
  const double n_front = i == 0 ? 1.0 : s[size_t(i) - 1].index, n_back = s[size_t(i)].index;
  const double n1 = dir < 0 ? n_back : n_front, n2 = dir < 0 ? n_front : n_back;
  if (n1 == n2) return AllPaths(lens, {hit, r.d, kExactMint<double>}, i + dir, dir, taken, most, coated);
  Vec3T<double> nrm = normal.Normalized();
  double cosi = -nrm.Dot(r.d);
  if (cosi < 0) nrm = -nrm, cosi = -cosi;
  const double R = SurfaceReflectance(n1, n2, cosi, coated, 587.5618);
  double sum = 0;
  const double eta = n1 / n2, k = 1 - eta * eta * (1 - cosi * cosi);
  if (R < 1 && k >= 0)
    sum += (1 - R) * AllPaths(lens, {hit, r.d * eta + nrm * (eta * cosi - std::sqrt(k)), kExactMint<double>}, i + dir,
                              dir, taken, most, coated);
  if (taken < most)
    sum += R * AllPaths(lens, {hit, r.d + nrm * (2 * cosi), kExactMint<double>}, i - dir, -dir, taken + 1, most, coated);
  return sum;
}

}  // namespace

// The random trace is unbiased: through the double Gauss, off the axis,
// with two and four reflections, bare and coated, the direct path's
// weight and the mean of the ghost paths' are the exact sums over every
// path with no reflection and with some.
TEST(Ghosts, RandomPathsAverageToTheSumOverAllPaths) {
  if (Emulated()) GTEST_SKIP() << "statistics are measured on the native build";
  const LensStack lens(BundledLens("double-gauss-100mm-f2.dat"));
  const auto& s = lens.GetExactSurfaces();
  const double film_z = lens.GetLensDepthExact() + 61.5;
  const Vec3T<double> from{6, -4, film_z}, to{1.5, 2, lens.GetLensDepthExact()};
  const RayT<double> ray{from, (to - from).Normalized(), kExactMint<double>};
  for (int most : {2, 4})
    for (bool coated : {true, false}) {
      GhostSettings settings;
      settings.reflections = most, settings.coated = coated;
      const double exact = AllPaths(lens, ray, int(s.size()) - 1, -1, 0, most, coated);
      const double direct = AllPaths(lens, ray, int(s.size()) - 1, -1, 0, 0, coated);
      RayT<double> exit;
      double factor;
      int taken;
      ASSERT_TRUE(GhostTraceFilmToWorld(s.data(), lens.GetInterfaces().data(), int(s.size()), ray, settings, 1,
                                        &exit, &factor, &taken, 0));
      EXPECT_NEAR(factor, direct, 1e-12);
      double sum = 0;
      const int paths = 100000;
      for (int k = 0; k < paths; ++k)
        if (GhostTraceFilmToWorld(s.data(), lens.GetInterfaces().data(), int(s.size()), ray, settings,
                                  uint64_t(k) * 0x9e3779b97f4a7c15ull + 7, &exit, &factor, &taken, 1))
          sum += factor;
      SCOPED_TRACE(testing::Message() << most << " reflections, coated " << coated);
      EXPECT_NEAR(sum / paths, exact - direct, 0.01 * (exact - direct));
      EXPECT_GT(exact, direct);
    }
}

// The iris shapes the ghosts too: a path meets the stop each time it
// crosses it, whichever way. Summed exactly over a grid of film rays
// through the double Gauss at a small stop, six blades pass the direct
// light in proportion to the hexagon's area, and cut the ghosts' light as
// well.
TEST(Ghosts, BladesShapeTheGhostsAsTheDirectLight) {
  LensStack round(BundledLens("double-gauss-100mm-f2.dat"));
  round.SetApertureDiameter(12.f);
  round.SetExact(true);
  LensStack bladed(BundledLens("double-gauss-100mm-f2.dat"));
  bladed.SetApertureDiameter(12.f);
  bladed.SetApertureBlades(6, 0.f);
  bladed.SetExact(true);
  double direct[2] = {0, 0}, ghosts[2] = {0, 0};
  int k = 0;
  for (const LensStack* lens : {&round, &bladed}) {
    const int last = int(lens->GetExactSurfaces().size()) - 1;
    const double back_z = lens->GetLensDepthExact(), film_z = back_z + 61.5;
    for (int i = 0; i < 120; ++i)
      for (int j = 0; j < 120; ++j) {
        const Vec3T<double> to{-24 + 48 * (i + 0.5) / 120, -24 + 48 * (j + 0.5) / 120, back_z};
        const Vec3T<double> from{0, 0, film_z};
        const RayT<double> ray{from, (to - from).Normalized(), kExactMint<double>};
        const double d = AllPaths(*lens, ray, last, -1, 0, 0, false);
        direct[k] += d;
        ghosts[k] += AllPaths(*lens, ray, last, -1, 0, 2, false) - d;
      }
    ++k;
  }
  const double hexagon = 3 * std::sqrt(3.0) / (2 * M_PI);  // a regular hexagon's share of its circle
  EXPECT_NEAR(direct[1] / direct[0], hexagon, 0.01);
  EXPECT_LT(ghosts[1], 0.95 * ghosts[0]);
  EXPECT_GT(ghosts[1], 0.5 * ghosts[0]);
}

// "reflections" 0 is every bit the plain camera; anything but 0, 2 or 4,
// and a coating other than none or single, are refused.
TEST(Ghosts, CameraParameters) {
  Film film(64, 48);
  auto camera = [&](float reflections, const char* coating) {
    ParamSet ps = RequiredParams(BundledLens("double-gauss-100mm-f2.dat"));
    ps.AddFloat("filmdistance", 58.f);
    ps.AddFloat("aperture_diameter", 20.f);
    if (reflections >= 0) ps.AddFloat("reflections", reflections);
    if (coating) ps.AddString("coating", coating);
    return MakeCamera(ps, &film);
  };
  const auto plain = camera(-1, nullptr), zero = camera(0, nullptr), flare = camera(2, "single");
  ASSERT_NE(flare, nullptr);
  double direct = 0, with_flare = 0;
  for (int k = 0; k < 4000; ++k) {
    Sample s;
    s.imageX = float(k % 64) + 0.5f, s.imageY = float(k / 64 % 48) + 0.5f;
    s.lensU = float(k * 37 % 101) / 101.f, s.lensV = float(k * 59 % 103) / 103.f;
    Ray a, b, c;
    const float wa = plain->GenerateRay(s, &a), wb = zero->GenerateRay(s, &b);
    ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a));
    ASSERT_EQ(0, std::memcmp(&wa, &wb, sizeof wa));
    direct += wa, with_flare += flare->GenerateRay(s, &c);
  }
  // Coated surfaces lose about 1.3% each, and ghosts add back far less.
  EXPECT_LT(with_flare, direct);
  EXPECT_GT(with_flare, 0.7 * direct);
  testing::internal::CaptureStderr();
  EXPECT_EQ(camera(1, nullptr), nullptr);
  EXPECT_EQ(camera(2, "double"), nullptr);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("camera parameter \"reflections\" is 1; expected 0, 2 or 4"), std::string::npos) << err;
  EXPECT_NE(err.find("camera parameter \"coating\" is \"double\""), std::string::npos) << err;
}

// The plug-in counts, for a host's summary, the samples a flare camera
// answered and those that left on a ghost path: every sample through
// either entry and from any thread, and the same samples again take the
// same paths. Cameras without reflections, or of another plug-in, do not
// count.
TEST(Ghosts, CountsOfGhostPaths) {
  void* plugin = dlopen(REALISTIC_SO, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(plugin, nullptr);
  const auto counts = reinterpret_cast<decltype(&RealisticGhostCounts)>(dlsym(plugin, "RealisticGhostCounts"));
  const auto batch = reinterpret_cast<decltype(&RealisticGenerateRays)>(dlsym(plugin, "RealisticGenerateRays"));
  ASSERT_NE(counts, nullptr);
  ASSERT_NE(batch, nullptr);
  Film film(64, 48);
  ParamSet ps = RequiredParams(BundledLens("double-gauss-100mm-f2.dat"));
  ps.AddFloat("filmdistance", 61.5f);
  ps.AddFloat("aperture_diameter", 31.71f);
  const auto plain = MakeCamera(ps, &film);
  ps.AddFloat("reflections", 2.f);
  const auto flare = MakeCamera(ps, &film);
  ASSERT_NE(flare, nullptr);

  std::vector<Sample> samples(3000);
  for (size_t k = 0; k < samples.size(); ++k) {
    samples[k].imageX = float(k % 64) + 0.25f, samples[k].imageY = float(k / 64 % 48) + 0.75f;
    samples[k].lensU = float(k * 37 % 101) / 101.f, samples[k].lensV = float(k * 59 % 103) / 103.f;
  }
  auto run = [&](size_t from, size_t to) {
    Ray ray;
    for (size_t k = from; k < to; ++k) flare->GenerateRay(samples[k], &ray);
  };
  std::thread a(run, 0, 1000), b(run, 1000, 2000);
  a.join(), b.join();
  std::vector<Ray> rays(1000);
  std::vector<float> weights(1000);
  ASSERT_EQ(batch(flare.get(), 1000, samples.data() + 2000, rays.data(), weights.data()), 1000);
  unsigned long long n = 0, ghosts = 0;
  ASSERT_EQ(counts(flare.get(), &n, &ghosts), 0);
  EXPECT_EQ(n, 3000u);
  EXPECT_GT(ghosts, 0u);
  EXPECT_LT(ghosts, n / 2) << "most light takes the direct path";
  run(0, 3000);
  unsigned long long n2 = 0, ghosts2 = 0;
  ASSERT_EQ(counts(flare.get(), &n2, &ghosts2), 0);
  EXPECT_EQ(n2, 6000u);
  EXPECT_EQ(ghosts2, 2 * ghosts);

  ASSERT_EQ(counts(plain.get(), &n, &ghosts), 0);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ghosts, 0u);
  struct Other : Camera {
    explicit Other(Film* f) : Camera(Transform(), 0, 1, 0, 1, f) {}
    float GenerateRay(const Sample&, Ray*) const override { return 0; }
  } other(&film);
  EXPECT_EQ(counts(&other, &n, &ghosts), -1);
  EXPECT_EQ(counts(flare.get(), nullptr, &ghosts), -1);
}

// A flare camera aiming at the exit pupil splits its lens samples between
// the direct path (at the pupil) and ghost paths (at the pupil or over the
// whole back element, for a ghost may start where no direct ray passes):
// the light reaching a film point, ghosts included, is what back-element
// sampling finds.
TEST(Ghosts, ExitPupilSamplingKeepsTheGhosts) {
  if (Emulated()) GTEST_SKIP() << "statistics are measured on the native build";
  Film film(64, 48);
  auto camera = [&](const char* sampling) {
    ParamSet ps = RequiredParams(BundledLens("double-gauss-100mm-f2.dat"));
    ps.AddFloat("filmdistance", 61.5f);
    ps.AddFloat("aperture_diameter", 31.71f);
    ps.AddFloat("reflections", 2.f);
    ps.AddString("coating", "none");
    ps.AddString("sampling", sampling);
    return MakeCamera(ps, &film);
  };
  const auto back = camera("backelement"), pupil = camera("exitpupil");
  ASSERT_NE(pupil, nullptr);
  for (float x : {32.f, 60.f}) {
    double sums[2] = {0, 0};
    const int grid = 600;
    for (int k = 0; k < grid * grid; ++k) {
      Sample s;
      s.imageX = x, s.imageY = 24.f;
      s.lensU = (float(k % grid) + 0.5f) / grid, s.lensV = (float(k / grid) + 0.5f) / grid;
      Ray r;
      sums[0] += back->GenerateRay(s, &r);
      sums[1] += pupil->GenerateRay(s, &r);
    }
    EXPECT_NEAR(sums[1] / sums[0], 1.0, 0.01) << "film x " << x;
  }
}
