// SPDX-License-Identifier: Apache-2.0
// Drawings of a lens: a textbook cross-section with traced ray fans, and
// a plot of its vignetting across the film, as SVG text.
#pragma once

#include <string>

#include "realistic/thick_lens.h"

struct DrawOptions {
  std::string lens, output;
  double aperture = -1, fstop = -1, field = -1, filmdistance = -1, filmdiag = 43.27;
  int blades = 0;  // round
  double blade_rotation = 0;
  double wavelength = -1;  // nanometres; < 0 for the prescription's indices
  bool vignetting = false;
  bool chromatic = false;  // the axial fan in C, d and F light
  bool middle_fan = false;  // a third fan, at 70% of the off-axis fan's image height
  std::string precision = "double";  // of the traced rays: the physics, not the camera's bits
};

// Text for SVG or HTML: <, >, & and " as entities.
std::string XmlEscape(const std::string& s);

// The cross-section, film at o.filmdistance (or focused at infinity),
// with an axial fan and one at o.field degrees; *rays_drawn is the number
// of rays in it.
std::string DrawSection(const LensStack& lens, const ThickLens& thick, const DrawOptions& o,
                        int* rays_drawn);

// The share of back-element samples that pass, and the relative
// illumination, from the film's centre to its corner; *report gets a few
// lines of the same figures for the terminal.
std::string DrawVignetting(const LensStack& lens, const ThickLens& thick, const DrawOptions& o,
                           std::string* report);
