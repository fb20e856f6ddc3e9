// SPDX-License-Identifier: Apache-2.0
// Vignetting across the film: how much of the back element's disc passes
// the lens from a film point, and the light that reaches it with the
// camera's weights.
#pragma once

#include "realistic/lens_stack.h"

struct FilmPointLight {
  double passing;             // share of back-element samples that pass
  double illumination_exit;   // mean cos^4 of the exit angle (the camera's default weight)
  double illumination_film;   // mean cos^4 of the film-side angle ("weight" "film")
};

// At the film point (x, 0, film_z), over a stratified grid of grid x grid
// back-element samples, each at a random spot of its cell (fixed seed):
// no grid pattern beats against the lens's rims.
FilmPointLight LightAtFilmPoint(const LensStack& lens, float film_z, float x, int grid = 64);
