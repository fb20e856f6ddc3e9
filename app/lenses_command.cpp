// SPDX-License-Identifier: Apache-2.0
// realcam lenses: the lens library at a glance.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/json_output.h"
#include "optics/coverage.h"
#include "optics/paraxial.h"

namespace {

struct LensEntry {
  std::string name, path, title, source;
  double efl = NAN, f_number = NAN, image_circle = NAN, half_lit = NAN;
  const FilmFormat* covers = nullptr;
  std::string problem;  // why the figures are missing, if they are
};

// The header comment's first line names the lens; the first sentence
// after it gives the source.
void ReadHeader(LensEntry* e) {
  std::ifstream f(e->path);
  std::string text;
  for (std::string line; std::getline(f, line) && line.rfind("#", 0) == 0;) {
    const size_t start = line.find_first_not_of("# ");
    if (start == std::string::npos) continue;
    if (e->title.empty())
      e->title = line.substr(start);
    else
      text += (text.empty() ? "" : " ") + line.substr(start);
  }
  const size_t end = std::min(text.find(". "), text.find("; "));
  e->source = text.substr(0, end);
  if (e->source.size() > 100) e->source = e->source.substr(0, 97) + "...";
}

// First-order figures at infinity focus, and the image circle there.
void Measure(LensEntry* e) {
  try {
    const std::unique_ptr<LensStack> lens = LoadLens(e->path);
    const Paraxial p = ComputeParaxial(*lens);
    e->efl = p.efl, e->f_number = p.f_number;
    const float film_z = float(lens->GetLensDepth() + p.bfl);
    const Coverage c = ComputeCoverage(*lens, film_z, p.efl / 100);
    e->image_circle = c.lit, e->half_lit = c.half_lit;
    e->covers = LargestFormatWithin(CoveringCircle(*lens, film_z, p.efl / 100));
  } catch (const std::exception& error) {
    e->problem = error.what();
  }
}

std::string Fixed(double v, const char* format) {
  if (!std::isfinite(v)) return "-";
  char buf[32];
  snprintf(buf, sizeof buf, format, v);
  return buf;
}

// Room for movements: how far a 36x24 frame may shift up (or down) and
// sideways and stay within the half-light image circle; NaN where it
// does not fit unshifted.
double ShiftRoom(double half_lit, double half_along, double half_across) {
  const double r = 0.5 * half_lit;
  if (!(r * r >= half_along * half_along + half_across * half_across)) return NAN;
  return std::sqrt(r * r - half_across * half_across) - half_along;
}

}  // namespace

int RunLenses(const LensesOptions& o) {
  const std::string dir = BundledLensDir();
  std::vector<LensEntry> entries;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* file = readdir(d)) {
      const std::string name = file->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dat") == 0)
      {
        LensEntry e;
        e.name = name.substr(0, name.size() - 4), e.path = dir + "/" + name;
        entries.push_back(e);
      }
    }
    closedir(d);
  } else {
    throw std::runtime_error("cannot read the lens library \"" + dir + "\"");
  }
  std::sort(entries.begin(), entries.end(),
            [](const LensEntry& a, const LensEntry& b) { return a.name < b.name; });
  for (LensEntry& e : entries) ReadHeader(&e), Measure(&e);

  if (o.json) {
    Json list = Json::array();
    for (const LensEntry& e : entries)
      list.push_back({{"name", e.name},
                      {"file", e.path},
                      {"title", e.title},
                      {"source", e.source},
                      {"efl", JsonNumber(e.efl)},
                      {"f_number", JsonNumber(e.f_number)},
                      {"image_circle", JsonNumber(e.image_circle)},
                      {"image_circle_half_light", JsonNumber(e.half_lit)},
                      {"covers", e.covers ? Json(e.covers->name) : Json(nullptr)},
                      {"full_frame_shift_room", {{"vertical", JsonNumber(ShiftRoom(e.half_lit, 12, 18))},
                                                 {"horizontal", JsonNumber(ShiftRoom(e.half_lit, 18, 12))}}}});
    PrintJson({{"folder", dir}, {"lenses", list}});
    return 0;
  }
  printf("bundled lenses in %s (focused at infinity; image circle: some light / half the centre's;\n"
         "shift: how far a 36x24 frame may move up or down / sideways within the half-light circle;\n"
         "covers: the largest format within the half-light circle at f/8, or at the lens's own stop if slower)\n",
         dir.c_str());
  printf("%-24s %8s %7s %15s %13s  %s\n", "name", "EFL", "f/", "image circle", "shift", "covers");
  for (const LensEntry& e : entries) {
    const std::string circle = Fixed(e.image_circle, "%.1f") + " / " + Fixed(e.half_lit, "%.1f");
    const std::string room = Fixed(ShiftRoom(e.half_lit, 12, 18), "%.1f") + " / " +
                             Fixed(ShiftRoom(e.half_lit, 18, 12), "%.1f");
    printf("%-24s %8s %7s %15s %13s  %s\n", e.name.c_str(), Fixed(e.efl, "%.2f").c_str(),
           Fixed(e.f_number, "%.2f").c_str(), circle.c_str(), room.c_str(),
           e.covers ? e.covers->name : (e.problem.empty() ? "smaller than 1/2.3 inch" : "-"));
    printf("    %s%s%s\n", e.title.c_str(), e.source.empty() ? "" : ": ", e.source.c_str());
    if (!e.problem.empty()) printf("    (%s)\n", e.problem.c_str());
  }
  return 0;
}
