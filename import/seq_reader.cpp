// SPDX-License-Identifier: Apache-2.0
#include "import/seq_reader.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "import/clear_apertures.h"
#include "realistic/glass_catalogue.h"

namespace {

// One command: its keyword and words, where it stands.
struct Command {
  std::string key;
  std::vector<std::string> words;
  int line;
};

// Splits the file into commands: '!' ends a line's commands, ';' separates
// commands, quotes keep their text together.
std::vector<Command> Commands(const std::string& text, const std::string& path) {
  std::vector<Command> commands;
  std::istringstream lines(text);
  std::string line;
  for (int number = 1; std::getline(lines, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos)
      throw ImportError(path + ":" + std::to_string(number) + ": a NUL byte; not a lens file");
    Command c{"", {}, number};
    std::string word;
    bool quoted = false, in_word = false;
    auto finish_word = [&]() {
      if (in_word) {
        if (c.key.empty()) c.key = UpperCase(word);
        else c.words.push_back(word);
      }
      word.clear();
      in_word = false;
    };
    auto finish_command = [&]() {
      finish_word();
      if (!c.key.empty()) commands.push_back(c);
      c = Command{"", {}, number};
    };
    for (char ch : line) {
      if (quoted) {
        if (ch == '\'' || ch == '"') quoted = false;
        else word.push_back(ch);
        continue;
      }
      if (ch == '!') break;
      if (ch == ';') {
        finish_command();
        continue;
      }
      if (ch == '\'' || ch == '"') {
        quoted = in_word = true;
        continue;
      }
      if (ch == ' ' || ch == '\t' || ch == ',') {
        finish_word();
      } else {
        word.push_back(ch);
        in_word = true;
      }
    }
    finish_command();
  }
  return commands;
}

// A surface as the file builds it.
struct SeqSurface {
  int line = 0, number = 0;
  double radius = 0, thickness = 0, semi = 0;
  std::string glass;
  int glass_line = 0;
  bool stop = false, mirror = false, aspheric = false;
  AsphereTerms asphere;
};

}  // namespace

bool LooksLikeSeq(const std::string& path) {
  const size_t dot = path.rfind('.');
  if (dot != std::string::npos && UpperCase(path.substr(dot)) == ".SEQ") return true;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  for (int i = 0; i < 20 && std::getline(in, line); ++i) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    key = UpperCase(key);
    if (key.empty() || key[0] == '!') continue;
    return key == "LEN" || key == "TITLE" || key == "TIT" || key == "RDM" || key == "SO";
  }
  return false;
}

ImportedLens ReadSeq(const std::string& path, const GlassOverrides& overrides) {
  const std::string text = ReadLensText(path);
  ImportedLens lens;
  lens.source = path;
  lens.format = "CODE V sequence";
  double unit = 1;
  std::string unit_name = "mm";
  std::vector<double> wavelengths;
  int reference = 0;
  ApertureSpec spec;
  std::vector<double> x_fields, y_fields;
  bool object_heights = false, have_object = false, have_image = false;
  double object_distance = INFINITY;
  std::vector<SeqSurface> surfaces;
  std::string pupil_words;
  for (const Command& c : Commands(text, path)) {
    const std::string where = path + ":" + std::to_string(c.line);
    const std::string& key = c.key;
    auto need = [&](size_t n) {
      if (c.words.size() < n)
        throw ImportError(where + ": " + key + " needs " + std::to_string(n) + (n == 1 ? " value" : " values"));
    };
    // The surface a command sets: a qualifier Sk, SO or SI, or the last one.
    auto target = [&](size_t* first) -> SeqSurface& {
      *first = 0;
      if (!c.words.empty()) {
        const std::string q = UpperCase(c.words[0]);
        if (q.size() > 1 && q[0] == 'S' && (std::isdigit(static_cast<unsigned char>(q[1])) || q == "SO" || q == "SI")) {
          *first = 1;
          int k = q == "SO" ? 0 : q == "SI" ? int(surfaces.size()) - 1 : std::atoi(q.c_str() + 1);
          if (q == "SI" && !have_image) k = -1;
          if (k < 0 || k >= int(surfaces.size()))
            throw ImportError(where + ": " + key + " names surface " + c.words[0] + ", which the file has not defined");
          return surfaces[size_t(k)];
        }
      }
      if (surfaces.empty()) throw ImportError(where + ": " + key + " before any surface");
      return surfaces.back();
    };
    if (key == "LEN" || key == "GO" || key == "WTW" || key == "WTF" || key == "INI" || key == "CCY" ||
        key == "THC" || key == "GLC" || key == "CCX" || key == "RDM" || key == "TEM" || key == "PRE") {
      // A new lens, the end of the input, weights, the designer's initials,
      // variable flags, radius mode (the default): nothing to model.
      if (key == "GO") break;
      if (key == "RDM" && !c.words.empty() && UpperCase(c.words[0]) == "N")
        throw ImportError(where + ": RDM N (curvatures instead of radii); realcam reads radii");
    } else if (key == "TITLE" || key == "TIT") {
      std::string title;
      for (const std::string& w : c.words) title += (title.empty() ? "" : " ") + w;
      lens.title = TitleText(title);
    } else if (key == "DIM") {
      need(1);
      const std::string u = UpperCase(c.words[0]);
      if (u == "M") unit = 1, unit_name = "mm";
      else if (u == "C") unit = 10, unit_name = "cm";
      else if (u == "I") unit = 25.4, unit_name = "inches";
      else throw ImportError(where + ": DIM " + c.words[0] + "; the units are M (mm), C (cm) and I (inches)");
    } else if (key == "WL") {
      need(1);
      wavelengths.clear();
      for (const std::string& w : c.words) wavelengths.push_back(ImportNumber(w, where, "wavelength"));
    } else if (key == "REF") {
      need(1);
      reference = int(ImportNumber(c.words[0], where, "REF"));
    } else if (key == "EPD") {
      need(1);
      spec.pupil_diameter = ImportNumber(c.words[0], where, "EPD");
      pupil_words = "EPD " + c.words[0];
    } else if (key == "FNO") {
      need(1);
      spec.fnumber = ImportNumber(c.words[0], where, "FNO");
      pupil_words = "FNO " + c.words[0];
    } else if (key == "YAN" || key == "XAN" || key == "YOB" || key == "XOB") {
      need(1);
      std::vector<double>& list = key[0] == 'Y' ? y_fields : x_fields;
      list.clear();
      for (const std::string& w : c.words) list.push_back(ImportNumber(w, where, key + " field"));
      object_heights = key[1] == 'O';
    } else if (key == "SO" || key == "S" || key == "SI" || (key == "STO" && !c.words.empty())) {
      if (key == "SO" && have_object) throw ImportError(where + ": a second SO (object surface)");
      if (key != "SO" && !have_object) throw ImportError(where + ": " + key + " before SO (the object surface)");
      if (have_image) throw ImportError(where + ": a surface after SI (the image surface)");
      SeqSurface s;
      s.line = c.line;
      s.number = int(surfaces.size());
      if (c.words.size() > 0) s.radius = ImportNumber(c.words[0], where, "radius");
      if (c.words.size() > 1) {
        const double t = ImportNumber(c.words[1], where, "thickness");
        if (key == "SO" && std::fabs(t) >= 1e10) s.thickness = INFINITY;
        else s.thickness = t;
      }
      if (c.words.size() > 2) s.glass = c.words[2], s.glass_line = c.line;
      if (c.words.size() > 3) throw ImportError(where + ": " + key + " takes a radius, a thickness and a glass; \"" + c.words[3] + "\" is more");
      s.stop = key == "STO";
      if (key == "SO") have_object = true, object_distance = s.thickness;
      if (key == "SI") have_image = true;
      surfaces.push_back(s);
    } else if (key == "STO") {
      size_t first;
      target(&first).stop = true;
    } else if (key == "RDY" || key == "THI" || key == "GLA" || key == "CIR" || key == "RMD") {
      size_t first;
      SeqSurface& s = target(&first);
      if (c.words.size() <= first) throw ImportError(where + ": " + key + " needs a value");
      const std::string& v = c.words[first];
      if (key == "RDY") s.radius = ImportNumber(v, where, "RDY");
      else if (key == "THI") s.thickness = ImportNumber(v, where, "THI");
      else if (key == "GLA") s.glass = v, s.glass_line = c.line;
      else if (key == "CIR") s.semi = ImportNumber(v, where, "CIR");
      else if (UpperCase(v) == "REFL") s.mirror = true;
      else if (UpperCase(v) != "REFR")
        throw ImportError(where + ": RMD " + v + "; realcam models REFR (refracting) and REFL (mirror) surfaces");
    } else if (key == "ASP") {
      size_t first;
      target(&first).aspheric = true;
    } else if (key.size() == 1 && std::string("KABCDEFGHJ").find(key) != std::string::npos) {
      size_t first;
      SeqSurface& s = target(&first);
      if (!s.aspheric) throw ImportError(where + ": aspheric term " + key + " on a surface without ASP");
      if (c.words.size() <= first) throw ImportError(where + ": " + key + " needs a value");
      const double v = ImportNumber(c.words[first], where, "aspheric term " + key);
      if (key == "K") s.asphere.k = v;
      else s.asphere.a[1 + std::string("ABCDEFGHJ").find(key)] = v;  // A is r^4: a[1]
    } else if (key == "CUY" || key == "CUX" || key == "RDX" || key == "YDE" || key == "XDE" || key == "ADE" ||
               key == "BDE" || key == "CDE" || key == "XTO" || key == "YTO" || key == "SPS") {
      throw ImportError(where + ": " + key + " (" +
                        (key[1] == 'D' || key[2] == 'E' ? "a decentred or tilted surface" : "a toroidal or freeform surface") +
                        "); realcam models centred, rotationally symmetric lenses: the surface cannot be imported");
    } else {
      throw ImportError(where + ": command \"" + key + "\" is not one realcam reads; it reads LEN, TITLE, DIM, WL, "
                        "REF, EPD, FNO, YAN, XAN, YOB, XOB, SO, S, STO, SI, CIR, ASP with K, A, B, C, ..., "
                        "RDY, THI, GLA, RMD and the variable flags CCY, THC, GLC");
    }
  }
  if (!have_object || surfaces.size() < 2)
    throw ImportError(path + ": no lens surfaces (a sequence file has SO, S lines and SI)");
  if (!have_image) {
    // The image surface is implied after the last S.
    SeqSurface image;
    image.number = int(surfaces.size());
    surfaces.push_back(image);
  }
  if (surfaces.size() < 3) throw ImportError(path + ": no lens surfaces between SO and SI");
  lens.notes.push_back(unit == 1 ? "Units: millimetres." : "Units: " + unit_name + ", converted to millimetres.");
  if (!wavelengths.empty()) {
    const int ref = reference >= 1 && reference <= int(wavelengths.size()) ? reference : 1;
    lens.design_nm = wavelengths[size_t(ref - 1)];
  }

  double n_before = 1;
  ImportedSurface medium_before;
  for (size_t i = 1; i + 1 < surfaces.size(); ++i) {
    const SeqSurface& z = surfaces[i];
    const std::string where = path + ":" + std::to_string(z.line) + ": surface " + std::to_string(z.number);
    if (std::isinf(z.thickness)) throw ImportError(where + ": an infinite thickness inside the lens");
    ImportedSurface s;
    s.source_line = z.line;
    s.thickness = z.thickness * unit;
    s.aperture = 2 * z.semi * unit;
    s.radius = z.radius == 0 ? INFINITY : z.radius * unit;
    s.mirror = z.mirror;
    const std::string glass = UpperCase(z.glass);
    if (z.mirror || glass == "REFL") {
      s.mirror = true;
      s.index = n_before;
    } else if (!z.glass.empty() && glass != "AIR") {
      const auto given = overrides.find(z.glass);
      const size_t colon = z.glass.find(':');
      if (given != overrides.end()) {
        s.index = given->second.nd, s.abbe = given->second.vd;
        lens.notes.push_back("Glass " + z.glass + " (surface " + std::to_string(z.number) + "): n_d " +
                             NoteNumber(s.index) + ", V_d " + NoteNumber(s.abbe) + " as given by --glass.");
      } else if (colon != std::string::npos) {
        // A model glass, n_d:V_d.
        const std::string at = path + ":" + std::to_string(z.glass_line);
        s.index = ImportNumber(z.glass.substr(0, colon), at, "model glass n_d");
        s.abbe = ImportNumber(z.glass.substr(colon + 1), at, "model glass V_d");
        if (!(s.index >= 1) || !(s.abbe > 0))
          throw ImportError(at + ": model glass " + z.glass + "; n_d must be at least 1 and V_d positive");
        lens.notes.push_back("Surface " + std::to_string(z.number) + ": a model glass, n_d " + NoteNumber(s.index) +
                             ", V_d " + NoteNumber(s.abbe) + ".");
      } else {
        // NAME_MAKER, or a bare name.
        const size_t under = glass.rfind('_');
        std::string why;
        const Glass* g = under != std::string::npos ? FindGlass(glass.substr(under + 1) + ":" + z.glass.substr(0, under), &why)
                                                    : nullptr;
        if (!g) g = FindGlass(z.glass, &why);
        if (!g)
          throw ImportError(path + ":" + std::to_string(z.glass_line) + ": surface " + std::to_string(z.number) +
                            ": glass \"" + z.glass + "\" is in no catalogue realcam has; give it as n_d:V_d in "
                            "the file or with realcam import --glass " + z.glass + "=nd,vd");
        s.glass = g->maker + ":" + g->name;
        s.index = g->nd, s.abbe = g->vd;
        lens.notes.push_back("Glass " + z.glass + " (surface " + std::to_string(z.number) + "): " + g->maker + " " +
                             g->name + ", n_d " + NoteNumber(g->nd) + ", V_d " + NoteNumber(g->vd) + ".");
      }
    }
    if (z.aspheric) {
      s.aspheric = true;
      s.asphere = z.asphere;
      for (int p = 0; p < 10; ++p) s.asphere.a[p] *= std::pow(unit, 1 - 2 * (p + 1));
    }
    if (z.stop) {
      const bool plain = std::isinf(s.radius) && !s.aspheric && s.index == 1 && !s.mirror;
      if (plain) {
        s.radius = 0;
      } else {
        lens.surfaces.push_back(StopPlaneBefore(&lens, s, medium_before, "surface " + std::to_string(z.number)));
      }
    }
    lens.surfaces.push_back(s);
    if (!s.mirror) n_before = s.index, medium_before = s;
  }
  bool has_stop = false;
  for (const ImportedSurface& s : lens.surfaces) has_stop = has_stop || s.radius == 0;
  if (!has_stop) throw ImportError(path + ": no surface is the stop (STO)");
  lens.notes.push_back("The last thickness is the distance to the file's image surface, the default film distance.");

  // The aperture: EPD or FNO; clear apertures the file leaves out are
  // computed from it and the fields.
  spec.pupil_diameter *= unit;
  spec.kind = object_heights ? ApertureSpec::kObjectHeight : ApertureSpec::kAngle;
  const size_t n_fields = std::max(x_fields.size(), y_fields.size());
  for (size_t i = 0; i < n_fields; ++i) {
    const double x = i < x_fields.size() ? x_fields[i] : 0, y = i < y_fields.size() ? y_fields[i] : 0;
    spec.fields.push_back(std::hypot(x, y) * (object_heights ? unit : 1));
  }
  spec.object_distance = object_distance * unit;
  spec.described = pupil_words;
  if (n_fields) {
    spec.described += std::string(object_heights ? ", object heights" : ", field angles") + " ";
    for (size_t i = 0; i < n_fields; ++i) spec.described += (i ? " " : "") + NoteNumber(std::hypot(i < x_fields.size() ? x_fields[i] : 0, i < y_fields.size() ? y_fields[i] : 0));
  }
  const double efl = ImportedEfl(lens);
  const double pupil = spec.pupil_diameter > 0 ? spec.pupil_diameter : spec.fnumber > 0 ? efl / spec.fnumber : 0;
  double stop_given = 0;
  for (const ImportedSurface& s : lens.surfaces)
    if (s.radius == 0) stop_given = s.aperture;
  if (pupil > 0 && stop_given > 0) {
    SetEntrancePupil(&lens, pupil);
    lens.notes.push_back("Aperture: " + pupil_words + "; the stop's diameter gives that paraxial entrance pupil.");
  } else if (pupil > 0) {
    lens.notes.push_back("Aperture: " + pupil_words + ".");
  }
  ComputeClearApertures(&lens, spec);
  if (lens.title.empty()) {
    const size_t slash = path.rfind('/');
    lens.title = path.substr(slash == std::string::npos ? 0 : slash + 1);
  }
  return lens;
}
