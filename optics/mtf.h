// SPDX-License-Identifier: Apache-2.0
// The diffraction MTF of a lens from its pupil function: the optical path
// of real rays from a point of the scene to the reference sphere around
// their image point, sampled over the pupil; the optical transfer function
// is the pupil function's autocorrelation.
//
// Lens units are millimetres here: frequencies are in cycles per mm.
#pragma once

#include <complex>
#include <vector>

#include "realistic/lens_stack.h"

// A pupil function sampled on an n x n grid of the entrance pupil (the
// grid's side spans `side` mm, centred on the pupil): for each cell, the
// light's amplitude (0 where the lens blocks it) and its wavefront error
// in waves. Image-space direction cosines change by `dl_dx` per mm of the
// grid along x and `dm_dy` along y: a shift of k cells in x compares rays
// whose directions differ by k * cell * dl_dx, which is lambda times the
// spatial frequency they carry.
struct PupilFunction {
  int n = 0;
  double side = 0, cell = 0;
  std::vector<double> amplitude, waves;
  double dl_dx = 0, dm_dy = 0;
  double nanometres = 0;
  double image_x = 0, image_y = 0;  // the reference point on the film (lens space)
  int passed = 0;
};

// The OTF of the pupil function for a shift of k cells along x (or y),
// normalized to 1 at k = 0: the sum over cells of P(p + k) P*(p) over the
// sum of |P|^2.
std::complex<double> ShiftOtf(const PupilFunction& p, int k, bool along_y);
// The frequency (cycles/mm) of a shift of one cell along x or y.
double CellFrequency(const PupilFunction& p, bool along_y);

// The OTF at frequency nu (cycles/mm), interpolated between whole shifts;
// 0 past the pupil's extent.
std::complex<double> OtfAt(const PupilFunction& p, double nu, bool along_y);

// The pupil function of the lens for light from a point of the scene at
// field angle `field_degrees` (in the y-z plane; an object at infinity when
// `object_distance` <= 0, else that far in front of the front vertex, at
// the height that angle gives from the entrance pupil), imaged on the film
// plane at film_z, at the lens's current wavelength (`nanometres` its
// value). The reference sphere is centred where the chief ray of
// `reference` lands (that of this function when null), with its radius
// from the exit pupil. `n` cells across a square 1.1 times the paraxial
// entrance pupil.
PupilFunction ComputePupilFunction(const LensStack& lens, double film_z, double field_degrees,
                                   double object_distance, double nanometres, int n,
                                   const PupilFunction* reference = nullptr);

// The diffraction-limited MTF of a round pupil at nu / cut-off.
double DiffractionLimitedMtf(double relative_frequency);
