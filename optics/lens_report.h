// SPDX-License-Identifier: Apache-2.0
// What a lens maker's data sheet and a designer's analysis show of a lens,
// computed in one go for `realcam report`: the diffraction MTF (a maker's
// chart across the field, and against frequency at three fields), spot
// diagrams in three colours, distortion, relative illumination, colour,
// the shape of out-of-focus highlights across the field, and the ghosts.
// Lens units are millimetres.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "optics/ghosts.h"
#include "realistic/lens_stack.h"

struct ReportSettings {
  double film_width = 36, film_height = 24;
  double focus = -1;         // object distance from the front vertex; <= 0: infinity
  double filmdistance = -1;  // back vertex to film; < 0: the best focus of that object
  bool coated = true;        // for the ghosts
};

// A curve: x against y.
struct Curve {
  std::vector<double> x, y;
};

// The MTF against frequency at one field: sagittal and tangential, in d
// light and in C, d and F light weighted alike.
struct MtfAtField {
  double height = 0;  // film height (mm from the centre)
  double angle = 0;   // its field angle, degrees
  std::vector<double> frequency;  // cycles/mm
  std::vector<double> sagittal_d, tangential_d, sagittal_poly, tangential_poly;
};

// A spot diagram: where the rays of a grid over the entrance pupil land,
// relative to the d-light chief ray, in C, d and F light; RMS radii about
// each colour's centroid, and of all three about their common one.
struct SpotAtField {
  double height = 0, angle = 0;
  std::array<std::vector<std::array<double, 2>>, 3> points;  // C, d, F
  std::array<double, 3> rms{};
  double rms_poly = 0;
};

// Which cells of a grid over a square of the back element's plane (the
// report's bokeh_extent around the centre here) pass light to the film
// point (height, 0): the shape of an out-of-focus highlight there.
struct BokehAtField {
  double height = 0;
  double centre_x = 0, centre_y = 0;
  int grid = 0;
  std::vector<unsigned char> pass;  // grid x grid, row-major, y down the rows
};

struct LensReport {
  double efl = 0, f_number = 0, working_f_number = 0, filmdistance = 0, film_z = 0;
  double entrance_pupil = 0, entrance_pupil_z = 0, exit_pupil = 0, exit_pupil_z = 0;
  double film_width = 0, film_height = 0;
  double field_of_view = 0;       // diagonal, degrees
  double corner = 0;              // the film corner's distance from the centre
  double image_circle = 0, image_circle_half_light = 0;
  double cutoff = 0;              // diffraction cut-off on axis, cycles/mm (d light)
  double airy_radius = 0;         // 1.22 lambda N, mm
  double best_focus_rms = 0;      // when the film is at the best focus
  bool has_dispersion = false;
  // The maker's chart: modulation at 10 and 30 cycles/mm (white light)
  // against image height.
  Curve sagittal10, tangential10, sagittal30, tangential30;
  std::vector<MtfAtField> mtf;
  std::vector<SpotAtField> spots;
  Curve distortion;               // percent against image height
  Curve illumination_exit, illumination_film;  // relative to the centre
  Curve longitudinal_colour;      // focus shift (mm) against wavelength (nm)
  Curve lateral_colour;           // F - C image height (mm) against image height
  std::vector<BokehAtField> bokeh;
  double bokeh_extent = 0;        // the bokeh grids' half side on the back element's plane
  std::vector<GhostPath> ghosts;
};

// Throws std::runtime_error for a lens without a stop, power or light.
LensReport ComputeLensReport(const LensStack& lens, const ReportSettings& settings);
