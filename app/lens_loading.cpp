#include "app/lens_loading.h"

#include <stdexcept>

#include "optics/paraxial.h"

std::unique_ptr<LensStack> LoadLens(const std::string& file, const LensSettings& settings) {
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
