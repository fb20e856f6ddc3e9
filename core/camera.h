// SPDX-License-Identifier: Apache-2.0
// The host's camera base class. A plug-in camera derives from it, passes
// the world-to-camera transform and the film to this constructor, and
// overrides GenerateRay; the host deletes cameras through this base.
#pragma once

#include "core/film.h"
#include "core/geometry.h"
#include "core/sampling.h"
#include "core/transform.h"

class Camera {
 public:
  Camera(const Transform& world2cam, float hither, float yon, float sopen, float sclose,
         Film* film);
  // Virtual slot 0: fills *ray with a world-space ray for the sample and
  // returns its radiometric weight (0 for a ray that carries nothing).
  virtual float GenerateRay(const Sample& sample, Ray* ray) const = 0;
  // The virtual destructor: in the Itanium C++ ABI (GCC, Clang on Linux)
  // it takes two slots after GenerateRay, the complete-object destructor
  // (slot 1) and the deleting destructor (slot 2), which `delete camera`
  // calls. Hosts outside C++ use the C interface <realcam/realcam.h>.
  virtual ~Camera();

  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  Film* film;
  Transform WorldToCamera, CameraToWorld;
  float ClipHither, ClipYon;
  float ShutterOpen, ShutterClose;
};
