// SPDX-License-Identifier: Apache-2.0
// Loads a camera plug-in the way a host does, for the tests that use only
// the Camera interface.
#pragma once

#include <memory>
#include <string>

#include "realistic/realistic.h"

using CreateCameraFn = decltype(&CreateCamera);

// The CreateCamera of the plug-in at `path`; the library stays loaded for
// the life of the test program. Fails the test on a load error.
CreateCameraFn LoadCreateCamera(const std::string& path);

// The CreateCamera of realistic.so.
CreateCameraFn RealisticFactory();

// The four required parameters with ordinary values and the lens file.
ParamSet RequiredParams(const std::string& specfile);

// CreateCamera of realistic.so with an identity transform.
std::unique_ptr<Camera> MakeCamera(const ParamSet& params, Film* film);
