// SPDX-License-Identifier: Apache-2.0
// realcam draw: loads the lens and writes its drawing.
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include "app/commands.h"
#include "app/lens_loading.h"
#include "optics/lens_drawing.h"
#include "render/image_io.h"

namespace {

void WriteOut(const std::string& path, const std::string& text) {
  if (path.empty()) {
    fwrite(text.data(), 1, text.size(), stdout);
    return;
  }
  std::ofstream f(path, std::ios::binary);
  f << text;
  if (!f.flush()) throw std::runtime_error("cannot write \"" + path + "\"");
}

}  // namespace

int RunDraw(const DrawOptions& o) {
  if (!o.output.empty()) {
    const size_t dot = o.output.rfind('.');
    const std::string extension = dot == std::string::npos ? "" : o.output.substr(dot);
    if (extension != ".svg" && extension != ".SVG")
      throw std::runtime_error("cannot write \"" + o.output + "\": draw writes SVG; name the file .svg");
    CheckWritable(o.output);
  }
  LensSettings settings;
  settings.aperture = o.aperture;
  settings.fstop = o.fstop;
  settings.wavelength = o.wavelength;
  settings.blades = o.blades;
  settings.blade_rotation = o.blade_rotation;
  settings.precision = o.precision;
  RequireReadableLens(o.lens);
  CheckLensBeforeUse(o.lens);
  const std::unique_ptr<LensStack> loaded = LoadLens(o.lens, settings);
  const LensStack& lens = *loaded;
  const ThickLens thick = ComputeThickLens(lens);
  if (!(thick.Efl() > 0) && o.filmdistance <= 0)
    throw std::runtime_error(o.lens + ": no positive focal length; give --filmdistance");
  // The drawing names the file the user gave.
  DrawOptions named = o;
  named.lens = ShownLensPath(o.lens);
  if (o.vignetting) {
    std::string report;
    WriteOut(o.output, DrawVignetting(lens, thick, named, &report));
    if (!o.output.empty()) fprintf(stderr, "realcam: wrote %s\n%s", o.output.c_str(), report.c_str());
    return 0;
  }
  int rays = 0;
  WriteOut(o.output, DrawSection(lens, thick, named, &rays));
  if (!o.output.empty()) fprintf(stderr, "realcam: wrote %s (%d rays)\n", o.output.c_str(), rays);
  return 0;
}
