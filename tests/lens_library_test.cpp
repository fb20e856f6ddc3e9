// SPDX-License-Identifier: Apache-2.0
// The bundled lens designs: each loads, passes light along its axis, and
// has the published focal length.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "realistic/lens_stack.h"

namespace {

struct Design {
  const char* file;
  double published_efl;  // mm
  double efl_tolerance;  // relative
};

// The conversion to this format (flat surfaces as large spheres, rounded
// data) keeps the focal length within 0.1%; the rest is the thick-lens
// probes' height, a tenth of the element's radius, where spherical
// aberration shortens the focus a little.
constexpr double kEfl = 0.01;
// The fisheye's back element is four times its focal length across, so
// its film-side probe runs at a fifth of the focal length from the axis.
constexpr double kFisheyeEfl = 0.02;

// Published EFLs, scaled to millimetres where the source is in inches or
// freely scaled.
const Design kDesigns[] = {
    {"cooke-triplet-50mm-f4.dat", 50.0, kEfl},
    {"double-gauss-100mm-f2.dat", 100.0038, kEfl},
    {"tessar-101mm-f4.5.dat", 3.99778 * 25.4, kEfl},
    {"telephoto-127mm-f5.6.dat", 127.0166, kEfl},
    {"planar-50mm-f2.dat", 52.02, kEfl},
    {"retrofocus-24mm.dat", 2.00524 * 12, kEfl},
    {"fisheye-5mm-f1.8.dat", 0.2050 * 25.4, kFisheyeEfl},
    // The teaching lenses are designed as thin lenses of 100 mm.
    {"singlet-100mm-f4.dat", 100.0, kEfl},
    {"achromat-100mm-f4.dat", 100.0, kEfl},
    // A design program's paraxial EFL for the catadioptric telephoto.
    {"mirror-1000mm-f7.5.dat", 999.637, kEfl},
};

class LensLibrary : public ::testing::TestWithParam<Design> {};

}  // namespace

TEST_P(LensLibrary, HasThePublishedFocalLengthAndPassesTheAxialRay) {
  const Design& d = GetParam();
  LensStack lens(std::string(REALCAM_LENS_DIR) + "/" + d.file);
  ASSERT_GE(lens.GetIndexOfStop(), 0);
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  EXPECT_NEAR((f1 - p1) / d.published_efl, 1.0, d.efl_tolerance);
  EXPECT_NEAR((p2 - f2) / d.published_efl, 1.0, d.efl_tolerance);
  // The film-side focus lies behind the back element.
  EXPECT_GT(f1, lens.GetLensDepth());

  // A ray just off the axis passes and leaves nearly along it (the
  // fisheye magnifies its small angle most). (On the
  // axis itself a vertex sits exactly on its cap's bound, and rounding of
  // the hit can put it a hair outside.) A mirror lens's obscuration blocks
  // it by design, and the optics without it pass it.
  if (lens.HasObscuration()) {
    Ray blocked;
    EXPECT_FALSE(lens.TraceFilmToWorld(Ray(Point(0, 1e-3f, lens.GetLensDepth() + 10), Vector(0, 0, -1)), &blocked));
    lens = lens.WithoutObscurations();
  }
  Ray out;
  const float height = 1e-3f * lens.GetBackElementDiameter();
  const Ray axial(Point(0, height, lens.GetLensDepth() + 10), Vector(0, 0, -1));
  ASSERT_TRUE(lens.TraceFilmToWorld(axial, &out));
  EXPECT_NEAR(out.d.z, -1.f, 1e-4f);
}

// Every surface keeps its cap: no aperture wider than its sphere, and the
// sag of the large "flat" spheres resolvable in float.
TEST_P(LensLibrary, CapsAreWellFormed) {
  const LensStack lens(std::string(REALCAM_LENS_DIR) + "/" + GetParam().file);
  for (const LensInterface& s : lens.GetInterfaces()) {
    if (s.IsStop()) continue;
    EXPECT_LE(s.GetDiameter(), 2 * std::fabs(s.GetRadius()));
    EXPECT_LT(s.GetZMin(), s.GetZMax()) << "radius " << s.GetRadius();
  }
}

INSTANTIATE_TEST_SUITE_P(Bundled, LensLibrary, ::testing::ValuesIn(kDesigns),
                         [](const ::testing::TestParamInfo<Design>& info) {
                           std::string name = info.param.file;
                           name = name.substr(0, name.find('.'));
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });
