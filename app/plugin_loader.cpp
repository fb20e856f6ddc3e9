// SPDX-License-Identifier: Apache-2.0
#include "app/plugin_loader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <stdexcept>

std::string ExecutableDir() {
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  const std::string path(self, size_t(n));
  return path.substr(0, path.rfind('/'));
}

std::string DefaultPluginPath() {
  // Beside the program in the build tree; in PREFIX/lib/realcam when
  // installed as PREFIX/bin/realcam.
  const std::string dir = ExecutableDir();
  for (const std::string& candidate : {dir + "/realistic.so", dir + "/../lib/realcam/realistic.so"})
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  return dir + "/realistic.so";
}

CreateCameraFn LoadCameraPlugin(const std::string& path) {
  // A bare file name would make dlopen search the library path; the host
  // means a file.
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    throw std::runtime_error("cannot load plug-in \"" + path + "\": " + dlerror());
  void* entry = dlsym(handle, "CreateCamera");
  if (!entry)
    throw std::runtime_error("cannot load plug-in \"" + path + "\": " + dlerror());
  return reinterpret_cast<CreateCameraFn>(entry);
}

// An optional entry of a plug-in already loaded, or nullptr.
static void* FindOptionalEntry(const std::string& path, const char* name) {
  const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  return handle ? dlsym(handle, name) : nullptr;
}

GenerateRaysFn FindBatchEntry(const std::string& path) {
  return reinterpret_cast<GenerateRaysFn>(FindOptionalEntry(path, "RealisticGenerateRays"));
}

GhostCountsFn FindGhostCounts(const std::string& path) {
  return reinterpret_cast<GhostCountsFn>(FindOptionalEntry(path, "RealisticGhostCounts"));
}

LightFlareEntries FindLightFlareEntries(const std::string& path) {
  LightFlareEntries e;
  e.paths = reinterpret_cast<decltype(e.paths)>(FindOptionalEntry(path, "RealisticGhostPaths"));
  e.trace = reinterpret_cast<decltype(e.trace)>(FindOptionalEntry(path, "RealisticTraceGhost"));
  e.front = reinterpret_cast<decltype(e.front)>(FindOptionalEntry(path, "RealisticFrontAperture"));
  e.is_ghost = reinterpret_cast<decltype(e.is_ghost)>(FindOptionalEntry(path, "RealisticGhostSample"));
  if (!e.paths || !e.trace || !e.front || !e.is_ghost) return {};
  return e;
}
