// SPDX-License-Identifier: Apache-2.0
// Loads a camera plug-in the way the host renderer does: dlopen, then the
// C entry point CreateCamera.
#pragma once

#include <string>

#include "realistic/realistic.h"

// The plug-in's entry points, typed by the header hosts build against.
using CreateCameraFn = decltype(&CreateCamera);
using GenerateRaysFn = decltype(&RealisticGenerateRays);
using GhostCountsFn = decltype(&RealisticGhostCounts);

// The folder of the running executable.
std::string ExecutableDir();

// realistic.so beside the running executable (the build tree), or in
// ../lib/realcam from it (an installed realcam).
std::string DefaultPluginPath();

// The plug-in's CreateCamera. Throws std::runtime_error with
// `cannot load plug-in "<path>": <loader's message>` when the library or
// its entry point cannot be found. The library stays loaded.
CreateCameraFn LoadCameraPlugin(const std::string& path);

// The plug-in's optional batch entry RealisticGenerateRays, or nullptr when
// it has none; the plug-in must have been loaded with LoadCameraPlugin.
GenerateRaysFn FindBatchEntry(const std::string& path);

// The plug-in's optional lens-flare counts RealisticGhostCounts, or nullptr.
GhostCountsFn FindGhostCounts(const std::string& path);

// The flare-from-the-light entries, all four or none (all null).
struct LightFlareEntries {
  decltype(&RealisticGhostPaths) paths = nullptr;
  decltype(&RealisticTraceGhost) trace = nullptr;
  decltype(&RealisticFrontAperture) front = nullptr;
  decltype(&RealisticGhostSample) is_ghost = nullptr;
};
LightFlareEntries FindLightFlareEntries(const std::string& path);
