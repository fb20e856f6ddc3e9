// SPDX-License-Identifier: Apache-2.0
// Ray generation through the plug-in boundary: what the camera hands the
// host for a sample, and the weight it carries.
#include <cmath>
#include <vector>
#include <cstring>
#include <dlfcn.h>
#include <cstdint>
#include <cstdio>
#include <limits>

#include <gtest/gtest.h>

#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

constexpr float kPi = 3.1415927f;

// A lens of nothing but its stop, in air: a ray passes unbent, so the
// camera's ray is the film ray turned into camera space.
std::unique_ptr<Camera> StopOnlyCamera(Film* film, float diameter, float filmdistance,
                                       const Transform& w2c = Transform()) {
  char text[64];
  snprintf(text, sizeof text, "0\t1\t1\t%.9g\n", diameter);
  ParamSet ps = RequiredParams(WriteTestFile("stop-only.dat", text));
  ps.AddFloat("aperture_diameter", diameter);
  ps.AddFloat("filmdistance", filmdistance);
  return std::unique_ptr<Camera>(RealisticFactory()(ps, w2c, film));
}

Sample MakeSample(float x, float y, float u, float v, float time = 0.f) {
  Sample s;
  s.imageX = x;
  s.imageY = y;
  s.lensU = u;
  s.lensV = v;
  s.time = time;
  return s;
}

bool Blocked(const Ray& r) { return r.mint > r.maxt; }

}  // namespace

TEST(GenerateRay, OnAxisWeightIsPiROverZSquared) {
  // r = 10, z = 50: pi / 25 in the order r pi, times r, over z^2.
  Film film(100, 100);
  std::unique_ptr<Camera> cam = StopOnlyCamera(&film, 20.f, 50.f);
  ASSERT_NE(cam, nullptr);
  Ray ray;
  const float weight = cam->GenerateRay(MakeSample(50, 50, 0.5f, 0.5f), &ray);
  EXPECT_EQ(weight, float(float(10.f * kPi) * 10.f / 2500.0));
  EXPECT_NEAR(weight, kPi / 25, 1e-7f);
  // Camera space: the film centre is behind the lens, toward -z, and the
  // ray leaves along +z.
  EXPECT_EQ(ray.o.x, 0.f);
  EXPECT_EQ(ray.o.z, -50.f);
  EXPECT_EQ(ray.d.x, 0.f);
  EXPECT_EQ(ray.d.z, 1.f);
}

TEST(GenerateRay, WeightFallsWithTheFourthPowerOfTheCosine) {
  // From the film centre to the rim of a back element of radius sqrt(3)
  // one unit in front: the ray runs at 60 degrees, cos = 1/2.
  Film film(100, 100);
  const float radius = 1.7320508f;
  std::unique_ptr<Camera> cam = StopOnlyCamera(&film, 2.f * radius, 1.f);
  ASSERT_NE(cam, nullptr);
  Ray axial, oblique;
  const float on_axis = cam->GenerateRay(MakeSample(50, 50, 0.5f, 0.5f), &axial);
  const float off_axis = cam->GenerateRay(MakeSample(50, 50, 1.f, 0.5f), &oblique);
  ASSERT_FALSE(Blocked(oblique));
  EXPECT_EQ(oblique.d.z, 0.5f);
  EXPECT_EQ(off_axis, on_axis / 16);
}

TEST(GenerateRay, IdentityTransformFlipsXAndZOfTheFilmRay) {
  Film film(64, 48);
  std::unique_ptr<Camera> cam = StopOnlyCamera(&film, 10.f, 20.f);
  ASSERT_NE(cam, nullptr);
  Ray ray;
  ASSERT_GT(cam->GenerateRay(MakeSample(10, 40, 0.25f, 0.75f), &ray), 0.f);
  // The film point of raster (10, 40) on a 28 x 21 film at z = 20.
  const float fx = float((2.0 * float(10.0 / 64) - 1) * 14.f);
  const float fy = float((2.0 * float(40.0 / 48) - 1) * 10.5f);
  EXPECT_EQ(ray.o.x, -fx);
  EXPECT_EQ(ray.o.y, fy);  // 0x1.bffffep+2: rounded to float at fY, not 7
  EXPECT_EQ(ray.o.z, -20.f);
  EXPECT_GT(ray.d.z, 0.f);
  EXPECT_NEAR(ray.d.Length(), 1.f, 1e-6f);
}

TEST(GenerateRay, BlockedRayIsTheFilmRayLeftEmpty) {
  Film film(64, 48);
  ParamSet ps = RequiredParams(WriteTestFile("five.dat", kFiveSurfaceLens));
  ps.AddFloat("aperture_diameter", 0.f);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  ASSERT_NE(cam, nullptr);
  Ray ray;
  EXPECT_EQ(cam->GenerateRay(MakeSample(0, 0, 0.5f, 0.5f, 0.7f), &ray), 0.f);
  EXPECT_EQ(ray.mint, 1.f);
  EXPECT_EQ(ray.maxt, 0.f);
  EXPECT_EQ(ray.time, 0.f);
  // Lens space: from the film corner at z = 85 toward the back vertex.
  EXPECT_EQ(ray.o.x, -14.f);
  EXPECT_EQ(ray.o.y, -10.5f);
  EXPECT_EQ(ray.o.z, 85.f);
  const Vector d = Normalize(Point(0, 0, 15) - Point(-14, -10.5f, 85));
  EXPECT_EQ(ray.d.x, d.x);
  EXPECT_EQ(ray.d.y, d.y);
  EXPECT_EQ(ray.d.z, d.z);
}

TEST(GenerateRay, IntervalAndTimeWhateverTheParametersAndSample) {
  Film film(32, 32);
  ParamSet ps = RequiredParams(WriteTestFile("five.dat", kFiveSurfaceLens));
  ps.AddFloat("hither", 5.f);
  ps.AddFloat("yon", 6.f);
  ps.AddFloat("filmdistance", 40.f);
  ps.AddFloat("aperture_diameter", 20.f);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  ASSERT_NE(cam, nullptr);
  int passed = 0, blocked = 0;
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 8; ++j) {
      Ray ray;
      const float w =
          cam->GenerateRay(MakeSample(i + 0.5f, 16.f, (j + 0.5f) / 8, 0.3f, 0.9f), &ray);
      EXPECT_GE(w, 0.f);
      EXPECT_EQ(ray.time, 0.f);
      if (Blocked(ray)) {
        ++blocked;
        EXPECT_EQ(w, 0.f);
      } else {
        ++passed;
        EXPECT_EQ(ray.mint, 0.f);
        EXPECT_EQ(ray.maxt, std::numeric_limits<float>::infinity());
        EXPECT_GT(w, 0.f);
      }
    }
  EXPECT_GT(passed, 0);
  EXPECT_GT(blocked, 0);
}

TEST(GenerateRay, WorldTransformMovesOriginAndTurnsDirection) {
  Film film(64, 48);
  const Transform w2c = LookAt(Point(1, 2, 3), Point(4, 2, -1), Vector(0, 1, 0));
  std::unique_ptr<Camera> local = StopOnlyCamera(&film, 10.f, 20.f);
  std::unique_ptr<Camera> world = StopOnlyCamera(&film, 10.f, 20.f, w2c);
  ASSERT_NE(world, nullptr);
  const Sample s = MakeSample(20, 30, 0.6f, 0.1f);
  Ray camera_ray, world_ray;
  const float w_local = local->GenerateRay(s, &camera_ray);
  const float w_world = world->GenerateRay(s, &world_ray);
  EXPECT_EQ(w_world, w_local);  // the weight is taken before the transform
  const Transform c2w = w2c.GetInverse();
  const Point o = c2w(camera_ray.o);
  const Vector d = c2w(camera_ray.d);
  EXPECT_EQ(world_ray.o.x, o.x);
  EXPECT_EQ(world_ray.o.y, o.y);
  EXPECT_EQ(world_ray.o.z, o.z);
  EXPECT_EQ(world_ray.d.x, d.x);
  EXPECT_EQ(world_ray.d.z, d.z);
  // Back in the world the ray starts 20 behind the eye along the view axis
  // (the film) and heads toward the target's side.
  const Vector view = Normalize(Point(4, 2, -1) - Point(1, 2, 3));
  EXPECT_GT(Dot(world_ray.d, view), 0.9f);
}

TEST(GenerateRayDeathTest, FailedConditionIsReportedOnceAndAborts) {
  // Index 0 between the front element and the stop: the axial ray meets
  // the stop head on going into that medium, where Snell's ratio is
  // infinite and the refracted direction not a number.
  Film film(32, 32);
  const ParamSet ps = RequiredParams(
      WriteTestFile("zero-index.dat", "40\t5\t0\t20\n0\t5\t1\t10\n-40\t5\t1.5\t20\n"));
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  ASSERT_NE(cam, nullptr);
  Ray ray;
  EXPECT_DEATH(cam->GenerateRay(MakeSample(16, 16, 0.5f, 0.5f), &ray),
               "realistic: condition \"fabs\\(Dot\\(refract_dir, N\\) - \\(-coso\\)\\) < "
               "EPSILON\" failed in Ray Refract\\(const Point&, const Point&, const Vector&, "
               "float, float\\)");
}

namespace {

// FNV-1a over the bytes of every ray and weight that the camera hands out
// for 10,000 samples spread over the film and the lens.
using GenerateRaysFn = decltype(&RealisticGenerateRays);

uint64_t RayChecksum(const std::string& lens, float filmdistance, float aperture, float filmdiag,
                     GenerateRaysFn batch = nullptr) {
  Film film(320, 240);
  // The checksums were taken on these files as they were then; they stay
  // frozen in the test data so that they pin the camera's arithmetic, not
  // the library's lens data.
  ParamSet ps = RequiredParams(std::string(REALCAM_TEST_DATA "/") + lens);
  ps.AddFloat("filmdistance", filmdistance);
  ps.AddFloat("aperture_diameter", aperture);
  ps.AddFloat("filmdiag", filmdiag);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  if (!cam) return 0;
  uint64_t hash = 1469598103934665603ull;
  auto mix = [&hash](const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) hash = (hash ^ static_cast<const unsigned char*>(p)[i]) * 1099511628211ull;
  };
  for (int k = 0; k < 10000; ++k) {
    const Sample s = MakeSample(float(k % 100) * 3.2f + 0.1f, float(k / 100) * 2.4f + 0.1f,
                                float(k * 37 % 101) / 101.f, float(k * 59 % 103) / 103.f);
    Ray ray;
    float w;
    if (batch)
      batch(cam.get(), 1, &s, &ray, &w);
    else
      w = cam->GenerateRay(s, &ray);
    const float fields[] = {ray.o.x, ray.o.y, ray.o.z, ray.d.x, ray.d.y, ray.d.z,
                            ray.mint, ray.maxt, ray.time, w};
    mix(fields, sizeof fields);
  }
  return hash;
}

}  // namespace

// Every bit of what the camera returns, pinned: any change to the
// arithmetic on the ray path (a reordering, a fused multiply-add, a
// different rounding) changes these sums, on x86-64 and 32-bit x86 alike.
TEST(GenerateRay, BitsOfTenThousandRaysAreUnchanged) {
  // Focused near infinity at full aperture; about 31% and 34% of the
  // samples pass.
  EXPECT_EQ(RayChecksum("checksum-double-gauss.dat", 58.f, 31.71f, 43.27f), 10284933388349254425ull);
  EXPECT_EQ(RayChecksum("checksum-fisheye.dat", 21.11f, 17.39f, 12.f), 4663185241473423530ull);
}

namespace {

GenerateRaysFn BatchFunction() {
  void* plugin = dlopen(REALISTIC_SO, RTLD_NOW | RTLD_NOLOAD);
  return plugin ? reinterpret_cast<GenerateRaysFn>(dlsym(plugin, "RealisticGenerateRays")) : nullptr;
}

}  // namespace

// The batch entry point gives, for every sample, exactly GenerateRay's
// ray and weight: over the film and the lens, in both sampling modes, and
// for hostile samples (off the film, lens numbers at 0 and just under 1).
TEST(GenerateRays, BatchIsBitIdenticalToGenerateRay) {
  RealisticFactory();  // loads the plug-in
  const GenerateRaysFn batch = BatchFunction();
  ASSERT_NE(batch, nullptr);
  std::vector<Sample> samples;
  for (int k = 0; k < 20000; ++k)
    samples.push_back(MakeSample(float(k % 160) * 2.f + 0.3f, float(k / 160) * 1.9f + 0.2f,
                                 float(k * 37 % 1009) / 1009.f, float(k * 59 % 1013) / 1013.f));
  const float below_one = std::nextafter(1.f, 0.f);
  for (float x : {-50.f, 0.f, 160.f, 320.f, 400.f})
    for (float u : {0.f, 0.5f, below_one})
      for (float v : {0.f, below_one}) samples.push_back(MakeSample(x, x * 0.75f, u, v));
  for (const char* lens : {"double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat", "planar-50mm-f2.dat"})
    for (const char* sampling : {"backelement", "exitpupil"}) {
      SCOPED_TRACE(std::string(lens) + " " + sampling);
      Film film(320, 240);
      ParamSet ps = RequiredParams(BundledLens(lens));
      ps.AddString("sampling", sampling);
      ps.AddFloat("filmdistance", std::string(lens).rfind("fisheye", 0) == 0 ? 21.11f : 45.f);
      std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
      ASSERT_NE(cam, nullptr);
      std::vector<Ray> rays(samples.size());
      std::vector<float> weights(samples.size());
      ASSERT_EQ(batch(cam.get(), int(samples.size()), samples.data(), rays.data(), weights.data()),
                int(samples.size()));
      for (size_t i = 0; i < samples.size(); ++i) {
        Ray ray;
        const float w = cam->GenerateRay(samples[i], &ray);
        ASSERT_EQ(0, std::memcmp(&w, &weights[i], sizeof w)) << i;
        ASSERT_EQ(0, std::memcmp(&ray, &rays[i], sizeof ray)) << i;
      }
    }
  // Not a camera of this plug-in, or bad arguments: -1, nothing written.
  Film film(32, 24);
  float w = 7.f;
  Ray r;
  EXPECT_EQ(batch(nullptr, 1, samples.data(), &r, &w), -1);
  std::unique_ptr<Camera> cam = MakeCamera(RequiredParams(BundledLens("planar-50mm-f2.dat")), &film);
  EXPECT_EQ(batch(cam.get(), -1, samples.data(), &r, &w), -1);
  EXPECT_EQ(batch(cam.get(), 1, nullptr, &r, &w), -1);
  EXPECT_EQ(w, 7.f);
  EXPECT_EQ(batch(cam.get(), 0, nullptr, nullptr, nullptr), 0);
  // The stored checksums hold for the batch entry too.
  EXPECT_EQ(RayChecksum("checksum-double-gauss.dat", 58.f, 31.71f, 43.27f, batch), 10284933388349254425ull);
  EXPECT_EQ(RayChecksum("checksum-fisheye.dat", 21.11f, 17.39f, 12.f, batch), 4663185241473423530ull);
}

// A host may hand over any sample: a non-number from its own sampler, a
// raster position far off the film. Such a sample is a blocked ray (weight
// 0, an empty ray of finite numbers), through both entry points, in both
// sampling modes, round and bladed, and never ends the process.
TEST(GenerateRay, SamplesWithoutAFilmRayAreBlockedNotFatal) {
  RealisticFactory();
  const GenerateRaysFn batch = BatchFunction();
  ASSERT_NE(batch, nullptr);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<Sample> bad;
  for (float x : {nan, inf, -inf, 1e30f, -1e30f, 3e38f}) {
    bad.push_back(MakeSample(x, 240.f, 0.5f, 0.5f));
    bad.push_back(MakeSample(320.f, x, 0.5f, 0.5f));
    bad.push_back(MakeSample(320.f, 240.f, x, 0.5f));
    bad.push_back(MakeSample(320.f, 240.f, 0.5f, x));
  }
  bad.push_back(MakeSample(nan, nan, nan, nan));
  // Good samples between them must keep their answers in the batch.
  std::vector<Sample> mixed;
  for (size_t i = 0; i < bad.size(); ++i) {
    mixed.push_back(bad[i]);
    mixed.push_back(MakeSample(float(i * 13 % 640), float(i * 7 % 480), 0.3f, 0.6f));
  }
  for (const char* sampling : {"backelement", "exitpupil"})
    for (float blades : {0.f, 6.f}) {
      SCOPED_TRACE(std::string(sampling) + " blades " + std::to_string(int(blades)));
      Film film(640, 480);
      ParamSet ps = RequiredParams(BundledLens("planar-50mm-f2.dat"));
      ps.AddFloat("filmdistance", 37.3f);
      ps.AddString("sampling", sampling);
      ps.AddFloat("aperture_diameter", 12.f);
      ps.AddFloat("aperture_blades", blades);
      std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
      ASSERT_NE(cam, nullptr);
      std::vector<Ray> rays(mixed.size());
      std::vector<float> weights(mixed.size());
      ASSERT_EQ(batch(cam.get(), int(mixed.size()), mixed.data(), rays.data(), weights.data()),
                int(mixed.size()));
      for (size_t i = 0; i < mixed.size(); ++i) {
        Ray ray;
        const float w = cam->GenerateRay(mixed[i], &ray);
        ASSERT_EQ(0, std::memcmp(&w, &weights[i], sizeof w)) << i;
        ASSERT_EQ(0, std::memcmp(&ray, &rays[i], sizeof ray)) << i;
        if (i % 2 == 1) continue;
        EXPECT_EQ(w, 0.f) << i;
        EXPECT_GT(ray.mint, ray.maxt) << i;
        for (float c : {ray.o.x, ray.o.y, ray.o.z, ray.d.x, ray.d.y, ray.d.z})
          EXPECT_TRUE(std::isfinite(c)) << i;
      }
    }
}

// A lens sample at the disc's centre (0.5, 0.5: a pinhole preview, the
// first point of many low-discrepancy sequences) aims at the back
// element's vertex, and the ray then meets surfaces at or within rounding
// of their vertices. Wherever the samples just beside it pass, it passes
// too: at every pixel centre of two lenses, both sampling modes, both
// precisions, through GenerateRay and the batch entry alike.
TEST(GenerateRay, TheLensCentrePassesWhereItsNeighboursDo) {
  RealisticFactory();
  const GenerateRaysFn batch = BatchFunction();
  ASSERT_NE(batch, nullptr);
  const int width = 180, height = 120;
  std::vector<Sample> samples;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (float u : {0.4999f, 0.5f, 0.5001f}) samples.push_back(MakeSample(x + 0.5f, y + 0.5f, u, 0.5f));
  for (const char* lens : {"planar-50mm-f2.dat", "double-gauss-100mm-f2.dat"})
    for (const char* sampling : {"backelement", "exitpupil"})
      for (const char* precision : {"float", "double"}) {
        SCOPED_TRACE(std::string(lens) + " " + sampling + " " + precision);
        Film film(width, height);
        ParamSet ps = RequiredParams(BundledLens(lens));
        ps.AddString("sampling", sampling);
        ps.AddString("precision", precision);
        ps.AddFloat("aperture_diameter", std::string(lens).rfind("planar", 0) == 0 ? 18.f : 30.f);
        ps.AddFloat("focusdistance", 5000.f);
        std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
        ASSERT_NE(cam, nullptr);
        std::vector<Ray> rays(samples.size());
        std::vector<float> weights(samples.size());
        batch(cam.get(), int(samples.size()), samples.data(), rays.data(), weights.data());
        int holes = 0, centres = 0, differ = 0;
        for (size_t i = 0; i < samples.size(); i += 3) {
          Ray ray;
          const float w = cam->GenerateRay(samples[i + 1], &ray);
          differ += std::memcmp(&w, &weights[i + 1], sizeof w) != 0;
          if (weights[i] > 0 && weights[i + 2] > 0) {
            ++centres;
            holes += !(weights[i + 1] > 0);
          }
        }
        EXPECT_GT(centres, width * height / 4);
        EXPECT_EQ(holes, 0) << "of " << centres;
        EXPECT_EQ(differ, 0);
      }
}

// Flare cameras trace their paths in the lanes too, each lane on its own
// path (direct, or reflecting at its own surfaces): every bit as
// GenerateRay, for two and four reflections, coated and bare, round and
// bladed, float and exit-pupil aiming, and the ghost counts alike.
TEST(GenerateRays, FlareBatchIsBitIdenticalToGenerateRay) {
  RealisticFactory();
  const GenerateRaysFn batch = BatchFunction();
  ASSERT_NE(batch, nullptr);
  std::vector<Sample> samples;
  for (int k = 0; k < 12000; ++k)
    samples.push_back(MakeSample(float(k % 120) * 2.f + 0.3f, float(k / 120) * 1.6f + 0.2f,
                                 float(k * 37 % 1009) / 1009.f, float(k * 59 % 1013) / 1013.f));
  for (float x : {-50.f, 120.f, 400.f})
    for (float u : {0.f, 0.5f, std::nextafter(1.f, 0.f)}) samples.push_back(MakeSample(x, x * 0.66f, u, 0.3f));
  struct Setting {
    const char* lens;
    float reflections;
    const char* coating;
    float blades;
    const char* sampling;
    float aperture;
  };
  for (const Setting& s : {Setting{"planar-50mm-f2.dat", 2, "single", 0, "backelement", 18},
                           Setting{"double-gauss-100mm-f2.dat", 4, "none", 6, "backelement", 30},
                           Setting{"cooke-triplet-50mm-f4.dat", 2, "single", 5, "exitpupil", 9}}) {
    SCOPED_TRACE(std::string(s.lens) + " " + s.coating + " " + s.sampling);
    Film film(240, 160);
    ParamSet ps = RequiredParams(BundledLens(s.lens));
    ps.AddFloat("reflections", s.reflections);
    ps.AddString("coating", s.coating);
    ps.AddFloat("aperture_blades", s.blades);
    ps.AddString("sampling", s.sampling);
    ps.AddFloat("focusdistance", 3000.f);
    ps.AddFloat("aperture_diameter", s.aperture);
    std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
    ASSERT_NE(cam, nullptr);
    std::vector<Ray> rays(samples.size());
    std::vector<float> weights(samples.size());
    ASSERT_EQ(batch(cam.get(), int(samples.size()), samples.data(), rays.data(), weights.data()),
              int(samples.size()));
    int ghosts = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
      Ray ray;
      const float w = cam->GenerateRay(samples[i], &ray);
      ASSERT_EQ(0, std::memcmp(&w, &weights[i], sizeof w)) << i << " " << w << " " << weights[i];
      ASSERT_EQ(0, std::memcmp(&ray, &rays[i], sizeof ray)) << i;
      ghosts += w > 0 && samples[i].lensU >= 0.5f;
    }
    EXPECT_GT(ghosts, 100) << "ghost paths that passed were compared";
  }
}
