// SPDX-License-Identifier: Apache-2.0
// Mirror lenses: surfaces that turn the light back, and an opaque centre.
// The bundled catadioptric telephoto against an independent sequential
// trace, its ring-shaped out-of-focus light, and what the prescription
// refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

const std::string kMirrorLens = "mirror-1000mm-f7.5.dat";

// The prescription's data lines as numbers, read here on their own.
struct Row {
  double r, t, n, ap;
  bool mirror;
  double obscuration;
};

std::vector<Row> ReadRows(const std::string& path) {
  std::ifstream in(path);
  std::vector<Row> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 12, "obscuration ") == 0) {
      rows.back().obscuration = std::stod(line.substr(12));
      continue;
    }
    std::istringstream words(line);
    std::string r, rest;
    Row row{};
    words >> r >> row.t >> row.n >> row.ap >> rest;
    row.r = r == "inf" ? INFINITY : std::stod(r);
    row.mirror = rest == "mirror";
    rows.push_back(row);
  }
  return rows;
}

// A sequential trace of a ray from the scene to the film written from the
// textbook: spheres met on the vertex's side, Snell's law in vector form,
// the law of reflection; every aperture and the obscuration tested.
bool IndependentTrace(const std::vector<Row>& rows, double o[3], double d[3]) {
  double z = 0, n = 1;
  for (const Row& s : rows) {
    double t;
    double nrm[3] = {0, 0, -1};
    if (s.r == 0 || std::isinf(s.r)) {
      t = (z - o[2]) / d[2];
    } else {
      const double c = z + s.r, oc[3] = {o[0], o[1], o[2] - c};
      const double b = oc[0] * d[0] + oc[1] * d[1] + oc[2] * d[2];
      const double disc = b * b - (oc[0] * oc[0] + oc[1] * oc[1] + oc[2] * oc[2] - s.r * s.r);
      if (disc < 0) return false;
      t = -b - std::sqrt(disc);
      if (t < 1e-9 || (oc[2] + t * d[2]) * s.r > 0) t = -b + std::sqrt(disc);
      for (int k = 0; k < 3; ++k) nrm[k] = (o[k] + t * d[k] - (k == 2 ? c : 0)) / s.r;
    }
    for (int k = 0; k < 3; ++k) o[k] += t * d[k];
    const double h2 = o[0] * o[0] + o[1] * o[1];
    if (h2 > 0.25 * s.ap * s.ap || h2 < 0.25 * s.obscuration * s.obscuration) return false;
    z += s.t;
    if (s.r == 0) continue;
    double cosi = -(nrm[0] * d[0] + nrm[1] * d[1] + nrm[2] * d[2]);
    if (cosi < 0) {
      for (double& v : nrm) v = -v;
      cosi = -cosi;
    }
    if (s.mirror) {
      for (int k = 0; k < 3; ++k) d[k] += 2 * cosi * nrm[k];
      continue;
    }
    const double eta = n / s.n, k2 = 1 - eta * eta * (1 - cosi * cosi);
    if (k2 < 0) return false;
    for (int k = 0; k < 3; ++k) d[k] = eta * d[k] + (eta * cosi - std::sqrt(k2)) * nrm[k];
    n = s.n;
  }
  return true;
}

}  // namespace

// Rays from a distant point on and off the axis cross the corrector, the
// primary, the secondary and the relay: where they land on the film and
// which are blocked agree with the independent trace.
TEST(MirrorLens, RealRaysAgreeWithAnIndependentTrace) {
  const std::string path = BundledLens(kMirrorLens);
  const LensStack lens(path);
  const std::vector<Row> rows = ReadRows(path);
  ASSERT_EQ(rows.size(), lens.GetInterfaces().size());
  int passed = 0, compared = 0;
  for (double angle : {0.0, 0.5, 1.0}) {
    const double a = angle * M_PI / 180, dir[3] = {0, std::sin(a), std::cos(a)};
    for (int j = -12; j <= 12; ++j)
      for (int i = -12; i <= 12; ++i) {
        double o[3] = {6.0 * i, 6.0 * j - 200 * std::tan(a), -200}, d[3] = {dir[0], dir[1], dir[2]};
        RayT<double> out;
        const bool ours = lens.TraceWorldToFilmExact({{o[0], o[1], o[2]}, {d[0], d[1], d[2]}, 0}, &out);
        const bool theirs = IndependentTrace(rows, o, d);
        ++compared;
        ASSERT_EQ(ours, theirs) << "ray " << i << "," << j << " at " << angle << " deg";
        if (!ours) continue;
        ++passed;
        // On the film plane 75.74 behind the back vertex.
        const double film = lens.GetLensDepthExact() + 75.7409;
        const double x = out.o.x + (film - out.o.z) / out.d.z * out.d.x;
        const double y = out.o.y + (film - out.o.z) / out.d.z * out.d.y;
        const double tx = o[0] + (film - o[2]) / d[2] * d[0], ty = o[1] + (film - o[2]) / d[2] * d[1];
        EXPECT_NEAR(x, tx, 1e-9);
        EXPECT_NEAR(y, ty, 1e-9);
      }
  }
  // The obscuration and the rims block a good share; most of the pupil passes.
  EXPECT_GT(passed, compared / 3);
  EXPECT_LT(passed, compared);
}

// An out-of-focus point's image is the pupil's shape: a ring, whose hole
// is the secondary's shadow. From the film's centre, the share of light
// the obscuration takes is its area over the axial beam's where it stands
// (the beam there: the f/7.5 entrance pupil, narrowed by the weak
// corrector), within 3%; exit-pupil sampling finds the same light as
// sampling the whole back element, and passes more than half its samples.
TEST(MirrorLens, RingBokehHoleIsTheObscurationsShareOfThePupil) {
  if (sizeof(void*) == 4) GTEST_SKIP() << "statistics are measured on the native build";
  const std::string path = BundledLens(kMirrorLens);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string clear_text = text.str();
  const size_t at = clear_text.find("obscuration 50\n");
  ASSERT_NE(at, std::string::npos);
  clear_text.erase(at, 15);
  const std::string clear = WriteTestFile("mirror-clear.dat", clear_text);
  const LensStack lens(path);
  const float stop = lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter();

  Film film(300, 200);
  auto light = [&](const std::string& file, const char* sampling, double* pass_rate) {
    ParamSet ps = RequiredParams(file);
    ps.AddFloat("filmdistance", 126.485f);
    ps.AddFloat("aperture_diameter", stop);
    ps.AddString("sampling", sampling);
    ps.AddString("precision", "double");
    std::unique_ptr<Camera> camera = MakeCamera(ps, &film);
    EXPECT_TRUE(camera);
    if (!camera) return 0.0;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    constexpr int kSamples = 200000;
    double sum = 0;
    int passed = 0;
    for (int k = 0; k < kSamples; ++k) {
      Sample s;
      s.imageX = 150, s.imageY = 100, s.lensU = u(rng), s.lensV = u(rng), s.time = 0;
      Ray ray;
      const float w = camera->GenerateRay(s, &ray);
      sum += w, passed += w > 0;
    }
    *pass_rate = double(passed) / kSamples;
    return sum / kSamples;
  };
  double rate_obscured, rate_clear, rate_back;
  const double obscured = light(path, "exitpupil", &rate_obscured);
  const double unobscured = light(clear, "exitpupil", &rate_clear);
  const double back = light(path, "backelement", &rate_back);
  // The reference: light from the axial point at infinity, by the
  // independent trace over a fine grid, through the clear lens (the beam)
  // and through the obscured one.
  const std::vector<Row> rows = ReadRows(path);
  std::vector<Row> clear_rows = rows;
  for (Row& r : clear_rows) r.obscuration = 0;
  int beam = 0, ring = 0;
  for (int j = -350; j <= 350; ++j)
    for (int i = -350; i <= 350; ++i) {
      double o[3] = {0.2 * i, 0.2 * j, -1}, d[3] = {0, 0, 1};
      ring += IndependentTrace(rows, o, d);
      double o2[3] = {0.2 * i, 0.2 * j, -1}, d2[3] = {0, 0, 1};
      beam += IndependentTrace(clear_rows, o2, d2);
    }
  const double share = 1 - double(ring) / beam;
  // About the obscuration's area over the f/7.5 pupil's.
  EXPECT_NEAR(share, 50.0 * 50.0 / (133.28 * 133.28), 0.1 * share);
  EXPECT_NEAR(1 - obscured / unobscured, share, 0.03 * share) << obscured << " / " << unobscured;
  EXPECT_NEAR(obscured, back, 0.02 * back);
  EXPECT_GT(rate_obscured, 0.5);
  EXPECT_GT(rate_obscured, 3 * rate_back);
}

// A mirror may not be the stop, may only return into the medium it faces,
// and the light must end travelling toward the film; an obscuration covers
// less than its surface.
TEST(MirrorLens, PrescriptionRefusesWhatCannotBe) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"0\t10\t0\t20\n-100\t-10\t1\t30\tmirror\n", "1 mirror turns the light back toward the scene"},
      {"0\t10\t0\t20\n0\t-10\t1\t30\tmirror\n", "a mirror of radius 0"},
      {"0\t10\t0\t20\n-100\t-10\t1.5\t30\tmirror\n", "column 3 of a mirror is the index of the medium"},
      {"50\t5\t1.5\t30\nobscuration 30\n0\t10\t0\t20\n", "obscuration 30 is as wide as the surface's clear aperture"},
      {"obscuration 3\n0\t10\t0\t20\n", "an obscuration line before any surface"},
      {"50\t5\t1.5\t30\nobscuration -1\n0\t10\t0\t20\n", "an obscuration line holds the opaque disc's diameter"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      LensStack lens(WriteTestFile("bad-mirror.dat", c.text));
      ADD_FAILURE() << "accepted";
    } catch (const LensError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}
