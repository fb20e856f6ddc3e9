// SPDX-License-Identifier: Apache-2.0
// The ghosts of lens flare, first order: light from an axial point at
// infinity that reflects at one surface back toward the scene, then at an
// earlier surface toward the film again. Each pair of surfaces where the
// index changes makes one such ghost; its brightness is the product of
// the two reflectances, spread over the disc the ghost's beam makes on the
// film.
#pragma once

#include <vector>

#include "realistic/lens_stack.h"

struct GhostPath {
  int first = -1;             // the surface the light reflects at first (the later one)
  int second = -1;            // the one it reflects at next, in front of the first
  double reflectance = 0;     // product of the two at normal incidence, with the coating
  double reflectance_bare = 0;  // the same for bare glass
  // Lens-space z where the ghost of the axial point focuses (paraxially);
  // infinite when it leaves the lens parallel to the axis. It may lie
  // in front of the back vertex (a virtual focus).
  double focus_z = 0;
  double beam = 0;            // diameter of the entrance beam that survives every rim and the stop
  double disc = 0;            // the ghost's diameter on the film from that beam
  // The ghost's irradiance on the film as a share of the irradiance the
  // source casts on the lens: reflectance x beam area / disc area, with
  // the disc no smaller than kGhostLeastDisc.
  double irradiance = 0;
};

constexpr double kGhostLeastDisc = 0.01;  // lens units: a ghost focused on the film

// Every two-reflection ghost of the lens on a film at lens-space z
// `film_z`, brightest (highest irradiance) first. Paraxial, with the
// lens's indices as they stand (the d line unless a wavelength was set:
// pass it as `nanometres` for the coating) and every surface's clear
// aperture as a rim; `coated`: air-glass surfaces carry the single-layer
// coating (the camera's default with reflections on).
std::vector<GhostPath> ComputeGhostPaths(const LensStack& lens, double film_z, bool coated = true,
                                         double nanometres = 587.5618);
