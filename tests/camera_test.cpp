// SPDX-License-Identifier: Apache-2.0
// The camera factory and construction, through the plug-in boundary:
// realistic.so is loaded with dlopen and used only as a Camera.
#include <dirent.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "core/error.h"
#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;

constexpr float kPi = 3.1415927f;

const char kRequiredCondition[] =
    "realistic: condition \"hither != -1 && yon != -1 && shutteropen != -1 && shutterclose != -1 "
    "&& filmdistance!= -1\" failed in Camera* CreateCamera(const ParamSet&, const Transform&, "
    "Film*)";

// The stop is the back element, so the weight of the axial ray reads back
// the aperture and the film distance: pi (d/2)^2 / filmdistance^2.
std::string StopAtBackLens() {
  return WriteTestFile("stop-at-back.dat", "50\t5\t1.5\t20\n-50\t1\t1\t20\n0\t40\t1\t20\n");
}

// The five-surface lens closed down to nothing: every ray but the axial
// one is blocked, and a blocked ray starts at the film point.
std::unique_ptr<Camera> ClosedCamera(Film* film, float filmdiag = 35.f,
                                     const std::string& lens = "") {
  ParamSet ps = RequiredParams(lens.empty() ? WriteTestFile("five.dat", kFiveSurfaceLens) : lens);
  ps.AddFloat("aperture_diameter", 0.f);
  ps.AddFloat("filmdiag", filmdiag);
  return MakeCamera(ps, film);
}

// The film point of raster position (x, y), read from a blocked ray.
Point FilmPoint(const Camera& cam, float x, float y) {
  Sample s;
  s.imageX = x;
  s.imageY = y;
  s.lensU = 0.9f;
  s.lensV = 0.2f;
  Ray ray;
  const float weight = cam.GenerateRay(s, &ray);
  EXPECT_EQ(weight, 0.f);
  EXPECT_GT(ray.mint, ray.maxt) << "the probe ray should have been blocked";
  return ray.o;
}

float AxialWeight(const Camera& cam) {
  Sample s;
  s.imageX = cam.film->xResolution * 0.5f;
  s.imageY = cam.film->yResolution * 0.5f;
  s.lensU = s.lensV = 0.5f;
  Ray ray;
  return cam.GenerateRay(s, &ray);
}

std::string CreateError(const ParamSet& ps) {
  Film film(64, 48);
  CaptureStderr();
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  const std::string err = GetCapturedStderr();
  EXPECT_EQ(cam, nullptr) << "a camera was created";
  return err;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

}  // namespace

TEST(CreateCamera, DefaultsForTheOptionalParameters) {
  Film film(64, 48);
  std::unique_ptr<Camera> cam = MakeCamera(RequiredParams(StopAtBackLens()), &film);
  ASSERT_NE(cam, nullptr);
  // aperture 1 and film distance 70.
  const float expected = float(float(0.5f * kPi) * 0.5f / (70.0 * 70.0));
  EXPECT_EQ(AxialWeight(*cam), expected);
  // filmdiag 35 on a 4:3 film: half-sides 14 and 10.5; the film lies 70
  // behind the back vertex at z = 46.
  const Point corner = FilmPoint(*ClosedCamera(&film), 64.f, 48.f);
  EXPECT_EQ(corner.x, 14.f);
  EXPECT_EQ(corner.y, 10.5f);
  EXPECT_EQ(corner.z, 15.f + 70.f);
}

TEST(CreateCamera, ApertureAndFilmDistanceReachTheLens) {
  Film film(64, 48);
  ParamSet ps = RequiredParams(StopAtBackLens());
  ps.AddFloat("aperture_diameter", 4.f);
  ps.AddFloat("filmdistance", 25.f);
  std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
  ASSERT_NE(cam, nullptr);
  EXPECT_EQ(AxialWeight(*cam), float(float(2.f * kPi) * 2.f / (25.0 * 25.0)));
}

TEST(CreateCamera, RequiredParametersMustBeGivenAndNotMinusOne) {
  for (const char* key : {"hither", "yon", "shutteropen", "shutterclose"}) {
    SCOPED_TRACE(key);
    ParamSet absent;
    for (const char* other : {"hither", "yon", "shutteropen", "shutterclose"})
      if (strcmp(other, key) != 0) absent.AddFloat(other, 0.5f);
    absent.AddString("specfile", StopAtBackLens());
    EXPECT_NE(CreateError(absent).find(kRequiredCondition), std::string::npos);

    ParamSet minus_one = RequiredParams(StopAtBackLens());
    minus_one.AddFloat(key, -1.f);
    EXPECT_NE(CreateError(minus_one).find(kRequiredCondition), std::string::npos);
  }
  ParamSet film_minus_one = RequiredParams(StopAtBackLens());
  film_minus_one.AddFloat("filmdistance", -1.f);
  EXPECT_NE(CreateError(film_minus_one).find(kRequiredCondition), std::string::npos);
}

TEST(CreateCamera, OtherNegativeValuesPass) {
  Film film(64, 48);
  for (float hither : {-0.999f, -2.f, std::nanf("")}) {
    ParamSet ps = RequiredParams(StopAtBackLens());
    ps.AddFloat("hither", hither);
    EXPECT_NE(MakeCamera(ps, &film), nullptr) << hither;
  }
}

TEST(CreateCamera, RequiredCheckComesBeforeTheSpecfileCheck) {
  ScopedSevereRecorder severe;
  ParamSet ps;
  ps.AddFloat("hither", 0.f);
  EXPECT_NE(CreateError(ps).find(kRequiredCondition), std::string::npos);
  EXPECT_TRUE(severe.Messages().empty());
}

TEST(CreateCameraDeathTest, MissingSpecfileCallsSevere) {
  ParamSet ps = RequiredParams("");
  Film film(64, 48);
  EXPECT_EXIT(MakeCamera(ps, &film), ::testing::ExitedWithCode(1),
              "^Fatal error: No lens spec file supplied!\n$");
  // When Severe returns, construction goes on with the empty path, which
  // cannot be opened: the message, and no camera, with the host alive.
  ScopedSevereRecorder severe;
  CaptureStderr();
  EXPECT_EQ(MakeCamera(ps, &film), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "Cannot open file \n");
  EXPECT_EQ(severe.Messages(), std::vector<std::string>{"No lens spec file supplied!\n"});
  CaptureStderr();
  EXPECT_EQ(MakeCamera(RequiredParams("/nonexistent/lens.dat"), &film), nullptr);
  EXPECT_EQ(GetCapturedStderr(), "Cannot open file /nonexistent/lens.dat\n");
}

TEST(CreateCamera, LensesTheCameraCannotUseGiveNoCamera) {
  const std::string empty = WriteTestFile("comments-only.dat", "# nothing here\n");
  EXPECT_NE(CreateError(RequiredParams(empty)).find("comments-only.dat: the prescription has no "
                                                    "surfaces"),
            std::string::npos);
  const std::string no_stop = WriteTestFile("no-stop.dat", "20\t1\t1.5\t10\n-20\t40\t1\t10\n");
  EXPECT_NE(CreateError(RequiredParams(no_stop)).find("no-stop.dat: the prescription has no "
                                                      "aperture stop"),
            std::string::npos);
  const std::string wide = WriteTestFile("wide.dat", "20\t1\t1.5\t41\n0\t40\t1\t10\n");
  EXPECT_NE(CreateError(RequiredParams(wide))
                .find("wide.dat:1: clear aperture 41 is wider than the sphere allows (2 x |radius| = 40) "
                      "[realistic: condition \"0.5f * d <= fabs(r)\" failed in void "
                      "LensInterface::SetDiameter(float)"),
            std::string::npos);
}

TEST(CreateCamera, RefusesCamerasWhoseEveryRayWouldFail) {
  // The stop-at-back lens has its back vertex at z = 6; the deep lens at
  // z = 20000, where floats are 2^-9 apart: 20000 + 0.001 rounds to one
  // step (0.00195) behind the vertex, but a ray's start 0.001 in front of
  // that rounds back onto the vertex itself.
  const std::string shallow = StopAtBackLens();
  const std::string deep = WriteTestFile("deep.dat", "0\t20000\t1\t10\n50\t5\t1\t20\n");
  const float nan = std::nanf(""), inf = INFINITY;
  struct Case {
    const char* key;
    float value;
    const std::string& lens;
    const char* message;  // nullptr: the camera is made
  };
  const char* const kTooClose = "; the film must lie more than 0.001 behind the back element's vertex";
  const char* const kFinite = "; expected a finite number";
  const Case cases[] = {
      {"filmdistance", -5.f, shallow, kTooClose},
      {"filmdistance", 0.f, shallow, kTooClose},
      {"filmdistance", 0.001f, shallow, kTooClose},
      {"filmdistance", 0.0011f, shallow, nullptr},
      {"filmdistance", nan, shallow, kFinite},
      {"filmdistance", inf, shallow, kFinite},
      {"filmdistance", 0.001f, deep, kTooClose},
      {"filmdistance", 0.003f, deep, nullptr},
      {"filmdiag", nan, shallow, kFinite},
      {"filmdiag", -inf, shallow, kFinite},
      {"filmdiag", -35.f, shallow, "; expected a positive diagonal"},
      {"filmdiag", 0.f, shallow, "; expected a positive diagonal"},
      {"filmdiag", 1e-30f, shallow, nullptr},
      {"aperture_diameter", nan, shallow, kFinite},
      {"aperture_diameter", 0.f, shallow, nullptr},
      {"aperture_diameter", -2.f, shallow, "; expected a diameter of 0 (a closed stop) or more"},
  };
  for (const Case& c : cases) {
    ParamSet ps = RequiredParams(c.lens);
    ps.AddFloat(c.key, c.value);
    SCOPED_TRACE(std::string(c.key) + " " + std::to_string(c.value));
    if (!c.message) {
      Film film(64, 48);
      std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
      ASSERT_NE(cam, nullptr);
      AxialWeight(*cam);  // the ray nearest the limit traces without failing
      continue;
    }
    const std::string err = CreateError(ps);
    EXPECT_NE(err.find(std::string("realistic: camera parameter \"") + c.key + "\" is "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  for (const auto& res : {std::make_pair(0, 48), std::make_pair(64, 0), std::make_pair(-3, 48)}) {
    Film film(res.first, res.second);
    CaptureStderr();
    EXPECT_EQ(MakeCamera(RequiredParams(shallow), &film), nullptr);
    EXPECT_NE(GetCapturedStderr().find("; both sides must be at least 1 pixel"), std::string::npos);
  }
  // A number given as text is refused, not passed over for its default.
  for (const char* key : {"filmdistance", "aperture_diameter", "hither"}) {
    ParamSet ps = RequiredParams(shallow);
    ps.AddString(key, "50");
    EXPECT_NE(CreateError(ps).find(std::string("camera parameter \"") + key +
                                   "\" is given as text (\"50\"); expected a number"),
              std::string::npos);
  }
  // The required-parameter check still comes first.
  ParamSet both = RequiredParams(shallow);
  both.AddFloat("filmdistance", -1.f);
  both.AddFloat("filmdiag", nan);
  EXPECT_NE(CreateError(both).find(kRequiredCondition), std::string::npos);
}

// "focusdistance" puts the film where the lens images an axial object at
// that distance: a near-axis ray from the object point crosses the axis
// on the film plane. The film plane is read from the answer to a sample
// that forms no ray, the empty axial film ray.
TEST(CreateCamera, FocusDistanceFocusesTheObject) {
  const std::string planar = BundledLens("planar-50mm-f2.dat");
  const LensStack lens(planar);
  Sample no_ray;
  no_ray.imageX = std::nanf("");
  for (float distance : {300.f, 2000.f, 1e6f}) {
    SCOPED_TRACE(distance);
    Film film(64, 48);
    ParamSet ps = RequiredParams(planar);
    ps.AddFloat("focusdistance", distance);
    ps.AddFloat("aperture_diameter", 0.f);  // a closed stop does not move the focus
    std::unique_ptr<Camera> cam = MakeCamera(ps, &film);
    ASSERT_NE(cam, nullptr);
    Ray film_ray;
    ASSERT_EQ(cam->GenerateRay(no_ray, &film_ray), 0.f);
    const float film_z = film_ray.o.z;
    // A ray from the object point at 1/50 of the front element's radius.
    const float h = lens.GetFrontElementDiameter() * 0.01f;
    // Started where it reaches z = -1: float intersections from far away
    // lose the bits that matter.
    const Ray in(Point(0.f, h * (distance - 1.f) / distance, -1.f), Normalize(Vector(0.f, h, distance)),
                 0.f);
    Ray out;
    ASSERT_TRUE(lens.TraceWorldToFilm(in, &out));
    const float crossing = out.o.z - out.o.y / out.d.y * out.d.z;
    // The thick-lens model is found from rays at a tenth of the element's
    // radius; 0.1% of the film distance covers their aberration.
    EXPECT_NEAR(crossing, film_z, 1e-3f * (film_z - lens.GetLensDepth()));
  }
  // Refused: with "filmdistance", not a positive finite distance, or
  // inside the front focal point (about 36 in front of the Planar).
  const float nan = std::nanf("");
  for (float bad : {nan, INFINITY, 0.f, -100.f, 10.f}) {
    ParamSet ps = RequiredParams(planar);
    ps.AddFloat("focusdistance", bad);
    EXPECT_NE(CreateError(ps).find("realistic: camera parameter \"focusdistance\" is "),
              std::string::npos) << bad;
  }
  ParamSet both = RequiredParams(planar);
  both.AddFloat("focusdistance", 2000.f);
  both.AddFloat("filmdistance", 37.f);
  EXPECT_NE(CreateError(both).find("\"focusdistance\" and \"filmdistance\" are both given"),
            std::string::npos);
}

TEST(FilmCorner, FourByThreeFilms) {
  for (int scale : {10, 12}) {  // 640 x 480 and 800 x 600 give the same film
    Film film(64 * scale, 48 * scale);
    std::unique_ptr<Camera> cam = ClosedCamera(&film);
    ASSERT_NE(cam, nullptr);
    const Point low = FilmPoint(*cam, 0.f, 0.f);
    EXPECT_EQ(low.x, -14.f);
    EXPECT_EQ(low.y, -10.5f);
    const Point high = FilmPoint(*cam, float(film.xResolution), float(film.yResolution));
    EXPECT_EQ(high.x, 14.f);
    EXPECT_EQ(high.y, 10.5f);
    const Point centre = FilmPoint(*cam, film.xResolution / 2.f, film.yResolution / 2.f);
    EXPECT_EQ(centre.x, 0.f);
    EXPECT_EQ(centre.y, 0.f);
    EXPECT_EQ(centre.z, 85.f);
  }
}

TEST(FilmCorner, WideAndSquareFilms) {
  Film hd(1920, 1080);
  const Point hd_corner = FilmPoint(*ClosedCamera(&hd), 1920.f, 1080.f);
  const float aspect = float(1920.0 / 1080.0);
  const float y = sqrtf(float(35.0 * 35.0 / (double(aspect) * aspect + 1.0)));
  EXPECT_EQ(hd_corner.x, aspect * y * 0.5f);
  EXPECT_EQ(hd_corner.y, y * 0.5f);
  EXPECT_NEAR(hd_corner.x, 15.25f, 0.01f);
  EXPECT_NEAR(hd_corner.y, 8.58f, 0.01f);

  Film square(100, 100);
  const Point sq = FilmPoint(*ClosedCamera(&square, 1.f), 100.f, 100.f);
  EXPECT_EQ(sq.x, float(std::sqrt(2.0) / 4.0));
  EXPECT_EQ(sq.y, float(std::sqrt(2.0) / 4.0));
}

TEST(FilmCorner, FilmLiesFilmDistanceBehindADeepLens) {
  const std::string deep = WriteTestFile("deep.dat", "0\t100\t1.5\t10\n1e6\t50\t1\t20\n");
  Film film(64, 48);
  EXPECT_EQ(FilmPoint(*ClosedCamera(&film, 35.f, deep), 0.f, 0.f).z, 170.f);
}

// Creating and destroying cameras leaves no file open; the sanitizer
// build checks that nothing leaks.
TEST(CreateCamera, RepeatedCreationReleasesEverything) {
  const std::string lens = StopAtBackLens();
  const std::string wide = WriteTestFile("wide-again.dat", "20\t1\t1.5\t41\n0\t40\t1\t10\n");
  Film film(64, 48);
  const int before = OpenDescriptors();
  CaptureStderr();
  for (int i = 0; i < 1000; ++i) {
    Camera* cam = RealisticFactory()(RequiredParams(lens), Transform(), &film);
    ASSERT_NE(cam, nullptr);
    delete cam;  // through the base class
    // A failed construction releases what it built, the open file included.
    ASSERT_EQ(RealisticFactory()(RequiredParams(wide), Transform(), &film), nullptr);
  }
  GetCapturedStderr();
  EXPECT_EQ(OpenDescriptors(), before);
}

// The parameter table in the hosts' header is the user documentation: it
// must list exactly the keys the factory looks up, and every one of them
// must be found when given.
TEST(CreateCamera, ParameterTableMatchesTheFactory) {
  std::ifstream header(REALCAM_SOURCE_DIR "/realistic/realistic.h");
  ASSERT_TRUE(header.good());
  std::set<std::string> listed, looked_up;
  std::map<std::string, std::string> strings;  // string keys and their listed defaults
  std::map<std::string, float> floats;          // float keys and their listed defaults
  for (std::string line; std::getline(header, line);) {
    if (line.rfind("//   \"", 0) != 0) continue;
    const std::string key = line.substr(6, line.find('"', 6) - 6);
    listed.insert(key);
    std::istringstream columns(line.substr(line.find('"', 6) + 1));
    std::string type, unit, default_value;
    columns >> type >> unit >> default_value;
    char* end = nullptr;
    const float number = std::strtof(default_value.c_str(), &end);
    // "required" ones get 1; a key that is off when absent, a value in range.
    floats[key] = *end == '\0' ? number : default_value == "absent" ? 550.f : 1.f;
    const size_t quote = line.find('"', line.find(" string ") + 1);
    if (line.find(" string ") != std::string::npos && quote != std::string::npos)
      strings[key] = line.substr(quote + 1, line.find('"', quote + 1) - quote - 1);
  }
  std::ifstream source(REALCAM_SOURCE_DIR "/realistic/realistic_camera.cpp");
  ASSERT_TRUE(source.good());
  for (std::string line; std::getline(source, line);) {
    for (const char* call : {"FindOneFloat(\"", "FindOneString(\""}) {
      const size_t at = line.find(call);
      if (at == std::string::npos) continue;
      const size_t start = at + strlen(call);
      looked_up.insert(line.substr(start, line.find('"', start) - start));
    }
  }
  EXPECT_EQ(listed, looked_up);

  Film film(64, 48);
  ParamSet ps;
  for (const std::string& key : listed) {
    if (key == "specfile")
      ps.AddString(key, StopAtBackLens());
    else if (key == "focusdistance")
      continue;  // the other way to give "filmdistance"; both together are refused
    else if (strings.count(key))
      ps.AddString(key, strings[key]);
    else
      ps.AddFloat(key, floats[key]);
  }
  EXPECT_NE(MakeCamera(ps, &film), nullptr);
  EXPECT_EQ(ps.UnusedKeys(), std::vector<std::string>{});
}

