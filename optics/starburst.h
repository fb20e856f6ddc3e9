// SPDX-License-Identifier: Apache-2.0
// The iris's starburst: the image of a bright point through a stop is the
// stop's Fraunhofer diffraction pattern, |FFT of the pupil|^2. A round
// stop gives the Airy rings; a polygon of N straight blades gives N spikes
// for even N and 2N for odd N (each edge diffracts light both ways along
// its normal, and an odd polygon's opposite edges are not parallel).
//
// Its scale is lambda over the exit pupil's size: with the film-side
// f-number N of the axial beam, one grid step of the pattern is lambda N /
// pad on the film, where the pupil fills 1 / pad of the grid.
#pragma once

#include <vector>

struct StarburstSettings {
  int blades = 0;             // 0: round; 3 to 32: a regular polygon
  double rotation_degrees = 0;
  double nanometres = 550;
  double f_number = 8;        // film side, of the axial beam
  int size = 512;             // grid samples a side (a power of two)
  int pad = 4;                // the grid is this many times the pupil's circumscribed circle
};

// The pattern on the film: size x size samples `spacing` mm apart, the
// point's image at (size/2, size/2), summing to 1.
struct Starburst {
  int size = 0;
  double spacing = 0;
  std::vector<double> value;
};

Starburst ComputeStarburst(const StarburstSettings& s);

// The pattern gathered into pixels `pitch` mm wide (each pixel the sum of
// the samples in it), `radius` pixels around the centre, (2 radius + 1)^2
// values summing to 1. Beyond what the grid holds, each direction's light
// falls as 1 / r^2 from the grid's edge (an edge's diffraction far away),
// so that a bright point's spikes reach as far as they would.
std::vector<double> StarburstKernel(const Starburst& s, double pitch, int radius);
