// SPDX-License-Identifier: Apache-2.0
// The batch trace on each instruction set the machine has: every lane
// width gives GenerateRay's bits, for every bundled lens, both sampling
// modes, and samples off the film and at the ends of the lens square.
#include <cmath>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "realistic/realistic_camera.h"
#include "tests/test_files.h"

int RealisticBatchWidth(int forced);

namespace {

std::vector<Sample> Samples(int count) {
  std::vector<Sample> samples;
  for (int k = 0; k < count; ++k) {
    Sample s;
    s.imageX = float(k % 400) * 0.8f + 0.05f;
    s.imageY = float(k / 400) * (240.f / float(count / 400 + 1)) + 0.1f;
    s.lensU = float(k * 37 % 1009) / 1009.f;
    s.lensV = float(k * 59 % 1013) / 1013.f;
    samples.push_back(s);
  }
  const float below_one = std::nextafter(1.f, 0.f);
  for (float x : {-80.f, 0.f, 160.f, 320.f, 500.f})
    for (float u : {0.f, 0.5f, below_one})
      for (float v : {0.f, below_one}) {
        Sample s;
        s.imageX = x, s.imageY = x * 0.75f, s.lensU = u, s.lensV = v;
        samples.push_back(s);
      }
  return samples;
}

}  // namespace

namespace {

// Register widths: 4 SSE2, 8 AVX2, 16 AVX-512; each one the CPU has.
std::vector<int> Widths() {
  std::vector<int> widths;
  for (int width : {4, 8, 16})
    if (width <= RealisticBatchWidth(0)) widths.push_back(width);
  return widths;
}

struct CameraCase {
  bool pupil = false;
  int blades = 0;
  float rotation = 0.f, stop_scale = 1.f;
  bool exact = false;
  size_t min_pass_per_mille = 10;  // of the samples, on every width
  int reflections = 0;             // lens flare: 2 or 4
  bool coated = true;
};

// A camera on a bundled lens with its film near its focus for infinity;
// on every width the batch must give exactly GenerateRay's rays and
// weights, and some samples must pass.
void ExpectBatchMatchesGenerateRayAt(const std::string& lens, float back, const CameraCase& c,
                                     const std::vector<Sample>& samples) {
  Film film(320, 240);
  const LensStack stack(lens);
  const RealisticCamera camera(Transform(), 0.001f, 1e30f, 0.f, 1.f, back,
                               c.stop_scale * stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter(),
                               lens, 35.f, &film, c.pupil, false, c.blades, c.rotation, 0.f, 0.f, c.exact,
                               c.reflections, c.coated);
  std::vector<Ray> expected(samples.size());
  std::vector<float> expected_w(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) expected_w[i] = camera.GenerateRay(samples[i], &expected[i]);
  for (int width : Widths()) {
    SCOPED_TRACE(width);
    std::vector<Ray> rays(samples.size());
    std::vector<float> weights(samples.size());
    camera.GenerateRays(int(samples.size()), samples.data(), rays.data(), weights.data(), width);
    size_t passed = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
      ASSERT_EQ(0, std::memcmp(&weights[i], &expected_w[i], sizeof(float))) << i;
      ASSERT_EQ(0, std::memcmp(&rays[i], &expected[i], sizeof(Ray))) << i;
      passed += weights[i] > 0;
    }
    EXPECT_GT(passed * 1000, samples.size() * c.min_pass_per_mille);
  }
}
void ExpectBatchMatchesGenerateRay(const char* name, const CameraCase& c, const std::vector<Sample>& samples) {
  const std::string lens = BundledLens(name);
  const float back =
      std::string(name).rfind("fisheye", 0) == 0 ? 21.1f : 0.6f * LensStack(lens).GetLensDepth() + 20.f;
  ExpectBatchMatchesGenerateRayAt(lens, back, c, samples);
}

const char* const kLenses[] = {"cooke-triplet-50mm-f4.dat", "double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat",
                               "planar-50mm-f2.dat",        "retrofocus-24mm.dat",       "telephoto-127mm-f5.6.dat",
                               "tessar-101mm-f4.5.dat",     "singlet-100mm-f4.dat",      "achromat-100mm-f4.dat",
                               "planar-1897-49mm-f4.5.dat"};

}  // namespace

TEST(BatchLanes, EveryWidthGivesGenerateRaysBits) {
  // Under the 32-bit build's emulator, a tenth as many, over the same
  // film and lens.
  const std::vector<Sample> samples = Samples(sizeof(void*) == 4 ? 10000 : 100000);
  for (const char* name : kLenses)
    for (bool pupil : {false, true}) {
      SCOPED_TRACE(std::string(name) + (pupil ? " exitpupil" : " backelement"));
      CameraCase c;
      c.pupil = pupil;
      ExpectBatchMatchesGenerateRay(name, c, samples);
    }
}

// "precision" "double": the double lanes give GenerateRay's bits on each
// width too, hostile samples included.
TEST(BatchLanes, EveryWidthGivesGenerateRaysBitsInDouble) {
  const std::vector<Sample> samples = Samples(sizeof(void*) == 4 ? 5000 : 20000);
  for (const char* name : {"planar-50mm-f2.dat", "double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat",
                           "retrofocus-24mm.dat"})
    for (bool pupil : {false, true}) {
      SCOPED_TRACE(std::string(name) + (pupil ? " exitpupil" : " backelement"));
      CameraCase c;
      c.pupil = pupil, c.exact = true;
      ExpectBatchMatchesGenerateRay(name, c, samples);
    }
}

// Bladed stops in the lanes: every bundled lens, both sampling modes, blade
// counts from 3 to 32 at several turns, in float and in double, on each
// width, bit for bit as GenerateRay.
TEST(BatchLanes, BladedStopsGiveGenerateRaysBits) {
  const std::vector<Sample> samples = Samples(sizeof(void*) == 4 ? 3000 : 12000);
  const int blade_counts[] = {3, 5, 6, 7, 8, 9, 12, 16, 32};
  int which = 0;
  for (const char* name : kLenses)
    for (bool pupil : {false, true}) {
      CameraCase c;
      c.pupil = pupil, c.blades = blade_counts[which % 9], c.rotation = 17.f * float(which++);
      c.exact = which % 3 == 0, c.stop_scale = 0.7f, c.min_pass_per_mille = 5;
      SCOPED_TRACE(std::string(name) + (pupil ? " exitpupil " : " backelement ") + std::to_string(c.blades) +
                   " blades" + (c.exact ? " double" : ""));
      ExpectBatchMatchesGenerateRay(name, c, samples);
    }
}

// Lens flare in the lanes: each lane follows its own path (the direct one
// with every surface's loss, or reflections at surfaces of its own) and
// still gives GenerateRay's bits on each width, with two and four
// reflections, coated and bare, round and bladed, in both sampling modes.
TEST(BatchLanes, FlarePathsGiveGenerateRaysBits) {
  const std::vector<Sample> samples = Samples(sizeof(void*) == 4 ? 2000 : 16000);
  int which = 0;
  for (const char* name : {"planar-50mm-f2.dat", "double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat",
                           "tessar-101mm-f4.5.dat", "retrofocus-24mm.dat"})
    for (bool pupil : {false, true}) {
      CameraCase c;
      c.pupil = pupil, c.reflections = which % 3 == 2 ? 4 : 2, c.coated = which % 2 == 0;
      c.blades = which % 4 == 1 ? 6 : 0, c.min_pass_per_mille = 5;
      ++which;
      SCOPED_TRACE(std::string(name) + (pupil ? " exitpupil " : " backelement ") +
                   std::to_string(c.reflections) + (c.coated ? " coated" : " bare"));
      ExpectBatchMatchesGenerateRay(name, c, samples);
    }
}

// A thick element whose front surface is nearly a hemisphere, its stop
// behind it: light from the film that meets the front far from the axis
// is wholly reflected inside the glass, at a direct path's last surface
// (a refraction there would leave with a direction that is not a number)
// and at a ghost's on its way out. The lanes refuse it where the scalar
// walk does.
TEST(BatchLanes, FlarePathsWhollyReflectedFromTheFilmGiveGenerateRaysBits) {
  const std::string lens = WriteTestFile("steep-front.dat", "10\t12\t1.8\t19\n-1000\t2\t1\t19\n0\t28\t1\t16\n");
  const std::vector<Sample> samples = Samples(sizeof(void*) == 4 ? 2000 : 8000);
  for (bool coated : {true, false}) {
    CameraCase c;
    c.reflections = 2, c.coated = coated, c.min_pass_per_mille = 5;
    SCOPED_TRACE(coated ? "coated" : "bare");
    ExpectBatchMatchesGenerateRayAt(lens, 30.f, c, samples);
  }
}

// Light from the scene along each ghost path (the flare traced from the
// light) in the lanes: every width gives the scalar walk's raster points
// and weights bit for bit, coated and bare, the Cooke triplet's stop in
// its neighbour's vertex plane included.
TEST(BatchLanes, LightTracedGhostsGiveTheScalarWalksBits) {
  const int n = sizeof(void*) == 4 ? 300 : 2000;
  int which = 0;
  for (const char* name : {"planar-50mm-f2.dat", "cooke-triplet-50mm-f4.dat", "double-gauss-100mm-f2.dat"}) {
    Film film(320, 240);
    const std::string lens = BundledLens(name);
    const LensStack stack(lens);
    const bool coated = which++ % 2 == 0;
    const RealisticCamera camera(Transform(), 0.001f, 1e30f, 0.f, 1.f, 0.6f * stack.GetLensDepth() + 20.f,
                                 stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter(), lens, 35.f,
                                 &film, false, false, 0, 0.f, 0.f, 0.f, true, 2, coated);
    float centre[3], radius = 0;
    ASSERT_TRUE(camera.FrontAperture(centre, &radius));
    // Rays over the front disc, up to 20 degrees off the axis, toward -z
    // (camera space looks along +z), starting in front of the lens.
    std::vector<Ray> rays;
    for (int k = 0; k < n; ++k) {
      const float r = radius * std::sqrt(float(k * 37 % 1009) / 1009.f);
      const float phi = 6.2831853f * float(k * 59 % 1013) / 1013.f;
      const float ax = 0.35f * (float(k * 71 % 997) / 997.f - 0.5f), ay = 0.35f * (float(k * 83 % 991) / 991.f - 0.5f);
      const Vector d = Normalize(Vector(ax, ay, -1.f));
      const Point at(centre[0] + r * std::cos(phi), centre[1] + r * std::sin(phi), centre[2]);
      rays.push_back(Ray(at - d * (4.f * radius), d));
    }
    const int paths = camera.GhostPathList(nullptr, 0);
    ASSERT_GT(paths, 0);
    std::vector<int> pairs(size_t(2 * paths));
    camera.GhostPathList(pairs.data(), paths);
    size_t landed = 0;
    for (int p = 0; p < paths; ++p) {
      SCOPED_TRACE(std::string(name) + " path " + std::to_string(pairs[size_t(2 * p)]) + "," +
                   std::to_string(pairs[size_t(2 * p + 1)]));
      std::vector<float> xy(static_cast<size_t>(2 * n)), w(static_cast<size_t>(n));
      std::vector<float> lane_xy(static_cast<size_t>(2 * n)), lane_w(static_cast<size_t>(n));
      ASSERT_EQ(camera.TraceGhostRays(pairs[size_t(2 * p)], pairs[size_t(2 * p + 1)], n, rays.data(), xy.data(),
                                      w.data(), -1),
                n);
      for (float v : w) landed += v > 0;
      for (int width : Widths()) {
        SCOPED_TRACE(width);
        ASSERT_EQ(camera.TraceGhostRays(pairs[size_t(2 * p)], pairs[size_t(2 * p + 1)], n, rays.data(),
                                        lane_xy.data(), lane_w.data(), width),
                  n);
        ASSERT_EQ(0, std::memcmp(xy.data(), lane_xy.data(), xy.size() * sizeof(float)));
        ASSERT_EQ(0, std::memcmp(w.data(), lane_w.data(), w.size() * sizeof(float)));
      }
    }
    EXPECT_GT(landed, size_t(n / 10)) << name;
  }
}

// Light aimed through the front surface's centre of curvature meets it
// along its normal, where rounding puts the cosine of incidence at 1 or
// a hair above it: there the lanes' refraction may not take the
// reflectance's cos t for its own square root. Every width gives the
// scalar walk's rays and factors, compared in double.
TEST(BatchLanes, LightAlongTheFrontNormalGivesTheScalarWalksBits) {
  const int n = sizeof(void*) == 4 ? 200 : 1000;
  for (const char* name : {"planar-50mm-f2.dat", "double-gauss-100mm-f2.dat"}) {
    SCOPED_TRACE(name);
    Film film(320, 240);
    const std::string lens = BundledLens(name);
    const LensStack stack(lens);
    const RealisticCamera camera(Transform(), 0.001f, 1e30f, 0.f, 1.f, 0.6f * stack.GetLensDepth() + 20.f,
                                 stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter(), lens, 35.f,
                                 &film, false, false, 0, 0.f, 0.f, 0.f, true, 2, true);
    const std::vector<ExactSurface>& surfaces = stack.GetExactSurfaces();
    const ExactSurface& front = surfaces[0];
    const double reach = 0.8 * 0.5 * front.diameter / std::fabs(front.radius);
    std::vector<RayT<double>> rays;
    for (int k = 0; k < n; ++k) {
      const double ax = reach * (double(k * 71 % 997) / 997 - 0.5), ay = reach * (double(k * 83 % 991) / 991 - 0.5);
      const Vec3T<double> d = Vec3T<double>{ax, ay, 1}.Normalized();
      const Vec3T<double> centre{0, 0, front.center};
      rays.push_back({centre - d * (std::fabs(front.center) + 50), d, kExactMint<double>});
    }
    GhostSettings settings;
    settings.reflections = 2, settings.coated = true;
    PrepareGhostSettings(surfaces.data(), int(surfaces.size()), &settings);
    const int paths = camera.GhostPathList(nullptr, 0);
    std::vector<int> pairs(size_t(2 * paths));
    camera.GhostPathList(pairs.data(), paths);
    size_t landed = 0;
    for (int p = 0; p < paths; ++p) {
      const int later = pairs[size_t(2 * p)], earlier = pairs[size_t(2 * p + 1)];
      std::vector<RayT<double>> out(rays.size()), lane_out(rays.size());
      std::vector<double> factor(rays.size()), lane_factor(rays.size());
      std::vector<unsigned char> passed(rays.size());
      for (int width : Widths()) {
        ASSERT_TRUE(camera.GhostLanesFromTheLight(later, earlier, n, rays.data(), lane_out.data(),
                                                  lane_factor.data(), passed.data(), width));
        for (size_t k = 0; k < rays.size(); ++k) {
          const bool scalar = GhostTraceWorldToFilm(surfaces.data(), stack.GetInterfaces().data(),
                                                    int(surfaces.size()), rays[k], later, earlier, settings,
                                                    &out[k], &factor[k]);
          ASSERT_EQ(scalar, passed[k] != 0) << p << " " << width << " " << k;
          if (!scalar) continue;
          landed += width == Widths()[0];
          ASSERT_EQ(0, std::memcmp(&out[k].o, &lane_out[k].o, sizeof out[k].o)) << p << " " << width << " " << k;
          ASSERT_EQ(0, std::memcmp(&out[k].d, &lane_out[k].d, sizeof out[k].d)) << p << " " << width << " " << k;
          ASSERT_EQ(0, std::memcmp(&factor[k], &lane_factor[k], sizeof factor[k])) << p << " " << width << " " << k;
        }
      }
    }
    EXPECT_GT(landed, size_t(n));
  }
}
