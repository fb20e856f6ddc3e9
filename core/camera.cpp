// SPDX-License-Identifier: Apache-2.0
#include "core/camera.h"

// The camera-to-world transform is the inverse of world2cam: the same two
// matrices with their roles swapped, so nothing is inverted here.
Camera::Camera(const Transform& world2cam, float hither, float yon, float sopen, float sclose,
               Film* f)
    : film(f),
      WorldToCamera(world2cam),
      CameraToWorld(world2cam.mInv, world2cam.m),
      ClipHither(hither),
      ClipYon(yon),
      ShutterOpen(sopen),
      ShutterClose(sclose) {}

Camera::~Camera() = default;
