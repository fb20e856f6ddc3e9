// SPDX-License-Identifier: Apache-2.0
// The C interface against the plug-in a host loads: the same rays and
// weights bit for bit, refusals as statuses and messages (never a print or
// an exit), and the lens queries against the tools' own analysis.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "capi/realcam.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

namespace {

struct Param {
  const char* key;
  const char* value;
};

}  // namespace

// For each lens, sampling mode, precision and with lens flare: the C
// interface's generate gives every bit of the plug-in's GenerateRay.
TEST(CInterface, GenerateIsTheBitsOfThePluginsGenerateRay) {
  const std::vector<std::vector<Param>> settings = {
      {{"aperture_diameter", "18"}, {"focusdistance", "5000"}},
      {{"aperture_diameter", "9"}, {"focusdistance", "2000"}, {"sampling", "exitpupil"}},
      {{"aperture_diameter", "18"}, {"focusdistance", "3000"}, {"precision", "double"}, {"aperture_blades", "6"}},
      {{"aperture_diameter", "12"}, {"focusdistance", "3000"}, {"reflections", "2"}},
  };
  std::vector<float> samples;
  for (int k = 0; k < 6000; ++k) {
    const float s[4] = {float(k % 120) * 2.f + 0.25f, float(k / 120) * 3.2f + 0.5f, float(k * 37 % 1009) / 1009.f,
                        float(k * 59 % 1013) / 1013.f};
    samples.insert(samples.end(), s, s + 4);
  }
  const size_t n = samples.size() / 4;
  for (const char* name : {"planar-50mm-f2", "double-gauss-100mm-f2"}) {
    realcam_lens* lens = realcam_lens_open(name);
    ASSERT_NE(lens, nullptr) << realcam_last_error();
    for (const auto& params : settings) {
      std::vector<const char*> keys, values;
      ParamSet ps = RequiredParams(BundledLens(std::string(name) + ".dat"));
      for (const Param& p : params) {
        keys.push_back(p.key), values.push_back(p.value);
        char* end;
        const float v = strtof(p.value, &end);
        if (*end == '\0')
          ps.AddFloat(p.key, v);
        else
          ps.AddString(p.key, p.value);
      }
      SCOPED_TRACE(std::string(name) + " " + params.back().key);
      realcam_camera* camera = realcam_camera_create(lens, 240, 160, keys.data(), values.data(), keys.size(), nullptr);
      ASSERT_NE(camera, nullptr) << realcam_last_error();
      Film film(240, 160);
      std::unique_ptr<Camera> plugin = MakeCamera(ps, &film);
      ASSERT_NE(plugin, nullptr);
      std::vector<float> origins(3 * n), directions(3 * n), weights(n);
      ASSERT_EQ(realcam_camera_generate(camera, n, samples.data(), origins.data(), directions.data(), weights.data()),
                REALCAM_OK);
      size_t passed = 0;
      for (size_t i = 0; i < n; ++i) {
        Sample s;
        s.imageX = samples[4 * i], s.imageY = samples[4 * i + 1], s.lensU = samples[4 * i + 2];
        s.lensV = samples[4 * i + 3];
        Ray ray;
        const float w = plugin->GenerateRay(s, &ray);
        const float o[3] = {ray.o.x, ray.o.y, ray.o.z}, d[3] = {ray.d.x, ray.d.y, ray.d.z};
        ASSERT_EQ(std::memcmp(&w, &weights[i], sizeof w), 0) << i;
        ASSERT_EQ(std::memcmp(o, &origins[3 * i], sizeof o), 0) << i;
        ASSERT_EQ(std::memcmp(d, &directions[3 * i], sizeof d), 0) << i;
        passed += w > 0;
      }
      EXPECT_GT(passed, n / 50);  // the comparison saw passing rays
      realcam_camera_free(camera);
    }
    realcam_lens_free(lens);
  }
}

// Every refusal comes back as a status and a message for the thread; the
// library prints nothing and the process goes on.
TEST(CInterface, RefusalsAreStatusesNotExits) {
  CaptureStderr();
  EXPECT_EQ(realcam_lens_open("/nonexistent/lens.dat"), nullptr);
  EXPECT_EQ(realcam_last_status(), REALCAM_ERROR_LENS);
  EXPECT_EQ(std::string(realcam_last_error()).rfind("Cannot open file /nonexistent/lens.dat", 0), 0u);
  EXPECT_EQ(realcam_lens_from_text("35\t5\t1.6\n0\t3\t0\t20\n", "dat", "broken.dat"), nullptr);
  EXPECT_NE(std::string(realcam_last_error()).find("broken.dat:1"), std::string::npos) << realcam_last_error();
  realcam_lens* lens = realcam_lens_open("planar-50mm-f2");
  ASSERT_NE(lens, nullptr);
  const char* keys[] = {"filmdiag", "filmdistance", "nosuchkey", "specfile"};
  const char* values[] = {"-35", "text", "1", "x.dat"};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(realcam_camera_create(lens, 64, 48, keys + k, values + k, 1, nullptr), nullptr);
    EXPECT_NE(std::string(realcam_last_error()).find(std::string("\"") + keys[k] + "\""), std::string::npos)
        << realcam_last_error();
  }
  EXPECT_EQ(realcam_camera_create(lens, 0, 48, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(realcam_last_status(), REALCAM_ERROR_ARGUMENT);
  const float singular[16] = {};
  EXPECT_EQ(realcam_camera_create(lens, 64, 48, nullptr, nullptr, 0, singular), nullptr);
  EXPECT_EQ(realcam_camera_generate(nullptr, 1, nullptr, nullptr, nullptr, nullptr), REALCAM_ERROR_ARGUMENT);
  double v;
  EXPECT_EQ(realcam_lens_focus(lens, -5, -1, &v), REALCAM_ERROR_ARGUMENT);
  EXPECT_EQ(realcam_lens_f_number(nullptr, &v), REALCAM_ERROR_ARGUMENT);
  realcam_lens_free(lens);
  realcam_lens_free(nullptr);
  realcam_camera_free(nullptr);
  EXPECT_EQ(GetCapturedStderr(), "");
}

// The queries answer what the tools print: the Planar's published f/2
// design (EFL 52.03, f/2.014 at its 18.06 mm stop), a focus at 5 m a
// little behind the infinity focus, and a trace that agrees with the float
// camera's own lens.
TEST(CInterface, QueriesAndTracesOfAKnownLens) {
  realcam_lens* lens = realcam_lens_open("planar-50mm-f2");
  ASSERT_NE(lens, nullptr);
  double efl, fn, stop, lit, half, far_film, near_film, stop8;
  ASSERT_EQ(realcam_lens_focal_length(lens, &efl), REALCAM_OK);
  ASSERT_EQ(realcam_lens_f_number(lens, &fn), REALCAM_OK);
  ASSERT_EQ(realcam_lens_stop_diameter(lens, &stop), REALCAM_OK);
  ASSERT_EQ(realcam_lens_image_circle(lens, &lit, &half), REALCAM_OK);
  ASSERT_EQ(realcam_lens_focus(lens, 1e7, -1, &far_film), REALCAM_OK);
  ASSERT_EQ(realcam_lens_focus(lens, 5000, -1, &near_film), REALCAM_OK);
  ASSERT_EQ(realcam_lens_stop_for_f_number(lens, 8, &stop8), REALCAM_OK);
  EXPECT_NEAR(efl, 52.03, 0.01);
  EXPECT_NEAR(fn, 2.014, 0.001);
  EXPECT_FLOAT_EQ(float(stop), 18.06f);
  EXPECT_NEAR(stop8 / stop, fn / 8, 1e-3);
  EXPECT_GT(lit, half);
  EXPECT_GT(half, 0.5 * lit);
  // Thin-lens: moving the object from infinity to 5 m moves the film by
  // about f^2 / 5000.
  EXPECT_NEAR(near_film - far_film, efl * efl / 5000, 0.1 * efl * efl / 5000);
  char* json = realcam_lens_info_json(lens);
  ASSERT_NE(json, nullptr);
  EXPECT_NE(std::string(json).find("\"f_number\":2.01416"), std::string::npos);
  realcam_string_free(json);
  // World rays 5 and 30 from the axis: one passes, the other the rims stop.
  const double o[6] = {0, 5, -100, 0, 30, -100}, d[6] = {0, 0, 1, 0, 0, 1};
  double oo[6], od[6];
  unsigned char status[2];
  ASSERT_EQ(realcam_lens_trace(lens, REALCAM_FROM_WORLD, REALCAM_FLOAT, 0, 2, o, d, oo, od, status), REALCAM_OK);
  EXPECT_EQ(status[0], 1);
  EXPECT_EQ(status[1], 0);
  EXPECT_TRUE(std::isnan(oo[3]));
  double exact_o[6], exact_d[6];
  ASSERT_EQ(realcam_lens_trace(lens, REALCAM_FROM_WORLD, REALCAM_DOUBLE, 0, 2, o, d, exact_o, exact_d, status),
            REALCAM_OK);
  EXPECT_NEAR(exact_d[1], od[1], 5e-5);  // the float trace's rounding
  // The ray crosses the axis near the rear focal point: it converges.
  EXPECT_LT(od[1], 0);
  realcam_lens_free(lens);
}

// Flare from the light through the C interface: a singlet in air has one
// ghost (reflected at its back surface, then its front), and light along
// the axis that takes it lands around the film's centre with the weight
// of two bare reflections (4% each for n = 1.5 at normal incidence) and the
// transmissions around them; a sample's path is the one GenerateRay gives.
TEST(CInterface, GhostsTracedFromTheLight) {
  realcam_lens* lens = realcam_lens_from_text("50\t5\t1.5\t20\n-50\t2\t1\t20\n0\t48\t0\t16\n", nullptr, "singlet");
  ASSERT_NE(lens, nullptr) << realcam_last_error();
  const char* keys[] = {"reflections", "coating", "filmdistance", "aperture_diameter", "filmdiag"};
  const char* values[] = {"2", "none", "48", "16", "20"};
  realcam_camera* camera = realcam_camera_create(lens, 64, 64, keys, values, 5, nullptr);
  ASSERT_NE(camera, nullptr) << realcam_last_error();
  int pairs[8];
  size_t count = 0;
  ASSERT_EQ(realcam_camera_ghost_paths(camera, pairs, 4, &count), REALCAM_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(pairs[0], 1);
  EXPECT_EQ(pairs[1], 0);
  float centre[3], radius;
  ASSERT_EQ(realcam_camera_front_aperture(camera, centre, &radius), REALCAM_OK);
  EXPECT_GE(radius, 10.f);
  // Light along the axis toward the lens (world = camera space: +z looks
  // into the scene, so the light travels toward -z), near the axis: the
  // ghost spreads it six times wider on the film.
  const float origins[6] = {0, 0.3f, 100, 0.2f, 0, 100}, directions[6] = {0, 0, -1, 0, 0, -1};
  float xy[4], weights[2];
  ASSERT_EQ(realcam_camera_trace_ghost(camera, 1, 0, 2, origins, directions, xy, weights), REALCAM_OK);
  const double r = (0.5 / 2.5) * (0.5 / 2.5);  // ((n - 1) / (n + 1))^2
  for (int i = 0; i < 2; ++i) {
    EXPECT_NEAR(weights[i], r * r * (1 - r) * (1 - r), 0.05 * r * r) << i;
    EXPECT_NEAR(xy[2 * i], 32, 20);
    EXPECT_NEAR(xy[2 * i + 1], 32, 20);
  }
  EXPECT_EQ(realcam_camera_trace_ghost(camera, 0, 1, 2, origins, directions, xy, weights), REALCAM_ERROR_ARGUMENT);
  const float direct[4] = {32, 32, 0.25f, 0.5f}, ghost[4] = {32, 32, 0.75f, 0.5f};
  int is_ghost = -1;
  ASSERT_EQ(realcam_camera_ghost_sample(camera, direct, &is_ghost), REALCAM_OK);
  EXPECT_EQ(is_ghost, 0);
  ASSERT_EQ(realcam_camera_ghost_sample(camera, ghost, &is_ghost), REALCAM_OK);
  EXPECT_EQ(is_ghost, 1);
  realcam_camera_free(camera);
  // With four reflections allowed, a quarter of the ghost samples take
  // four: those are not on a listed path, and keep every source's light.
  const char* four[] = {"4", "none", "48", "16", "20"};
  camera = realcam_camera_create(lens, 64, 64, keys, four, 5, nullptr);
  ASSERT_NE(camera, nullptr) << realcam_last_error();
  int listed = 0;
  const int samples = 4000;
  for (int i = 0; i < samples; ++i) {
    const float s[4] = {32.f + float(i % 7), 32.f, 0.5f + 0.5f * (float(i) + 0.5f) / samples, 0.5f};
    ASSERT_EQ(realcam_camera_ghost_sample(camera, s, &is_ghost), REALCAM_OK);
    listed += is_ghost;
  }
  EXPECT_NEAR(double(listed) / samples, 0.75, 0.03);
  realcam_camera_free(camera);
  realcam_lens_free(lens);
}

// Every ghost path of the Cooke triplet carries light along the axis. Its
// stop lies in the plane of the next surface's vertex, behind that
// surface's rim: light on its way to the film must go on from the glass
// before the stop, not restart on the stop's plane, already past the next
// surface.
TEST(CInterface, EveryGhostPathOfAStopAtAVertexCarriesLight) {
  realcam_lens* lens = realcam_lens_open(REALCAM_LENS_DIR "/cooke-triplet-50mm-f4.dat");
  ASSERT_NE(lens, nullptr) << realcam_last_error();
  const char* keys[] = {"reflections", "coating", "filmdistance", "aperture_diameter"};
  const char* values[] = {"2", "none", "41.37", "6.665"};
  realcam_camera* camera = realcam_camera_create(lens, 300, 200, keys, values, 4, nullptr);
  ASSERT_NE(camera, nullptr) << realcam_last_error();
  int pairs[64];
  size_t count = 0;
  ASSERT_EQ(realcam_camera_ghost_paths(camera, pairs, 32, &count), REALCAM_OK);
  ASSERT_EQ(count, 15u);
  // A grid over the stop's beam (3.3 mm around the axis), along the axis.
  std::vector<float> origins, directions;
  for (int y = -6; y <= 6; ++y)
    for (int x = -6; x <= 6; ++x) {
      origins.insert(origins.end(), {0.5f * float(x), 0.5f * float(y), 100.f});
      directions.insert(directions.end(), {0.f, 0.f, -1.f});
    }
  const size_t n = origins.size() / 3;
  std::vector<float> xy(2 * n), weights(n);
  for (size_t p = 0; p < count; ++p) {
    ASSERT_EQ(realcam_camera_trace_ghost(camera, pairs[2 * p], pairs[2 * p + 1], n, origins.data(),
                                         directions.data(), xy.data(), weights.data()),
              REALCAM_OK);
    int arrived = 0;
    for (float w : weights) arrived += w > 0;
    EXPECT_GT(arrived, 0) << "path " << pairs[2 * p] << ", " << pairs[2 * p + 1];
  }
  realcam_camera_free(camera);
  realcam_lens_free(lens);
}

// A ghost traced from the light carries the iris's shape: a singlet behind
// a six-bladed stop passes, along its ghost path, the hexagon's share of
// the light the round stop passes, 0.827 of it (3 sqrt(3) / (2 pi)),
// within 0.02.
TEST(CInterface, TracedGhostHasTheIrissShape) {
  realcam_lens* lens =
      realcam_lens_from_text("0\t2\t0\t10\n50\t5\t1.5\t24\n-50\t48\t1\t24\n", nullptr, "stop-first singlet");
  ASSERT_NE(lens, nullptr) << realcam_last_error();
  auto landed = [&](const char* blades) {
    const char* keys[] = {"reflections", "filmdistance", "aperture_diameter", "filmdiag", "aperture_blades"};
    const char* values[] = {"2", "48", "10", "200", blades};
    realcam_camera* camera = realcam_camera_create(lens, 256, 256, keys, values, 5, nullptr);
    EXPECT_NE(camera, nullptr) << realcam_last_error();
    if (!camera) return 0.0;
    int pairs[2];
    size_t count = 0;
    EXPECT_EQ(realcam_camera_ghost_paths(camera, pairs, 1, &count), REALCAM_OK);
    // Light along the axis over a fine grid wider than the stop.
    const int side = 400;
    std::vector<float> o, d, xy(2 * side * side), w(side * side);
    for (int j = 0; j < side; ++j)
      for (int i = 0; i < side; ++i) {
        o.insert(o.end(), {-6.f + 12.f * (i + 0.5f) / side, -6.f + 12.f * (j + 0.5f) / side, 50.f});
        d.insert(d.end(), {0.f, 0.f, -1.f});
      }
    EXPECT_EQ(realcam_camera_trace_ghost(camera, pairs[0], pairs[1], size_t(side * side), o.data(), d.data(),
                                         xy.data(), w.data()),
              REALCAM_OK);
    double sum = 0;
    for (float v : w) sum += v;
    realcam_camera_free(camera);
    return sum;
  };
  const double round = landed("0"), hexagon = landed("6");
  ASSERT_GT(round, 0);
  EXPECT_NEAR(hexagon / round, 3 * std::sqrt(3.0) / (2 * M_PI), 0.02);
  realcam_lens_free(lens);
}
