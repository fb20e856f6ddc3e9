// SPDX-License-Identifier: Apache-2.0
// Spectral bands for rendering with a dispersive lens in an RGB renderer.
//
// The visible range 400 to 700 nm is cut into equal bands. Each band's
// RGB weight is the CIE 1931 colour-matching functions integrated over the
// band, taken from XYZ to linear sRGB, and normalised so that the weights
// of all bands add up to (1, 1, 1) per channel: a lens without dispersion
// then renders the same image with bands as without, up to noise. A weight
// may have a small negative channel (spectral colours lie outside sRGB).
#pragma once

#include <vector>

#include "render/scene.h"

struct SpectralBand {
  double nanometres;  // the band's centre, where its camera is made
  Vec3 rgb;
};

constexpr double kSpectralMin = 400, kSpectralMax = 700;

// `count` bands from 1 to 64 across kSpectralMin to kSpectralMax.
std::vector<SpectralBand> SpectralBands(int count);
