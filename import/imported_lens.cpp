// SPDX-License-Identifier: Apache-2.0
#include "import/imported_lens.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <memory>
#include <sstream>

#include "realistic/glass_catalogue.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"

namespace {

// The fewest digits that read back to the same double.
std::string Exact(double v) {
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[40];
  int digits = 1;
  for (; digits <= 17; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  // Fixed notation where it is no longer: 30, not 3e+01.
  if (const char* e = std::strchr(buf, 'e')) {
    char fixed[400];
    snprintf(fixed, sizeof fixed, "%.*f", std::max(0, digits - 1 - std::atoi(e + 1)), v);
    if (std::strlen(fixed) <= std::strlen(buf) && std::strtod(fixed, nullptr) == v) return fixed;
  }
  return buf;
}

// A glass "MAKER:NAME" as a prescription names it: the bare name where
// only one maker has it.
std::string GlassName(const std::string& qualified) {
  const size_t colon = qualified.find(':');
  if (colon == std::string::npos) return qualified;
  std::string why;
  return FindGlass(qualified.substr(colon + 1), &why) ? qualified.substr(colon + 1) : qualified;
}

// A paraxial y-nu trace of the lens from a ray parallel to the axis at
// height 1: its height at the stop and its final slope.
void ParallelRay(const ImportedLens& lens, double* height_at_stop, double* final_nu) {
  double y = 1, nu = 0, before = 1;
  *height_at_stop = NAN;
  for (size_t i = 0; i < lens.surfaces.size(); ++i) {
    const ImportedSurface& s = lens.surfaces[i];
    if (s.radius == 0) {
      *height_at_stop = y;
    } else {
      double c = std::isinf(s.radius) ? 0.0 : 1.0 / s.radius;
      if (s.aspheric) c += 2 * s.asphere.a[0];
      nu -= y * (s.index - before) * c;
    }
    if (s.radius != 0) before = s.index;
    if (i + 1 < lens.surfaces.size()) y += s.thickness * nu / before;
  }
  *final_nu = nu;
}

}  // namespace

std::string NoteNumber(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.7g", v);
  return buf;
}

std::string WritePrescription(const ImportedLens& lens) {
  std::ostringstream out;
  out << "# " << (lens.title.empty() ? "Imported lens" : lens.title) << "\n";
  out << "# Imported by realcam import from " << lens.source << " (" << lens.format << ").\n";
  for (const std::string& note : lens.notes) out << "# " << note << "\n";
  for (const std::string& warning : lens.warnings) out << "# Warning: " << warning << "\n";
  out << "# radius\tthickness\tindex\taperture\tglass or abbe number\n";
  for (const ImportedSurface& s : lens.surfaces) {
    out << Exact(s.radius) << "\t" << Exact(s.thickness) << "\t" << Exact(s.radius == 0 ? 1.0 : s.index)
        << "\t" << Exact(s.aperture);
    if (!s.glass.empty())
      out << "\t" << GlassName(s.glass);
    else if (s.abbe > 0)
      out << "\t" << Exact(s.abbe);
    out << "\n";
    if (s.aspheric) {
      out << "asphere k=" << Exact(s.asphere.k);
      for (int i = 0; i < 10; ++i)
        if (s.asphere.a[i] != 0) out << " a" << 2 * i + 2 << "=" << Exact(s.asphere.a[i]);
      out << "\n";
    }
  }
  return out.str();
}

ImportedLens ReadPrescription(const std::string& path) {
  const LensStack stack(path);
  ImportedLens lens;
  lens.source = path;
  lens.format = "realcam prescription";
  FILE* f = fopen(path.c_str(), "r");
  if (f) {
    char line[512];
    if (fgets(line, sizeof line, f) && line[0] == '#') {
      std::string title = line + 1;
      while (!title.empty() && (title.back() == '\n' || title.back() == '\r')) title.pop_back();
      lens.title = title.substr(title.find_first_not_of(' ') == std::string::npos ? 0 : title.find_first_not_of(' '));
    }
    fclose(f);
  }
  const auto& exact = stack.GetExactSurfaces();
  for (size_t i = 0; i < exact.size(); ++i) {
    const LensInterface& shape = stack.GetInterfaces()[i];
    ImportedSurface s;
    s.radius = exact[i].radius;
    s.thickness = exact[i].thickness;
    s.index = exact[i].index;
    s.aperture = exact[i].diameter;
    const LensStack::Dispersion& d = stack.GetDispersion()[i];
    if (d.glass)
      s.glass = d.glass->maker + ":" + d.glass->name;
    else
      s.abbe = d.v_d;
    if (shape.GetAsphere()) s.aspheric = true, s.asphere = *shape.GetAsphere();
    lens.surfaces.push_back(s);
  }
  return lens;
}

std::string WriteZmx(const ImportedLens& lens) {
  std::ostringstream out;
  out << "VERS 140730 0 0\nMODE SEQ\nNAME " << lens.title << "\n";
  out << "NOTE 0 Written by realcam export from " << lens.source << "\n";
  out << "UNIT MM X W X CM MR CPMM\n";
  double stop_height, nu;
  ParallelRay(lens, &stop_height, &nu);
  for (const ImportedSurface& s : lens.surfaces)
    if (s.radius == 0 && std::isfinite(stop_height) && stop_height != 0)
      out << "ENPD " << Exact(std::fabs(s.aperture / stop_height)) << "\n";
  out << "GCAT SCHOTT OHARA HOYA CDGM HIKARI SUMITA\n";
  out << "SURF 0\n  TYPE STANDARD\n  CURV 0.0 0 0 0 0 \"\"\n  DISZ INFINITY\n";
  int n = 1;
  for (const ImportedSurface& s : lens.surfaces) {
    out << "SURF " << n++ << "\n";
    if (s.radius == 0) out << "  STOP\n";
    out << "  TYPE " << (s.aspheric ? "EVENASPH" : "STANDARD") << "\n";
    const double c = s.radius == 0 || std::isinf(s.radius) ? 0.0 : 1.0 / s.radius;
    out << "  CURV " << Exact(c) << " 0 0 0 0 \"\"\n";
    if (s.aspheric) {
      for (int i = 0; i < 8; ++i) out << "  PARM " << i + 1 << " " << Exact(s.asphere.a[i]) << "\n";
      if (s.asphere.a[8] != 0 || s.asphere.a[9] != 0)
        throw ImportError(lens.source + ": an asphere term a18 or a20 has no place in a Zemax EVENASPH surface");
    }
    out << "  DISZ " << Exact(s.thickness) << "\n";
    if (s.radius != 0 && s.index != 1) {
      if (!s.glass.empty()) {
        out << "  GLAS " << s.glass.substr(s.glass.find(':') + 1) << " 0 0 " << Exact(s.index) << " "
            << Exact(s.abbe) << " 0 0 0 0 0 0\n";
      } else {
        // A model glass: its index and Abbe number.
        out << "  GLAS ___BLANK 1 0 " << Exact(s.index) << " " << Exact(s.abbe) << " 0 0 0 0 0 0\n";
      }
    }
    if (s.aspheric) out << "  CONI " << Exact(s.asphere.k) << "\n";
    out << "  DIAM " << Exact(0.5 * s.aperture) << " 1 0 0 1 \"\"\n";
  }
  out << "SURF " << n << "\n  TYPE STANDARD\n  CURV 0.0 0 0 0 0 \"\"\n  DISZ 0\n";
  return out.str();
}

double ImportedEfl(const ImportedLens& lens) {
  double stop_height, nu;
  ParallelRay(lens, &stop_height, &nu);
  return -1.0 / nu;
}

void SetEntrancePupil(ImportedLens* lens, double diameter) {
  double stop_height, nu;
  ParallelRay(*lens, &stop_height, &nu);
  for (ImportedSurface& s : lens->surfaces)
    if (s.radius == 0) s.aperture = diameter * std::fabs(stop_height);
}
