// SPDX-License-Identifier: Apache-2.0
#include "app/lens_loading.h"
#include "app/commands.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
      fprintf(stderr, "%s\n", WithShownLensPaths(FormatDiagnostic(path, d)).c_str());
    } else if (errors++ == 0) {
      // "file:line:column: message": main says that it is an error.
      first_error = FormatDiagnostic(path, d);
      const size_t kind = first_error.find(": error: ");
      if (kind != std::string::npos) first_error.erase(kind, 7);
    }
  }
  if (errors > 1)
    first_error += "\n(and " + std::to_string(errors - 1) + " more: realcam check " + ShownLensPath(path) + " lists them)";
  if (errors > 0) throw std::runtime_error(first_error);
}

double PolygonAreaShare(int blades) {
  if (blades <= 0) return 1;
  const double pi = 3.14159265358979323846;
  return 0.5 * blades * std::sin(2 * pi / blades) / pi;
}

double ChooseStopDiameter(const LensStack& lens, const std::string& file, double aperture, double fstop,
                          int blades) {
  const double stop = std::fabs(double(lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter()));
  if (aperture < 0 && !(fstop > 0)) return stop;
  // Beyond the stop's own clear aperture the lens's rims, not the stop,
  // limit the light: a wider stop would only change the numbers printed.
  auto widest = [&]() {
    char buf[160];
    double n = NAN;
    try {
      n = StopDiameterForFNumber(lens, 1.0) / stop * std::sqrt(1 / PolygonAreaShare(blades));
    } catch (const std::exception&) {
    }
    snprintf(buf, sizeof buf, "%s: the stop opens to %g, f/%.1f%s", file.c_str(), stop, n,
             blades > 0 ? (" with " + std::to_string(blades) + " blades").c_str() : "");
    return std::string(buf);
  };
  const double tolerance = 1e-6 * std::max(stop, 1.0);
  if (aperture >= 0) {
    if (aperture > stop + tolerance) {
      char buf[96];
      snprintf(buf, sizeof buf, "; --aperture %g would open it wider", aperture);
      throw std::runtime_error(widest() + buf);
    }
    return aperture;
  }
  const double diameter = StopDiameterForFNumber(lens, fstop) / std::sqrt(PolygonAreaShare(blades));
  // Marked f-numbers are rounded: f/2 on a lens of f/2.014 is its full
  // stop, and the summary prints the f-number it really has.
  if (diameter > stop + tolerance && diameter <= 1.01 * stop) return stop;
  if (diameter > stop + tolerance) {
    char buf[96];
    snprintf(buf, sizeof buf, "; f/%g would need about %.3g", fstop, diameter);
    throw std::runtime_error(widest() + buf);
  }
  return diameter;
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
  if (settings.aperture >= 0 || settings.fstop > 0)
    lens->SetApertureDiameter(
        float(ChooseStopDiameter(*lens, file, settings.aperture, settings.fstop, settings.blades)));
  if (settings.blades > 0) lens->SetApertureBlades(settings.blades, float(settings.blade_rotation));
  lens->SetExact(settings.precision == "double");
  return lens;
}

double DesignWavelength(const std::string& path) {
  // "# Design wavelength: 780 nm ..." in the header comments an import writes.
  std::ifstream in(path);
  const std::string key = "# Design wavelength: ";
  for (std::string line; std::getline(in, line) && !line.empty() && line[0] == '#';)
    if (line.compare(0, key.size(), key) == 0) return std::strtod(line.c_str() + key.size(), nullptr);
  return 0;
}
