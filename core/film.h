// SPDX-License-Identifier: Apache-2.0
// The host's film as a camera sees it: only its resolution in pixels.
// The reference host keeps its pixel storage in a class of its own.
#pragma once

class Film {
 public:
  Film(int xres, int yres) : xResolution(xres), yResolution(yres) {}
  const int xResolution, yResolution;
};
