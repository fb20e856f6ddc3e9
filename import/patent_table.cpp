// SPDX-License-Identifier: Apache-2.0
#include "import/patent_table.h"

#include "import/clear_apertures.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "realistic/glass_catalogue.h"

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

// A number as patents print it: 1.2E-05, 1.2e-5, 1.2×10^-5, 1.2x10-5; a
// plane's radius as inf, infinity, flat or ∞ (returns infinity).
bool ParseNumber(std::string word, double* v) {
  const std::string l = Lower(word);
  if (l == "inf" || l == "infinity" || l == "flat" || l == "\xe2\x88\x9e" || l == "-inf") {
    *v = INFINITY;
    return true;
  }
  for (const char* times : {"\xc3\x97" "10^", "x10^", "\xc3\x97" "10", "x10"}) {
    const size_t at = word.find(times);
    if (at != std::string::npos) word = word.substr(0, at) + "e" + word.substr(at + std::string(times).size());
  }
  // A minus sign written as the Unicode one.
  for (size_t at; (at = word.find("\xe2\x88\x92")) != std::string::npos;) word.replace(at, 3, "-");
  char* end = nullptr;
  *v = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0' && std::isfinite(*v);
}

// A surface number: a whole number a table can hold.
bool SurfaceNumber(const std::string& label, int* n) {
  double v;
  if (!ParseNumber(label, &v) || !(std::fabs(v) < 1e6) || v != std::floor(v)) return false;
  *n = int(v);
  return true;
}

enum Column { kSurface, kR, kD, kNd, kVd, kSemi, kDiameter, kOther };

Column ColumnOf(const std::string& name) {
  const std::string n = Lower(name);
  if (n == "surface" || n == "no" || n == "no." || n == "si" || n == "#" || n == "surf") return kSurface;
  if (n == "r" || n == "ri" || n == "radius") return kR;
  if (n == "d" || n == "di" || n == "thickness") return kD;
  if (n == "nd" || n == "n") return kNd;
  if (n == "vd" || n == "v" || n == "νd") return kVd;
  if (n == "sd" || n == "semi-diameter" || n == "ea" || n == "h") return kSemi;
  if (n == "diameter" || n == "dia" || n == "d.a." || n == "ed") return kDiameter;
  return kOther;
}

// A line of the figures patents print above or below a table:
// "Fno = 2.1", "F/2.1", "F-number 2.1", "half field 24", "ω = 24.0°",
// "2ω = 48". Reads what it finds; true when the line is one.
bool ReadPrintedFigures(const std::string& line, double* fnumber, double* half_field) {
  std::string l = Lower(line);
  for (const char* sep : {"=", ":", "\xc2\xb0", ",", ";"})
    for (size_t at; (at = l.find(sep)) != std::string::npos;) l.replace(at, std::string(sep).size(), " ");
  const std::vector<std::string> w = Words(l);
  bool any = false;
  for (size_t i = 0; i < w.size(); ++i) {
    const std::string& k = w[i];
    double v;
    auto next = [&](size_t j) { return j < w.size() && ParseNumber(w[j], &v) && v > 0; };
    if ((k.rfind("f/", 0) == 0 && k.size() > 2 && ParseNumber(k.substr(2), &v) && v > 0)) {
      *fnumber = v, any = true;
    } else if ((k == "fno" || k == "fno." || k == "f-number" || k == "f#" || k == "f/#" || k == "f/no") && next(i + 1)) {
      *fnumber = v, any = true;
    } else if ((k == "\xcf\x89" || k == "w" || k == "hfov") && next(i + 1)) {
      *half_field = v, any = true;
    } else if ((k == "2\xcf\x89" || k == "2w" || k == "fov") && next(i + 1)) {
      *half_field = v / 2, any = true;
    } else if (k == "half" && i + 1 < w.size() && (w[i + 1] == "field" || w[i + 1] == "field-angle") && next(i + 2)) {
      *half_field = v, any = true;
    } else if ((k == "half-field" || k == "half-angle") && next(i + 1)) {
      *half_field = v, any = true;
    }
  }
  return any;
}

}  // namespace

bool LooksLikePatentTable(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  for (int i = 0; i < 40 && std::getline(in, line); ++i) {
    const std::vector<std::string> w = Words(line);
    bool r = false, d = false;
    for (const std::string& s : w) r = r || ColumnOf(s) == kR, d = d || ColumnOf(s) == kD;
    if (r && d && !w.empty() && w[0][0] != '#') return true;
  }
  return false;
}

ImportedLens ReadPatentTable(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ImportError(path + ": cannot open the file");
  ImportedLens lens;
  lens.source = path;
  lens.format = "patent table";
  std::vector<Column> columns;
  bool has_aperture = false, in_aspheres = false;
  std::vector<std::string> asphere_columns;
  double fnumber = 0, half_field = 0;
  std::map<int, size_t> by_number;  // surface number -> index in lens.surfaces
  std::string line;
  size_t bytes = 0;
  for (int line_number = 1; std::getline(in, line); ++line_number) {
    bytes += line.size() + 1;
    if (bytes > kMaxImportBytes) throw ImportError(path + ": over 8 MiB; not a lens table");
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string where = path + ":" + std::to_string(line_number);
    if (line.find('\0') != std::string::npos) throw ImportError(where + ": a NUL byte; not a text table");
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    // Header rows.
    bool is_header = false;
    {
      bool r = false, d = false, k = false, a4 = false;
      for (const std::string& s : w) {
        r = r || ColumnOf(s) == kR, d = d || ColumnOf(s) == kD;
        k = k || Lower(s) == "k", a4 = a4 || Lower(s) == "a4";
      }
      if (k && a4) {
        asphere_columns.clear();
        for (const std::string& s : w) asphere_columns.push_back(Lower(s));
        in_aspheres = true;
        is_header = true;
      } else if (r && d && !in_aspheres) {
        columns.clear();
        for (const std::string& s : w) {
          columns.push_back(ColumnOf(s));
          has_aperture = has_aperture || columns.back() == kSemi || columns.back() == kDiameter;
        }
        is_header = true;
      }
    }
    if (is_header) continue;
    if (Lower(w[0]).find("aspher") == 0) continue;  // a caption
    {
      // The printed figures: not a row (a row starts with its surface).
      int number;
      std::string first = w[0];
      if (!first.empty() && first.back() == '*') first.pop_back();
      const std::string lf = Lower(first);
      const bool row = SurfaceNumber(first, &number) || lf == "sto" || lf == "stop" || lf == "(stop)" ||
                       lf.find("(stop)") != std::string::npos;
      if (!row && ReadPrintedFigures(line, &fnumber, &half_field)) continue;
    }
    if (in_aspheres) {
      // surface K A4 A6 ...
      std::string label = w[0];
      if (!label.empty() && label.back() == '*') label.pop_back();
      int n;
      if (!SurfaceNumber(label, &n) || by_number.count(n) == 0)
        throw ImportError(where + ": aspheric coefficients for surface \"" + w[0] + "\", which the table does not have");
      ImportedSurface& s = lens.surfaces[by_number[n]];
      s.aspheric = true;
      for (size_t i = 1; i < w.size() && i < asphere_columns.size(); ++i) {
        double v;
        if (!ParseNumber(w[i], &v) || std::isinf(v))
          throw ImportError(where + ": " + asphere_columns[i] + " \"" + w[i] + "\" is not a number");
        const std::string& name = asphere_columns[i];
        if (name == "k") {
          s.asphere.k = v;
        } else if (name.size() > 1 && name[0] == 'a') {
          const int power = std::atoi(name.c_str() + 1);
          if (power < 2 || power > 20 || power % 2) throw ImportError(where + ": an aspheric term " + name + " realcam has no place for");
          s.asphere.a[power / 2 - 1] = v;
        }
      }
      continue;
    }
    if (columns.empty()) throw ImportError(where + ": a table row before the header row that names the columns (r, d, nd, vd)");
    // A surface row: label, r, d, then nd vd for glass, then the aperture.
    std::string label = w[0];
    bool stop = false, aspheric = false;
    size_t next = 1;
    const std::string l = Lower(label);
    if (l == "sto" || l == "stop" || l == "(stop)") stop = true;
    if (l.find("(stop)") != std::string::npos && l != "(stop)") stop = true, label = label.substr(0, l.find("(stop)"));
    if (w.size() > 1 && Lower(w[1]) == "(stop)") stop = true, next = 2;
    if (!label.empty() && label.back() == '*') aspheric = true, label.pop_back();
    std::vector<double> v;
    for (size_t i = next; i < w.size(); ++i) {
      double x;
      if (!ParseNumber(w[i], &x)) throw ImportError(where + ": \"" + w[i] + "\" is not a number");
      v.push_back(x);
    }
    const size_t n = v.size();
    if (n < 2) throw ImportError(where + ": a surface needs at least r and d");
    ImportedSurface s;
    s.source_line = line_number;
    s.radius = v[0];
    if (!std::isfinite(v[1])) throw ImportError(where + ": d \"" + w[next + 1] + "\" is not finite");
    s.thickness = v[1];
    // Air rows leave nd and vd blank: the count of numbers tells them.
    const bool glass = has_aperture ? n >= 5 : n >= 4;
    if (glass) {
      s.index = v[2], s.abbe = v[3];
      if (!(s.index >= 1) || !(s.abbe > 0)) throw ImportError(where + ": nd and vd must be an index and an Abbe number");
    }
    if (has_aperture && n >= 3) {
      const double a = v[glass ? 4 : 2];
      bool semi = false;
      for (Column c : columns) semi = semi || c == kSemi;
      s.aperture = semi ? 2 * a : a;
    }
    if (stop) s.radius = 0;
    s.aspheric = aspheric;
    int number;
    if (SurfaceNumber(label, &number)) by_number[number] = lens.surfaces.size();
    lens.surfaces.push_back(s);
  }
  if (lens.surfaces.empty()) throw ImportError(path + ": no surface rows under a header row (r, d, nd, vd)");
  bool has_stop = false;
  for (const ImportedSurface& s : lens.surfaces) has_stop = has_stop || s.radius == 0;
  if (!has_stop) throw ImportError(path + ": no row is the stop (label it STO, stop or (stop))");
  // Glasses by their numbers: one catalogue glass within 5e-5 and 0.3.
  for (size_t i = 0; i < lens.surfaces.size(); ++i) {
    ImportedSurface& s = lens.surfaces[i];
    if (s.index == 1 || s.radius == 0) continue;
    const Glass* match = nullptr;
    int matches = 0;
    for (const Glass& g : GlassCatalogue())
      if (std::fabs(g.nd - s.index) <= 5e-5 && std::fabs(g.vd - s.abbe) <= 0.3) match = &g, ++matches;
    if (matches == 1) {
      s.glass = match->maker + ":" + match->name;
      lens.notes.push_back("Surface " + std::to_string(i) + ": n_d " + NoteNumber(s.index) + ", v_d " +
                           NoteNumber(s.abbe) + " identify " + match->maker + " " + match->name + ".");
    } else {
      lens.notes.push_back("Surface " + std::to_string(i) + ": n_d " + NoteNumber(s.index) + ", v_d " +
                           NoteNumber(s.abbe) + " kept as numbers (" +
                           (matches ? std::to_string(matches) + " catalogue glasses match" : "no catalogue glass matches") +
                           ").");
    }
  }
  if (!has_aperture && fnumber > 0) {
    // The f-number (and the half field) printed with the table: the
    // apertures a design program would give.
    ApertureSpec spec;
    spec.fnumber = fnumber;
    if (half_field > 0) spec.fields = {0, 0.7 * half_field, half_field};
    spec.described = "f/" + NoteNumber(fnumber) + (half_field > 0 ? ", half field " + NoteNumber(half_field) + " deg" : "");
    ComputeClearApertures(&lens, spec);
  } else if (!has_aperture) {
    // No clear apertures: 90% of each sphere's diameter, the planes and the
    // stop as wide as their narrower neighbour.
    double widest = 0;
    for (ImportedSurface& s : lens.surfaces)
      if (s.radius != 0 && std::isfinite(s.radius)) s.aperture = 1.8 * std::fabs(s.radius), widest = std::max(widest, s.aperture);
    for (size_t i = 0; i < lens.surfaces.size(); ++i) {
      ImportedSurface& s = lens.surfaces[i];
      if (s.radius != 0 && std::isfinite(s.radius)) continue;
      double a = widest;
      if (i > 0 && lens.surfaces[i - 1].aperture > 0) a = std::min(a, lens.surfaces[i - 1].aperture);
      if (i + 1 < lens.surfaces.size() && lens.surfaces[i + 1].aperture > 0)
        a = std::min(a, lens.surfaces[i + 1].aperture);
      s.aperture = a;
    }
    const int narrowed = KeepSurfacesApart(&lens);
    lens.warnings.push_back("the table gives no clear apertures (and no f-number to compute them from): each is "
                            "90% of its sphere's diameter, the stop's and the planes' their narrower neighbour's" +
                            std::string(narrowed ? ", " + std::to_string(narrowed) + " narrowed so that no "
                                        "neighbours cross" : "") +
                            "; set them from the patent's drawing, or give the table's f-number (\"Fno 2.1\")");
  }
  lens.notes.push_back("Units: as the table's (taken as millimetres). The last d is the distance to the image, "
                       "the default film distance.");
  const size_t slash = path.rfind('/');
  lens.title = path.substr(slash == std::string::npos ? 0 : slash + 1);
  return lens;
}
