// SPDX-License-Identifier: Apache-2.0
// Glass dispersion: the refractive index at a wavelength from the index at
// the helium d line and the Abbe number.
//
// The two-term Cauchy model n(lambda) = A + B / lambda^2 is fitted to the
// two numbers a glass catalogue gives: n(d) = n_d, and the principal
// dispersion n(F) - n(C) = (n_d - 1) / V_d. It follows real glasses to a
// few 1e-4 across the visible, enough for the colour fringes of a lens.
#pragma once

// Fraunhofer lines, in nanometres.
constexpr double kLineF = 486.1327;  // hydrogen, blue
constexpr double kLineD = 587.5618;  // helium, yellow
constexpr double kLineC = 656.2725;  // hydrogen, red

// The visible range a camera accepts a wavelength in, nanometres.
constexpr float kMinWavelength = 360.f, kMaxWavelength = 830.f;

// n at `nanometres` for a glass of index n_d and Abbe number v_d > 0,
// computed in double from the floats and rounded once.
float IndexAtWavelength(float n_d, float v_d, float nanometres);
// The same fit in double, not rounded.
double IndexAtWavelengthExact(double n_d, double v_d, double nanometres);
