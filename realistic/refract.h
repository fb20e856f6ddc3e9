// Snell's law in vector form at one surface.
#pragma once

#include "core/geometry.h"

// The ray that continues from a surface crossing: O is the incoming ray's
// origin, P the hit point, Normal the unit surface normal at P (either
// side), ni and nt the indices of the media left and entered. On total
// internal reflection the result runs along the surface from O; no
// reflected ray is computed. The result has mint 0.001, maxt +inf, time 0.
Ray Refract(const Point& O, const Point& P, const Vector& Normal, float ni, float nt);
