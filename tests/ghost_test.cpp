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
// or 4 times inside it leaves the front: T^2 (1 + R^2 + R^4).
TEST(Ghosts, PlateTransmittanceSumsItsInternalReflections) {
  const double n = 1.5, R = std::pow((n - 1) / (n + 1), 2), T = 1 - R;
  const LensStack plate(WriteTestFile("plate.dat", "0\t1\t0\t10\ninf\t5\t1.5\t20\ninf\t30\t1\t20\n"));
  const auto& s = plate.GetExactSurfaces();
  GhostSettings settings;
  settings.reflections = 4, settings.coated = false;
  double sum = 0;
  const int paths = 200000;
  int ghosts = 0;
  for (int k = 0; k < paths; ++k) {
    RayT<double> exit;
    double factor;
    int taken;
    const RayT<double> in{{0.1, 0.2, 40}, {0, 0, -1}, kExactMint<double>};
    if (GhostTraceFilmToWorld(s.data(), plate.GetInterfaces().data(), int(s.size()), in, settings,
                              uint64_t(k) * 0x9e3779b97f4a7c15ull + 1, &exit, &factor, &taken)) {
      sum += factor;
      ghosts += taken > 0;
      EXPECT_NEAR(exit.d.z, -1, 1e-12);
    }
  }
  EXPECT_NEAR(sum / paths, T * T * (1 + R * R + R * R * R * R), 0.005 * T * T);
  EXPECT_GT(ghosts, 100) << "the floor on the reflection's chance feeds the ghosts";
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
