// SPDX-License-Identifier: Apache-2.0
// The realcam commands as a user and a script see them: run the real
// program, check its output contract, its messages and its exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_files.h"

namespace {

struct Result {
  int status = -1;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// Runs `realcam <args>` through the shell with `input` on standard input.
// A program killed by a signal reports 128 + the signal, as the shell does.
Result Realcam(const std::string& args, const std::string& input = "") {
  const std::string in = WriteTestFile("stdin.txt", input);
  const std::string out = in + ".out", err = in + ".err";
  const std::string cmd = std::string("'") + REALCAM + "' " + args + " <'" + in + "' >'" + out +
                          "' 2>'" + err + "'";
  const int raw = std::system(cmd.c_str());
  Result r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  r.out = Slurp(out);
  r.err = Slurp(err);
  return r;
}

std::string Lens(const std::string& name) { return "'" + BundledLens(name) + "'"; }

std::vector<double> Numbers(const std::string& line) {
  std::istringstream s(line);
  std::vector<double> v;
  std::string word;
  while (s >> word) v.push_back(std::strtod(word.c_str(), nullptr));
  return v;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream s(text);
  for (std::string line; std::getline(s, line);) lines.push_back(line);
  return lines;
}

TEST(Info, JsonCarriesTheStackAsLoaded) {
  const Result r = Realcam("info --json '" + WriteTestFile("worked.dat", kFiveSurfaceLens) + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  ASSERT_EQ(j["surfaces"].size(), 5u);
  const auto& s0 = j["surfaces"][0];
  EXPECT_EQ(s0["radius"], 35);
  EXPECT_EQ(s0["zintercept"], 0);
  EXPECT_EQ(s0["center"], 35);
  EXPECT_EQ(float(s0["index"].get<double>()), 1.6f) << "a float printed to read back exactly";
  EXPECT_EQ(s0["zmin"], -35);
  EXPECT_NEAR(s0["zmax"].get<double>(), -31.62, 0.01);
  EXPECT_EQ(s0["stop"], false);
  const auto& stop = j["surfaces"][2];
  EXPECT_EQ(stop["stop"], true);
  EXPECT_EQ(stop["index"], 1) << "a stop in air gets index 1";
  EXPECT_EQ(stop["zmin"], 8);
  EXPECT_EQ(stop["zmax"], 8);
  EXPECT_NEAR(j["surfaces"][3]["zmin"].get<double>(), 38.16, 0.01);
  EXPECT_EQ(j["index_of_stop"], 2);
  EXPECT_EQ(j["depth"], 15);
  EXPECT_EQ(j["front_diameter"], 30);
  EXPECT_EQ(j["back_diameter"], 24);
  const auto& p = j["paraxial"];
  for (const char* key : {"f1", "p1", "f2", "p2"}) EXPECT_TRUE(p[key].is_number()) << key;
  const double f1 = p["f1"], p1 = p["p1"];
  EXPECT_NEAR(j["efl"].get<double>(), f1 - p1, 1e-6 * std::fabs(f1 - p1));
  EXPECT_NEAR(j["bfl"].get<double>(), f1 - 15, 1e-6 * std::fabs(f1));

  const Result text = Realcam("info '" + WriteTestFile("worked.dat", kFiveSurfaceLens) + "'");
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("stop at 2"), std::string::npos) << text.out;
}

TEST(Info, FirstOrderReportForEveryBundledLens) {
  for (const char* f : {"cooke-triplet-50mm-f4.dat", "double-gauss-100mm-f2.dat", "fisheye-5mm-f1.8.dat",
                        "planar-50mm-f2.dat", "retrofocus-24mm.dat", "telephoto-127mm-f5.6.dat",
                        "tessar-101mm-f4.5.dat", "singlet-100mm-f4.dat", "achromat-100mm-f4.dat"}) {
    SCOPED_TRACE(f);
    // A film each lens covers: the fisheye's image circle is 14 across.
    const std::string film = std::string(f).rfind("fisheye", 0) == 0 ? " --film 9x6" : " --film 24x16";
    const Result r = Realcam("info --json --focus 5000 " + Lens(f) + film);
    ASSERT_EQ(r.status, 0) << r.err;
    const nlohmann::json j = nlohmann::json::parse(r.out);
    for (const char* key : {"paraxial_efl", "paraxial_bfl", "paraxial_ffd", "f_number", "working_f_number"})
      EXPECT_TRUE(j[key].is_number()) << key;
    for (const char* pupil : {"entrance_pupil", "exit_pupil"})
      for (const char* key : {"z", "diameter"}) EXPECT_TRUE(j[pupil][key].is_number()) << pupil << key;
    for (const char* key : {"horizontal", "vertical", "diagonal"})
      EXPECT_TRUE(j["field_of_view"][key].is_number()) << key;
    for (const char* key : {"corner", "edge_x", "edge_y"}) EXPECT_TRUE(j["distortion"][key].is_number()) << key;
    EXPECT_GT(j["relative_illumination"]["corner"].get<double>(), 0);
    for (const char* key : {"f1_c", "f1_d", "f1_f", "longitudinal", "lateral_corner"})
      EXPECT_TRUE(j["chromatic"][key].is_number()) << key;
    EXPECT_GT(j["working_f_number"].get<double>(), j["f_number"].get<double>());
  }
  // No Abbe numbers, no chromatic key.
  const Result plain = Realcam("info --json '" + WriteTestFile("worked.dat", kFiveSurfaceLens) + "'");
  EXPECT_FALSE(nlohmann::json::parse(plain.out).contains("chromatic"));
}

TEST(Check, WarnsWhereTheFormatReadsSomethingElseThanMeant) {
  // Each line legal to the loader, each almost certainly a mistake.
  const std::string lens = "'" + WriteTestFile("sloppy.dat",
                                               "103,36\t5\t1.5168\t27\n"       // decimal comma
                                               "  -103.36\t90\t1\t27\n"        // indented: skipped
                                               "-103.36\tx\t1\t27\n"           // a field without a number
                                               "0\t2\t1.5\t20\n"               // a stop in glass
                                               "-20\t50\t1\t39.5\n") + "'";    // 98.8% of the sphere
  Result r = Realcam("check " + lens);
  EXPECT_EQ(r.status, 0) << "warnings only";
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  const char* expected[] = {
      "sloppy.dat:1:4: warning: column 1 (radius) reads as 103; the text after it, \",36\", is ignored",
      "sloppy.dat:2:1: warning: this line holds 4 numbers but begins with white space",
      "sloppy.dat:3:9: warning: column 2 (thickness) \"x\" is not a number; it reads as 0",
      "sloppy.dat:4:5: warning: the aperture stop is not in air",
      "sloppy.dat:5:10: warning: clear aperture 39.5 is 98.8% of the sphere's diameter",
      "sloppy.dat: 0 errors, 5 warnings"};
  for (size_t i = 0; i < 6; ++i) EXPECT_NE(lines[i].find(expected[i]), std::string::npos) << lines[i];

  r = Realcam("check --strict --json " + lens);
  EXPECT_EQ(r.status, 1);
  const nlohmann::json j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["errors"], 5);
  EXPECT_EQ(j["diagnostics"][2]["line"], 3);
  EXPECT_EQ(j["diagnostics"][2]["column"], 9);
  EXPECT_EQ(j["diagnostics"][2]["severity"], "error");

  // A title line without '#' becomes a stop, and the real stop a second
  // one: an error, explained.
  r = Realcam("check '" + WriteTestFile("title.dat", "Double Gauss\tf/2\tby me\tv1\n20\t2\t1.5\t10\n"
                                                      "0\t40\t1\t8\n") + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("title.dat:1:1: warning: the first data line has no numbers: it looks like a title"),
            std::string::npos) << r.out;
  EXPECT_NE(r.out.find("title.dat:3: error: a second aperture stop (radius 0); a prescription has exactly "
                       "one (line 1 was read as a stop: its fields are not numbers) [realistic: condition"),
            std::string::npos) << r.out;

  // info prints the same warnings once, on standard error.
  r = Realcam("info " + lens);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Lines(r.err).size(), 5u) << r.err;
  // Every bundled lens is free of errors.
  for (const char* f : {"planar-50mm-f2.dat", "cooke-triplet-50mm-f4.dat", "achromat-100mm-f4.dat"})
    EXPECT_EQ(Realcam(std::string("check ") + Lens(f)).status, 0) << f;
}

TEST(Check, ToolsNameALensFileThatCannotBeOpened) {
  for (const char* cmd : {"info", "check", "draw", "focus --distance 1000 ", "trace --from film"}) {
    const Result r = Realcam(std::string(cmd) + " /nonexistent/lens.dat", "");
    EXPECT_EQ(r.status, 1) << cmd;
    EXPECT_NE(r.err.find("cannot open lens file \"/nonexistent/lens.dat\": No such file or directory"),
              std::string::npos)
        << cmd << ": " << r.err;
  }
  const Result dir = Realcam("render --lens /tmp -o /tmp/x.png");
  EXPECT_EQ(dir.status, 1);
  EXPECT_NE(dir.err.find("cannot open lens file \"/tmp\": Is a directory"), std::string::npos) << dir.err;
}

TEST(Render, ResolutionBeyondMemoryIsRefusedWithWhatItNeeds) {
  // Under a 2 GiB address-space limit a 16000 x 16000 film (3.6 GiB) cannot
  // be had: the render says so before it starts.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit under the limit";
#endif
  const std::string cmd = std::string("sh -c 'ulimit -v 2097152; exec \"") + REALCAM +
                          "\" render --res 16000x16000 -o /tmp/realcam-huge.png' </dev/null >/dev/null "
                          "2>/tmp/realcam-huge.err";
  const int raw = std::system(cmd.c_str());
  EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 1) << raw;
  EXPECT_NE(Slurp("/tmp/realcam-huge.err").find("--res 16000x16000 needs 3.6 GiB for the film and the image; "
                                                "this machine has 2.0 GiB of memory"),
            std::string::npos)
      << Slurp("/tmp/realcam-huge.err");
}

TEST(BadInput, SceneFiles) {
  struct Case {
    const char* name;
    std::string obj;
    std::string message;
  } cases[] = {
      {"malformed.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 x\n",
       "malformed.obj:4: face corner \"x\" is not v, v/vt, v//vn or v/vt/vn in whole numbers"},
      {"nomtl.obj", "# a room\nmtllib missing.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n",
       "nomtl.obj:2: material library \"" + TestPath("missing.mtl") + "\" not found"},
      {"empty.obj", "# nothing\nv 0 0 0\n", "empty.obj\" has no faces (f lines) to render"},
      {"range.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 7\n",
       "range.obj:4: face corner \"7\" refers to vertex 7; 3 are defined before this line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = Realcam("render --res 8x6 --spp 1 -o /tmp/realcam-scene.png --scene '" +
                             WriteTestFile(c.name, c.obj) + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  const Result missing = Realcam("render --scene /nonexistent/room.obj -o /tmp/realcam-scene.png");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open scene file \"/nonexistent/room.obj\""), std::string::npos);
  // And the demo scene renders.
  const Result demo = Realcam("render --scene '" + std::string(REALCAM_LENS_DIR) +
                              "/../scenes/table.obj' --res 24x16 --spp 2 -o /tmp/realcam-scene.png");
  EXPECT_EQ(demo.status, 0) << demo.err;
}

TEST(Trace, PrintsExitRaysBlockedAndErrorsLineByLine) {
  const std::string singlet = "'" + WriteTestFile("singlet.dat", kSingletLens) + "'";
  const Result r = Realcam("trace " + singlet + " --from world",
                       "0 2 -10 0 0 1\n"      // parallel to the axis, 2 above it
                       "0 15 -10 0 0 1\n"     // outside the 20 mm aperture
                       "1 2 3\n"              // not a ray
                       "0 2 100 0 0 1\n");    // starts behind the lens
  EXPECT_EQ(r.status, 1) << "a failed line makes the command fail, after all lines";
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  const std::vector<double> ray = Numbers(lines[0]);
  ASSERT_EQ(ray.size(), 6u) << lines[0];
  EXPECT_EQ(ray[0], 0);
  EXPECT_GT(ray[2], 4.9) << "the ray leaves the back surface, at z = 5 less its sag";
  EXPECT_LT(ray[4], 0) << "a converging lens bends it toward the axis";
  EXPECT_NEAR(ray[3] * ray[3] + ray[4] * ray[4] + ray[5] * ray[5], 1, 1e-6);
  EXPECT_EQ(lines[1], "blocked");
  EXPECT_EQ(lines[2], "error: line 3: expected ox oy oz dx dy dz [mint]");
  EXPECT_EQ(lines[3].rfind("error: line 4: a ray from the world side must start in front of the front "
                           "vertex (z <= 0 at its mint); this one is at z = 100.001 [realistic: condition "
                           "\"ray(ray.mint).z <= 0.0f\" failed",
                           0),
            0u)
      << lines[3];
}

TEST(Trace, DistantWorldRaysAreStartedNearTheLens) {
  // 10 m in front of the double Gauss, float rounding in the sphere
  // intersection blocks a ray that passes the lens; started on the plane
  // just in front of it, the same line passes as the ray from z = -1 does.
  const std::string lens = Lens("double-gauss-100mm-f2.dat");
  const std::string rays = "0 0.5 -10000 0 0 1\n0 0.5 -1 0 0 1\n0 -40 -10000 0 0.004 1\n";
  const Result r = Realcam("trace " + lens + " --from world", rays);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  const std::vector<double> far = Numbers(lines[0]), near = Numbers(lines[1]);
  ASSERT_EQ(far.size(), 6u) << lines[0];
  for (size_t i = 3; i < 6; ++i) EXPECT_NEAR(far[i], near[i], 1e-5) << i;
  EXPECT_EQ(Numbers(lines[2]).size(), 6u) << "a far oblique ray, 0.5 from the axis at the lens";

  // --raw traces from z = -10000 as given. Its hit on the front surface,
  // 0.5 from the axis, carries the float rounding of a point 10 m away
  // and may compute past the vertex: it still counts as on the cap, so
  // the ray passes, near the one started close by.
  const Result raw = Realcam("trace " + lens + " --from world --raw", rays);
  ASSERT_EQ(raw.status, 0) << raw.err;
  const std::vector<double> raw_far = Numbers(Lines(raw.out)[0]);
  ASSERT_EQ(raw_far.size(), 6u) << raw.out;
  for (size_t i = 3; i < 6; ++i) EXPECT_NEAR(raw_far[i], near[i], 1e-5) << i;
  EXPECT_EQ(Lines(raw.out)[1], lines[1]);
}

TEST(Rays, BatchEntryAndSingleCallsAgree) {
  std::string samples;
  for (int k = 0; k < 200; ++k)
    samples += std::to_string(k % 20 * 32 + 5) + " " + std::to_string(k / 20 * 48 + 7) + " " +
               std::to_string((k * 37 % 101) / 101.0) + " " + std::to_string((k * 59 % 103) / 103.0) + "\n";
  samples += "not a sample\n";
  const std::string cmd = "rays " + Lens("double-gauss-100mm-f2.dat") + " --param filmdistance=58";
  const Result batch = Realcam(cmd, samples), single = Realcam(cmd + " --no-batch", samples);
  EXPECT_EQ(batch.status, 1);
  EXPECT_EQ(Lines(batch.out).size(), 201u);
  EXPECT_EQ(Lines(batch.out).back(), "error: line 201: expected imageX imageY lensU lensV");
  EXPECT_EQ(batch.out, single.out);
}

TEST(Rays, GenerateRayThroughThePlugin) {
  const Result r = Realcam("rays " + Lens("double-gauss-100mm-f2.dat") +
                           " --res 64x48 --param filmdistance=60 --param aperture_diameter=30",
                       "32 24 0.6 0.5\n0 0 0 0\n");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 2u) << r.out;
  const std::vector<double> centre = Numbers(lines[0]), corner = Numbers(lines[1]);
  ASSERT_EQ(centre.size(), 10u);
  EXPECT_GT(centre[5], 0.99) << "camera space looks down +z";
  EXPECT_EQ(centre[6], 0);
  EXPECT_TRUE(std::isinf(centre[7]));
  EXPECT_GT(centre[9], 0);
  ASSERT_EQ(corner.size(), 10u);
  EXPECT_EQ(corner[6], 1) << "a blocked ray is empty: mint 1";
  EXPECT_EQ(corner[7], 0) << "maxt 0";
  EXPECT_EQ(corner[9], 0) << "weight 0";
}

// Samples that form no film ray (non-numbers, far off the film) come back
// blocked through the program too, with and without the batch entry.
TEST(Rays, SamplesWithoutAFilmRayAreBlocked) {
  const std::string samples = "320 240 nan 0.5\n320 240 0.5 inf\nnan 240 0.5 0.5\n1e30 240 0.5 0.5\n";
  for (const char* batch : {"", " --no-batch"}) {
    const Result r = Realcam("rays " + Lens("planar-50mm-f2.dat") + " --param filmdistance=37.3" + batch,
                             samples);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& line : Lines(r.out)) {
      const std::vector<double> v = Numbers(line);
      ASSERT_EQ(v.size(), 10u) << line;
      EXPECT_EQ(v[9], 0) << line;
      EXPECT_GT(v[6], v[7]) << line;
    }
    EXPECT_EQ(Lines(r.out).size(), 4u);
  }
}

// The library lists every bundled lens with figures a user can check
// against the lens's source, and says honestly what film each covers.
TEST(Lenses, ListsEveryBundledLensAndTheFilmItCovers) {
  const Result r = Realcam("lenses --json");
  ASSERT_EQ(r.status, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(r.out);
  size_t bundled = 0;
  for (const char* name : {"achromat-100mm-f4", "cooke-triplet-50mm-f4", "double-gauss-100mm-f2",
                           "fisheye-5mm-f1.8", "planar-50mm-f2", "retrofocus-24mm", "singlet-100mm-f4",
                           "telephoto-127mm-f5.6", "tessar-101mm-f4.5"})
    for (const auto& lens : j["lenses"]) bundled += lens["name"] == name;
  EXPECT_EQ(bundled, 9u);
  for (const auto& lens : j["lenses"]) {
    SCOPED_TRACE(lens["name"].get<std::string>());
    EXPECT_FALSE(lens["source"].get<std::string>().empty());
    if (lens["name"] == "planar-50mm-f2") {
      EXPECT_NEAR(lens["efl"].get<double>(), 52.02, 0.05) << "the patent's EFL";
      // Its half-light circle is 30 wide open, 51 at f/8: coverage is judged there.
      EXPECT_EQ(lens["covers"], "36x24 (full frame)");
    }
    // Designed for a 27 mm circle: light reaches 36 mm, but half the
    // centre's only within 22 even at f/8.
    if (lens["name"] == "compact-asphere-31mm-f2.1") {
      EXPECT_EQ(lens["covers"], "17.3x13 (Four Thirds)");
    }
    if (lens["name"] == "retrofocus-24mm") {
      // Its source system covers a 30 degree half field: about 2 x 24 tan 30 = 27.7.
      EXPECT_LT(lens["image_circle"].get<double>(), 43.27);
      EXPECT_GT(lens["image_circle"].get<double>(), 27.7);
    }
    EXPECT_LE(lens["image_circle_half_light"].get<double>(), lens["image_circle"].get<double>());
  }
}

// Every command that takes a lens file finds a bundled lens by its name,
// with or without ".dat", from any folder; a name that is nothing says so.
TEST(Lenses, BundledLensesByName) {
  for (const char* name : {"planar-50mm-f2", "planar-50mm-f2.dat"}) {
    const Result info = Realcam(std::string("info --json ") + name);
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(Realcam(std::string("check ") + name).status, 0);
  }
  const Result render = Realcam("render --lens cooke-triplet-50mm-f4 --res 8x6 --spp 1 -o " +
                                WriteTestFile("by-name.png", ""));
  EXPECT_EQ(render.status, 0) << render.err;
  const Result missing = Realcam("info no-such-lens");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("cannot open lens file \"no-such-lens\""), std::string::npos) << missing.err;
}

// What the file format allows but no lens can be is an error of `check`,
// named at its line and column, and info, render, focus and draw refuse
// the file with that message before any lens code fails on it.
TEST(Check, CatchesWhatNoLensCanBe) {
  struct Case {
    const char* name;
    const char* text;
    int status;
    const char* message;
  };
  const Case cases[] = {
      {"index-half.dat", "50\t5\t0.5\t20\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:6: error: column 3 (index) is 0.5; a refractive index is at least 1"},
      {"index-negative.dat", "50\t5\t-1.5\t20\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:6: error: column 3 (index) is -1.5"},
      {"aperture-negative.dat", "50\t5\t1.5\t-20\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:10: error: column 4 (aperture) is -20"},
      {"abbe-low.dat", "50\t5\t1.5\t20\t0.5\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:13: error: column 5 (abbe number) is 0.5"},
      {"abbe-high.dat", "50\t5\t1.5\t20\t5e6\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:13: error: column 5 (abbe number) is 5e+06"},
      {"abbe-text.dat", "50\t5\t1.5\t20\tabc\n0\t3\t0\t10\n-50\t40\t1\t20\n", 1,
       ":1:13: error: column 5: unknown glass \"abc\"; nearest:"},
      // A biconvex element 1 thick whose faces meet 2.7 from the axis.
      {"crossing.dat", "10\t1\t1.5\t12\n-10\t5\t1\t12\n0\t30\t0\t4\n", 1,
       ":1:4: error: column 2 (thickness) 1 puts the surface of line 2"},
      {"negative-gap.dat", "50\t5\t1.5\t20\n0\t3\t0\t10\n-50\t-1\t1\t20\n-40\t40\t1.5\t20\n", 1,
       ":3:5: error: column 2 (thickness) -1 puts the surface of line 4"},
      // Touching on the axis, apart everywhere else: legal, but a warning.
      {"zero-gap.dat", "50\t5\t1.5\t20\n-50\t0\t1\t20\n50\t5\t1.5\t20\n0\t30\t0\t10\n", 0,
       ":2:5: warning: column 2 (thickness) is 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = WriteTestFile(c.name, c.text);
    const Result check = Realcam("check '" + file + "'");
    EXPECT_EQ(check.status, c.status);
    EXPECT_NE(check.out.find(c.message), std::string::npos) << check.out;
    if (c.status == 0) continue;
    for (const char* command : {"info", "focus --distance 1000", "draw", "render --res 4x4 --spp 1 -o x.png --lens"}) {
      const std::string cmd = command;
      const bool render = cmd.rfind("render", 0) == 0;
      const Result r = Realcam(render ? cmd + " '" + file + "'"
                                      : cmd.substr(0, cmd.find(' ')) + " '" + file + "'" +
                                            (cmd.find(' ') == std::string::npos ? "" : cmd.substr(cmd.find(' '))));
      EXPECT_EQ(r.status, 1) << command;
      const std::string message = std::string(c.message).replace(std::string(c.message).find(" error:"), 7, "");
      EXPECT_NE(r.err.find("realcam: error: " + file + message), std::string::npos) << command << "\n" << r.err;
    }
  }
}

// A stop cannot open past its own clear aperture: the rims would limit
// the light, and the f-number printed would be a fiction. A closed stop
// renders black, focused as any other.
TEST(Stop, FNumbersPastTheStopAreRefusedAndAClosedStopIsBlack) {
  const std::string planar = Lens("planar-50mm-f2.dat");
  const char* const widest = "planar-50mm-f2.dat: the stop opens to 18.06, f/2.";
  for (const std::string& args : {"render --res 8x6 --spp 1 -o x.png --fstop 1.4 --lens " + planar,
                                  "info --fstop 0.5 " + planar, "info --aperture 1000 " + planar,
                                  "render --res 8x6 --spp 1 -o x.png --fstop 2 --blades 6 --lens " + planar}) {
    const Result r = Realcam(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find(widest), std::string::npos) << r.err;
  }
  EXPECT_NE(Realcam("render --res 8x6 --spp 1 -o x.png --fstop 1.4 --lens " + planar).err.find("; f/1.4 would need about 26"),
            std::string::npos);
  // The marked f/2 of an f/2.014 lens is its full stop.
  EXPECT_EQ(Realcam("info --fstop 2 " + planar).status, 0);
  const Result closed = Realcam("render --res 8x6 --spp 2 --aperture 0 -o " + WriteTestFile("closed.png", "") +
                                " --lens " + planar);
  EXPECT_EQ(closed.status, 0) << closed.err;
  EXPECT_NE(closed.out.find("100.0% blocked by the lens"), std::string::npos) << closed.out;
  EXPECT_NE(closed.out.find("filmdistance 38.187"), std::string::npos) << "focused as when open";
  EXPECT_NE(closed.err.find("realcam: warning: 100.0% of the rays were blocked by the lens: the stop is closed"),
            std::string::npos) << closed.err;
  // Open, the film goes to the best focus, a little in front of the
  // paraxial one, and the summary says so.
  const Result open = Realcam("render --res 8x6 --spp 2 -o " + WriteTestFile("open.png", "") + " --lens " + planar);
  EXPECT_NE(open.out.find("filmdistance 38.035"), std::string::npos) << open.out;
  EXPECT_NE(open.out.find("(best focus: the smallest RMS spot of the whole opening)"), std::string::npos);
  EXPECT_EQ(open.err.find("warning"), std::string::npos) << open.err;
}

// Lens flare through the tools: info lists the ghosts, brightest first,
// and a render with --flare says what share of its samples took one.
TEST(Flare, InfoListsGhostsAndTheRenderCountsThem) {
  const std::string gauss = Lens("double-gauss-100mm-f2.dat");
  const Result text = Realcam("info " + gauss);
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("lens flare: ghosts of an axial point at infinity, brightest first (6 of 45;"), std::string::npos) << text.out;
  const nlohmann::json j = nlohmann::json::parse(Realcam("info --json " + gauss).out);
  ASSERT_EQ(j["ghosts"].size(), 45u);
  const auto& brightest = j["ghosts"][0];
  EXPECT_EQ(brightest["surfaces"].size(), 2u);
  EXPECT_GT(brightest["surfaces"][0].get<int>(), brightest["surfaces"][1].get<int>());
  EXPECT_LT(brightest["reflectance"].get<double>(), brightest["reflectance_bare"].get<double>());
  // Bare glass, as an uncoated lens was made: the list's products are the bare ones.
  const nlohmann::json bare = nlohmann::json::parse(Realcam("info --json --coating none " + gauss).out);
  for (const auto& g : bare["ghosts"]) EXPECT_EQ(g["reflectance"], g["reflectance_bare"]);
  EXPECT_EQ(Realcam("info --coating double " + gauss).status, 1);

  const Result flare = Realcam("render --flare --res 16x12 --spp 4 -o " + WriteTestFile("flare.png", "") +
                               " --lens " + gauss);
  ASSERT_EQ(flare.status, 0) << flare.err;
  EXPECT_NE(flare.out.find("flare: light reflecting twice inside the lens, single-layer MgF2 coated"),
            std::string::npos) << flare.out;
  const size_t at = flare.out.find("ghost paths: ");
  ASSERT_NE(at, std::string::npos) << flare.out;
  const double share = std::stod(flare.out.substr(at + 13));
  EXPECT_GT(share, 0);
  EXPECT_LT(share, 50);
  const Result plain = Realcam("render --res 16x12 --spp 4 -o " + WriteTestFile("plain.png", "") + " --lens " + gauss);
  EXPECT_EQ(plain.out.find("ghost paths"), std::string::npos) << plain.out;
}

// The tools' precision: info's real rays in double by default, trace in
// the plug-in's float unless asked; the two differ by float rounding only.
TEST(Precision, ToolsTraceInTheAskedArithmetic) {
  const std::string planar = Lens("planar-50mm-f2.dat");
  const Result info = Realcam("info --json " + planar);
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_EQ(nlohmann::json::parse(info.out)["precision"], "double");
  const std::string ray = "3 2 80 -0.05 -0.03 -1\n";
  const Result f = Realcam("trace --from film " + planar, ray), d = Realcam("trace --from film --precision double " + planar, ray);
  ASSERT_EQ(f.status, 0) << f.err;
  ASSERT_EQ(d.status, 0) << d.err;
  const std::vector<double> a = Numbers(Lines(f.out).at(0)), b = Numbers(Lines(d.out).at(0));
  ASSERT_EQ(a.size(), b.size());
  ASSERT_GE(a.size(), 6u);
  double largest = 0;
  for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::fabs(a[i] - b[i]));
  EXPECT_GT(largest, 0) << "the arithmetic changed nothing";
  EXPECT_LT(largest, 1e-3);
  EXPECT_EQ(Realcam("trace --from film --precision half " + planar, ray).status, 1);
  const Result render = Realcam("render --res 8x6 --spp 1 -o " + WriteTestFile("p.png", "") + " --lens " + planar);
  EXPECT_NE(render.out.find("double rays"), std::string::npos) << render.out;
}

namespace {

const std::string kLensFiles = REALCAM_SOURCE_DIR "/../shared/lens-files/";

bool HaveLensFiles() { return std::ifstream(kLensFiles + "US08427765-1.ZMX").good(); }

}  // namespace

// Real Zemax files give the first-order numbers an optical-design program
// gives for them (paraxial, d line, object at infinity, each file's own
// aperture): within 0.01%, 0.05% where the glass is given by hand; a
// catadioptric lens is refused for its mirrors.
TEST(Import, ZemaxFilesGiveTheirPublishedFirstOrder) {
  if (!HaveLensFiles()) GTEST_SKIP() << "no " << kLensFiles;
  struct Case {
    const char* file;
    const char* glass;
    double efl, bfl, pupil, tolerance;
  };
  const Case cases[] = {
      {"US00583336-2-scaled.zmx", "", 49.38898, 41.60051, 10.97533, 1e-4},
      {"US08427765-1.ZMX", "", 30.80569, 21.44723, 14.66938, 1e-4},
      {"ACL3026U.zmx", " --glass B270=1.5230,58.5", 25.90892, 18.09554, 27, 5e-4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string dat = WriteTestFile(std::string(c.file) + ".dat", "");
    const Result imported = Realcam("import '" + kLensFiles + c.file + "' -o '" + dat + "'" + c.glass);
    ASSERT_EQ(imported.status, 0) << imported.err;
    const Result info = Realcam("info --json '" + dat + "'");
    ASSERT_EQ(info.status, 0) << info.err;
    const nlohmann::json j = nlohmann::json::parse(info.out);
    EXPECT_NEAR(j["paraxial_efl"].get<double>(), c.efl, c.tolerance * c.efl);
    EXPECT_NEAR(j["paraxial_bfl"].get<double>(), c.bfl, c.tolerance * c.bfl);
    EXPECT_NEAR(j["entrance_pupil"]["diameter"].get<double>(), c.pupil, c.tolerance * c.pupil);
  }
  // Read directly by the tools, converted in memory.
  const Result direct = Realcam("info --json '" + kLensFiles + "US08427765-1.ZMX'");
  ASSERT_EQ(direct.status, 0) << direct.err;
  EXPECT_NE(direct.err.find("moulding glass L-TIM28_MOLD taken as its base glass OHARA L-TIM28"), std::string::npos);
  // B270 is in no catalogue and the file gives placeholders for it.
  const Result no_glass = Realcam("import '" + kLensFiles + "ACL3026U.zmx'");
  EXPECT_EQ(no_glass.status, 1);
  EXPECT_NE(no_glass.err.find("surface 2: glass \"B270\" is in no catalogue"), std::string::npos) << no_glass.err;
  EXPECT_NE(no_glass.err.find("--glass B270=nd,vd"), std::string::npos);
  // The catadioptric telephoto: two mirrors, negative thicknesses after
  // them, an obscuration; the design program's paraxial EFL and f-number.
  const Result mirrors = Realcam("info --json '" + kLensFiles + "US05331467-1.zmx'");
  ASSERT_EQ(mirrors.status, 0) << mirrors.err;
  const nlohmann::json m = nlohmann::json::parse(mirrors.out);
  EXPECT_NEAR(m["paraxial_efl"].get<double>(), 999.637, 1e-4 * 999.637);
  EXPECT_NEAR(m["f_number"].get<double>(), 7.5, 1e-4 * 7.5);
}

// A .zmx that leaves the clear apertures to the design program gets them
// computed from its pupil and fields, with a warning, the same focal
// length, and a lens the checker passes; a CODE V file of the Cooke
// triplet gives the prescription its .zmx twin gives.
TEST(Import, ComputedAperturesAndCodeVFiles) {
  if (!HaveLensFiles()) GTEST_SKIP() << "no " << kLensFiles;
  std::ifstream in(kLensFiles + "US08427765-1.ZMX", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), bare;
  // UTF-8 or UTF-16: drop the DIAM lines either way.
  std::string narrow;
  for (char c : text)
    if (c != 0 && c != '\xff' && c != '\xfe') narrow.push_back(c);
  std::istringstream lines(narrow);
  for (std::string line; std::getline(lines, line);)
    if (line.find("DIAM") == std::string::npos) bare += line + "\n";
  const std::string file = WriteTestFile("no-diam.zmx", bare);
  const std::string with = WriteTestFile("with-diam.dat", ""), without = WriteTestFile("no-diam.dat", "");
  ASSERT_EQ(Realcam("import '" + kLensFiles + "US08427765-1.ZMX' -o '" + with + "'").status, 0);
  const Result imported = Realcam("import '" + file + "' -o '" + without + "'");
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_NE(imported.err.find("the file gives no clear apertures: computed as a design program does"),
            std::string::npos) << imported.err;
  EXPECT_NE(imported.err.find("FNUM 2.1, image heights 0 8 13.6"), std::string::npos) << imported.err;
  const nlohmann::json a = nlohmann::json::parse(Realcam("info --json '" + with + "'").out);
  const nlohmann::json b = nlohmann::json::parse(Realcam("info --json '" + without + "'").out);
  EXPECT_NEAR(b["paraxial_efl"].get<double>(), a["paraxial_efl"].get<double>(), 1e-9 * a["paraxial_efl"].get<double>());
  for (const auto& s : b["surfaces"]) EXPECT_GT(s["diameter"].get<double>(), 0) << s;
  const Result check = Realcam("check '" + without + "'");
  EXPECT_EQ(check.status, 0) << check.out << check.err;

  // The CODE V Cooke triplet, and the same lens as a Zemax file.
  const std::string twin = WriteTestFile("cooke.zmx",
      "VERS 1\nMODE SEQ\nNAME Cooke Triplet\nUNIT MM\nENPD 10\nFTYP 0 0 3 3\nYFLN 0 7 14\n"
      "WAVM 1 0.4861 1\nWAVM 2 0.5876 1\nWAVM 3 0.6563 1\nPWAV 2\nGCAT SCHOTT\n"
      "SURF 0\n  DISZ INFINITY\n"
      "SURF 1\n  STOP\n  CURV 0.045426484276303865\n  DISZ 3.795568\n  GLAS N-SK16 0 0 1.62041 60.32\n"
      "SURF 2\n  CURV -0.002294840143730428\n  DISZ 6.0\n"
      "SURF 3\n  CURV -0.045018115289592528\n  DISZ 2.0\n  GLAS F2 0 0 1.62004 36.37\n"
      "SURF 4\n  CURV 0.049280698918584338\n  DISZ 4.750246\n"
      "SURF 5\n  CURV 0.012549633801685667\n  DISZ 2.720573\n  GLAS N-SK16 0 0 1.62041 60.32\n"
      "SURF 6\n  CURV -0.054361623303305781\n  DISZ 42.20170\n"
      "SURF 7\n");
  const Result seq = Realcam("info --json '" + kLensFiles + "cooke_triplet.seq'");
  const Result zmx = Realcam("info --json '" + twin + "'");
  ASSERT_EQ(seq.status, 0) << seq.err;
  ASSERT_EQ(zmx.status, 0) << zmx.err;
  const nlohmann::json js = nlohmann::json::parse(seq.out), jz = nlohmann::json::parse(zmx.out);
  EXPECT_NEAR(js["paraxial_efl"].get<double>(), 50.334, 1e-4 * 50.334);
  ASSERT_EQ(js["surfaces"].size(), jz["surfaces"].size());
  for (size_t i = 0; i < js["surfaces"].size(); ++i)
    for (const char* key : {"radius", "diameter", "index", "zintercept"})
      EXPECT_NEAR(js["surfaces"][i][key].get<double>(), jz["surfaces"][i][key].get<double>(),
                  1e-6 * (1 + std::fabs(js["surfaces"][i][key].get<double>())))
          << "surface " << i << " " << key;
  EXPECT_NE(seq.err.find("computed as a design program does"), std::string::npos) << seq.err;

  // What a sequence file holds that realcam cannot model, with its line.
  struct Bad {
    const char* text;
    const char* message;
  };
  const Bad bad[] = {
      {"SO 0 1e10\nS 50 5 N-BK7_SCHOTT\nXDE 1.0\nSI\n", "bad.seq:3: XDE (a decentred or tilted surface)"},
      {"SO 0 1e10\nS 50 5 N-BK7_SCHOTT\nPIM\nSI\n", "bad.seq:3: command \"PIM\" is not one realcam reads"},
      {"S 50 5\n", "bad.seq:1: S before SO"},
      {"SO 0 1e10\nS 50 5 NOGLASS_SCHOTT\nSTO\nS -50 40\nSI\n", "glass \"NOGLASS_SCHOTT\" is in no catalogue"},
      {"SO 0 1e10\nS 50 5 1.5:60\nS -50 40\nSI\n", "bad.seq: no surface is the stop (STO)"},
  };
  for (const Bad& c : bad) {
    const Result r = Realcam("import '" + WriteTestFile("bad.seq", c.text) + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

// A converted lens is named as the user gave it, with the figures
// designers quote first and the file's design wavelength; a Latin-1 title
// arrives as UTF-8; a lens realcam cannot model is refused without a
// pointer to --help, and a file the checker faults fails its import.
TEST(Import, TellsTheTruthAboutTheUsersFile) {
  if (!HaveLensFiles()) GTEST_SKIP() << "no " << kLensFiles;
  const Result info = Realcam("info '" + kLensFiles + "cooke_triplet.seq'");
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("lens " + kLensFiles + "cooke_triplet.seq (as imported): 7 surfaces"), std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("\nfocal length 50.3343, f/5.033 (paraxial, d line)\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("design wavelength 587.6 nm"), std::string::npos);
  EXPECT_EQ(info.out.find("realcam-import-"), std::string::npos) << info.out;
  EXPECT_EQ(info.err.find("realcam-import-"), std::string::npos) << info.err;
  const std::string latin1 = WriteTestFile("latin1.zmx", "VERS 1\nMODE SEQ\nNAME Objectif \xe0 miroir\nENPD 10\n"
      "SURF 0\n  DISZ INFINITY\nSURF 1\n  STOP\n  DISZ 5\n  DIAM 5\nSURF 2\n  CURV 0.02\n  DISZ 4\n"
      "  GLAS N-BK7 0 0 1.5168 64.17\n  DIAM 8\nSURF 3\n  DISZ 95\n  DIAM 8\nSURF 4\n");
  const Result title = Realcam("import '" + latin1 + "'");
  ASSERT_EQ(title.status, 0) << title.err;
  EXPECT_EQ(title.out.rfind("# Objectif \xc3\xa0 miroir\n", 0), 0u) << title.out;
  const Result decentred = Realcam("info '" + WriteTestFile("tilted.seq", "SO 0 1e10\nS 50 5 N-BK7_SCHOTT\nADE 2\nSI\n") + "'");
  EXPECT_EQ(decentred.status, 1);
  EXPECT_NE(decentred.err.find("tilted.seq:3: ADE (a decentred or tilted surface); realcam models centred"),
            std::string::npos) << decentred.err;
  EXPECT_EQ(decentred.err.find("--help"), std::string::npos) << decentred.err;
  // Surfaces that cross, as a table without apertures can give them.
  const Result crossing = Realcam("import '" + WriteTestFile("crossing.zmx", "VERS 1\nMODE SEQ\nSURF 0\n  DISZ INFINITY\n"
      "SURF 1\n  STOP\n  DISZ 1\n  DIAM 10\nSURF 2\n  CURV 0.1\n  DISZ 0.5\n  GLAS N-BK7 0 0 1.5168 64.17\n"
      "  DIAM 9\nSURF 3\n  CURV -0.1\n  DISZ 20\n  DIAM 9\nSURF 4\n") + "'");
  EXPECT_EQ(crossing.status, 1);
  EXPECT_NE(crossing.err.find("crossing.zmx (as imported):"), std::string::npos) << crossing.err;
  EXPECT_NE(crossing.err.find("cross within their clear apertures"), std::string::npos) << crossing.err;
}

// Every bundled lens goes out as a Zemax file and comes back with every
// float of every surface the same.
TEST(Import, ExportAndImportRoundTripEveryBundledLens) {
  for (const char* name : {"planar-50mm-f2", "double-gauss-100mm-f2", "cooke-triplet-50mm-f4", "tessar-101mm-f4.5",
                           "telephoto-127mm-f5.6", "retrofocus-24mm", "fisheye-5mm-f1.8", "singlet-100mm-f4",
                           "achromat-100mm-f4", "compact-asphere-31mm-f2.1", "planar-1897-49mm-f4.5"}) {
    SCOPED_TRACE(name);
    const std::string zmx = WriteTestFile(std::string(name) + ".zmx", "");
    const std::string back = WriteTestFile(std::string(name) + "-back.dat", "");
    ASSERT_EQ(Realcam(std::string("export ") + name + " --zmx -o '" + zmx + "'").status, 0);
    const Result imported = Realcam("import '" + zmx + "' -o '" + back + "'");
    ASSERT_EQ(imported.status, 0) << imported.err;
    const Result a = Realcam(std::string("info --json ") + name), b = Realcam("info --json '" + back + "'");
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0) << b.err;
    const nlohmann::json ja = nlohmann::json::parse(a.out), jb = nlohmann::json::parse(b.out);
    EXPECT_EQ(ja["surfaces"], jb["surfaces"]);
    EXPECT_EQ(ja["glasses"], jb["glasses"]);
  }
}

// A patent's table as text: glasses matched to the catalogue by n_d and
// v_d, the stop and an aspheric surface marked, an aspheric table with
// exponents as patents print them.
TEST(Import, PatentTable) {
  const std::string table = WriteTestFile("patent.txt",
      "# US 8,427,765, example 1, as its table prints it\n"
      "surface  r        d       nd        vd      sd\n"
      "1        12.875   3.34    1.69680   55.52   7.6\n"
      "2        35.4     0.29                      6.88\n"
      "3        13.83    1.85    1.689479  31.02   6.48\n"
      "4*       8.946    4.25                      5.58\n"
      "STO      inf      5.4                       5.227\n"
      "6        -8.3     0.65    1.78472   25.76   5.77\n"
      "7        -53.59   0.22                      7.0\n"
      "8        -37.47   3.62    1.8042    46.50   7.53\n"
      "9        -11.763  0.12                      8.3\n"
      "10       206.3    3.5     1.883     40.80   10.8\n"
      "11       -26.52   21.254                    11.0\n"
      "\n"
      "aspheric coefficients\n"
      "surface  K      A4            A6\n"
      "4        0.02   1.10721E-05   1.837\xc3\x97" "10^-7\n");
  const std::string dat = WriteTestFile("patent.dat", "");
  const Result r = Realcam("import '" + table + "' -o '" + dat + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string text = Slurp(dat);
  EXPECT_NE(text.find("asphere k=0.02 a4=1.10721e-05 a6=1.837e-07"), std::string::npos) << text;
  // n_d 1.689479, v_d 31.02 is Ohara's L-TIM28 alone; 1.6968 and 55.52
  // fit nine glasses of several makers, and stay numbers.
  EXPECT_NE(text.find("1.85\t1.689479\t12.96\tL-TIM28"), std::string::npos) << text;
  EXPECT_NE(text.find("3.34\t1.6968\t15.2\t55.52"), std::string::npos) << text;
  const Result info = Realcam("info --json '" + dat + "'");
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NEAR(nlohmann::json::parse(info.out)["paraxial_efl"].get<double>(), 30.80569, 0.005);
  // Without its aperture column: from the f-number and half field printed
  // with it, the apertures a design program gives, which the checker
  // passes; with no f-number either, apertures narrowed until no
  // neighbours cross.
  std::string bare;
  {
    std::istringstream lines(Slurp(table));
    for (std::string line; std::getline(lines, line);) {
      const size_t last = line.find_last_of(' ');
      const bool row = !line.empty() && (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == 'S');
      bare += (row && line.find("E-05") == std::string::npos ? line.substr(0, last) : line) + "\n";
    }
    const size_t sd = bare.find("      sd");
    ASSERT_NE(sd, std::string::npos);
    bare.erase(sd, 8);
  }
  for (const bool with_fno : {true, false}) {
    SCOPED_TRACE(with_fno ? "Fno 2.1" : "no f-number");
    const std::string no_sd = WriteTestFile("patent-no-sd.txt", (with_fno ? "f = 30.8  Fno = 2.1  \xcf\x89 = 24.0\xc2\xb0\n" : "") + bare);
    const std::string out = WriteTestFile("patent-no-sd.dat", "");
    const Result imported = Realcam("import '" + no_sd + "' -o '" + out + "'");
    ASSERT_EQ(imported.status, 0) << imported.err;
    EXPECT_NE(imported.err.find(with_fno ? "computed as a design program does" : "no f-number to compute them from"),
              std::string::npos) << imported.err;
    const Result check = Realcam("check '" + out + "'");
    EXPECT_EQ(check.status, 0) << check.out;
    EXPECT_NE(check.out.find(": 0 errors"), std::string::npos) << check.out;
    EXPECT_EQ(check.out.find("cross"), std::string::npos) << check.out;
  }
  // Broken tables name their line.
  const Result bad = Realcam("import '" + WriteTestFile("bad.txt", "surface r d nd vd\n1 12.8 3.3x 1.6 50\n") + "'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("bad.txt:2: \"3.3x\" is not a number"), std::string::npos) << bad.err;
}

// Whatever the file, an importer ends with a message and status 1, never
// a crash or a hang.
TEST(Import, BadFilesAreRefusedClearly) {
  const std::string big(9 << 20, 'x');
  struct Case {
    const char* name;
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {"empty.zmx", "", "empty.zmx: no lens surfaces"},
      {"nsc.zmx", "VERS 1\nMODE NSC\n", "nsc.zmx:2: a non-sequential file (MODE NSC)"},
      {"unit.zmx", "VERS 1\nMODE SEQ\nUNIT FT\n", "unit.zmx:3: unit \"FT\""},
      {"curv.zmx", "VERS 1\nMODE SEQ\nSURF 0\nSURF 1\n  CURV abc\nSURF 2\n", "curv.zmx:5: CURV \"abc\" is not a finite number"},
      {"tilt.zmx", "VERS 1\nMODE SEQ\nSURF 0\nSURF 1\n  TYPE COORDBRK\nSURF 2\nSURF 3\n",
       "tilt.zmx:4: surface 1 is of type COORDBRK (a tilt or decentre)"},
      {"nostop.zmx", "VERS 1\nMODE SEQ\nSURF 0\nSURF 1\n  CURV 0.1\n  DIAM 2\nSURF 2\n", "nostop.zmx: no surface is marked STOP"},
      {"truncated.zmx", "VERS 1\nMODE SEQ\nSURF 0\nSURF 1\n  DISZ\n", "truncated.zmx:5: DISZ needs 1 values"},
      {"binary.zmx", std::string("VERS 1\nMODE SEQ\n\0\x01\x02", 19), "binary.zmx:3: a NUL byte"},
      {"big.zmx", "VERS 1\nMODE SEQ\n" + big, "big.zmx: over 8 MiB; not a lens file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = Realcam("import '" + WriteTestFile(c.name, c.text) + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(Realcam("import '" + WriteTestFile("plain.txt", "just text\n") + "'").status, 1);
}

// A broken OBJ is refused at the line that breaks it, before any render;
// so is an output the render could not be written to.
TEST(Scenes, BrokenScenesAndOutputsAreRefusedFirst) {
  const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
  WriteTestFile("m.mtl", "newmtl ok\nKd 0.5 0.5 0.5\n");
  WriteTestFile("badkd.mtl", "newmtl x\nKd -1 0.5 0.5\n");
  WriteTestFile("badke.mtl", "newmtl x\nKe nan 1 1\n");
  struct Case {
    const char* name;
    std::string text, message;
  };
  const Case cases[] = {
      {"short-v.obj", "v 0 0 0\nv 1 2\nv 0 1 0\nf 1 2 3\n", "short-v.obj:2: malformed vertex \"v 1 2\""},
      {"word-v.obj", "v 0 0 0\nv a b c\nv 0 1 0\nf 1 2 3\n", "word-v.obj:2: malformed vertex \"v a b c\""},
      {"nan-v.obj", "v 0 0 0\nv nan 0 0\nv 0 1 0\nf 1 2 3\n", "nan-v.obj:2: malformed vertex"},
      {"inf-vn.obj", tri + "vn 0 inf 0\nf 1 2 3\n", "inf-vn.obj:4: malformed normal"},
      {"vt.obj", tri + "vt x\nf 1 2 3\n", "vt.obj:4: malformed texture coordinate \"vt x\""},
      {"index.obj", tri + "f 1 2 999\n", "index.obj:4: face corner \"999\" refers to vertex 999; 3 are defined"},
      {"negative.obj", tri + "f -1 -2 -4\n", "negative.obj:4: face corner \"-4\" refers to vertex -4"},
      {"normal-index.obj", tri + "f 1//1 2//1 3//1\n", "normal-index.obj:4: face corner \"1//1\" refers to normal 1"},
      {"unknown.obj", "mtllib m.mtl\n" + tri + "usemtl nope\nf 1 2 3\n", "unknown.obj:5: unknown material \"nope\""},
      {"kd.obj", "mtllib badkd.mtl\n" + tri + "f 1 2 3\n", "badkd.mtl:2: Kd \"-1\": colours are finite numbers of 0 or more"},
      {"ke.obj", "mtllib badke.mtl\n" + tri + "f 1 2 3\n", "badke.mtl:2: Ke \"nan\""},
      {"empty.obj", "", "scene \"" + TestPath("empty.obj") + "\" is empty"},
      {"nofaces.obj", tri, "has no faces (f lines) to render"},
      {"point.obj", "v 1 1 1\nv 1 1 1\nv 1 1 1\nf 1 2 3\n", "every vertex of the scene lies at one point"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = Realcam("render --res 8x6 --spp 1 -o " + TestPath("never.png") + " --scene '" +
                             WriteTestFile(c.name, c.text) + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  const Result folder = Realcam("render --res 8x6 --scene '" + TestPath("") + "' -o " + TestPath("x.png"));
  EXPECT_NE(folder.err.find("is a folder, not an OBJ file"), std::string::npos) << folder.err;
  // Outputs: checked before the render, no folders made.
  const Result missing = Realcam("render --res 8x6 -o /nonexistent-realcam/dir/x.png");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("the folder \"/nonexistent-realcam/dir\" does not exist"), std::string::npos) << missing.err;
  EXPECT_FALSE(std::ifstream("/nonexistent-realcam").good());
  EXPECT_EQ(Realcam("render --res 8x6 --exposure nan -o " + TestPath("x.png")).status, 1);
  EXPECT_NE(Realcam("draw planar-50mm-f2 --field nan").err.find("--field: \"nan\""), std::string::npos);
  EXPECT_NE(Realcam("draw planar-50mm-f2 -o " + TestPath("x.png")).err.find("draw writes SVG"), std::string::npos);
}

// In a closed room the default camera stands inside, and the summary says
// where it stood and looked.
TEST(Scenes, DefaultCameraStandsInsideARoom) {
  WriteTestFile("room.mtl", "newmtl w\nKd 0.6 0.6 0.6\nnewmtl lamp\nKe 5 5 5\n");
  std::string room = "mtllib room.mtl\n";
  for (int i = 0; i < 8; ++i)
    room += "v " + std::to_string(i & 1 ? 2 : -2) + " " + std::to_string(i & 2 ? 3 : 0) + " " +
            std::to_string(i & 4 ? 4 : -4) + "\n";
  room += "usemtl w\nf 1 2 4 3\nf 5 6 8 7\nf 1 2 6 5\nf 1 3 7 5\nf 2 4 8 6\nusemtl lamp\nf 3 4 8 7\n";
  const Result r = Realcam("render --res 16x12 --spp 4 --scene '" + WriteTestFile("room.obj", room) + "' -o " +
                           TestPath("room.png"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("eye 0,1.5,-2.4 target 0,1.5,2.4"), std::string::npos) << r.out;
}

TEST(Focus, FilmDistanceBringsAnAxialPointToFocus) {
  const std::string lens = Lens("planar-50mm-f2.dat");
  const Result f = Realcam("focus " + lens + " --distance 3000 --json");
  ASSERT_EQ(f.status, 0) << f.err;
  const nlohmann::json j = nlohmann::json::parse(f.out);
  const double film_z = j["film_z"];
  // Paraxial rays from the object point 3000 in front of the front vertex
  // cross the axis at the film.
  for (double h : {0.5, 1.0, 2.0}) {
    std::ostringstream ray;
    ray << "0 0 -3000 0 " << h / 3000 << " 1\n";
    const Result t = Realcam("trace " + lens + " --from world", ray.str());
    ASSERT_EQ(t.status, 0) << t.err;
    const std::vector<double> e = Numbers(t.out);
    ASSERT_EQ(e.size(), 6u) << t.out;
    const double y_at_film = e[1] + e[4] * (film_z - e[2]) / e[5];
    EXPECT_NEAR(y_at_film, 0, 0.002 + 0.01 * h * h) << "height on the front element " << h;
  }
}

TEST(Draw, WritesAnSvgWithOnePathPerRay) {
  const Result r = Realcam("draw " + Lens("cooke-triplet-50mm-f4.dat"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("<?xml", 0), 0u);
  EXPECT_NE(r.out.find("<svg xmlns=\"http://www.w3.org/2000/svg\""), std::string::npos);
  EXPECT_NE(r.out.find("</svg>\n"), std::string::npos);
  size_t rays = 0;
  for (size_t at = 0; (at = r.out.find("<path class=\"ray", at)) != std::string::npos; ++at) ++rays;
  EXPECT_EQ(rays, 22u) << "an on-axis and an off-axis fan of 11 rays";
  size_t open = 0, close = 0;
  for (char c : r.out) open += c == '<', close += c == '>';
  EXPECT_EQ(open, close);

  // The fans fill the stop: even on the fisheye, whose entrance pupil is a
  // small part of its front element, both fans get through. (The one ray
  // on the axis may be blocked: within about a micrometre of the axis a
  // ray meets a surface where its cap ends, at the vertex, and rounding
  // can put the hit just outside.)
  const Result fish = Realcam("draw " + Lens("fisheye-5mm-f1.8.dat"));
  ASSERT_EQ(fish.status, 0) << fish.err;
  size_t axial = 0, oblique = 0;
  std::istringstream svg(fish.out);
  for (std::string line; std::getline(svg, line);) {
    if (line.rfind("<path class=\"ray\"", 0) != 0 || line.find("stroke-opacity") != std::string::npos)
      continue;
    axial += line.find("#d62728") != std::string::npos;
    oblique += line.find("#2ca02c") != std::string::npos;
  }
  EXPECT_GE(axial, 10u);
  EXPECT_EQ(oblique, 11u);

  const std::string plot = WriteTestFile("plot.svg", "");
  const Result v = Realcam("draw " + Lens("cooke-triplet-50mm-f4.dat") + " --vignetting -o '" + plot + "'");
  ASSERT_EQ(v.status, 0) << v.err;
  EXPECT_NE(Slurp(plot).find("</svg>"), std::string::npos);
}

// The bad-input corpus: each case gives the program's exact exit status and
// a fragment of its message that names the problem and where it is.
struct BadCase {
  const char* name;      // also the file name of the lens, when there is one
  const char* contents;  // the lens file; nullptr when the case needs none
  const char* args;      // "%s" stands for the lens file's path
  int status;
  const char* message;
};

std::string Expand(const char* args, const std::string& path) {
  std::string s = args;
  const size_t at = s.find("%s");
  if (at != std::string::npos) s.replace(at, 2, "'" + path + "'");
  return s;
}

const char kStop[] = "0\t3\t0\t20\n";

void RunCorpus(const std::vector<BadCase>& cases) {
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.contents ? WriteTestFile(c.name, c.contents) : c.name;
    const Result r = Realcam(Expand(c.args, path), "16 12 0.6 0.5\n");
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << "message: " << r.err;
  }
}

TEST(BadInput, LensFiles) {
  // Through the plug-in: `rays` creates a camera from the file.
  const char* rays = "rays %s --res 32x24";
  RunCorpus({
      {"empty.dat", "", rays, 1, "empty.dat: the prescription has no surfaces"},
      {"comments.dat", "# only\n# comments\n", rays, 1, "comments.dat: the prescription has no surfaces"},
      {"nostop.dat", "35\t5\t1.6\t30\n-200\t3\t1\t30\n", rays, 1,
       "nostop.dat: the prescription has no aperture stop"},
      {"twostops.dat", "0\t3\t0\t20\n35\t5\t1.6\t30\n0\t3\t0\t20\n", rays, 1,
       "twostops.dat:3: a second aperture stop (radius 0); a prescription has exactly one (line 1 was "
       "read as a stop) [realistic: condition \"index_of_stop == -1\" failed in "
       "LensStack::LensStack(const std::string&)"},
      {"wide.dat", "10\t5\t1.6\t30\n0\t3\t0\t20\n", rays, 1,
       "wide.dat:1: clear aperture 30 is wider than the sphere allows (2 x |radius| = 20) "
       "[realistic: condition \"0.5f * d <= fabs(r)\" failed in void "
       "LensInterface::SetDiameter(float)"},
      {"negative-wide.dat", "10\t5\t1.6\t-30\n0\t3\t0\t20\n", rays, 1,
       "negative-wide.dat:1: clear aperture -30 leaves the surface no cap; a negative aperture must be "
       "no wider than 2 x |radius| = 20 [realistic: condition \"zmin <= zmax\" failed"},
      {"overflow.dat", "35\t5\t1.6\t30\n1e39\t3\t0\t20\n", rays, 1,
       "overflow.dat:2: column 1 (radius) is not a finite number"},
      {"missing-column.dat", "35\t5\t1.6\n0\t3\t0\t20\n", rays, 1,
       "missing-column.dat:1: column 4 (aperture) is missing; columns are separated by tabs"},
      {"spaces.dat", "35 5 1.6 30\n0\t3\t0\t20\n", rays, 1,
       "spaces.dat:1: column 2 (thickness) is missing; columns are separated by tabs"},
      {"title.dat", "Planar 50mm f/2\n35\t5\t1.6\t30\n0\t3\t0\t20\n", rays, 1,
       "title.dat:1: column 2 (thickness) is missing"},
      {"/", nullptr, rays, 1, "/:1: read error: Is a directory"},
      {"/nonexistent/lens.dat", nullptr, rays, 1, "Cannot open file /nonexistent/lens.dat"},
  });
  const std::string long_line = "35\t5\t1.6\t" + std::string(600, '3') + "\n";
  const std::string binary("35\t5\t1.6\t30\n\x7f" "ELF\x02\x01\x01\0\0\0\n", 20);
  RunCorpus({{"long.dat", long_line.c_str(), rays, 1, "long.dat:1: line is longer than 511 characters"}});
  const Result r = Realcam("rays '" + WriteTestFile("binary.dat", binary) + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("binary.dat:2: the line holds a NUL byte; not a text prescription"),
            std::string::npos)
      << r.err;
}

TEST(BadInput, NonFiniteValuesInEveryColumn) {
  const char* names[] = {"radius", "thickness", "index", "aperture"};
  for (int col = 0; col < 4; ++col)
    for (const char* value : {"nan", "inf", "-inf", "-1e40"}) {
      // A radius spelt "inf" is a plane refracting surface.
      if (col == 0 && std::string(value).find("inf") != std::string::npos) continue;
      std::string fields[4] = {"35", "5", "1.6", "30"};
      fields[col] = value;
      const std::string lens = fields[0] + "\t" + fields[1] + "\t" + fields[2] + "\t" + fields[3] + "\n" + kStop;
      SCOPED_TRACE(lens);
      const Result r = Realcam("rays '" + WriteTestFile("non-finite.dat", lens) + "'");
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("non-finite.dat:1: column " + std::to_string(col + 1) + " (" + names[col] +
                           ") is not a finite number"),
                std::string::npos)
          << r.err;
    }
}

TEST(BadInput, ValuesTheLoaderKeeps) {
  // Negative values other than an over-wide negative aperture load: a
  // negative thickness moves the next surface forward, a negative index is
  // kept as given. Rays through them are traced, not crashed on.
  const std::string stop = kStop;
  for (const std::string& lens : {"-35\t5\t1.6\t30\n" + stop, "35\t-5\t1.6\t30\n" + stop,
                                  "35\t5\t-1.6\t30\n" + stop, "35\t5\t1.6\t-30\n" + stop}) {
    SCOPED_TRACE(lens);
    const Result r = Realcam("rays '" + WriteTestFile("negative.dat", lens) + "' --res 32x24",
                         "16 12 0.6 0.5\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Numbers(r.out).size(), 10u) << r.out;
  }
}

TEST(BadInput, CrlfAndMixedLineEndsLoad) {
  const Result r =
      Realcam("info --json '" + WriteTestFile("crlf.dat", "# dos\r\n35\t5\t1.6\t30\r\n0\t3\t0\t20\r\n") + "'");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(nlohmann::json::parse(r.out)["index_of_stop"], 1);
}

TEST(BadInput, FilesThatCannotBeOpened) {
  // A dangling link opens for nobody; a file without read permission only
  // for users other than root.
  std::vector<std::string> paths;
  const std::string link = WriteTestFile("dangling.dat", "") + ".link";
  ASSERT_EQ(symlink("/nonexistent/target.dat", link.c_str()), 0);
  paths.push_back(link);
  const std::string locked = WriteTestFile("unreadable.dat", kSingletLens);
  chmod(locked.c_str(), 0);
  if (!std::ifstream(locked).good()) paths.push_back(locked);
  for (const std::string& path : paths) {
    const Result r = Realcam("rays '" + path + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot open file " + path), std::string::npos) << r.err;
  }
}

TEST(BadInput, CameraParameters) {
  const std::string required =
      "realistic: condition \"hither != -1 && yon != -1 && shutteropen != -1 && shutterclose != -1 "
      "&& filmdistance!= -1\" failed in Camera* CreateCamera(const ParamSet&, const Transform&, Film*)";
  const char* all[] = {"hither", "yon", "shutteropen", "shutterclose", "filmdistance"};
  const std::string lens = Lens("tessar-101mm-f4.5.dat");
  for (const char* key : all) {
    SCOPED_TRACE(key);
    std::string given, minus_one;
    for (const char* other : all)
      if (std::string(other) != key) given += std::string(" --param ") + other + "=1";
    // Missing (the film distance has a default of 70), then -1.
    Result r = Realcam("rays " + lens + " --raw" + given);
    if (std::string(key) == "filmdistance") {
      EXPECT_EQ(r.status, 0) << r.err;
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find(required), std::string::npos) << r.err;
      EXPECT_NE(r.err.find("realcam: error: the plug-in created no camera"), std::string::npos);
    }
    r = Realcam("rays " + lens + " --raw" + given + " --param " + key + "=-1");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(required), std::string::npos) << r.err;
  }
  // The film on the back vertex: every ray would fail its trace, so the
  // factory makes no camera and the program ends in an orderly way.
  Result r = Realcam("rays " + lens + " --param filmdistance=0", "16 12 0.6 0.5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("realistic: camera parameter \"filmdistance\" is 0; the film must lie more "
                       "than 0.001 behind the back element's vertex"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  // A value that is not a number is passed on as a string parameter, and
  // the camera refuses a number given as text rather than use its default.
  r = Realcam("rays " + lens + " --param filmdiag=abc", "16 12 0.6 0.5\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("camera parameter \"filmdiag\" is given as text (\"abc\"); expected a number"),
            std::string::npos)
      << r.err;
  r = Realcam("rays " + lens + " --param nosuchkey=3", "16 12 0.6 0.5\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("camera parameter \"nosuchkey\" was not used"), std::string::npos) << r.err;
}

TEST(BadInput, Flags) {
  const std::string lens = Lens("planar-50mm-f2.dat");
  const std::string not_a_dir = WriteTestFile("plain-file", "");
  RunCorpus({
      {"no command", nullptr, "", 1, "realcam: error: A subcommand is required"},
      {"unknown command", nullptr, "shoot", 1, "realcam: error: unknown command \"shoot\""},
      {"render unknown flag", nullptr, "render --iso 100", 1, "--iso"},
      {"render spp 0", nullptr, "render --spp 0", 1, "--spp: Value 0 not in range 1 to 65536"},
      {"render res", nullptr, "render --res 640", 1, "--res \"640\" is not a resolution WxH"},
      {"render res 0", nullptr, "render --res 0x480", 1, "--res \"0x480\" is not a resolution WxH"},
      {"render filmdiag 0", nullptr, "render --filmdiag 0", 1, "--filmdiag: \"0\" is not a positive number"},
      {"render filmdiag negative", nullptr, "render --filmdiag -3", 1,
       "--filmdiag: \"-3\" is not a positive number"},
      {"render filmdistance 0", nullptr, "render --filmdistance 0", 1,
       "--filmdistance: \"0\" is not a positive number"},
      {"render aperture nan", nullptr, "render --aperture nan", 1, "--aperture: \"nan\" is not a number"},
      {"render both focus flags", nullptr, "render --focus 3 --filmdistance 40", 1, "--focus"},
      {"render eye", nullptr, "render --eye 1,2", 1, "--eye"},
      {"render eye is target", nullptr, "render --eye 1,1,1 --target 1,1,1 --spp 1 --res 8x8", 1,
       "--eye and --target are the same point"},
      {"render output", nullptr, "render --res 8x8 --spp 1 -o out.jpg", 1,
       "cannot write \"out.jpg\": the name must end in .png or .exr"},
      {"render plug-in", nullptr, "render --res 8x8 --spp 1 --plugin /nonexistent/realistic.so", 1,
       "cannot load plug-in \"/nonexistent/realistic.so\": /nonexistent/realistic.so: cannot open"},
      {"render param", nullptr, "render --param filmdiag", 1, "--param \"filmdiag\" is not of the form key=value"},
      {"info no lens", nullptr, "info", 1, "LENS is required"},
      {"info aperture", nullptr, ("info " + lens + " --aperture -2").c_str(), 1,
       "--aperture: \"-2\" is not a number of at least 0"},
      {"trace from", nullptr, ("trace " + lens + " --from sky").c_str(), 1, "--from: sky not in {film,world}"},
      {"trace no from", nullptr, ("trace " + lens).c_str(), 1, "--from is required"},
      {"rays res", nullptr, ("rays " + lens + " --res 9").c_str(), 1, "--res \"9\" is not a resolution WxH"},
      {"focus no distance", nullptr, ("focus " + lens).c_str(), 1, "--distance is required"},
      {"focus inside", nullptr, ("focus " + lens + " --distance 10").c_str(), 1,
       "cannot focus at 10: the object must lie beyond the front focal point"},
      {"draw field", nullptr, ("draw " + lens + " --field 95").c_str(), 1,
       "--field: \"95\" is not an angle from 0 to 89 degrees"},
      {"draw output", nullptr, ("draw " + lens + " -o '" + not_a_dir + "/x.svg'").c_str(), 1,
       "\" is not a folder"},
  });
}

}  // namespace

// Camera movements and framing from the command line: checked before any
// work, reported in the summary, and a film moved past the lens's image
// circle is named with how far.
TEST(Render, MovementsAndFramingFlags) {
  const std::string out = WriteTestFile("movement.png", "");
  struct Bad {
    const char* flags;
    const char* message;
  };
  for (const Bad& b : {Bad{"--res 8x6 --film 35mm", "--film \"35mm\" is neither a film size WxH in lens units nor a format"},
                       Bad{"--film full-frame --res 64x64", "has another shape than --film full-frame"},
                       Bad{"--crop 0,0,70,10 --res 64x48", "--crop 0,0,70,10 is not a region x0,y0,x1,y1"},
                       Bad{"--res 8x6 --tilt 50", "--tilt 50"},
                       Bad{"--res 8x6 --focus-on 0,1,-9", "--focus-on must name a point in front of the camera"}}) {
    const Result r = Realcam(std::string("render --spp 1 -o '") + out + "' " + b.flags);
    EXPECT_EQ(r.status, 1) << b.flags;
    EXPECT_NE(r.err.find(b.message), std::string::npos) << b.flags << ": " << r.err;
  }
  // The Planar's half-light circle is 30 across: a 36x24 frame shifted
  // 10 up reaches past it.
  const Result moved = Realcam("render --spp 1 --film full-frame --res 12x8 --shift 0,10 --tilt 2 -o '" + out + "'");
  ASSERT_EQ(moved.status, 0) << moved.err;
  EXPECT_NE(moved.out.find("movements: shift 0,10, tilt 2,0 degrees"), std::string::npos) << moved.out;
  EXPECT_NE(moved.err.find("the moved film's farthest corner lies"), std::string::npos) << moved.err;
  EXPECT_NE(moved.err.find("beyond the lens's half-light image circle"), std::string::npos) << moved.err;
  // The plane of focus on the ground, 0.6 m below a lens of 100 mm looking
  // 4 degrees down: the hinge line 0.6 m below it, so a tilt near
  // atan(100 / 600) = 9.5 degrees.
  const std::string view = "render --lens double-gauss-100mm-f2 --res 12x8 --spp 1 --eye 0,0.6,-2 --target 0,0.25,3 ";
  const Result ground = Realcam(view + "--focus-plane 0,0,0,0,1,0 -o '" + out + "'");
  ASSERT_EQ(ground.status, 0) << ground.err;
  const size_t at = ground.out.find("tilt ");
  ASSERT_NE(at, std::string::npos) << ground.out;
  const double tilt = std::atof(ground.out.c_str() + at + 5);
  EXPECT_NEAR(tilt, 9.5, 0.3) << ground.out;
  const Result along = Realcam(view + "--focus-plane 0,0.6,-2,1,0,0 -o '" + out + "'");
  EXPECT_EQ(along.status, 1);
  EXPECT_NE(along.err.find("--focus-plane: the plane runs along the view axis"), std::string::npos) << along.err;
  // info checks a moved film against the image circle too.
  const Result info = Realcam("info planar-50mm-f2 --shift 0,10");
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.err.find("13.3 beyond the half-light image circle (diameter 30.2)"), std::string::npos) << info.err;
  const Result roomy = Realcam("info tessar-101mm-f4.5 --shift 0,33");
  EXPECT_NE(roomy.out.find("within the half-light image circle (diameter 110.2)"), std::string::npos) << roomy.out;
  // focus --tilt: the hinge rule and the real rays' plane.
  const Result hinge = Realcam("focus double-gauss-100mm-f2 --distance 3m --tilt 6 --json");
  ASSERT_EQ(hinge.status, 0) << hinge.err;
  EXPECT_NE(hinge.out.find("\"hinge_distance\":"), std::string::npos) << hinge.out;
  EXPECT_NE(hinge.out.find("\"real_points\":"), std::string::npos) << hinge.out;
}

// The lens report: one page with nothing to fetch, and numbers that agree
// with the other tools: the axial spot with best focus's, distortion and
// illumination at the corner with info's on the same film, an MTF of 1 at
// zero frequency that never rises above the diffraction limit by more than
// the sampling's error.
TEST(Report, PageAndNumbersAgreeWithTheOtherTools) {
  const std::string page = WriteTestFile("planar-report.html", "");
  const Result html = Realcam("report planar-50mm-f2 -o '" + page + "'");
  ASSERT_EQ(html.status, 0) << html.err;
  const std::string text = Slurp(page);
  EXPECT_EQ(text.rfind("<!DOCTYPE html>", 0), 0u);
  EXPECT_NE(text.find("Planar type, 50 mm f/2"), std::string::npos);
  for (const char* remote : {"<script", "src=\"http", "href=\"http", "url(http", "@import"})
    EXPECT_EQ(text.find(remote), std::string::npos) << remote;
  size_t plots = 0;
  for (size_t at = 0; (at = text.find("class=\"plot", at)) != std::string::npos; ++at) ++plots;
  EXPECT_EQ(plots, 19u);  // the drawing, 4 MTF plots, 5 spots, 4 curves, 5 bokeh shapes

  const Result json = Realcam("report planar-50mm-f2 --json");
  ASSERT_EQ(json.status, 0) << json.err;
  const nlohmann::json r = nlohmann::json::parse(json.out);
  const double best = r["spots"]["best_focus_rms"].get<double>();
  EXPECT_NEAR(r["spots"]["fields"][0]["rms_radius"]["d"].get<double>(), best, 0.02 * best);
  const double cutoff = r["mtf"]["diffraction_cutoff_cycles_per_mm"].get<double>();
  for (const auto& field : r["mtf"]["fields"]) {
    EXPECT_NEAR(field["sagittal_d"][0].get<double>(), 1.0, 1e-9);
    EXPECT_NEAR(field["tangential_white"][0].get<double>(), 1.0, 1e-9);
    const auto& nu = field["frequency_cycles_per_mm"];
    for (size_t k = 1; k < nu.size(); ++k) {
      const double s = nu[k].get<double>() / cutoff, phi = std::acos(std::min(1.0, s));
      const double limit = 2 / M_PI * (phi - std::cos(phi) * std::sin(phi));
      EXPECT_LE(field["sagittal_d"][k].get<double>(), limit + 0.02) << nu[k];
    }
  }
  char film[64];
  snprintf(film, sizeof film, "%.9g", r["settings"]["filmdistance"].get<double>());
  const Result info = Realcam(std::string("info planar-50mm-f2 --json --filmdistance ") + film);
  ASSERT_EQ(info.status, 0) << info.err;
  const nlohmann::json i = nlohmann::json::parse(info.out);
  EXPECT_NEAR(r["distortion_percent"]["y"].back().get<double>(), i["distortion"]["corner"].get<double>(), 0.01);
  EXPECT_NEAR(r["relative_illumination"]["exit_weight"]["y"].back().get<double>(),
              i["relative_illumination"]["corner"].get<double>(), 0.005);
  EXPECT_NEAR(r["first_order"]["efl"].get<double>(), i["paraxial_efl"].get<double>(), 1e-4);
}
