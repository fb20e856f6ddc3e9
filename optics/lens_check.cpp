// SPDX-License-Identifier: Apache-2.0
#include "optics/lens_check.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "optics/paraxial.h"
#include "realistic/glass_catalogue.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"

namespace {

const char* const kColumns[4] = {"radius", "thickness", "index", "aperture"};

// A column of a data line: where it starts (0-based) and its text.
struct Field {
  size_t start;
  std::string text;
};

// Columns as the loader splits them: 1 to 3 end at a tab (a run of tabs is
// one separator), column 4 is the rest of the line.
std::vector<Field> SplitLikeTheLoader(const std::string& line) {
  std::vector<Field> fields;
  size_t p = 0;
  for (int col = 0; col < 3; ++col) {
    while (p < line.size() && line[p] == '\t') ++p;
    if (p >= line.size()) return fields;
    const size_t end = std::min(line.find('\t', p), line.size());
    fields.push_back({p, line.substr(p, end - p)});
    p = end + (end < line.size());
  }
  if (p < line.size()) fields.push_back({p, line.substr(p)});
  return fields;
}

// How much of `text` strtod reads as a number (after leading blanks).
size_t NumberLength(const std::string& text, double* value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  *value = std::strtod(begin, &end);
  return size_t(end - begin);
}

bool AllNumbers(const std::string& text, int* count) {
  std::istringstream words(text);
  std::string w;
  *count = 0;
  while (words >> w) {
    double v;
    if (NumberLength(w, &v) != w.size()) return false;
    ++*count;
  }
  return true;
}

std::string Trim(const std::string& s) {
  const size_t a = s.find_first_not_of(" \t\r"), b = s.find_last_not_of(" \t\r");
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

std::string Num(double v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// A surface's line in the file, for the checks between neighbours.
struct Surface {
  int line;
  size_t thickness_column;
  double thickness;
  bool stop;
  int asphere_line = 0;  // the asphere line that shapes it, if any
  bool mirror = false;
};

// Where two neighbouring surfaces (the second `gap` behind the first)
// come closest within both clear apertures: the least axial distance from
// the first to the second, and the height at which it occurs. The sags
// are the surfaces' own: spheres, planes and aspheres alike.
// `travel` is the way the light goes from the first to the second: +1
// toward the film, -1 after a mirror has turned it back.
void ClosestApproach(const LensInterface& a, const LensInterface& b, double gap, double travel, double* least,
                     double* at) {
  double hmax = 0.5 * std::min(std::fabs(a.GetDiameter()), std::fabs(b.GetDiameter()));
  for (const LensInterface* s : {&a, &b})
    if (!s->IsStop() && !s->IsPlane()) hmax = std::min(hmax, double(std::fabs(s->GetRadius())));
  constexpr int kSteps = 256;
  *least = travel * gap, *at = 0;
  for (int k = 1; k <= kSteps; ++k) {
    const double h = hmax * k / kSteps;
    const double d = travel * (gap + b.Sag(h) - a.Sag(h));
    if (d < *least) *least = d, *at = h;
  }
}

}  // namespace

std::vector<LensDiagnostic> CheckLensFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read lens file \"" + path + "\"");
  std::vector<LensDiagnostic> out;
  auto warn = [&](int line, size_t column, const std::string& message) {
    out.push_back({line, int(column) + 1, false, message});
  };
  auto error = [&](int line, size_t column, const std::string& message) {
    out.push_back({line, int(column) + 1, true, message});
  };
  std::vector<Surface> surfaces;
  std::string line;
  bool first_data = true;
  int line_number = 0;
  int stop_line = 0;
  int stop_warning = -1;  // the stop's "not in air" warning, while it may yet be withdrawn
  double previous_index = 1;  // medium in front of the current surface
  while (std::getline(in, line)) {
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    // An asphere line shapes the surface before it.
    if (line.compare(0, 8, "asphere ") == 0 || line.compare(0, 8, "asphere\t") == 0 || line == "asphere") {
      if (!surfaces.empty()) surfaces.back().asphere_line = line_number;
      continue;
    }
    if (line.compare(0, 12, "obscuration ") == 0 || line.compare(0, 12, "obscuration\t") == 0) continue;
    if (line[0] == ' ' || line[0] == '\t') {
      int count = 0;
      if (AllNumbers(line, &count) && count >= 4)
        warn(line_number, 0, "this line holds " + std::to_string(count) +
                                 " numbers but begins with white space, so it is skipped; remove "
                                 "the indent to make it a surface");
      continue;
    }
    const std::vector<Field> fields = SplitLikeTheLoader(line);
    if (fields.size() < 4) continue;  // the loader reports a missing column itself
    double values[4];
    bool any_number = false;
    for (int col = 0; col < 4; ++col) {
      const Field& f = fields[size_t(col)];
      const size_t n = NumberLength(f.text, &values[col]);
      if (n == 0) {
        warn(line_number, f.start, std::string("column ") + std::to_string(col + 1) + " (" +
                                       kColumns[col] + ") \"" + Trim(f.text) +
                                       "\" is not a number; it reads as 0");
        continue;
      }
      any_number = true;
      if (col < 3 && !Trim(f.text.substr(n)).empty()) {
        const std::string rest = Trim(f.text.substr(n));
        const bool comma = rest[0] == ',';
        warn(line_number, f.start + n,
             std::string("column ") + std::to_string(col + 1) + " (" + kColumns[col] + ") reads as " +
                 Trim(f.text.substr(0, n)) + "; the text after it, \"" + rest + "\", is ignored" +
                 (comma ? " (numbers take a decimal point, not a comma)" : ""));
      }
    }
    if (first_data && !any_number)
      warn(line_number, 0, "the first data line has no numbers: it looks like a title, and is read "
                           "as an aperture stop; begin it with '#'");
    first_data = false;
    const double r = values[0], ap = values[3];
    double n = values[2];
    if (r == 0 && n == 0) n = 1;
    // What the loader accepts but no lens can be (it refuses values that
    // are not finite itself).
    if (std::isfinite(n) && n < 1)
      error(line_number, fields[2].start,
            "column 3 (index) is " + Num(n) + "; a refractive index is at least 1 (air), or 0 for a stop in air");
    if (std::isfinite(ap) && ap < 0)
      error(line_number, fields[3].start,
            "column 4 (aperture) is " + Num(ap) + "; a clear aperture is a diameter, at least 0");
    {
      // Column 5, the Abbe number, after the aperture's number and a tab.
      const std::string& rest = fields[3].text;
      double v4;
      size_t p = NumberLength(rest, &v4);
      if (p > 0 && p < rest.size() && rest[p] == '\t') {
        while (p < rest.size() && rest[p] == '\t') ++p;
        const std::string text = Trim(rest.substr(p));
        double v;
        const size_t used = text.empty() ? 0 : NumberLength(text, &v);
        const size_t column = fields[3].start + p;
        std::string why;
        const Glass* glass = !text.empty() && used == 0 && text[0] != '#'
                                 ? FindGlass(text.substr(0, text.find_first_of(" \t")), &why)
                                 : nullptr;
        // A name that is no glass the loader refuses itself.
        if (glass && std::isfinite(n) && std::fabs(n - glass->nd) > 5e-4) {
          char buf[200];
          snprintf(buf, sizeof buf, "column 3 (index) %g is %.2g from %s %s's n_d %.6g: the wrong glass, "
                   "or an index the catalogue does not give", n, std::fabs(n - glass->nd),
                   glass->maker.c_str(), glass->name.c_str(), glass->nd);
          warn(line_number, fields[2].start, buf);
        } else if (!text.empty() && std::isfinite(v) && v != 0 && (v < 10 || v > 120))
          error(line_number, column,
                "column 5 (abbe number) is " + Num(v) +
                    "; optical glasses and plastics have Abbe numbers from about 10 to 120 (0 for none)");
      }
    }
    surfaces.push_back({line_number, fields[1].start, values[1], r == 0});
    {
      const std::string& rest = fields[3].text;
      const size_t tab = rest.find('\t');
      surfaces.back().mirror = tab != std::string::npos && Trim(rest.substr(tab)).compare(0, 6, "mirror") == 0;
      // A stop that stands for a mirror (a plane at its rim, in the
      // mirror's glass) is one a design program puts there.
      if (surfaces.back().mirror && surfaces.size() >= 2 && surfaces[surfaces.size() - 2].stop && stop_warning >= 0)
        out.erase(out.begin() + stop_warning), stop_warning = -1;
    }
    if (r == 0) {
      if (stop_line == 0) stop_line = line_number;
      if (n != 1 || previous_index != 1) {
        stop_warning = int(out.size());
        char indices[96];
        snprintf(indices, sizeof indices, "index %g behind it, %g in front", n, previous_index);
        warn(line_number, fields[2].start,
             std::string("the aperture stop is not in air (") + indices + "); a stop is a diaphragm in air");
      }
    } else if (std::fabs(ap) > 0.95 * 2 * std::fabs(r) && std::fabs(ap) <= 2 * std::fabs(r)) {
      char share[32];
      snprintf(share, sizeof share, "%.1f%%", 100 * std::fabs(ap) / (2 * std::fabs(r)));
      warn(line_number, fields[3].start,
           "clear aperture " + Trim(fields[3].text.substr(0, NumberLength(fields[3].text, &values[3]))) +
               " is " + share + " of the sphere's diameter; rays near its rim meet the surface "
               "almost tangentially");
    }
    previous_index = n;
  }

  // Neighbouring surfaces must not cross within their clear apertures. The
  // stop is no material surface: designs put it on a surface's vertex even
  // where that surface curves forward past the stop's plane; only a stop
  // behind the next vertex (a negative thickness) is worth a word.
  auto check_gaps = [&](const LensStack& lens) {
    const auto& shapes = lens.GetInterfaces();
    if (shapes.size() != surfaces.size()) return;
    double travel = 1;  // a mirror turns the light, and the thicknesses' sign with it
    for (size_t i = 0; i + 1 < surfaces.size(); ++i) {
      const Surface &a = surfaces[i], &b = surfaces[i + 1];
      if (shapes[i].IsMirror()) travel = -travel;
      if (a.stop || b.stop) {
        if (a.thickness * travel < 0)
          warn(a.line, a.thickness_column,
               "column 2 (thickness) is " + Num(a.thickness) +
                   "; the stop and its neighbour are in reverse order along the axis");
        continue;
      }
      double least, at;
      ClosestApproach(shapes[i], shapes[i + 1], a.thickness, travel, &least, &at);
      const bool aspheric = a.asphere_line || b.asphere_line;
      if (least < 0) {
        error(a.line, a.thickness_column,
              "column 2 (thickness) " + Num(a.thickness) + " puts the surface of line " + std::to_string(b.line) +
                  " " + Num(-least) + " in front of this one at height " + Num(at) + ": the two " +
                  (aspheric ? "surfaces (one of them aspheric)" : "surfaces") +
                  " cross within their clear apertures");
      } else if (a.thickness * travel <= 0) {
        // Two glass surfaces touch only where they are cemented, which
        // takes one line, not two.
        warn(a.line, a.thickness_column,
             "column 2 (thickness) is " + Num(a.thickness) + "; the next surface (line " +
                 std::to_string(b.line) + ") does not cross this one, but a lens has no zero or negative gaps" +
                 (travel < 0 ? " (after a mirror the light travels back: its gaps are negative)" : ""));
      }
    }
  };

  // What the loader and the optics make of it.
  try {
    const LensStack lens(path);
    check_gaps(lens);
    if (lens.GetInterfaces().empty()) {
      out.push_back({0, 0, true, "the prescription has no surfaces"});
    } else if (lens.GetIndexOfStop() < 0) {
      out.push_back({0, 0, true, "the prescription has no aperture stop (a data line with radius 0)"});
    } else {
      double efl = NAN;
      try {
        efl = ComputeParaxial(lens).efl;
      } catch (const std::exception&) {
      }
      if (!std::isfinite(efl))
        out.push_back({0, 0, false, "the focal length is not finite: the lens has no power"});
    }
  } catch (const LensError& e) {
    out.push_back({0, 0, true, e.what()});
  }
  return out;
}

std::string FormatDiagnostic(const std::string& path, const LensDiagnostic& d) {
  const std::string kind = d.error ? "error: " : "warning: ";
  if (d.line > 0)
    return path + ":" + std::to_string(d.line) + ":" + std::to_string(d.column) + ": " + kind + d.message;
  // A loader error names its file and line first: "path:3: ...".
  if (d.message.rfind(path + ":", 0) == 0) {
    const size_t after = d.message.find(": ", path.size());
    if (after != std::string::npos)
      return d.message.substr(0, after + 2) + kind + d.message.substr(after + 2);
  }
  return path + ": " + kind + d.message;
}
