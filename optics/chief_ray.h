// SPDX-License-Identifier: Apache-2.0
// Real chief rays: the rays through the centre of the stop, which fix
// where a field angle lands on the film. Found by aiming in the meridional
// plane (x = 0) until the ray crosses the stop plane on the axis.
#pragma once

#include "realistic/lens_stack.h"

// The field angle (radians, in object space) of the chief ray that lands
// at height h on the film plane z = film_z; NaN if none passes the lens.
double ChiefRayFieldAngle(const LensStack& lens, double film_z, double h);

// Where the chief ray of field angle theta (radians) lands on the film
// plane z = film_z, as a height; NaN if none passes the lens.
double ChiefRayImageHeight(const LensStack& lens, double film_z, double theta);
