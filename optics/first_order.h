// SPDX-License-Identifier: Apache-2.0
// The first-order report of a lens on a film: what an optical designer's
// program prints first. Paraxial focal data and pupils; field of view,
// distortion, illumination and lateral colour from real rays.
#pragma once

#include "optics/chromatic.h"
#include "optics/paraxial.h"

struct FilmSetup {
  double width = 36, height = 24;  // lens units
  double filmdistance = -1;        // back vertex to film; < 0: from focus
  double focus = -1;               // object distance from the front vertex; < 0: infinity
};

struct FirstOrder {
  Paraxial paraxial;
  double working_f_number = NAN;  // with a finite focus
  double f_number_real = NAN;     // AxialBeamFNumber
  // The image circle on this film plane: diameters within which some
  // light, and at least half the centre's, reaches the film.
  double image_circle = NAN, image_circle_half_light = NAN;
  double covering_circle = NAN;   // CoveringCircle: the one "covers" judges by
  double filmdistance = NAN;      // the film distance used
  // Full angles in degrees, from the chief rays to the film's edges and
  // corner; NaN where no chief ray lands there.
  double fov_horizontal = NAN, fov_vertical = NAN, fov_diagonal = NAN;
  // Real chief-ray image height against the paraxial one for the same
  // field angle (f tan(theta) at infinity focus), percent.
  double distortion_corner = NAN, distortion_edge_x = NAN, distortion_edge_y = NAN;
  // Corner irradiance over the centre's, with the exit-angle weight and
  // with the film-angle weight.
  double illumination_corner = NAN, illumination_corner_film = NAN;
  bool has_chromatic = false;
  Chromatic chromatic{};
  double lateral_colour_corner = NAN;  // chief-ray height at F minus at C
};

// The f-number of the light that really passes on axis: the entrance
// beam of a point at infinity, found by tracing a grid of rays parallel to
// the axis through the front element, limited by every rim and the stop's
// shape (round or bladed), as efl / the diameter of the circle of the same
// area. Infinity when nothing passes.
double AxialBeamFNumber(const LensStack& lens, double efl);

// Throws std::runtime_error when the lens has no stop or no power.
FirstOrder ComputeFirstOrder(const LensStack& lens, const FilmSetup& film);
