// SPDX-License-Identifier: Apache-2.0
// Loading a lens for the tools, with the camera's settings applied the
// way the camera applies them: wavelength first, then the stop.
#pragma once

#include <memory>
#include <string>

#include "realistic/lens_stack.h"

struct LensSettings {
  double aperture = -1;    // stop diameter; < 0 keeps the prescription's
  double fstop = -1;       // or the stop diameter that gives this f-number
  double wavelength = -1;  // nanometres; < 0 keeps the d-line indices
  int blades = 0;          // 0: a round stop
  double blade_rotation = 0;
  // "double": the real-ray traces in double from the prescription's own
  // numbers (LensStack::SetExact); "float": the camera's float arithmetic.
  std::string precision = "float";
};

// The share of its circumscribed circle's area that a regular polygon of
// `blades` sides covers (1 for a round stop, blades 0).
double PolygonAreaShare(int blades);

// The stop diameter the tools give the camera for --aperture or --fstop on
// a lens whose stop is still the prescription's. With blades, --fstop N
// sets the polygon's circumscribed diameter so that its area is the f/N
// circle's (the marked f-number means the same light whatever the iris);
// --aperture keeps its circumscribed meaning. Anything past the
// prescription's stop is refused, naming the widest f-number it allows.
// Without either, the prescription's stop.
double ChooseStopDiameter(const LensStack& lens, const std::string& file, double aperture, double fstop,
                          int blades);

// Throws for a lens file that cannot be opened, a lens without surfaces,
// and for settings that need a stop when it has none.
std::unique_ptr<LensStack> LoadLens(const std::string& file, const LensSettings& settings = {});

// Throws `cannot open lens file "<path>": <reason>` unless the file can be
// opened and read: the lens code itself would end the process instead.
void RequireReadableLens(const std::string& path);

// Runs the lens checker: its warnings on standard error; its first error
// (what no lens can be, or what the loader refuses) thrown, with the file,
// line and column, before deeper code can fail on it with less to say.
void CheckLensBeforeUse(const std::string& path);

// The design wavelength (nm) a converted lens's header records, or 0.
double DesignWavelength(const std::string& path);
