// SPDX-License-Identifier: Apache-2.0
#include "realistic/lens_stack.h"

#include <locale.h>
#include <strings.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "core/sampling.h"
#include "realistic/dispersion.h"
#include "realistic/glass_catalogue.h"
#include "realistic/lens_error.h"

namespace {

constexpr size_t kLineBuffer = 512;  // 511 characters and the terminator

const char* const kColumnNames[4] = {"radius", "thickness", "index", "aperture"};

// Numbers in a prescription always use a decimal point, whatever locale
// the host process has set.
locale_t NumericLocale() {
  static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", locale_t(0));
  return c_locale;
}

// atof: leading white space skipped, the longest numeric prefix taken,
// 0 when there is none.
double ReadNumber(const char* text, char** end = nullptr) {
  return strtod_l(text, end, NumericLocale());
}

// The optional fifth column, after the aperture's number and a tab: the
// Abbe number of the medium behind the surface, or the name of a glass of
// the catalogue (*glass). 0 (or nothing there) means no dispersion data.
float ReadAbbeNumber(const char* aperture_field, const std::string& line, const std::string& where,
                     const Glass** glass, bool* mirror) {
  *glass = nullptr;
  *mirror = false;
  char* end = nullptr;
  ReadNumber(aperture_field, &end);
  if (end == aperture_field || *end != '\t') return 0.f;
  while (*end == '\t') ++end;
  char* after = nullptr;
  const float v = float(ReadNumber(end, &after));
  if (after == end) {
    // A glass name: the word up to white space.
    std::string name(end);
    name = name.substr(0, name.find_first_of(" \t\r"));
    // Nothing, or a comment.
    if (name.empty() || name[0] == '#') return 0.f;
    if (strcasecmp(name.c_str(), "mirror") == 0) return *mirror = true, 0.f;
    std::string why;
    *glass = FindGlass(name, &why);
    if (!*glass) {
      const size_t column = line.find(name, size_t(aperture_field - line.c_str())) + 1;
      throw LensError(where + ":" + std::to_string(column) + ": column 5: " + why);
    }
    return float((*glass)->vd);
  }
  if (!std::isfinite(v) || v < 0.f)
    throw LensError(where + ": column 5 (abbe number) is " +
                    (std::isfinite(v) ? "negative" : "not a finite number") +
                    "; an Abbe number is positive, or 0 for none");
  return v;
}

struct FileCloser {
  void operator()(FILE* f) const { fclose(f); }
};

// Reads one line without its line end (a newline, or a carriage return and
// a newline). Returns false at the end of the file when nothing was read.
// Throws for a read error, an over-long line or a NUL byte.
bool ReadLine(FILE* f, const std::string& where, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = getc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (c == '\0') throw LensError(where + ": the line holds a NUL byte; not a text prescription");
    line->push_back(char(c));
    if (line->size() > kLineBuffer) break;  // checked below, after a CR is allowed for
  }
  if (ferror(f))
    throw LensError(where + ": read error: " + std::strerror(errno));
  if (!line->empty() && line->back() == '\r') line->pop_back();
  if (line->size() >= kLineBuffer)
    throw LensError(where + ": line is longer than " + std::to_string(kLineBuffer - 1) +
                    " characters");
  return any;
}

// Splits a data line into its four columns: columns 1 to 3 end at a tab,
// a run of tabs counting as one separator; column 4 is the rest of the
// line after the tab that ends column 3.
void SplitColumns(const std::string& line, const std::string& where, const char* fields[4],
                  std::string* storage) {
  *storage = line;
  char* p = &(*storage)[0];
  for (int col = 0; col < 3; ++col) {
    while (*p == '\t') ++p;
    if (*p == '\0')
      throw LensError(where + ": column " + std::to_string(col + 1) + " (" + kColumnNames[col] +
                      ") is missing; columns are separated by tabs");
    fields[col] = p;
    while (*p != '\0' && *p != '\t') ++p;
    if (*p == '\t') *p++ = '\0';
  }
  if (*p == '\0')
    throw LensError(where + ": column 4 (aperture) is missing; columns are separated by tabs");
  fields[3] = p;
}

bool HasNumber(const char* field) {
  char* end = nullptr;
  ReadNumber(field, &end);
  return end != field;
}

std::string Number(float v) {
  char buf[32];
  snprintf(buf, sizeof buf, "%g", double(v));
  return buf;
}

// What a failed loading condition means for the person who wrote the file.
std::string Explain(const ConsistencyError& e, float r, float ap, int stop_line,
                    bool stop_line_had_numbers) {
  const std::string sphere = "2 x |radius| = " + Number(2 * std::fabs(r));
  if (e.Condition() == "0.5f * d <= fabs(r)")
    return "clear aperture " + Number(ap) + " is wider than the sphere allows (" + sphere + ")";
  if (e.Condition() == "zmin <= zmax")
    return "clear aperture " + Number(ap) + " leaves the surface no cap; a negative aperture must be "
           "no wider than " + sphere;
  if (e.Condition() == "index_of_stop == -1")
    return "a second aperture stop (radius 0); a prescription has exactly one (line " +
           std::to_string(stop_line) + " was read as a stop" +
           (stop_line_had_numbers ? "" : ": its fields are not numbers") + ")";
  return "";
}

bool IsAsphereLine(const std::string& line) {
  return line.compare(0, 7, "asphere") == 0 && (line.size() == 7 || line[7] == ' ' || line[7] == '\t');
}

bool IsObscurationLine(const std::string& line) {
  return line.compare(0, 11, "obscuration") == 0 && (line.size() == 11 || line[11] == ' ' || line[11] == '\t');
}

// An obscuration line: "obscuration" and the opaque disc's diameter.
float ReadObscuration(const std::string& line, const std::string& where, float aperture) {
  const char* p = line.c_str() + 11;
  while (*p == ' ' || *p == '\t') ++p;
  char* end = nullptr;
  const double d = ReadNumber(p, &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (end == p || !end || (*end != '\0' && *end != '#') || !std::isfinite(d) || !(d > 0))
    throw LensError(where + ":1: an obscuration line holds the opaque disc's diameter, a positive number "
                    "(\"obscuration 50\")");
  if (!(d < std::fabs(double(aperture))))
    throw LensError(where + ":1: obscuration " + Number(float(d)) + " is as wide as the surface's clear aperture " +
                    Number(std::fabs(aperture)) + "; no light would pass");
  return float(d);
}

// Whether a column's text spells an infinite value: "inf" or "infinity",
// either case, with an optional sign (a number too large for a float is
// not one).
bool SpellsInfinity(const char* field) {
  const char* p = field;
  while (*p == ' ') ++p;
  if (*p == '+' || *p == '-') ++p;
  return strncasecmp(p, "inf", 3) == 0;
}

// An asphere line: "asphere" and name=value pairs (k, a2, a4, ... a20)
// separated by tabs or spaces.
AsphereTerms ReadAsphere(const std::string& line, const std::string& where) {
  AsphereTerms terms;
  bool seen[11] = {};
  size_t p = std::strlen("asphere");
  while (p < line.size()) {
    while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
    if (p >= line.size()) break;
    const size_t start = p;
    while (p < line.size() && line[p] != ' ' && line[p] != '\t') ++p;
    const std::string token = line.substr(start, p - start);
    const std::string at = where + ":" + std::to_string(start + 1);
    const size_t eq = token.find('=');
    if (eq == std::string::npos)
      throw LensError(at + ": \"" + token + "\" is not name=value; an asphere line holds k=... and a2=... to a20=...");
    const std::string name = token.substr(0, eq), value = token.substr(eq + 1);
    int slot = -1;  // 0: k; i + 1: a[i]
    if (name == "k") slot = 0;
    for (int i = 0; i < 10; ++i)
      if (name == "a" + std::to_string(2 * i + 2)) slot = i + 1;
    if (slot < 0)
      throw LensError(at + ": unknown asphere term \"" + name + "\"; the terms are k (conic constant) and a2, a4, ... a20");
    if (seen[slot]) throw LensError(at + ": asphere term \"" + name + "\" is given twice");
    seen[slot] = true;
    char* end = nullptr;
    const double v = ReadNumber(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(v))
      throw LensError(at + ": asphere term " + name + " is \"" + value + "\"; expected a finite number");
    (slot == 0 ? terms.k : terms.a[slot - 1]) = v;
  }
  return terms;
}

}  // namespace

namespace {

std::unique_ptr<FILE, FileCloser> OpenLensFile(const std::string& file) {
  std::unique_ptr<FILE, FileCloser> f(fopen(file.c_str(), "r"));
  // The caller reports it (the factory prints it and gives the host no
  // camera): a plug-in never ends its host's process.
  if (!f) throw LensError("Cannot open file " + file);
  return f;
}

std::unique_ptr<FILE, FileCloser> OpenLensText(const std::string& text) {
  // An empty buffer cannot be opened: one newline reads as no lines too.
  static char newline[] = "\n";
  std::unique_ptr<FILE, FileCloser> f(text.empty() ? fmemopen(newline, 1, "r")
                                                   : fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  if (!f) throw LensError("cannot read the prescription text");
  return f;
}

}  // namespace

LensStack::LensStack(const std::string& file) : LensStack(OpenLensFile(file).get(), file) {}

LensStack::LensStack(const std::string& text, const std::string& name, FromText)
    : LensStack(OpenLensText(text).get(), name) {}

LensStack::LensStack(FILE* f_in, const std::string& file) : index_of_stop(-1) {
  FILE* const f = f_in;
  float sum = 0.f;
  double exact_sum = 0;
  std::string line, storage;
  // Where the first stop came from, to explain a second one.
  int stop_line = 0;
  bool stop_line_had_numbers = true;
  // Whether the last data line was a surface that may still take an
  // asphere line.
  bool asphere_may_follow = false;
  // Lines read ahead of the one being parsed: a surface looks at the next
  // data line to know whether an asphere line shapes it.
  std::deque<std::pair<int, std::string>> ahead;
  int lines_read = 0;
  bool at_end = false;
  auto read = [&]() {
    std::string text;
    const int n = ++lines_read;
    if (!ReadLine(f, file + ":" + std::to_string(n), &text)) return at_end = true, false;
    ahead.push_back({n, text});
    return true;
  };
  auto skipped = [](const std::string& l) { return l.empty() || l[0] == '#' || l[0] == ' ' || l[0] == '\t'; };
  auto asphere_follows = [&]() {
    for (size_t i = 0;; ++i) {
      if (i == ahead.size() && (at_end || !read())) return false;
      if (!skipped(ahead[i].second) && !IsObscurationLine(ahead[i].second)) return IsAsphereLine(ahead[i].second);
    }
  };
  int mirrors = 0;
  bool obscured = false;
  for (;;) {
    if (ahead.empty() && (at_end || !read())) break;
    const int line_number = ahead.front().first;
    line = ahead.front().second;
    ahead.pop_front();
    const std::string where = file + ":" + std::to_string(line_number);
    if (skipped(line)) continue;

    if (IsObscurationLine(line)) {
      if (interfaces.empty())
        throw LensError(where + ":1: an obscuration line before any surface; it covers the centre of the surface on the line before it");
      if (obscured) throw LensError(where + ":1: a second obscuration line for one surface");
      interfaces.back().SetObscuration(ReadObscuration(line, where, interfaces.back().GetDiameter()));
      obscured = true;
      continue;
    }

    if (IsAsphereLine(line)) {
      if (interfaces.empty())
        throw LensError(where + ":1: an asphere line before any surface; it shapes the surface on the line before it");
      if (interfaces.back().IsStop())
        throw LensError(where + ":1: an asphere line after the aperture stop; only a refracting surface can be aspheric");
      if (!asphere_may_follow)
        throw LensError(where + ":1: a second asphere line for one surface; give all its terms on one line");
      const AsphereTerms terms = ReadAsphere(line, where);
      try {
        interfaces.back().SetAsphere(terms);
      } catch (const ConsistencyError& e) {
        char buf[160];
        snprintf(buf, sizeof buf, "the asphere's sag is not defined within the clear aperture %g: "
                 "1 - (1 + k) c^2 r^2 < 0 near its rim (k = %g, radius %g)",
                 double(interfaces.back().GetDiameter()), terms.k, double(interfaces.back().GetRadius()));
        throw LensError(where + ":1: " + buf);
      }
      asphere_may_follow = false;
      continue;
    }

    const char* fields[4];
    SplitColumns(line, where, fields, &storage);
    float values[4];
    double exact_values[4];
    for (int col = 0; col < 4; ++col) {
      exact_values[col] = ReadNumber(fields[col]);
      values[col] = float(exact_values[col]);
      // An infinite or undefined value would only surface later as
      // non-numbers on the ray path, deep inside a render. The one
      // exception: a radius spelt "inf" is a plane refracting surface.
      if (col == 0 && std::isinf(exact_values[0]) && SpellsInfinity(fields[0])) continue;
      if (!std::isfinite(values[col]))
        throw LensError(where + ": column " + std::to_string(col + 1) + " (" +
                        kColumnNames[col] + ") is not a finite number");
    }
    const Glass* glass = nullptr;
    bool mirror = false;
    float abbe = ReadAbbeNumber(line.c_str() + (fields[3] - storage.c_str()), line, where, &glass, &mirror);
    if (mirror) {
      // The light turns back into the medium it came through: its index
      // (column 3 repeats it, or gives 0) and its dispersion.
      const float medium = dispersion.empty() ? 1.f : interfaces.back().GetIndexOfRefractionPosZ();
      if (values[0] == 0.f)
        throw LensError(where + ": a mirror of radius 0; the stop is radius 0 (a flat mirror is radius inf)");
      if (values[2] != 0.f && values[2] != medium)
        throw LensError(where + ": column 3 of a mirror is the index of the medium the light returns into, the "
                        "one in front of the mirror (" + Number(medium) + "), or 0; it is " + Number(values[2]));
      values[2] = medium;
      exact_values[2] = exact_n_d.empty() ? 1.0 : exact_n_d.back();
      if (!dispersion.empty()) abbe = dispersion.back().v_d, glass = dispersion.back().glass;
      ++mirrors;
    }
    double exact_n = exact_values[2];
    if (values[0] == 0.f && exact_n == 0) exact_n = 1;
    const float r = values[0], axpos = values[1], ap = values[3];
    float n = values[2];
    if (r == 0.f && n == 0.f) n = 1.f;  // a stop in air need not give its index

    try {
      // An asphere's aperture is bounded by its own sag, not its base sphere.
      LensInterface surface(r, sum, n, ap, r != 0.f && asphere_follows());
      if (mirror) surface.SetMirror();
      obscured = false;
      sum = sum + axpos;
      if (surface.IsStop()) {
        LENS_CHECK(index_of_stop == -1, "index_of_stop == -1",
                   "LensStack::LensStack(const std::string&)");
        index_of_stop = int(interfaces.size());
      }
      interfaces.push_back(surface);
      asphere_may_follow = true;
      dispersion.push_back({n, abbe, glass});
      // The double surface: the vertex as a running sum in double, and
      // the cap formed the same way from the exact numbers (a cap the
      // float surface accepts but the exact numbers do not is kept as
      // the float one made it).
      const double exact_r = surface.IsStop() ? 0.0 : exact_values[0];
      ExactSurface e{exact_r, exact_sum, exact_r + exact_sum, exact_n,
                     exact_values[3], double(surface.GetZMin()), double(surface.GetZMax())};
      e.thickness = exact_values[1];
      ExactCap(e.radius, e.diameter, &e.zmin, &e.zmax);
      if (surface.IsStop()) e.zmin = e.zmax = e.zintercept;
      exact.push_back(e);
      exact_n_d.push_back(exact_n);
      exact_v_d.push_back(abbe);
      exact_sum += exact_values[1];
      if (surface.IsStop()) {
        stop_line = line_number;
        stop_line_had_numbers = HasNumber(fields[0]) || HasNumber(fields[1]) || HasNumber(fields[2]);
      }
    } catch (const ConsistencyError& e) {
      throw e.WithContext(where, Explain(e, r, ap, stop_line, stop_line_had_numbers));
    }
  }
  if (mirrors % 2)
    throw LensError(file + ": " + std::to_string(mirrors) + (mirrors == 1 ? " mirror turns" : " mirrors turn") +
                    " the light back toward the scene; a camera's film lies behind the lens, so a "
                    "prescription has an even number of mirrors");
}

void LensStack::SetApertureDiameter(float diameter) {
  interfaces[index_of_stop].SetDiameter(diameter);
  exact[size_t(index_of_stop)].diameter = diameter;
}

void LensStack::SetApertureBlades(int blades, float rotation_degrees) {
  interfaces[index_of_stop].SetBlades(blades, rotation_degrees);
}

bool LensStack::HasObscuration() const {
  for (const LensInterface& s : interfaces)
    if (s.GetObscuration() > 0.f) return true;
  return false;
}

bool LensStack::HasMirror() const {
  for (const LensInterface& s : interfaces)
    if (s.IsMirror()) return true;
  return false;
}

LensStack LensStack::WithoutObscurations() const {
  LensStack clear = *this;
  for (LensInterface& s : clear.interfaces) s.SetObscuration(0.f);
  return clear;
}

bool LensStack::HasDispersion() const {
  for (const Dispersion& d : dispersion)
    if (d.v_d > 0.f || d.glass) return true;
  return false;
}

void LensStack::SetWavelength(float nanometres) {
  for (size_t i = 0; i < interfaces.size(); ++i)
    if (const Glass* glass = dispersion[i].glass) {
      // The catalogue's dispersion, through column 3 at the d line.
      const double shift = glass->Index(nanometres) - glass->Index(kLineD);
      interfaces[i].SetIndexOfRefraction(float(double(dispersion[i].n_d) + shift));
      exact[i].index = exact_n_d[i] + shift;
    } else if (dispersion[i].v_d > 0.f) {
      interfaces[i].SetIndexOfRefraction(
          IndexAtWavelength(dispersion[i].n_d, dispersion[i].v_d, nanometres));
      exact[i].index = IndexAtWavelengthExact(exact_n_d[i], exact_v_d[i], nanometres);
    }
}

Point LensStack::SampleBackElement(float u, float v) const {
  float lX, lY;
  ConcentricSampleDisk(u, v, &lX, &lY);
  const LensInterface& back = interfaces.back();
  const float back_lens_radius = 0.5f * back.GetDiameter();
  return Point(lX * back_lens_radius, lY * back_lens_radius, back.GetAxisIntercept());
}
