// SPDX-License-Identifier: Apache-2.0
// Snell's law in vector form at one surface.
#pragma once

#include "core/geometry.h"

// The ray that continues from a surface crossing: O is the incoming ray's
// origin, P the hit point, Normal the unit surface normal at P (either
// side), ni and nt the indices of the media left and entered. On total
// internal reflection the result runs along the surface from O; no
// reflected ray is computed. The result has mint 0.001, maxt +inf, time 0.
Ray Refract(const Point& O, const Point& P, const Vector& Normal, float ni, float nt);

// The floats x for which Refract's check on the refracted direction's
// length, |sqrtf(x) - 1| < EPSILON with x the squared length, holds: sqrtf
// is monotone, so they form one interval, and these are its ends. Code
// that tests the squared length against them skips the square root and
// decides exactly as the check does (a NaN or negative x fails both).
constexpr float kUnitLengthSquaredMin = 0x1.fef9fcp-1f;  // 0.998000979
constexpr float kUnitLengthSquaredMax = 0x1.008322p+0f;  // 1.00200093

// The ray that leaves a mirror at P: the direction D mirrored in the unit
// normal (either side). Its origin is P, mint 0.001, maxt +inf, time 0.
Ray Reflect(const Vector& D, const Point& P, const Vector& Normal);
