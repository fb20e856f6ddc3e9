// SPDX-License-Identifier: Apache-2.0
#include "tests/plugin.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

CreateCameraFn LoadCreateCamera(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    ADD_FAILURE() << "cannot load plug-in \"" << path << "\": " << dlerror();
    return nullptr;
  }
  void* symbol = dlsym(handle, "CreateCamera");
  if (!symbol) ADD_FAILURE() << path << " has no CreateCamera";
  return reinterpret_cast<CreateCameraFn>(symbol);
}

CreateCameraFn RealisticFactory() {
  static const CreateCameraFn factory = LoadCreateCamera(REALISTIC_SO);
  return factory;
}

ParamSet RequiredParams(const std::string& specfile) {
  ParamSet ps;
  ps.AddFloat("hither", 0.001f);
  ps.AddFloat("yon", 1e30f);
  ps.AddFloat("shutteropen", 0.f);
  ps.AddFloat("shutterclose", 1.f);
  ps.AddString("specfile", specfile);
  return ps;
}

std::unique_ptr<Camera> MakeCamera(const ParamSet& params, Film* film) {
  CreateCameraFn create = RealisticFactory();
  if (!create) return nullptr;
  return std::unique_ptr<Camera>(create(params, Transform(), film));
}
