// SPDX-License-Identifier: Apache-2.0
// Rays from distant object points, for the tools that trace from the
// scene side.
//
// Far from the lens the sphere intersection's C = o'.o' - r^2 is huge
// (about 9e6 for an origin 3000 units away) and a float holds it to no
// better than 1, so the discriminant cancels and rays that pass the lens
// come out blocked. The camera's own rays start on the film, near the
// lens, and never meet this; the tools' world-side rays do.
#pragma once

#include "realistic/lens_stack.h"

// The plane the tools start scene-side rays on: one lens unit in front
// of the most forward point of any surface's cap (and of the front vertex).
float NearPlaneZ(const LensStack& lens);

// The same line, started where it crosses NearPlaneZ: a ray that starts
// in front of that plane heading toward +z is moved forward along itself;
// any other ray is returned as given.
Ray StartNearLens(const LensStack& lens, const Ray& ray);
