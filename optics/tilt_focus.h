// SPDX-License-Identifier: Apache-2.0
// Where a tilted film's plane of sharp focus lies (Scheimpflug): by the
// thick lens's rules, and from real rays.
//
// The film turned by `tilt` about its centre's x axis (the camera
// parameter "film_tilt_x"), its centre `filmdistance` behind the back
// vertex. Lens space, in the plane x = 0: y up, z toward the film. The
// thick lens has its principal planes H (front) and H' (rear) and focal
// length f; the film's centre lies v behind H' and images a point u in
// front of H. Then:
//   - Scheimpflug rule: the film plane, the principal planes and the plane
//     of sharp focus meet in one line, at height -v / tan(tilt);
//   - hinge rule: the plane of sharp focus turns about the line where the
//     front focal plane meets the plane through the lens parallel to the
//     film, at height -f / tan(tilt), a distance J = f / sin(tilt) from the
//     lens along that plane.
#pragma once

#include <array>
#include <vector>

#include "realistic/lens_stack.h"

struct TiltFocus {
  double efl = 0, u = 0, v = 0, tilt = 0;
  double front_principal = 0, front_focal = 0;  // lens-space z of H and of the front focal plane
  double scheimpflug = 0;   // the Scheimpflug line's y, in the principal planes
  double hinge = 0;         // the hinge line's y, in the front focal plane
  double hinge_distance = 0;  // J = f / sin(tilt)
  double plane_angle = 0;   // between the plane of sharp focus and the axis, degrees
  // From real rays (at f/8, or the lens's stop if smaller): for film points
  // at heights -h, 0 and h along the film (the film's own y), the point in
  // front of the lens where their rays cross most nearly (least squares,
  // lens space), and the line through those points where it meets the
  // front focal plane.
  std::vector<double> film_heights;
  std::vector<std::array<double, 3>> points;
  double real_hinge = 0;
};

// Throws std::runtime_error for a lens without power, a tilt of 0 or of 45
// degrees or more, and where no real ray passes.
TiltFocus ComputeTiltFocus(const LensStack& lens, double filmdistance, double tilt_degrees, double film_height);
