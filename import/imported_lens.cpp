// SPDX-License-Identifier: Apache-2.0
#include "import/imported_lens.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
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
  // The index carries a sign: negative while a mirror has turned the light
  // back (the thicknesses then are negative too).
  double y = 1, nu = 0, before = 1;
  *height_at_stop = NAN;
  for (size_t i = 0; i < lens.surfaces.size(); ++i) {
    const ImportedSurface& s = lens.surfaces[i];
    double after = before;
    if (s.radius == 0) {
      *height_at_stop = y;
    } else {
      double c = std::isinf(s.radius) ? 0.0 : 1.0 / s.radius;
      if (s.aspheric) c += 2 * s.asphere.a[0];
      after = s.mirror ? -before : before < 0 ? -s.index : s.index;
      nu -= y * (after - before) * c;
    }
    before = after;
    if (i + 1 < lens.surfaces.size()) y += s.thickness * nu / before;
  }
  *final_nu = nu;
}

}  // namespace

// The file's text as bytes of ASCII (or Latin-1, or UTF-8) lines: UTF-16
// with its byte-order mark is narrowed, a UTF-8 mark dropped.
std::string ReadLensText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImportError(path + ": cannot open the file");
  std::string bytes;
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.append(buf, size_t(in.gcount()));
    if (bytes.size() > kMaxImportBytes)
      throw ImportError(path + ": over 8 MiB; not a lens file");
  }
  if (bytes.size() >= 2 && ((unsigned char)bytes[0] == 0xff && (unsigned char)bytes[1] == 0xfe)) {
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(bytes[i + 1] == 0 ? bytes[i] : '?');
    return text;
  }
  if (bytes.size() >= 2 && ((unsigned char)bytes[0] == 0xfe && (unsigned char)bytes[1] == 0xff)) {
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
      text.push_back(bytes[i] == 0 ? bytes[i + 1] : '?');
    return text;
  }
  if (bytes.compare(0, 3, "\xef\xbb\xbf") == 0) bytes.erase(0, 3);
  return bytes;
}

std::string TitleText(const std::string& text) {
  // Valid UTF-8 stays; anything else is read as Latin-1.
  bool utf8 = true;
  for (size_t i = 0; i < text.size() && utf8;) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > text.size()) utf8 = false;
    for (size_t k = 1; utf8 && k < len; ++k)
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 2) utf8 = false;
    i += len ? len : 1;
  }
  std::string out;
  for (char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t') continue;  // no control characters in a title
    if (utf8 || c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(char(0xc0 | (c >> 6)));
      out.push_back(char(0x80 | (c & 0x3f)));
    }
  }
  // Trimmed.
  const size_t first = out.find_first_not_of(" \t"), last = out.find_last_not_of(" \t");
  return first == std::string::npos ? "" : out.substr(first, last - first + 1);
}

std::string UpperCase(std::string s) {
  for (char& c : s) c = char(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

double ImportNumber(const std::string& word, const std::string& where, const std::string& what) {
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  if (word.empty() || *end != '\0' || !std::isfinite(v))
    throw ImportError(where + ": " + what + " \"" + word + "\" is not a finite number");
  return v;
}

std::string NoteNumber(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.7g", v);
  return buf;
}

std::string WritePrescription(const ImportedLens& lens) {
  std::ostringstream out;
  out << "# " << (lens.title.empty() ? "Imported lens" : lens.title) << "\n";
  out << "# Imported by realcam import from " << lens.source << " (" << lens.format << ").\n";
  if (lens.design_nm > 0)
    out << "# Design wavelength: " << NoteNumber(lens.design_nm) << " nm (the file's primary); column 3 gives "
        << "indices at the d line.\n";
  for (const std::string& note : lens.notes) out << "# " << note << "\n";
  for (const std::string& warning : lens.warnings) out << "# Warning: " << warning << "\n";
  out << "# radius\tthickness\tindex\taperture\tglass or abbe number\n";
  for (const ImportedSurface& s : lens.surfaces) {
    out << Exact(s.radius) << "\t" << Exact(s.thickness) << "\t" << Exact(s.radius == 0 && s.glass.empty() && s.abbe == 0 ? 1.0 : s.index)
        << "\t" << Exact(s.aperture);
    if (s.mirror)
      out << "\tmirror";
    else if (!s.glass.empty())
      out << "\t" << GlassName(s.glass);
    else if (s.abbe > 0)
      out << "\t" << Exact(s.abbe);
    out << "\n";
    if (s.obscuration > 0) out << "obscuration " << Exact(s.obscuration) << "\n";
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
    s.mirror = shape.IsMirror();
    s.obscuration = shape.GetObscuration();
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

ImportedSurface StopPlaneBefore(ImportedLens* lens, const ImportedSurface& surface, const ImportedSurface& medium,
                                const std::string& label) {
  ImportedSurface stop;
  stop.radius = 0, stop.aperture = surface.aperture, stop.source_line = surface.source_line;
  stop.index = medium.index, stop.glass = medium.glass, stop.abbe = medium.abbe;
  // The direction the light travels here: mirrors before it turn it.
  int mirrors = 0;
  for (const ImportedSurface& s : lens->surfaces) mirrors += s.mirror;
  const double travel = mirrors % 2 ? -1 : 1;
  // The surface's sag at its rim, where the file gives the rim.
  double sag = 0;
  const double h = 0.5 * surface.aperture;
  if (h > 0 && std::isfinite(surface.radius) && surface.radius != 0 && h <= std::fabs(surface.radius))
    sag = surface.radius - std::copysign(std::sqrt(surface.radius * surface.radius - h * h), surface.radius);
  std::string where = "at its vertex";
  if (sag * travel < 0 && !lens->surfaces.empty()) {
    // The rim is met before the vertex: the plane goes there.
    lens->surfaces.back().thickness += sag;
    stop.thickness = -sag;
    where = "where its rim is, " + NoteNumber(std::fabs(sag)) + " mm ahead of its vertex";
  }
  lens->warnings.push_back(label + " is the stop but not a plane in air: the stop is a plane " + where);
  return stop;
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
