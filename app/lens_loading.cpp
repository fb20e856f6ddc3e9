// SPDX-License-Identifier: Apache-2.0
#include "app/lens_loading.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "optics/lens_check.h"
#include "optics/paraxial.h"

void RequireReadableLens(const std::string& path) {
  errno = 0;
  FILE* f = fopen(path.c_str(), "r");
  int error = f ? 0 : errno;
  if (f) {
    // A directory opens, and fails on the first read.
    struct stat st;
    if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) error = EISDIR;
    fclose(f);
  }
  if (error) throw std::runtime_error("cannot open lens file \"" + path + "\": " + std::strerror(error));
}

void CheckLensBeforeUse(const std::string& path) {
  std::string first_error;
  int errors = 0;
  for (const LensDiagnostic& d : CheckLensFile(path)) {
    if (!d.error) {
      fprintf(stderr, "%s\n", FormatDiagnostic(path, d).c_str());
    } else if (errors++ == 0) {
      // "file:line:column: message": main says that it is an error.
      first_error = FormatDiagnostic(path, d);
      const size_t kind = first_error.find(": error: ");
      if (kind != std::string::npos) first_error.erase(kind, 7);
    }
  }
  if (errors > 1)
    first_error += "\n(and " + std::to_string(errors - 1) + " more: realcam check " + path + " lists them)";
  if (errors > 0) throw std::runtime_error(first_error);
}

std::unique_ptr<LensStack> LoadLens(const std::string& file, const LensSettings& settings) {
  RequireReadableLens(file);
  auto lens = std::make_unique<LensStack>(file);
  if (lens->GetInterfaces().empty())
    throw std::runtime_error(file + ": the prescription has no surfaces");
  if (settings.wavelength > 0) lens->SetWavelength(float(settings.wavelength));
  // A lens without a stop can still be shown and traced, as long as no
  // setting needs one.
  if (lens->GetIndexOfStop() < 0 && (settings.aperture >= 0 || settings.fstop > 0 || settings.blades > 0))
    throw std::runtime_error(file + ": " +
                             (settings.aperture >= 0 ? "--aperture"
                              : settings.fstop > 0   ? "--fstop"
                                                     : "--blades") +
                             " given, but the prescription has no stop");
  if (settings.aperture >= 0) lens->SetApertureDiameter(float(settings.aperture));
  if (settings.fstop > 0)
    lens->SetApertureDiameter(float(StopDiameterForFNumber(*lens, settings.fstop)));
  if (settings.blades > 0) lens->SetApertureBlades(settings.blades, float(settings.blade_rotation));
  return lens;
}
