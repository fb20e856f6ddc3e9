// SPDX-License-Identifier: Apache-2.0
// First-order (paraxial) optics of a lens stack, by y-nu ray tracing in
// double precision from the stack's stored radii, positions and indices.
//
// A paraxial ray is its height y and slope u at a surface. Crossing a
// surface of curvature c from index n to n': n'u' = nu - y (n' - n) c;
// moving on by t: y' = y + t u'. Heights and slopes are linear in the
// starting ray, so two traces give every first-order property. Lens
// space throughout: z from the front vertex, the film toward +z.
#pragma once

#include "realistic/lens_stack.h"

struct Pupil {
  double z;         // lens-space z of the pupil's centre
  double diameter;  // full diameter
};

struct Paraxial {
  double efl;         // effective focal length
  double bfl;         // back focal distance: film-side focal point minus the back vertex
  double ffd;         // front focal point, lens-space z (negative: in front of the lens)
  Pupil entrance;     // the stop's image through the elements in front of it
  Pupil exit;         // the stop's image through the elements behind it
  double f_number;    // efl / entrance pupil diameter
};

// Throws std::runtime_error for a lens without a stop or without power.
Paraxial ComputeParaxial(const LensStack& lens);

// The stop diameter at which the lens works at f-number n (paraxial EFL
// over the entrance pupil's diameter): the pupil scales with the stop.
double StopDiameterForFNumber(const LensStack& lens, double n);

// The film distance (from the back vertex) at which an axial object
// `distance` in front of the front vertex is in paraxial focus.
double ParaxialFilmDistance(const LensStack& lens, double distance);

// The paraxial image height, per unit tangent of the field angle, of a
// chief ray (through the entrance pupil's centre) on a film
// `filmdistance` behind the back vertex: the focal length when the film
// is at the focal plane.
double ParaxialImageScale(const LensStack& lens, const Paraxial& p, double filmdistance);

// The film-side slope of the ray from an axial object `distance` in front
// of the front vertex to the rim of the stop; the working f-number is
// 1 / (2 |slope|).
double WorkingFNumber(const LensStack& lens, double distance);
