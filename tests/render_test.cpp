// SPDX-License-Identifier: Apache-2.0
// The reference host's renderer, end to end through realistic.so: a small
// image regression against a stored reference, and properties of real
// lenses that need no reference.
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/commands.h"
#include "render/image_io.h"
#include "render/obj_scene.h"
#include "render/renderer.h"

namespace {

// A small render of the built-in scene through the default lens, with a
// fixed exposure so that images can be compared in brightness.
RenderOptions Small(int width, int height, int spp) {
  RenderOptions o;
  o.plugin = REALISTIC_SO;
  o.res = std::to_string(width) + "x" + std::to_string(height);
  o.spp = spp;
  o.threads = 2;
  o.auto_exposure = false;
  o.exposure = 0;
  // The plug-in's own defaults, with which these tests were written, and
  // the paraxial focus the stored reference was rendered with.
  o.weight = "exit";
  o.sampling = "backelement";
  o.focus_paraxial = true;
  return o;
}

Image RenderWith(const RenderOptions& o) {
  RenderSummary summary;
  return RenderScene(o, &summary, false);
}

double Luminance(const Image& im, int x, int y) {
  const float* p = &im.rgb[3 * (size_t(y) * size_t(im.width) + size_t(x))];
  return 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
}

double MeanLuminance(const Image& im) {
  double sum = 0;
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) sum += Luminance(im, x, y);
  return sum / (double(im.width) * im.height);
}

// Mean absolute difference of horizontally and vertically neighbouring
// pixels, relative to the mean: high for fine detail, low for blur, and
// unchanged by a uniform change of brightness. Lamps are clamped so that
// their discs do not dominate.
double Sharpness(const Image& im) {
  const double mean = MeanLuminance(im), cap = 4 * mean;
  auto at = [&](int x, int y) { return std::min(cap, Luminance(im, x, y)); };
  double sum = 0;
  for (int y = 0; y + 1 < im.height; ++y)
    for (int x = 0; x + 1 < im.width; ++x)
      sum += std::fabs(at(x + 1, y) - at(x, y)) + std::fabs(at(x, y + 1) - at(x, y));
  return sum / (double(im.width) * im.height) / mean;
}

std::string Encode(const Image& im) {
  std::string rgb(im.rgb.size(), '\0');
  for (size_t i = 0; i < im.rgb.size(); ++i) rgb[i] = char(EncodeSrgb(im.rgb[i]));
  return rgb;
}

TEST(RenderRegression, MatchesTheStoredReference) {
  // Tolerance: 4 of 255 in every channel, on at least 99% of the pixels
  // (room for a different libm or compiler, not for a changed lens).
  const int kTolerance = 4;
  const double kMinPassing = 0.99;
  const std::string reference = std::string(REALCAM_TEST_DATA) + "/render_reference.png";
  const std::string out = std::string(REALCAM_TEST_OUTPUT);

  const Image image = RenderWith(Small(90, 60, 16));
  const std::string actual = Encode(image);
  if (std::getenv("REALCAM_UPDATE_REFERENCE")) {
    WritePngBytes(reference, image.width, image.height, actual);
    GTEST_SKIP() << "wrote " << reference;
  }

  int w = 0, h = 0;
  std::string expected;
  ASSERT_TRUE(ReadPng(reference, &w, &h, &expected)) << "cannot read " << reference;
  ASSERT_EQ(w, image.width);
  ASSERT_EQ(h, image.height);

  std::string diff(actual.size(), '\0');
  size_t passing = 0;
  const size_t pixels = size_t(w) * size_t(h);
  for (size_t i = 0; i < pixels; ++i) {
    int worst = 0;
    for (size_t c = 0; c < 3; ++c) {
      const int d = std::abs(int((unsigned char)actual[3 * i + c]) - int((unsigned char)expected[3 * i + c]));
      worst = std::max(worst, d);
      diff[3 * i + c] = char(std::min(255, 16 * d));
    }
    if (worst <= kTolerance) ++passing;
  }
  const double share = double(passing) / double(pixels);
  if (share < kMinPassing) {
    WritePngBytes(out + "/render_actual.png", w, h, actual);
    WritePngBytes(out + "/render_diff.png", w, h, diff);
  }
  EXPECT_GE(share, kMinPassing) << "actual and difference images written to " << out;
}

TEST(RenderProperties, SmallerApertureIsDarkerAndSharper) {
  RenderOptions wide = Small(120, 80, 64), narrow = wide;
  wide.aperture = 18;  // the default lens wide open, f/2.8 at this stop
  narrow.aperture = 4.5;
  const Image a = RenderWith(wide), b = RenderWith(narrow);
  // A quarter of the stop diameter passes about a sixteenth of the light
  // near the axis (less vignetting makes it a little more at the edges).
  const double ratio = MeanLuminance(b) / MeanLuminance(a);
  EXPECT_GT(ratio, 1.0 / 32);
  EXPECT_LT(ratio, 1.0 / 8);
  EXPECT_GT(Sharpness(b), 1.15 * Sharpness(a));
}

// The RMS radius, in pixels, of the light of the near lamp at
// (-0.2, 1.06, -0.7) above a twentieth of its peak: it measures the size of its
// out-of-focus disc and, unlike a threshold, does not depend on the
// sampling noise of single pixels.
double HighlightRadius(const Image& im) {
  // In the default view the lamp's image lies about a seventh of the width
  // from the left edge and a fifth of the height from the top; it is the
  // brightest thing around there.
  int bx = 0, by = 0;
  double peak = 0;
  for (int y = im.height / 10; y < im.height * 3 / 10; ++y)
    for (int x = im.width / 15; x < im.width / 4; ++x)
      if (Luminance(im, x, y) > peak) peak = Luminance(im, x, y), bx = x, by = y;
  const int r = 20;
  double sw = 0, sx = 0, sy = 0, sxx = 0;
  for (int y = std::max(0, by - r); y <= std::min(im.height - 1, by + r); ++y)
    for (int x = std::max(0, bx - r); x <= std::min(im.width - 1, bx + r); ++x) {
      const double w = std::max(0.0, Luminance(im, x, y) - 0.05 * peak);
      sw += w, sx += w * x, sy += w * y, sxx += w * (double(x) * x + double(y) * y);
    }
  const double cx = sx / sw, cy = sy / sw;
  return std::sqrt(std::max(0.0, sxx / sw - cx * cx - cy * cy));
}

TEST(RenderProperties, OutOfFocusHighlightGrowsWithAperture) {
  RenderOptions o = Small(360, 240, 16);
  std::vector<double> radii;
  for (double aperture : {3.0, 9.0, 18.0}) {
    o.aperture = aperture;
    radii.push_back(HighlightRadius(RenderWith(o)));

  }
  // The disc's diameter grows with the aperture (on top of the lamp's own
  // image, which does not).
  EXPECT_GT(radii[1], 1.3 * radii[0]);
  EXPECT_GT(radii[2], 1.3 * radii[1]);
}

TEST(AutoExposure, MiddleGreyFromTheLitPartOnly) {
  // Left half outside the image circle (black), right half grey 0.18 on
  // average but noisy: a third of its pixels 0.54, the rest black, as a
  // render with most samples blocked gives. The exposure is 0 EV.
  Image im;
  im.width = 16, im.height = 8;
  im.rgb.assign(size_t(16 * 8 * 3), 0.f);
  for (int y = 0; y < 8; ++y)
    for (int x = 8; x < 16; ++x)
      if ((x + 3 * y) % 3 == 0 && !(y == 7 && x > 12))
        for (int c = 0; c < 3; ++c) im.rgb[3 * size_t(y * 16 + x) + size_t(c)] = 0.54f;
  // 21 of the 64 pixels are lit; make it exactly a third by brightening one.
  double lit = 0;
  for (int y = 0; y < 8; ++y)
    for (int x = 8; x < 16; ++x) lit += im.rgb[3 * size_t(y * 16 + x)];
  const double missing = 0.18 * 64 - lit;
  for (int c = 0; c < 3; ++c) im.rgb[3 * size_t(7 * 16 + 15) + size_t(c)] += float(missing);
  EXPECT_NEAR(AutoExposure(im), 0.0, 1e-5);
  im.rgb.assign(im.rgb.size(), 0.f);
  EXPECT_EQ(AutoExposure(im), 0.0);
}

TEST(RenderProperties, SameImageForAnyThreadCount) {
  RenderOptions o = Small(70, 45, 8);
  o.threads = 1;
  const Image one = RenderWith(o);
  o.threads = 2;
  const Image two = RenderWith(o);
  o.threads = 5;
  const Image five = RenderWith(o);
  EXPECT_TRUE(one.rgb == two.rgb);
  EXPECT_TRUE(one.rgb == five.rgb);
  o.seed = 2;
  EXPECT_FALSE(RenderWith(o).rgb == one.rgb) << "the seed changes the samples";
}

// A region render (--crop) is the same region of the whole render, bit for
// bit: each pixel's samples depend on its place in the whole raster only.
// With a moved film too, and through a named format whose shape sets the
// raster.
TEST(RenderProperties, ACropIsTheSameRegionOfTheWholeRender) {
  RenderOptions o = Small(70, 45, 8);
  o.shift = {1.5, 2.0};
  o.tilt = {3.0};
  const Image whole = RenderWith(o);
  o.crop = {13, 7, 51, 30};
  const Image part = RenderWith(o);
  ASSERT_EQ(part.width, 38);
  ASSERT_EQ(part.height, 23);
  for (int y = 0; y < part.height; ++y)
    for (int x = 0; x < part.width; ++x)
      for (int c = 0; c < 3; ++c)
        ASSERT_EQ(part.rgb[3 * size_t(y * part.width + x) + size_t(c)],
                  whole.rgb[3 * size_t((y + 7) * whole.width + x + 13) + size_t(c)])
            << x << "," << y;
  RenderOptions f = Small(70, 45, 2);
  f.film = "four-thirds";
  f.given = {};  // --res not given: 600 across, the film's shape down
  RenderSummary summary;
  const Image framed = RenderScene(f, &summary, false);
  EXPECT_EQ(framed.width, 600);
  EXPECT_EQ(framed.height, 451);  // 600 x 13 / 17.3
}

// Per block of a bx x by grid: the mean luminance of two renders with
// different seeds, and the variance of that mean, from their differences.
struct Block {
  double mean = 0, variance = 0;
};
std::vector<Block> Blocks(const Image& one, const Image& two, int bx, int by) {
  std::vector<Block> blocks(size_t(bx) * by);
  std::vector<int> count(blocks.size(), 0);
  for (int y = 0; y < one.height; ++y)
    for (int x = 0; x < one.width; ++x) {
      const size_t i = size_t(y * by / one.height) * bx + size_t(x * bx / one.width);
      const double a = Luminance(one, x, y), b = Luminance(two, x, y);
      blocks[i].mean += 0.5 * (a + b);
      // E[(a - b)^2] / 2 is a pixel's variance; their mean halves it.
      blocks[i].variance += 0.25 * (a - b) * (a - b);
      ++count[i];
    }
  for (size_t i = 0; i < blocks.size(); ++i) {
    blocks[i].mean /= count[i];
    blocks[i].variance /= double(count[i]) * count[i];
  }
  return blocks;
}

TEST(RenderProperties, ExitPupilSamplingAgreesWithinNoise) {
  // Looking down at the spheres and the ground, away from the lamps,
  // whose rare hits through a small stop make the noise too heavy-tailed
  // for its estimate to be trusted.
  RenderOptions back = Small(80, 54, 32);
  back.eye = {0, 1, -1.5};
  back.target = {0, -1, 2};
  back.aperture = 5;  // about f/11
  RenderOptions pupil = back;
  pupil.sampling = "exitpupil";
  const Image a1 = RenderWith(back), b1 = RenderWith(pupil);
  back.seed = pupil.seed = 7;
  const Image a2 = RenderWith(back), b2 = RenderWith(pupil);
  const std::vector<Block> a = Blocks(a1, a2, 4, 3), b = Blocks(b1, b2, 4, 3);
  double noise_a = 0, noise_b = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    SCOPED_TRACE(i);
    // Four standard errors of the difference.
    EXPECT_LT(std::fabs(a[i].mean - b[i].mean), 4 * std::sqrt(a[i].variance + b[i].variance))
        << a[i].mean << " vs " << b[i].mean;
    noise_a += a[i].variance, noise_b += b[i].variance;
  }
  EXPECT_LT(noise_b, noise_a / 4) << "aiming at the pupil wastes fewer samples";
}

TEST(RenderProperties, FocusDistanceMovesTheSharpPlane) {
  // Focused on the far wall, the wall's grid is sharper than when focused
  // close to the camera.
  RenderOptions far = Small(120, 80, 32), near = far;
  far.focus = 13.5;
  near.focus = 0.8;
  EXPECT_GT(Sharpness(RenderWith(far)), 1.2 * Sharpness(RenderWith(near)));
}

}  // namespace

TEST(Spectral, LensWithoutDispersionRendersTheSameUpToNoise) {
  // The Planar with its Abbe numbers left out: every band's camera is the
  // same, and the bands' RGB weights add up to one per channel.
  std::ifstream in(std::string(REALCAM_LENS_DIR) + "/planar-50mm-f2.dat");
  std::ostringstream plain;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') {
      size_t tabs = 0, end = 0;
      while (end < line.size() && (line[end] != '\t' || ++tabs < 4)) ++end;
      line = line.substr(0, end);
    }
    plain << line << "\n";
  }
  const std::string lens = std::string(REALCAM_TEST_OUTPUT) + "/planar-no-dispersion.dat";
  std::ofstream(lens) << plain.str();

  // Looking down at the floor and the spheres, away from the bright lamps
  // whose few hits would dominate the noise.
  RenderOptions rgb = Small(48, 32, 256);
  rgb.lens = lens;
  rgb.target = {0, 0, 0.5};
  RenderOptions bands = rgb;
  bands.spectral = 8;
  const Image a = RenderWith(rgb), b = RenderWith(bands);
  // Means over the image, and over 8 x 8 blocks: the band weights' colour
  // noise averages out; a missing or doubled band would not.
  for (int c = 0; c < 3; ++c) {
    double sa = 0, sb = 0;
    for (size_t i = size_t(c); i < a.rgb.size(); i += 3) sa += a.rgb[i], sb += b.rgb[i];
    EXPECT_NEAR(sb / sa, 1.0, 0.02) << "channel " << c;
  }
  int close = 0, blocks = 0;
  for (int by = 0; by < 32; by += 8)
    for (int bx = 0; bx < 48; bx += 8, ++blocks) {
      double la = 0, lb = 0;
      for (int y = by; y < by + 8; ++y)
        for (int x = bx; x < bx + 8; ++x) la += Luminance(a, x, y), lb += Luminance(b, x, y);
      close += std::fabs(lb / la - 1) < 0.06;
    }
  EXPECT_GE(close, blocks - 1);
}

TEST(Exposure, AutomaticExposureDoesNotDependOnTheNoise) {
  // The double Gauss at f/5.3 blocks 96% of back-element samples and 38%
  // of exit-pupil ones: the same image, with very different noise.
  RenderOptions back = Small(150, 100, 16);
  back.lens = std::string(REALCAM_LENS_DIR) + "/double-gauss-100mm-f2.dat";
  back.aperture = 12;
  back.sampling = "backelement";
  RenderOptions pupil = back;
  pupil.sampling = "exitpupil";
  const double a = AutoExposure(RenderWith(back)), b = AutoExposure(RenderWith(pupil));
  EXPECT_NEAR(a, b, 0.05);
}

// A marked f-number means the same light whatever the iris: --fstop with
// blades sets the polygon to the f-number circle's area, and the auto
// exposure (the median of the image's lit blocks) does not move.
TEST(Exposure, BladesAtAnFNumberPassTheRoundStopsLight) {
  RenderOptions round = Small(120, 80, 32);
  round.fstop = 5.6;
  round.sampling = "exitpupil";
  const double reference = AutoExposure(RenderWith(round));
  for (int blades : {3, 6, 9}) {
    RenderOptions bladed = round;
    bladed.blades = blades;
    bladed.blade_rotation = 10;
    EXPECT_NEAR(AutoExposure(RenderWith(bladed)), reference, 0.03) << blades << " blades";
  }
}

namespace {

// A square of side 4 at y = 0 seen from 1.5 above, with its material.
std::string SquareScene(const std::string& name, const std::string& material) {
  const std::string dir = std::string(REALCAM_TEST_OUTPUT) + "/";
  std::ofstream(dir + name + ".mtl") << "newmtl m\n" << material << "\n";
  std::ofstream(dir + name + ".obj") << "mtllib " << name << ".mtl\n"
                                     << "v -2 0 -2\nv 2 0 -2\nv 2 0 2\nv -2 0 2\nusemtl m\nf 1 2 3 4\n";
  return dir + name + ".obj";
}

RenderOptions LookingDown(const std::string& scene) {
  RenderOptions o = Small(40, 30, 16);
  o.scene = scene;
  o.eye = {0, 1.5, 0};
  o.target = {0, 0, 0.001};
  o.up = {0, 0, 1};
  o.filmdistance = 40;
  o.sky_strength = 0;
  return o;
}

}  // namespace

TEST(ObjScene, SunlitLambertianFloorHasTheRadianceOfItsFormula) {
  // A floor of albedo 0.5 under the sun straight overhead, nothing else:
  // its radiance is 0.5 E / pi. The same square glowing with exactly that
  // radiance, unlit, must photograph the same.
  RenderOptions lit = LookingDown(SquareScene("sunlit", "Kd 0.5 0.5 0.5"));
  lit.sun = {0, 1, 0};
  const double e[3] = {3.2, 3.0, 2.7};  // the sun's irradiance at strength 1
  char glow[96];
  snprintf(glow, sizeof glow, "Kd 0 0 0\nKe %.9g %.9g %.9g", 0.5 * e[0] / M_PI, 0.5 * e[1] / M_PI,
           0.5 * e[2] / M_PI);
  RenderOptions emitting = LookingDown(SquareScene("glowing", glow));
  emitting.no_sun = true;
  const Image a = RenderWith(lit), b = RenderWith(emitting);
  ASSERT_GT(MeanLuminance(b), 0);
  EXPECT_NEAR(MeanLuminance(a) / MeanLuminance(b), 1.0, 1e-3);
}

TEST(ObjScene, AreaLightLightsTheFloorBeneathIt) {
  // A floor and a small glowing quad 0.3 above its middle, no sun, no sky:
  // light only where the geometry is, brightest under the lamp.
  const std::string dir = std::string(REALCAM_TEST_OUTPUT) + "/";
  std::ofstream(dir + "lamp.mtl") << "newmtl floor\nKd 0.6 0.6 0.6\nnewmtl lamp\nKd 0 0 0\nKe 20 20 20\n";
  std::ofstream(dir + "lamp.obj")
      << "mtllib lamp.mtl\nv -1 0 -1\nv 1 0 -1\nv 1 0 1\nv -1 0 1\n"
      << "v -0.05 0.3 -0.05\nv 0.05 0.3 -0.05\nv 0.05 0.3 0.05\nv -0.05 0.3 0.05\n"
      << "usemtl floor\nf 1 2 3 4\nusemtl lamp\nf 5 6 7 8\n";
  RenderOptions o = LookingDown(dir + "lamp.obj");
  o.no_sun = true;
  o.eye = {0, 3, -1.2};
  o.target = {0, 0, 0};
  o.up = {0, 1, 0};
  o.filmdistance = -1;
  o.res = "64x48";
  o.spp = 32;
  const Image im = RenderWith(o);
  // Centre (floor under the lamp) against a corner of the frame, which
  // looks past the floor into the black sky.
  double centre = 0, corner = 0;
  for (int y = 20; y < 28; ++y)
    for (int x = 28; x < 36; ++x) centre += Luminance(im, x, y);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) corner += Luminance(im, x, y);
  EXPECT_GT(centre, 0);
  EXPECT_EQ(corner, 0);
}

TEST(RenderProperties, BatchEntryGivesTheSameImage) {
  // Through the plug-in's batch entry (the default) and one GenerateRay at
  // a time: every pixel the same, in both sampling modes.
  for (const char* sampling : {"backelement", "exitpupil"}) {
    RenderOptions batch = Small(48, 32, 8);
    batch.sampling = sampling;
    RenderOptions single = batch;
    single.no_batch = true;
    const Image a = RenderWith(batch), b = RenderWith(single);
    ASSERT_EQ(a.rgb.size(), b.rgb.size());
    EXPECT_EQ(0, std::memcmp(a.rgb.data(), b.rgb.data(), a.rgb.size() * sizeof(float))) << sampling;
  }
}

namespace {

// A closed cube [-1, 1]^3, every face of material m.
std::string ClosedBox(const std::string& name, const std::string& material) {
  const std::string dir = std::string(REALCAM_TEST_OUTPUT) + "/";
  std::ofstream(dir + name + ".mtl") << "newmtl m\n" << material << "\n";
  std::ofstream obj(dir + name + ".obj");
  obj << "mtllib " << name << ".mtl\nusemtl m\n";
  for (int i = 0; i < 8; ++i) obj << "v " << (i & 1 ? 1 : -1) << " " << (i & 2 ? 1 : -1) << " " << (i & 4 ? 1 : -1) << "\n";
  obj << "f 1 2 4 3\nf 5 6 8 7\nf 1 2 6 5\nf 3 4 8 7\nf 1 3 7 5\nf 2 4 8 6\n";
  return dir + name + ".obj";
}

}  // namespace

// The furnace: inside a closed box whose walls emit E and reflect a
// fraction a, the radiance everywhere is E + aE + a^2 E + ... = E / (1 - a).
// Next-event estimation at every bounce and Russian roulette must add up
// to it, unbiased.
TEST(ObjScene, FurnaceConvergesToTheGeometricSeries) {
  SunSky light;
  light.sun = false;
  light.sky_strength = 0;
  light.bounces = 1000;
  const ObjScene box(ClosedBox("furnace", "Kd 0.5 0.5 0.5\nKe 0.2 0.2 0.2"), light);
  EXPECT_TRUE(box.Encloses(Vec3(0, 0, 0)));
  double sum = 0;
  const int n = 100000;
  for (int i = 0; i < n; ++i) {
    const double z = 1 - 2 * ((i + 0.5) / n), phi = 2.399963 * i;
    const Vec3 d(std::sqrt(1 - z * z) * std::cos(phi), std::sqrt(1 - z * z) * std::sin(phi), z);
    sum += box.Radiance(Vec3(0.1, -0.2, 0.3), d, uint64_t(i) * 0x9e3779b97f4a7c15ull).y;
  }
  EXPECT_NEAR(sum / n, 0.2 / (1 - 0.5), 0.01 * 0.4);
}

// A sphere of few facets with its true normals (vn) shades like the sphere
// it approximates; without them, facet by facet. Its outline is the same.
TEST(ObjScene, SmoothNormalsShadeTheSphereNotItsFacets) {
  const std::string dir = std::string(REALCAM_TEST_OUTPUT) + "/";
  std::ofstream(dir + "ball.mtl") << "newmtl m\nKd 0.8 0.8 0.8\n";
  for (bool with_normals : {false, true}) {
    std::ofstream obj(dir + (with_normals ? "ball-vn.obj" : "ball.obj"));
    obj << "mtllib ball.mtl\nusemtl m\n";
    const int rings = 8, segments = 16;
    for (int r = 0; r <= rings; ++r)
      for (int s = 0; s < segments; ++s) {
        const double th = M_PI * r / rings, ph = 2 * M_PI * s / segments;
        obj << "v " << std::sin(th) * std::cos(ph) << " " << std::cos(th) << " " << std::sin(th) * std::sin(ph) << "\n";
        if (with_normals)
          obj << "vn " << std::sin(th) * std::cos(ph) << " " << std::cos(th) << " " << std::sin(th) * std::sin(ph) << "\n";
      }
    for (int r = 0; r < rings; ++r)
      for (int s = 0; s < segments; ++s) {
        const int a = r * segments + s + 1, b = r * segments + (s + 1) % segments + 1;
        const int c = a + segments, d = b + segments;
        auto corner = [&](int v) { return with_normals ? std::to_string(v) + "//" + std::to_string(v) : std::to_string(v); };
        obj << "f " << corner(a) << " " << corner(c) << " " << corner(d) << " " << corner(b) << "\n";
      }
  }
  SunSky light;
  light.sky_strength = 0;
  light.bounces = 0;
  light.sun_direction = Vec3(0.3, 0.8, -0.5);
  const ObjScene faceted(dir + "ball.obj", light), smooth(dir + "ball-vn.obj", light);
  const Vec3 eye(0, 0, -4), sun = Unit(light.sun_direction);
  double error_faceted = 0, error_smooth = 0;
  int hits_faceted = 0, hits_smooth = 0;
  for (int j = 0; j < 60; ++j)
    for (int i = 0; i < 60; ++i) {
      const Vec3 d = Unit(Vec3((i - 29.5) / 110.0, (j - 29.5) / 110.0, 1));
      // The true sphere's shading where the ray meets it.
      const double b = Dot(eye, d), disc = b * b - (Dot(eye, eye) - 1);
      const Vec3 a = faceted.Radiance(eye, d, 1), s = smooth.Radiance(eye, d, 1);
      hits_faceted += std::isfinite(faceted.Trace(eye, d)), hits_smooth += std::isfinite(smooth.Trace(eye, d));
      if (disc <= 0 || !std::isfinite(faceted.Trace(eye, d))) continue;
      const Vec3 n = Unit(eye + d * (-b - std::sqrt(disc)));
      const double truth = 0.8 * 3.0 * std::max(0.0, Dot(n, sun)) / M_PI;
      if (a.y == 0 && s.y == 0) continue;  // the outline's few pixels and the shadow side
      error_faceted += std::fabs(a.y - truth), error_smooth += std::fabs(s.y - truth);
    }
  EXPECT_EQ(hits_faceted, hits_smooth) << "the same outline";
  EXPECT_GT(hits_faceted, 1000);
  EXPECT_LT(error_smooth * 4, error_faceted) << error_smooth << " vs " << error_faceted;
}

// The sun seen directly: over its disc, radiance times the cosine to the
// sun's direction integrates to the sun's irradiance; the built-in scene
// shows it in the sky (a ray a degree off sees the sky's blue), and
// without a sun, only the sky.
TEST(Sun, TheDiscCarriesTheSunsIrradiance) {
  const Vec3 sun = Unit(Vec3(0.2, 0.3, -1)), e(3.2, 3.0, 2.7);
  const Vec3 t = Unit(Vec3(-sun.z, 0, sun.x));  // square to the sun's direction
  // Rings about the sun out to 0.4 degrees, midpoint rule in angle.
  double sum = 0;
  const int rings = 4000;
  const double outer = 0.4 * M_PI / 180;
  for (int k = 0; k < rings; ++k) {
    const double theta = (k + 0.5) * outer / rings;
    const Vec3 d = sun * std::cos(theta) + t * std::sin(theta);
    sum += SunDisc(d, sun, e, 0.2665).y * std::cos(theta) * 2 * M_PI * std::sin(theta) * (outer / rings);
  }
  EXPECT_NEAR(sum / e.y, 1.0, 2e-3);

  SunSky light;
  light.sun_direction = sun;
  const Scene scene(light);
  const Vec3 eye(0, 1, 8);
  const Vec3 at_sun = scene.Radiance(eye, sun), off = scene.Radiance(eye, Unit(sun + t * 0.02));
  EXPECT_GT(at_sun.y, 1e4 * off.y);
  EXPECT_LT(off.y, 1.0);
  light.sun = false;
  EXPECT_NEAR(Scene(light).Radiance(eye, sun).y, off.y, 0.01);
}

// The iris's starburst spreads the sun's directly seen light over the
// frame without adding or losing any (within the pixels outside the frame
// it sends light to), leaves the rest of the image alone, and is the same
// for any thread count.
TEST(Starburst, SpreadsTheSunsLightAndKeepsIt) {
  RenderOptions o = Small(90, 60, 4);
  o.sun = {0.0, 0.12, 1.0};  // ahead, just above the view's centre
  o.sun_radius = 1.0;
  o.fstop = 11;
  o.blades = 6;
  const Image plain = RenderWith(o);
  o.starburst = true;
  const Image spread = RenderWith(o);
  o.threads = 1;
  EXPECT_TRUE(RenderWith(o).rgb == spread.rgb);
  // The sun's image: the brightest pixel; "far" is 6 pixels and more from it.
  size_t peak = 0;
  for (size_t i = 0; i < plain.rgb.size(); ++i)
    if (plain.rgb[i] > plain.rgb[peak]) peak = i;
  const int px = int(peak / 3 % 90), py = int(peak / 3 / 90);
  double a = 0, b = 0, far_a = 0, far_b = 0, moved[3] = {}, all[3] = {};
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 90; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = 3 * (size_t(y) * 90 + size_t(x)) + size_t(c);
        a += plain.rgb[i], b += spread.rgb[i];
        all[c] += plain.rgb[i];
        if (std::hypot(x - px, y - py) > 6) {
          far_a += plain.rgb[i], far_b += spread.rgb[i];
          moved[c] += spread.rgb[i] - plain.rgb[i];
        }
      }
  EXPECT_NEAR(b, a, 0.005 * a);
  EXPECT_GT(far_b, far_a) << "the spikes carry light far from the sun";
  // Diffraction grows with the wavelength: the red channel's pattern
  // carries more of its light far out than the blue's.
  EXPECT_GT(moved[0] / all[0], 1.15 * (moved[2] / all[2]));
  EXPECT_FALSE(plain.rgb == spread.rgb);
}

// With flare traced from the light, the starburst spreads the sources'
// directly seen light only: a ghost sample that ends on the sun has given
// the sun's light to the traced ghosts, and the starburst must not take it
// from its pixel a second time and spread it around. With the sun above
// the frame and no emitters, nothing is seen directly: the starburst
// changes no pixel.
TEST(Starburst, LeavesTheGhostSamplesAlone) {
  RenderOptions o = Small(48, 32, 64);
  o.scene = SquareScene("floor", "Kd 0.5 0.5 0.5");
  o.eye = {0, 0.3, -1.9};
  o.target = {0, 0.2, 0};
  o.lens = REALCAM_LENS_DIR "/planar-50mm-f2.dat";
  o.flare = true;
  o.fstop = 4;
  o.blades = 6;
  o.sun = {0.0, 0.5, 1.0};
  o.sun_radius = 3.0;
  o.sun_strength = 20;
  o.light_rays = 1024;
  const Image plain = RenderWith(o);
  o.starburst = true;
  const Image spread = RenderWith(o);
  EXPECT_TRUE(spread.rgb == plain.rgb);
}

// Ghosts traced from the light give the light the camera's own ghost
// samples find, no more and no less: with a large source (so that the
// camera-side estimate converges), the ghost light of the two (the camera
// render less the other's camera part; the traced part alone) agrees in
// total and in each quarter of the frame within 2%, and the light-traced
// render is the same for any thread count.
namespace {

// Renders o with its sources' ghosts left to the camera samples, then
// traced from the light: the ghost light the camera samples found (the
// difference of the two renders' camera parts) must equal the traced
// light, in total and in each quarter of the frame. Returns the traced
// light's sum per channel.
std::vector<double> ExpectTracedGhostsAgree(RenderOptions o, bool statistics) {
  RenderSummary summary;
  o.light_rays = 0;
  const Image camera_side = RenderScene(o, &summary, false);
  o.light_rays = statistics ? 1 << 16 : 1 << 10;
  const Image light = RenderScene(o, &summary, false);
  const std::vector<float> traced = summary.light_rgb;
  EXPECT_EQ(traced.size(), light.rgb.size());
  if (traced.size() != light.rgb.size()) return {};
  o.threads = 1;
  EXPECT_TRUE(RenderScene(o, &summary, false).rgb == light.rgb) << "thread count changed the image";
  const int w = light.width, h = light.height;
  double total_cam = 0, total_light = 0, qc[4] = {}, ql[4] = {};
  std::vector<double> channels(3, 0.0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c) {
        const size_t i = 3 * (size_t(y) * size_t(w) + size_t(x)) + size_t(c);
        const int q = (y >= h / 2) * 2 + (x >= w / 2);
        // Camera side = camera render - (light render - traced).
        const double cam = double(camera_side.rgb[i]) - (double(light.rgb[i]) - traced[i]);
        total_cam += cam, total_light += traced[i];
        qc[q] += cam, ql[q] += traced[i];
        channels[size_t(c)] += traced[i];
      }
  EXPECT_GT(total_light, 0);
  if (statistics) {
    EXPECT_NEAR(total_light, total_cam, 0.02 * total_cam);
    for (int q = 0; q < 4; ++q) EXPECT_NEAR(ql[q], qc[q], 0.02 * total_cam) << "quarter " << q;
  }
  return channels;
}

bool StatisticsBuild() {
  // The statistics on the native build; the 32-bit and sanitizer builds
  // run the same code at few samples, for its memory and its threads.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return false;
#else
  return sizeof(void*) == 8;
#endif
}

RenderOptions FlareLooking(const std::string& scene, bool statistics) {
  RenderOptions o = Small(48, 32, statistics ? 2048 : 16);
  o.lens = REALCAM_LENS_DIR "/planar-50mm-f2.dat";
  o.weight = "film";
  o.sampling = "exitpupil";
  o.flare = true;
  o.fstop = 5.6;
  o.sky_strength = 0;
  o.scene = scene;
  // The camera's own wavelength for the traced light too: the two
  // estimates see the same lens.
  o.params = {"wavelength=587.5618"};
  return o;
}

}  // namespace

TEST(LightTracedFlare, AgreesWithTheCameraSideGhosts) {
  const bool statistics = StatisticsBuild();
  RenderOptions o = FlareLooking("", statistics);
  o.sun = {-0.15, 0.18, -1};
  o.sun_radius = 5;
  o.sun_strength = 5;
  o.eye = {0.5, 0.6, 11};
  o.target = {0, 0.5, 0};
  ExpectTracedGhostsAgree(o, statistics);
}

TEST(LightTracedFlare, AnEmittersGhostsAgreeWithTheCameraSide) {
  // A glowing panel 2.4 m square, 11 m away just off the axis, in the
  // dark: its ghosts traced from the light, none of its light counted
  // twice.
  const bool statistics = StatisticsBuild();
  const std::string dir = std::string(REALCAM_TEST_OUTPUT) + "/";
  std::ofstream(dir + "panel.mtl") << "newmtl glow\nKd 0 0 0\nKe 4 3.6 3.2\n";
  std::ofstream(dir + "panel.obj") << "mtllib panel.mtl\nv -1.2 -1.2 0\nv 1.2 -1.2 0\nv 1.2 1.2 0\nv -1.2 1.2 0\n"
                                   << "usemtl glow\nf 1 2 3 4\n";
  RenderOptions o = FlareLooking(dir + "panel.obj", statistics);
  o.no_sun = true;
  o.eye = {1.6, -1.2, -11};
  o.target = {0.9, -0.7, 0};
  ExpectTracedGhostsAgree(o, statistics);
}

TEST(LightTracedFlare, CoatedGhostsTakeTheCoatingsColour) {
  // A quarter-wave MgF2 layer reflects least at 550 nm: in an RGB render,
  // traced through the lens at each channel's wavelength, the coated
  // ghosts are magenta (red and blue over green); bare glass reflects all
  // colours about alike.
  RenderOptions o = FlareLooking("", false);
  o.spp = 1;
  o.params.clear();
  o.sun = {-0.15, 0.18, -1};
  o.sun_radius = 2;
  o.eye = {0.5, 0.6, 11};
  o.target = {0, 0.5, 0};
  o.light_rays = 2048;
  RenderSummary summary;
  RenderScene(o, &summary, false);
  EXPECT_EQ(summary.light_wavelengths, 3);
  std::vector<double> sum(3, 0.0);
  for (size_t i = 0; i < summary.light_rgb.size(); ++i) sum[i % 3] += summary.light_rgb[i];
  // The sun's own colour divided out.
  const double sun[3] = {3.2, 3.0, 2.7};
  for (int c = 0; c < 3; ++c) sum[size_t(c)] /= sun[c];
  EXPECT_GT(sum[0], 1.5 * sum[1]);
  EXPECT_GT(sum[2], 1.5 * sum[1]);
  o.coating = "none";
  RenderScene(o, &summary, false);
  std::vector<double> bare(3, 0.0);
  for (size_t i = 0; i < summary.light_rgb.size(); ++i) bare[i % 3] += summary.light_rgb[i] / sun[i % 3];
  EXPECT_NEAR(bare[0] / bare[1], 1.0, 0.1);
  EXPECT_NEAR(bare[2] / bare[1], 1.0, 0.1);
  EXPECT_GT(bare[1], 3 * sum[1]) << "the coating cuts the green ghosts";
}
