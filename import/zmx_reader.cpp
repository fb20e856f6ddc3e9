// SPDX-License-Identifier: Apache-2.0
#include "import/zmx_reader.h"

#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "import/clear_apertures.h"
#include "realistic/glass_catalogue.h"

namespace {

// One SURF block as the file gives it.
struct ZmxSurface {
  int line = 0, number = 0;
  std::string type = "STANDARD";
  double curvature = 0, thickness = 0, semi_diameter = 0, conic = 0;
  double parm[9] = {};
  bool stop = false, thickness_infinite = false, has_diam = false;
  double obscuration = 0;  // an OBSC's radius
  std::vector<std::string> glass;  // the GLAS line's words after GLAS
  int glass_line = 0;
};

// A maker named on a GCAT line: SUMITA_AUG2011 is Sumita's.
std::string MakerOf(const std::string& catalogue) {
  static const char* const makers[] = {"SCHOTT", "OHARA", "HOYA", "CDGM", "HIKARI", "SUMITA"};
  const std::string u = UpperCase(catalogue);
  for (const char* m : makers)
    if (u.compare(0, std::string(m).size(), m) == 0) return m;
  return "";
}

}  // namespace

bool LooksLikeZmx(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && UpperCase(path.substr(dot)) == ".ZMX") return true;
  std::ifstream in(path, std::ios::binary);
  char head[512] = {};
  in.read(head, sizeof head - 1);
  std::string text(head, size_t(in.gcount()));
  std::string narrow;
  for (char c : text)
    if (c != 0) narrow.push_back(c);
  return narrow.find("VERS ") != std::string::npos && narrow.find("MODE ") != std::string::npos;
}

ImportedLens ReadZmx(const std::string& path, const GlassOverrides& overrides) {
  const std::string text = ReadLensText(path);
  ImportedLens lens;
  lens.source = path;
  lens.format = "Zemax sequential";
  double unit = 1;  // millimetres per lens unit
  std::string unit_name = "MM";
  std::vector<std::string> catalogues;
  double enpd = 0, fnum = 0;
  int field_type = 0;
  std::vector<double> x_fields, y_fields;
  std::map<int, double> wavelengths;  // micrometres, by number
  int primary = 1;
  std::vector<ZmxSurface> surfaces;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  for (int line_number = 1; std::getline(lines, line); ++line_number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos)
      throw ImportError(path + ":" + std::to_string(line_number) + ": a NUL byte; not a lens file");
    std::istringstream words(line);
    std::string key;
    words >> key;
    std::vector<std::string> rest;
    for (std::string w; words >> w;) rest.push_back(w);
    const std::string where = path + ":" + std::to_string(line_number);
    auto need = [&](size_t n) {
      if (rest.size() < n) throw ImportError(where + ": " + key + " needs " + std::to_string(n) + " values");
    };
    if (key == "MODE") {
      need(1);
      if (rest[0] != "SEQ")
        throw ImportError(where + ": a non-sequential file (MODE " + rest[0] + "); realcam reads sequential lenses");
    } else if (key == "NAME") {
      lens.title = TitleText(line.size() > 5 ? line.substr(5) : "");
    } else if (key == "FTYP") {
      need(1);
      field_type = int(ImportNumber(rest[0], where, "FTYP"));
    } else if (key == "XFLN" || key == "YFLN") {
      std::vector<double>& list = key == "XFLN" ? x_fields : y_fields;
      list.clear();
      for (const std::string& w : rest) list.push_back(ImportNumber(w, where, key.c_str()));
    } else if (key == "WAVM" || key == "WAVL") {
      if (key == "WAVM") {
        need(2);
        wavelengths[int(ImportNumber(rest[0], where, "WAVM's number"))] = ImportNumber(rest[1], where, "WAVM");
      } else {
        for (size_t k = 0; k < rest.size(); ++k) wavelengths[int(k) + 1] = ImportNumber(rest[k], where, "WAVL");
      }
    } else if (key == "PWAV") {
      need(1);
      primary = int(ImportNumber(rest[0], where, "PWAV"));
    } else if (key == "UNIT") {
      need(1);
      unit_name = UpperCase(rest[0]);
      if (unit_name == "MM") unit = 1;
      else if (unit_name == "CM") unit = 10;
      else if (unit_name == "IN") unit = 25.4;
      else if (unit_name == "M" || unit_name == "METER") unit = 1000;
      else throw ImportError(where + ": unit \"" + rest[0] + "\"; realcam reads MM, CM, IN and M");
    } else if (key == "GCAT") {
      catalogues = rest;
    } else if (key == "ENPD") {
      need(1);
      enpd = ImportNumber(rest[0], where, "ENPD");
    } else if (key == "FNUM") {
      need(1);
      fnum = ImportNumber(rest[0], where, "FNUM");
    } else if (key == "SURF") {
      need(1);
      surfaces.push_back({});
      surfaces.back().line = line_number;
      surfaces.back().number = number++;
    } else if (!surfaces.empty()) {
      ZmxSurface& s = surfaces.back();
      if (key == "TYPE") {
        need(1);
        s.type = UpperCase(rest[0]);
      } else if (key == "CURV") {
        need(1);
        s.curvature = ImportNumber(rest[0], where, "CURV");
      } else if (key == "DISZ") {
        need(1);
        if (UpperCase(rest[0]) == "INFINITY") s.thickness_infinite = true;
        else s.thickness = ImportNumber(rest[0], where, "DISZ");
      } else if (key == "DIAM") {
        need(1);
        s.semi_diameter = ImportNumber(rest[0], where, "DIAM");
        s.has_diam = s.semi_diameter > 0;
      } else if (key == "OBSC") {
        // OBSC type radius ...: a circular obscuration (type 0).
        need(2);
        if (ImportNumber(rest[0], where, "OBSC's type") != 0)
          throw ImportError(where + ": a non-circular obscuration (OBSC " + rest[0] + "); realcam models a centred disc");
        s.obscuration = ImportNumber(rest[1], where, "OBSC");
      } else if (key == "CONI") {
        need(1);
        s.conic = ImportNumber(rest[0], where, "CONI");
      } else if (key == "PARM") {
        need(2);
        const double i = ImportNumber(rest[0], where, "PARM's number");
        if (i >= 1 && i <= 8 && i == std::floor(i)) s.parm[int(i)] = ImportNumber(rest[1], where, "PARM");
      } else if (key == "STOP") {
        s.stop = true;
      } else if (key == "GLAS") {
        need(1);
        s.glass = rest;
        s.glass_line = line_number;
      }
    }
  }
  if (surfaces.size() < 3)
    throw ImportError(path + ": no lens surfaces (a sequential file has an object, surfaces and an image)");
  if (unit != 1) lens.notes.push_back("Units: " + unit_name + ", converted to millimetres.");
  else lens.notes.push_back("Units: millimetres.");

  // The glass of a GLAS line: the catalogue in the order of GCAT, then
  // every maker; a moulding variant as its base glass; an old Schott name
  // as its lead-free successor; else the line's own n_d and V_d.
  auto resolve = [&](const ZmxSurface& z, ImportedSurface* s) {
    const std::string where = path + ":" + std::to_string(z.glass_line) + ": surface " + std::to_string(z.number);
    std::string name = z.glass[0];
    const auto given = overrides.find(name);
    if (given != overrides.end()) {
      s->index = given->second.nd, s->abbe = given->second.vd;
      lens.notes.push_back("Glass " + name + " (surface " + std::to_string(z.number) + "): n_d " +
                           NoteNumber(s->index) + ", V_d " + NoteNumber(s->abbe) + " as given by --glass.");
      return;
    }
    const double nd = z.glass.size() > 4 ? std::strtod(z.glass[3].c_str(), nullptr) : 0;
    const double vd = z.glass.size() > 4 ? std::strtod(z.glass[4].c_str(), nullptr) : 0;
    if (name == "___BLANK") {
      s->index = nd, s->abbe = vd;
      lens.notes.push_back("Surface " + std::to_string(z.number) + ": a model glass, n_d " + NoteNumber(nd) +
                           ", V_d " + NoteNumber(vd) + ".");
      return;
    }
    auto lookup = [&](const std::string& n) -> const Glass* {
      std::string why;
      for (const std::string& cat : catalogues) {
        const std::string maker = MakerOf(cat);
        if (maker.empty()) continue;
        if (const Glass* g = FindGlass(maker + ":" + n, &why)) return g;
      }
      for (const char* maker : {"SCHOTT", "OHARA", "HOYA", "CDGM", "HIKARI", "SUMITA"})
        if (const Glass* g = FindGlass(std::string(maker) + ":" + n, &why)) return g;
      return nullptr;
    };
    const Glass* g = lookup(name);
    if (!g && UpperCase(name).size() > 5 && UpperCase(name).compare(UpperCase(name).size() - 5, 5, "_MOLD") == 0) {
      g = lookup(name.substr(0, name.size() - 5));
      if (g)
        lens.warnings.push_back("surface " + std::to_string(z.number) + ": moulding glass " + name +
                                " taken as its base glass " + g->maker + " " + g->name);
    }
    if (!g) {
      std::string why;
      g = FindGlass("SCHOTT:N-" + name, &why);
      if (g)
        lens.warnings.push_back("surface " + std::to_string(z.number) + ": Schott " + name +
                                " is not in the catalogue; its lead-free successor " + g->name + " is used");
    }
    if (g) {
      s->glass = g->maker + ":" + g->name;
      s->index = g->nd, s->abbe = g->vd;
      lens.notes.push_back("Glass " + name + " (surface " + std::to_string(z.number) + "): " + g->maker + " " +
                           g->name + ", n_d " + NoteNumber(g->nd) + ", V_d " + NoteNumber(g->vd) + ".");
      return;
    }
    // Zemax writes 1.5 and 40 where a catalogue glass stands: no data.
    if (nd > 1 && vd > 0 && !(nd == 1.5 && vd == 40)) {
      s->index = nd, s->abbe = vd;
      lens.warnings.push_back("surface " + std::to_string(z.number) + ": glass " + name +
                              " is not in the catalogue; its n_d " + NoteNumber(nd) + " and V_d " +
                              NoteNumber(vd) + " from the GLAS line are used");
      return;
    }
    throw ImportError(where + ": glass \"" + name +
                      "\" is in no catalogue realcam has, and the file gives no n_d and V_d for it; "
                      "give them with realcam import --glass " + name + "=nd,vd");
  };

  // Surface 0 is the object, the last the image; between them the lens.
  double stop_diam = 0;
  double n_before = 1;  // the medium the light is in
  ImportedSurface medium_before;  // and its glass
  for (size_t i = 1; i + 1 < surfaces.size(); ++i) {
    const ZmxSurface& z = surfaces[i];
    const std::string where = path + ":" + std::to_string(z.line) + ": surface " + std::to_string(z.number);
    if (z.type != "STANDARD" && z.type != "EVENASPH")
      throw ImportError(where + " is of type " + z.type + (z.type == "COORDBRK" ? " (a tilt or decentre)" : "") +
                        "; realcam models STANDARD and EVENASPH surfaces of a centred lens");
    if (z.thickness_infinite) throw ImportError(where + ": an infinite thickness inside the lens");
    ImportedSurface s;
    s.source_line = z.line;
    s.thickness = z.thickness * unit;
    s.aperture = 2 * z.semi_diameter * unit;
    s.radius = z.curvature == 0 ? INFINITY : unit / z.curvature;
    if (!z.glass.empty() && UpperCase(z.glass[0]) == "MIRROR") {
      // The light turns back in the medium it came through.
      s.mirror = true;
      s.index = n_before;
    } else if (!z.glass.empty()) {
      resolve(z, &s);
    }
    s.obscuration = 2 * z.obscuration * unit;
    if (z.type == "EVENASPH") {
      s.aspheric = true;
      s.asphere.k = z.conic;
      // z in millimetres of r in millimetres: a term of r^(2i) in the
      // file's unit scales by unit^(1 - 2i).
      for (int p = 1; p <= 8; ++p) s.asphere.a[p - 1] = z.parm[p] * std::pow(unit, 1 - 2 * p);
    } else if (z.conic != 0) {
      s.aspheric = true;
      s.asphere.k = z.conic;
    }
    if (z.stop) {
      stop_diam = s.aperture;
      const bool plain = z.curvature == 0 && !s.aspheric && s.index == 1 && z.glass.empty() && !s.mirror;
      if (!plain) {
        // A stop on a curved or glass surface: a stop plane at its vertex.
        lens.surfaces.push_back(StopPlaneBefore(&lens, s, medium_before, "surface " + std::to_string(z.number)));
      } else {
        s.radius = 0;
      }
    }
    lens.surfaces.push_back(s);
    if (!s.mirror) n_before = s.index, medium_before = s;
  }
  bool has_stop = false;
  for (const ImportedSurface& s : lens.surfaces) has_stop = has_stop || s.radius == 0;
  if (!has_stop) throw ImportError(path + ": no surface is marked STOP");
  lens.notes.push_back("The last thickness is the distance to the file's image surface, the default film distance.");
  // The aperture as the file defines it.
  const double efl = ImportedEfl(lens);
  const double pupil = enpd > 0 ? enpd * unit : fnum > 0 ? efl / fnum : 0;
  if (pupil > 0) {
    ImportedLens trial = lens;
    SetEntrancePupil(&trial, pupil);
    double set = 0;
    for (const ImportedSurface& s : trial.surfaces)
      if (s.radius == 0) set = s.aperture;
    // Where the file's own stop already gives that pupil, it is kept as written.
    if (std::fabs(set - stop_diam) > 1e-9 * std::max(1.0, stop_diam)) {
      lens = trial;
      char buf[200];
      snprintf(buf, sizeof buf, "Aperture: %s %g; the stop's diameter %.6g gives that paraxial entrance "
               "pupil (the file's stop DIAM gives %.6g).", enpd > 0 ? "ENPD" : "FNUM", enpd > 0 ? enpd : fnum,
               set, stop_diam);
      lens.notes.push_back(buf);
    }
  } else {
    lens.notes.push_back("Aperture: the stop's DIAM (the file defines no entrance pupil or f-number).");
  }
  if (!wavelengths.empty() && wavelengths.count(primary)) lens.design_nm = 1000 * wavelengths[primary];
  // Surfaces without a DIAM get the clear aperture a design program
  // would give them, from the pupil and the fields.
  ApertureSpec spec;
  spec.pupil_diameter = pupil;
  spec.kind = field_type == 1 ? ApertureSpec::kObjectHeight
                              : field_type >= 2 ? ApertureSpec::kParaxialImageHeight : ApertureSpec::kAngle;
  // The files list twelve fields, unused ones as zeros after the last.
  size_t n_fields = std::max(x_fields.size(), y_fields.size());
  auto at = [](const std::vector<double>& v, size_t i) { return i < v.size() ? v[i] : 0.0; };
  while (n_fields > 1 && at(x_fields, n_fields - 1) == 0 && at(y_fields, n_fields - 1) == 0) --n_fields;
  std::string fields_text;
  for (size_t i = 0; i < n_fields; ++i) {
    const double r = std::hypot(at(x_fields, i), at(y_fields, i));
    spec.fields.push_back(spec.kind == ApertureSpec::kAngle ? r : r * unit);
    fields_text += (i ? " " : "") + NoteNumber(r);
  }
  spec.object_distance = surfaces[0].thickness_infinite ? INFINITY : surfaces[0].thickness * unit;
  spec.described = std::string(enpd > 0 ? "ENPD " + NoteNumber(enpd) : fnum > 0 ? "FNUM " + NoteNumber(fnum) : "");
  if (n_fields)
    spec.described += std::string(spec.described.empty() ? "" : ", ") +
                      (field_type == 0 ? "field angles " : field_type == 1 ? "object heights " : "image heights ") +
                      fields_text;
  ComputeClearApertures(&lens, spec);
  if (lens.title.empty() || lens.title.find_first_not_of(' ') == std::string::npos) {
    const size_t slash = path.rfind('/');
    lens.title = path.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  return lens;
}
