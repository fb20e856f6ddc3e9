// SPDX-License-Identifier: Apache-2.0
// The first-order report: paraxial focal data and pupils against
// published designs, and real-ray field, distortion and illumination.
#include <cmath>

#include <gtest/gtest.h>

#include "optics/best_focus.h"
#include "optics/first_order.h"
#include "optics/ghosts.h"
#include "optics/tilt_focus.h"
#include "realistic/thick_lens.h"
#include "realistic/ghost_trace.h"
#include "realistic/lens_stack.h"

namespace {

LensStack Bundled(const std::string& name) { return LensStack(std::string(REALCAM_LENS_DIR) + "/" + name); }

// Published pupils and f-numbers are quoted to four or five figures; the
// files round the data and model flat surfaces as large spheres.
constexpr double kPublished = 0.005;

}  // namespace

TEST(FirstOrder, DoubleGaussPupilsAreThePublishedOnes) {
  const LensStack lens = Bundled("double-gauss-100mm-f2.dat");
  const Paraxial p = ComputeParaxial(lens);
  // Entrance pupil 50 across, 57.912 behind the first surface; exit pupil
  // 57.32 across, 53.157 in front of the last; f/2.0001.
  EXPECT_NEAR(p.entrance.diameter / 50.0, 1.0, kPublished);
  EXPECT_NEAR(p.entrance.z / 57.912, 1.0, kPublished);
  EXPECT_NEAR(p.exit.diameter / 57.32, 1.0, kPublished);
  EXPECT_NEAR((lens.GetLensDepth() - p.exit.z) / 53.157, 1.0, kPublished);
  EXPECT_NEAR(p.f_number / 2.0001, 1.0, kPublished);
  EXPECT_NEAR(p.efl / 100.0038, 1.0, kPublished);
  EXPECT_NEAR(p.bfl / 61.4875, 1.0, kPublished);
  EXPECT_NEAR(p.ffd / -29.3208, 1.0, kPublished);
}

TEST(FirstOrder, CookeTripletIsF4WithItsPublishedPupil) {
  const Paraxial p = ComputeParaxial(Bundled("cooke-triplet-50mm-f4.dat"));
  EXPECT_NEAR(p.entrance.diameter / 12.5, 1.0, kPublished);
  EXPECT_NEAR(p.f_number / 4.0, 1.0, kPublished);
  EXPECT_NEAR(p.efl / 50.0, 1.0, kPublished);
}

TEST(FirstOrder, ParaxialFocalLengthDoesNotDependOnTheStop) {
  // The thick-lens probes run at a tenth of the element's radius and see
  // spherical aberration; the paraxial trace does not, and ignores the stop.
  LensStack lens = Bundled("planar-50mm-f2.dat");
  const double wide = ComputeParaxial(lens).efl;
  lens.SetApertureDiameter(2.f);
  const Paraxial narrow = ComputeParaxial(lens);
  EXPECT_EQ(narrow.efl, wide);
  EXPECT_NEAR(wide / 52.02, 1.0, kPublished);
  // The stop's image shrinks with the stop by the pupil magnification.
  EXPECT_NEAR(narrow.entrance.diameter / 2.0, 25.8326 / 18.06, 1e-3);
}

TEST(FirstOrder, WorkingFNumberGrowsAsTheLensFocusesCloser) {
  const LensStack lens = Bundled("planar-50mm-f2.dat");
  const Paraxial p = ComputeParaxial(lens);
  EXPECT_NEAR(WorkingFNumber(lens, 1e8) / p.f_number, 1.0, 1e-5);
  // At unit magnification about twice the f-number (exactly so for a
  // pupil magnification of 1; the Planar's is 1.18).
  const double near = WorkingFNumber(lens, p.efl - p.ffd);  // 2f in front of the principal plane
  EXPECT_GT(near, 1.6 * p.f_number);
  EXPECT_LT(near, 2.4 * p.f_number);
}

TEST(FirstOrder, FieldOfViewOfANearlyDistortionFreeLens) {
  // The Cooke triplet distorts by under 0.1% at the corner of 36 x 24:
  // its field is 2 atan(half diagonal / EFL).
  const LensStack lens = Bundled("cooke-triplet-50mm-f4.dat");
  const FirstOrder f = ComputeFirstOrder(lens, FilmSetup{});
  const double half_diagonal = std::hypot(18.0, 12.0);
  const double expected = 2 * std::atan(half_diagonal / f.paraxial.efl) * 180 / M_PI;
  EXPECT_NEAR(f.fov_diagonal / expected, 1.0, 0.002);
  EXPECT_NEAR(f.fov_horizontal / (2 * std::atan(18.0 / f.paraxial.efl) * 180 / M_PI), 1.0, 0.002);
  EXPECT_LT(std::fabs(f.distortion_corner), 0.2);
  EXPECT_GT(f.illumination_corner, 0.3);
  EXPECT_LT(f.illumination_corner, 1.0);
}

TEST(FirstOrder, FisheyeFieldIsItsRealOne) {
  // 5.2 mm lens, film 10 mm across: f tan(theta) would give 2 atan(5 / 5.2)
  // = 88 degrees; the fisheye sees far more, with strong barrel distortion.
  const LensStack lens = Bundled("fisheye-5mm-f1.8.dat");
  FilmSetup film;
  film.width = film.height = 10;
  const FirstOrder f = ComputeFirstOrder(lens, film);
  EXPECT_GT(f.fov_horizontal, 110);
  EXPECT_LT(f.distortion_edge_x, -30);
}

TEST(FirstOrder, LateralColourOnlyWithDispersionData) {
  const FirstOrder tessar = ComputeFirstOrder(Bundled("tessar-101mm-f4.5.dat"), FilmSetup{});
  ASSERT_TRUE(tessar.has_chromatic);
  EXPECT_TRUE(std::isfinite(tessar.lateral_colour_corner));
  EXPECT_LT(std::fabs(tessar.lateral_colour_corner), 0.1);
}

// Spherical aberration moves the best focus of a wide-open lens away from
// the paraxial one; stopped down, the two agree within the depth of focus.
TEST(BestFocus, WideOpenTheSmallestSpotIsNotAtTheParaxialFocus) {
  LensStack planar(std::string(REALCAM_LENS_DIR) + "/planar-50mm-f2.dat");
  const BestFocus open = ComputeBestFocus(planar, 2000);
  // Under-corrected spherical aberration: the rim rays focus short, and
  // the smallest spot lies in front of the paraxial focus.
  EXPECT_LT(open.best, open.paraxial - 0.05);
  EXPECT_GT(open.best, open.paraxial - 0.5);
  EXPECT_LT(open.rms_best, 0.5 * open.rms_paraxial);
  EXPECT_GT(open.rays, 2000);

  planar.SetApertureDiameter(float(StopDiameterForFNumber(planar, 16)));
  const BestFocus f16 = ComputeBestFocus(planar, 2000);
  // Depth of focus 2 N c with a circle of confusion of 0.03 mm (36x24).
  EXPECT_NEAR(f16.best, f16.paraxial, 2 * 16 * 0.03);
  EXPECT_GT(f16.rays, 1000) << "the bundle fills even a small stop";
  EXPECT_LE(f16.rms_best, f16.rms_paraxial);
}

// A singlet's one two-reflection ghost (in through the front, back off the
// rear surface, forward off the front, out through the rear) seen with
// real rays: traced backward from a point on the axis behind the lens,
// the ghost path leaves the front parallel to the axis exactly when the
// point is the ghost's focus. The paraxial listing must put it there.
TEST(Ghosts, SingletGhostFocusesWhereTheParaxialTracePutsIt) {
  const LensStack lens = Bundled("singlet-100mm-f4.dat");
  const double depth = lens.GetLensDepth();
  const std::vector<GhostPath> ghosts = ComputeGhostPaths(lens, depth + 99.14, false);
  ASSERT_EQ(ghosts.size(), 1u) << "two refracting surfaces: one pair";
  const GhostPath& g = ghosts[0];
  EXPECT_EQ(g.first, 2);
  EXPECT_EQ(g.second, 1);
  // Bare crown at normal incidence, twice.
  const double r = std::pow(0.5168 / 2.5168, 2);
  EXPECT_NEAR(g.reflectance, r * r, 1e-9);
  ASSERT_TRUE(std::isfinite(g.focus_z));
  ASSERT_GT(g.focus_z, depth) << "this singlet's ghost focuses behind it";

  // The exit slope of the ghost path from an axial point at z, for a ray
  // 0.002 rad off the axis; the path's choices are random, so seeds are
  // tried until one takes two reflections.
  const auto& s = lens.GetExactSurfaces();
  auto exit_slope = [&](double z) {
    GhostSettings settings;
    settings.coated = false;
    for (uint64_t seed = 1; seed < 200000; ++seed) {
      RayT<double> exit;
      double factor;
      int taken;
      const RayT<double> in{{0, 0, z}, Vec3T<double>{0, 0.002, -1}.Normalized(), kExactMint<double>};
      if (GhostTraceFilmToWorld(s.data(), lens.GetInterfaces().data(), int(s.size()), in, settings,
                                seed * 0x9e3779b97f4a7c15ull, &exit, &factor, &taken) && taken == 2)
        return exit.d.y / -exit.d.z;
    }
    ADD_FAILURE() << "no seed took the ghost path";
    return 0.0;
  };
  // The slope is nearly linear in 1 / (z - focus) around it: secant steps.
  double a = depth + 1, b = depth + 60, fa = exit_slope(a), fb = exit_slope(b);
  for (int k = 0; k < 30 && std::fabs(b - a) > 1e-9; ++k) {
    const double c = b - fb * (b - a) / (fb - fa);
    a = b, fa = fb, b = c, fb = exit_slope(c);
  }
  const double real_back = b - depth, paraxial_back = g.focus_z - depth;
  EXPECT_NEAR(real_back / paraxial_back, 1.0, 0.01) << "real " << real_back << ", paraxial " << paraxial_back;
}

// On the double Gauss, the listing covers every pair of its ten refracting
// surfaces, brightest first; the coating cuts the product of two air-glass
// surfaces by more than an order of magnitude (cemented surfaces stay bare).
TEST(Ghosts, DoubleGaussListsEveryPairBrightestFirst) {
  const LensStack lens = Bundled("double-gauss-100mm-f2.dat");
  const std::vector<GhostPath> ghosts = ComputeGhostPaths(lens, lens.GetLensDepth() + 61.49);
  ASSERT_EQ(ghosts.size(), 45u);
  for (size_t k = 0; k < ghosts.size(); ++k) {
    const GhostPath& g = ghosts[k];
    EXPECT_GT(g.first, g.second);
    EXPECT_NE(g.first, lens.GetIndexOfStop());
    auto air = [&](int k) {
      return k == 0 || lens.GetInterfaces()[size_t(k) - 1].GetIndexOfRefractionPosZ() == 1.f ||
             lens.GetInterfaces()[size_t(k)].GetIndexOfRefractionPosZ() == 1.f;
    };
    if (air(g.first) && air(g.second)) {
      EXPECT_LT(g.reflectance * 10, g.reflectance_bare);
    } else {
      EXPECT_LE(g.reflectance, g.reflectance_bare);
    }
    EXPECT_GT(g.beam, 0);
    EXPECT_LE(g.beam, lens.GetFrontElementDiameter());
    if (k > 0) {
      EXPECT_GE(ghosts[k - 1].irradiance, g.irradiance);
    }
  }
}

// A tilted film's plane of sharp focus (Scheimpflug): real rays from film
// points above, at and below the centre cross at three depths on a plane
// that meets the front focal plane where the hinge rule puts it, J = f /
// sin(tilt) from the lens, within 2%; the other way round for the
// opposite tilt.
TEST(TiltFocus, RealRaysFollowTheHingeRule) {
  const LensStack lens(std::string(REALCAM_LENS_DIR) + "/double-gauss-100mm-f2.dat");
  const ThickLens t = ComputeThickLens(lens);
  const double fd = FilmDistanceForObject(lens, t, 3000);
  for (double tilt : {6.0, 10.0, -6.0}) {
    SCOPED_TRACE(tilt);
    const TiltFocus tf = ComputeTiltFocus(lens, fd, tilt, 24);
    EXPECT_NEAR(tf.real_hinge / tf.hinge, 1.0, 0.02);
    EXPECT_NEAR(tf.hinge_distance * std::sin(std::fabs(tilt) * 3.14159265358979 / 180), t.Efl(), 1e-4 * t.Efl());
    ASSERT_EQ(tf.points.size(), 3u);
    // Three depths: with +tilt the film's lower part comes nearer the lens
    // and focuses farther away (more negative z); -tilt the other way.
    const double s = tilt > 0 ? 1 : -1;
    EXPECT_GT(s * (tf.points[1][2] - tf.points[0][2]), 100);
    EXPECT_GT(s * (tf.points[2][2] - tf.points[1][2]), 100);
    // The centre focuses at the distance asked, the thick lens's u from H
    // (within the f/8 bundle's spherical aberration).
    EXPECT_NEAR(-tf.points[1][2] + tf.front_principal, tf.u, 0.03 * tf.u);
  }
  EXPECT_THROW(ComputeTiltFocus(lens, fd, 0, 24), std::runtime_error);
}
