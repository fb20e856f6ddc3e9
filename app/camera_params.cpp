// SPDX-License-Identifier: Apache-2.0
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <unistd.h>

#include "app/commands.h"
#include "app/plugin_loader.h"

std::string BundledLensDir() {
  // Installed as PREFIX/bin/realcam: PREFIX/share/realcam/lenses; in the
  // build tree, the source tree's lenses.
  const std::string installed = ExecutableDir() + "/../share/realcam/lenses";
  if (access((installed + "/planar-50mm-f2.dat").c_str(), F_OK) == 0) return installed;
  return REALCAM_LENS_DIR;
}

std::string DefaultLens() { return BundledLensDir() + "/planar-50mm-f2.dat"; }

std::string FindLens(const std::string& name) {
  // A file of that name here always wins; a path is never searched.
  if (name.empty() || access(name.c_str(), F_OK) == 0 || name.find('/') != std::string::npos)
    return ConvertForeignLens(name);
  for (const std::string& candidate : {BundledLensDir() + "/" + name, BundledLensDir() + "/" + name + ".dat"})
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  return name;
}

Resolution ParseResolution(const std::string& text, const std::string& flag) {
  Resolution r;
  char x = 0, extra = 0;
  if (sscanf(text.c_str(), "%d%c%d%c", &r.width, &x, &r.height, &extra) != 3 || x != 'x' ||
      r.width < 1 || r.height < 1 || r.width > 16384 || r.height > 16384)
    throw std::runtime_error(flag + " \"" + text +
                             "\" is not a resolution WxH with sides from 1 to 16384");
  return r;
}

void AddRawParams(const std::vector<std::string>& pairs, ParamSet* ps) {
  for (const std::string& pair : pairs) {
    const size_t eq = pair.find('=');
    if (eq == std::string::npos || eq == 0)
      throw std::runtime_error("--param \"" + pair + "\" is not of the form key=value");
    const std::string key = pair.substr(0, eq), value = pair.substr(eq + 1);
    char* end = nullptr;
    errno = 0;
    const double number = strtod(value.c_str(), &end);
    if (!value.empty() && *end == '\0')
      ps->AddFloat(key, float(number));  // nan and inf pass as given
    else
      ps->AddString(key, value);
  }
}

void AddHostParams(ParamSet* ps) {
  ps->AddFloat("hither", 0.001f);
  ps->AddFloat("yon", 1e30f);
  ps->AddFloat("shutteropen", 0.f);
  ps->AddFloat("shutterclose", 1.f);
}

void ReportUnusedParams(const ParamSet& ps) {
  for (const std::string& key : ps.UnusedKeys())
    fprintf(stderr, "realcam: warning: camera parameter \"%s\" was not used by the plug-in\n",
            key.c_str());
}
