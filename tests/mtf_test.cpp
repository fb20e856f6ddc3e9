// SPDX-License-Identifier: Apache-2.0
// The diffraction MTF from the pupil function, against what optics knows
// in closed form: a perfect round pupil, a defocused one, and a real lens
// stopped down until diffraction is all that is left.
#include <gtest/gtest.h>

#include <cmath>

#include "optics/best_focus.h"
#include "optics/mtf.h"
#include "optics/paraxial.h"
#include "realistic/lens_stack.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// A round pupil of unit direction-cosine change per mm, 1 mm across, in
// 550 nm light, with the wavefront error w(rho^2) in waves.
template <typename W>
PupilFunction RoundPupil(int n, W wavefront) {
  PupilFunction p;
  p.n = n, p.side = 1.0, p.cell = 1.0 / n, p.nanometres = 550, p.dl_dx = p.dm_dy = 1;
  p.amplitude.assign(size_t(n) * n, 0.0), p.waves.assign(size_t(n) * n, 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      const double x = (i + 0.5) / n - 0.5, y = (j + 0.5) / n - 0.5, rho2 = 4 * (x * x + y * y);
      if (rho2 > 1) continue;
      p.amplitude[size_t(j * n + i)] = 1, p.waves[size_t(j * n + i)] = wavefront(rho2);
    }
  return p;
}

// The defocused round pupil's OTF in closed form up to one integral
// (Hopkins): at the normalized shift s (0..2 pupil radii), with the
// defocus w020 waves at the rim, the overlap of the two shifted discs
// weighted by the phase 2 pi w020 (2 x s) that their difference leaves.
double DefocusMtf(double s, double w020) {
  if (s >= 2) return 0;
  const double half = 1 - s / 2;
  constexpr int kSteps = 20000;
  double sum = 0;
  for (int k = 0; k < kSteps; ++k) {
    const double x = -half + (k + 0.5) * 2 * half / kSteps;
    const double r = 1 - (std::fabs(x) + s / 2) * (std::fabs(x) + s / 2);
    const double height = r > 0 ? 2 * std::sqrt(r) : 0;
    sum += std::cos(2 * kPi * w020 * 2 * x * s) * height * (2 * half / kSteps);
  }
  return std::fabs(sum) / kPi;
}

}  // namespace

// The perfect round pupil gives the textbook MTF, 2/pi (phi - cos phi sin
// phi), within 0.01, and 1 at zero frequency; its cut-off is D / lambda.
TEST(Mtf, PerfectRoundPupilIsDiffractionLimited) {
  const PupilFunction p = RoundPupil(128, [](double) { return 0.0; });
  const double cutoff = 1.0 / (550e-6);  // diameter 1 mm, unit direction change per mm
  EXPECT_NEAR(std::abs(OtfAt(p, 0, false)), 1.0, 1e-12);
  for (double s = 0.05; s < 1; s += 0.05) {
    EXPECT_NEAR(std::abs(OtfAt(p, s * cutoff, false)), DiffractionLimitedMtf(s), 0.01) << s;
    EXPECT_NEAR(std::abs(OtfAt(p, s * cutoff, true)), DiffractionLimitedMtf(s), 0.01) << s;
  }
  EXPECT_NEAR(std::abs(OtfAt(p, 1.02 * cutoff, false)), 0.0, 1e-9);
}

// Half a wave of defocus at the rim: the MTF falls far below the perfect
// one and follows the defocus integral.
TEST(Mtf, DefocusedPupilFollowsTheDefocusIntegral) {
  const double w020 = 0.5;
  const PupilFunction p = RoundPupil(128, [&](double rho2) { return w020 * rho2; });
  const double cutoff = 1.0 / (550e-6);
  for (double s = 0.05; s < 1; s += 0.05) {
    const double expected = DefocusMtf(2 * s, w020);
    EXPECT_NEAR(std::abs(OtfAt(p, s * cutoff, false)), expected, 0.015) << s;
  }
  EXPECT_LT(std::abs(OtfAt(p, 0.3 * cutoff, false)), DiffractionLimitedMtf(0.3) - 0.2);
}

// The double Gauss at f/45 on the axis, at its best focus: its aberrations
// are small next to the wavelength there, so its MTF is the diffraction
// limit of its own f-number within 0.02.
TEST(Mtf, RealLensStoppedDownIsDiffractionLimited) {
  LensStack lens(REALCAM_LENS_DIR "/double-gauss-100mm-f2.dat");
  lens.SetExact(true);
  const double stop = StopDiameterForFNumber(lens, 45);
  lens.SetApertureDiameter(float(stop));
  const BestFocus focus = ComputeBestFocus(lens, 1e9);
  const double film_z = lens.GetLensDepthExact() + focus.best;
  const PupilFunction p = ComputePupilFunction(lens, film_z, 0, 0, 587.5618, 96);
  ASSERT_GT(p.passed, 1000);
  // The image-side cut-off: 1 / (lambda N), N from the paraxial f-number.
  const double n = ComputeParaxial(lens).f_number, cutoff = 1 / (587.5618e-6 * n);
  for (double s = 0.1; s < 0.95; s += 0.1) {
    EXPECT_NEAR(std::abs(OtfAt(p, s * cutoff, false)), DiffractionLimitedMtf(s), 0.02) << s;
    EXPECT_NEAR(std::abs(OtfAt(p, s * cutoff, true)), DiffractionLimitedMtf(s), 0.02) << s;
  }
  // The film moved by delta from focus defocuses the wavefront by
  // w020 = delta / (8 N^2) at the rim: half a wave here.
  const double delta = 0.5 * 8 * n * n * 587.5618e-6;
  const PupilFunction moved = ComputePupilFunction(lens, film_z + delta, 0, 0, 587.5618, 96);
  for (double s = 0.1; s < 0.95; s += 0.1)
    EXPECT_NEAR(std::abs(OtfAt(moved, s * cutoff, false)), DefocusMtf(2 * s, 0.5), 0.03) << s;
}
