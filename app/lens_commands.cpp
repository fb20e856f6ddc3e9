// SPDX-License-Identifier: Apache-2.0
// realcam info, trace, rays and focus: what the lens code computes, in
// forms that people and scripts can read.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "app/commands.h"
#include "app/json_output.h"
#include "app/lens_loading.h"
#include "app/lens_info.h"
#include "app/lens_loading.h"
#include "app/number_text.h"
#include "realistic/thick_lens.h"
#include "app/plugin_loader.h"
#include "optics/best_focus.h"
#include "optics/chromatic.h"
#include "optics/coverage.h"
#include "optics/first_order.h"
#include "optics/ghosts.h"
#include "optics/tilt_focus.h"
#include "optics/distant_rays.h"
#include "realistic/lens_error.h"

namespace {

// Whitespace-separated numbers of one input line; false if any word is
// not a number.
bool ParseNumbers(const std::string& line, std::vector<double>* out) {
  out->clear();
  std::istringstream words(line);
  std::string word;
  while (words >> word) {
    char* end = nullptr;
    const double v = strtod(word.c_str(), &end);
    if (*end != '\0') return false;
    out->push_back(v);
  }
  return true;
}

// A trace condition in words: which ray, and what its origin or direction
// must be for the side it starts on.
ConsistencyError ExplainTraceFailure(const ConsistencyError& e, const Ray& ray, const LensStack& lens) {
  char buf[256];
  const std::string c = e.Condition();
  const Point start = ray(ray.mint);
  if (c == "ray(ray.mint).z <= 0.0f")
    snprintf(buf, sizeof buf, "a ray from the world side must start in front of the front vertex "
             "(z <= 0 at its mint); this one is at z = %g", double(start.z));
  else if (c == "ray.d.z > 0.0f")
    snprintf(buf, sizeof buf, "a ray from the world side must head toward the lens (+z); its "
             "direction's z is %g", double(ray.d.z));
  else if (c == "ray(ray.mint).z > interfaces.back().GetAxisIntercept()")
    snprintf(buf, sizeof buf, "a ray from the film side must start behind the back vertex (z > %g "
             "at its mint); this one is at z = %g", double(lens.GetLensDepth()), double(start.z));
  else if (c == "ray.d.z < 0.0f")
    snprintf(buf, sizeof buf, "a ray from the film side must head toward the lens (-z); its "
             "direction's z is %g", double(ray.d.z));
  else if (c == "cosi != 0")
    snprintf(buf, sizeof buf, "the ray meets a surface exactly in its tangent plane and cannot be refracted");
  else if (c == "fabs(hit.z - zintercept) < EPSILON")
    snprintf(buf, sizeof buf, "the ray runs parallel to the stop's plane and never crosses it");
  else
    snprintf(buf, sizeof buf, "the ray cannot be refracted at a surface (its direction comes out "
             "undefined: a zero index or a degenerate surface)");
  return e.WithContext("", buf);
}

// "36x24" -> 36, 24 (lens units, positive and finite).
void ParseFilmSize(const std::string& text, double* width, double* height) {
  char* end = nullptr;
  const double w = std::strtod(text.c_str(), &end);
  const double h = *end == 'x' ? std::strtod(end + 1, &end) : NAN;
  if (*end != '\0' || !(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h))
    throw std::runtime_error("--film \"" + text + "\" is not a film size WxH in lens units");
  *width = w, *height = h;
}

bool Blank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

// A figure, or what it means when there is none.
std::string Figure(double v, const char* format, const char* none = "no chief ray lands there") {
  if (!std::isfinite(v)) return none;
  char buf[64];
  snprintf(buf, sizeof buf, format, v);
  return buf;
}

void PrintFirstOrder(const FirstOrder& f, const FilmSetup& film, bool focused, const std::string& precision) {
  const Paraxial& p = f.paraxial;
  printf("first order (paraxial): EFL %.4f, BFL %.4f, front focal point z %.4f\n", p.efl, p.bfl, p.ffd);
  printf("  entrance pupil: diameter %.4f at z %.4f; exit pupil: diameter %.4f at z %.4f\n",
         p.entrance.diameter, p.entrance.z, p.exit.diameter, p.exit.z);
  printf("  f/%.3f", p.f_number);
  // Where the rims, not only the stop, limit the axial beam.
  if (std::isfinite(p.f_number) && std::fabs(f.f_number_real / p.f_number - 1) > 0.01)
    printf(" paraxial; the axial beam passes as f/%.3f", f.f_number_real);
  if (focused) printf(", working f/%.3f at the focus", f.working_f_number);
  printf("\n");
  printf("on a %gx%g film %.4f behind the back vertex (real chief rays, in %s):\n", film.width, film.height,
         f.filmdistance, precision.c_str());
  printf("  field of view: horizontal %s, vertical %s, diagonal %s\n",
         Figure(f.fov_horizontal, "%.2f deg").c_str(), Figure(f.fov_vertical, "%.2f deg").c_str(),
         Figure(f.fov_diagonal, "%.2f deg").c_str());
  printf("  distortion: corner %s, edge x %s, edge y %s\n", Figure(f.distortion_corner, "%+.2f%%").c_str(),
         Figure(f.distortion_edge_x, "%+.2f%%").c_str(), Figure(f.distortion_edge_y, "%+.2f%%").c_str());
  printf("  relative illumination at the corner: %s (exit-angle weight), %s (film-angle weight)\n",
         Figure(100 * f.illumination_corner, "%.1f%%", "none").c_str(),
         Figure(100 * f.illumination_corner_film, "%.1f%%", "none").c_str());
  const FilmFormat* covers = LargestFormatWithin(f.covering_circle);
  printf("  image circle: %s lit, %s at half the centre's light or more (covers %s: half light within %s at f/8)\n",
         Figure(f.image_circle, "%.1f", "none").c_str(), Figure(f.image_circle_half_light, "%.1f", "none").c_str(),
         covers ? covers->name : "no common film format", Figure(f.covering_circle, "%.1f", "none").c_str());
  if (f.has_chromatic)
    printf("  lateral colour at the corner (F - C image height): %s\n",
           Figure(f.lateral_colour_corner, "%+.4f").c_str());
}

// The brightest few ghosts: where the light reflects, how much of it, and
// what it makes of a point at infinity on the film.
void PrintGhosts(const std::vector<GhostPath>& ghosts, double film_z, bool coated) {
  if (ghosts.empty()) return;
  const size_t shown = std::min<size_t>(ghosts.size(), 6);
  printf("lens flare: ghosts of an axial point at infinity, brightest first (%zu of %zu; two reflections, "
         "paraxial, through the stop as set):\n", shown, ghosts.size());
  // Coated, the bare glass's product beside it for comparison.
  printf("  %-9s %13s %10s %20s %10s %10s %11s\n", "surfaces", coated ? "R1 R2 coated" : "R1 R2 bare",
         coated ? "bare" : "", "focus from the film", "beam", "disc", "irradiance");
  for (size_t k = 0; k < shown; ++k) {
    const GhostPath& g = ghosts[k];
    char pair[32], focus[32];
    snprintf(pair, sizeof pair, "%d, %d", g.first, g.second);
    if (std::isfinite(g.focus_z))
      snprintf(focus, sizeof focus, "%+.2f", g.focus_z - film_z);
    else
      snprintf(focus, sizeof focus, "at infinity");
    char bare[32] = "";
    if (coated) snprintf(bare, sizeof bare, "%.2e", g.reflectance_bare);
    printf("  %-9s %13.2e %10s %20s %10.2f %10.2f %11.2e%s\n", pair, g.reflectance, bare, focus, g.beam, g.disc,
           g.irradiance, g.disc < kGhostLeastDisc ? "  focused on the film" : "");
  }
  printf("  light reflects at the first surface, then at the second; focus + behind the film; beam: the entrance\n"
         "  beam that reaches the film, disc: its ghost there; irradiance: the ghost's on the film as a share of the\n"
         "  source's on the lens. render --flare traces them with real rays.\n");
}

}  // namespace

namespace {

// With movements: how far the moved film's corner reaches, and how much of
// that lies past the half-light circle (0 when covered).
struct MovedCoverage {
  bool moved = false;
  double reach = 0, beyond = 0;
};
MovedCoverage CheckMovedFilm(const InfoOptions& o, const FirstOrder& first) {
  MovedCoverage m;
  if (o.shift.empty() && o.tilt.empty()) return m;
  double w = 36, h = 24;
  ParseFilmSize(o.film, &w, &h);
  m.moved = true;
  m.reach = MovedFilmReach(w, h, o.shift.empty() ? 0 : o.shift[0], o.shift.empty() ? 0 : -o.shift[1],
                           o.tilt.empty() ? 0 : o.tilt[0], o.tilt.size() > 1 ? o.tilt[1] : 0);
  m.beyond = std::max(0.0, m.reach - 0.5 * first.image_circle_half_light);
  return m;
}

// Everything info reports, computed once for the text and the JSON.
struct InfoData {
  std::unique_ptr<LensStack> lens;
  ThickLens t{NAN, NAN, NAN, NAN};
  std::string paraxial_error, first_order_error;
  float depth, efl, front_efl, bfl, ffd;
  Chromatic chromatic;
  bool has_chromatic;
  FilmSetup film;
  FirstOrder first{};
  std::vector<GhostPath> ghosts;
  double film_z;
};

// With `check`, the lens checker runs first and prints its warnings.
InfoData ComputeInfo(const InfoOptions& o, bool check) {
  RequireReadableLens(o.lens);
  if (check) CheckLensBeforeUse(o.lens);
  InfoData d;
  d.lens = LoadLens(o.lens, o.settings);
  LensStack* lens = d.lens.get();
  const float depth = d.depth = lens->GetLensDepth();
  ThickLens& t = d.t;
  std::string& paraxial_error = d.paraxial_error;
  // The thick lens is the camera's own model (its "focusdistance"): float.
  const bool exact = lens->IsExact();
  lens->SetExact(false);
  try {
    t = ComputeThickLens(*lens);
  } catch (const LensError& e) {
    paraxial_error = e.what();
  }
  lens->SetExact(exact);
  d.efl = float(t.Efl()), d.front_efl = float(t.FrontEfl());
  d.bfl = float(double(t.f1) - depth), d.ffd = t.f2;

  d.has_chromatic = paraxial_error.empty() && ComputeChromatic(*lens, &d.chromatic);
  FilmSetup& film = d.film;
  ParseFilmSize(o.film, &film.width, &film.height);
  film.filmdistance = o.filmdistance;
  film.focus = o.focus;
  FirstOrder& first = d.first;
  std::string& first_order_error = d.first_order_error;
  try {
    first = ComputeFirstOrder(*lens, film);
  } catch (const std::exception& e) {
    first_order_error = e.what();
  }

  // Ghosts on the film the report uses: its film distance, or the back
  // focus at infinity.
  const double film_z = d.film_z = double(depth) + (first_order_error.empty() ? first.filmdistance : double(d.bfl));
  if (paraxial_error.empty() && std::isfinite(film_z))
    d.ghosts = ComputeGhostPaths(*lens, film_z, o.coating == "single",
                               o.settings.wavelength > 0 ? o.settings.wavelength : 587.5618);

  return d;
}

Json InfoJson(const InfoOptions& o, const InfoData& d) {
  const auto& [lens, t, paraxial_error, first_order_error, depth, efl, front_efl, bfl, ffd, chromatic,
               has_chromatic, film, first, ghosts, film_z] = d;
  const auto& s = lens->GetInterfaces();
  Json j;
  Json surfaces = Json::array();
  for (const LensInterface& f : s) {
    Json asphere = nullptr;
    if (const AsphereTerms* a = f.GetAsphere()) {
      asphere = {{"k", JsonNumber(a->k)}};
      for (int t = 0; t < 10; ++t)
        if (a->a[t] != 0) asphere["a" + std::to_string(2 * t + 2)] = JsonNumber(a->a[t]);
    }
    surfaces.push_back({{"radius", JsonNumber(f.GetRadius())},
                        {"zintercept", JsonNumber(f.GetAxisIntercept())},
                        {"center", JsonNumber(f.GetCenter())},
                        {"index", JsonNumber(f.GetIndexOfRefractionPosZ())},
                        {"diameter", JsonNumber(f.GetDiameter())},
                        {"zmin", JsonNumber(f.GetZMin())},
                        {"zmax", JsonNumber(f.GetZMax())},
                        {"stop", f.IsStop()},
                        {"asphere", asphere}});
  }
  j["surfaces"] = surfaces;
  Json glasses = Json::array();
  for (size_t i = 0; i < s.size(); ++i)
    if (const Glass* g = lens->GetDispersion()[i].glass)
      glasses.push_back({{"surface", i}, {"maker", g->maker}, {"name", g->name}, {"n_d", JsonNumber(g->nd)},
                         {"v_d", JsonNumber(g->vd)}});
  j["glasses"] = glasses;
  j["index_of_stop"] = lens->GetIndexOfStop();
  j["depth"] = JsonNumber(depth);
  j["front_diameter"] = JsonNumber(lens->GetFrontElementDiameter());
  j["back_diameter"] = JsonNumber(lens->GetBackElementDiameter());
  j["paraxial"] = {{"f1", JsonNumber(t.f1)}, {"p1", JsonNumber(t.p1)}, {"f2", JsonNumber(t.f2)},
                   {"p2", JsonNumber(t.p2)}};
  j["efl"] = JsonNumber(efl);
  j["front_efl"] = JsonNumber(front_efl);
  j["bfl"] = JsonNumber(bfl);
  j["ffd"] = JsonNumber(ffd);
  if (first_order_error.empty()) {
    const Paraxial& p = first.paraxial;
    j["paraxial_efl"] = JsonNumber(p.efl);
    j["paraxial_bfl"] = JsonNumber(p.bfl);
    j["paraxial_ffd"] = JsonNumber(p.ffd);
    j["entrance_pupil"] = {{"z", JsonNumber(p.entrance.z)}, {"diameter", JsonNumber(p.entrance.diameter)}};
    j["exit_pupil"] = {{"z", JsonNumber(p.exit.z)}, {"diameter", JsonNumber(p.exit.diameter)}};
    j["f_number"] = JsonNumber(p.f_number);
    if (const double design = DesignWavelength(o.lens); design > 0) j["design_wavelength"] = design;
    j["f_number_real"] = JsonNumber(first.f_number_real);
    j["precision"] = o.settings.precision;
    if (o.focus > 0) j["working_f_number"] = JsonNumber(first.working_f_number);
    j["film"] = {{"width", JsonNumber(film.width)},
                 {"height", JsonNumber(film.height)},
                 {"filmdistance", JsonNumber(first.filmdistance)}};
    j["field_of_view"] = {{"horizontal", JsonNumber(first.fov_horizontal)},
                          {"vertical", JsonNumber(first.fov_vertical)},
                          {"diagonal", JsonNumber(first.fov_diagonal)}};
    j["distortion"] = {{"corner", JsonNumber(first.distortion_corner)},
                       {"edge_x", JsonNumber(first.distortion_edge_x)},
                       {"edge_y", JsonNumber(first.distortion_edge_y)}};
    j["relative_illumination"] = {{"corner", JsonNumber(first.illumination_corner)},
                                  {"corner_film", JsonNumber(first.illumination_corner_film)}};
    if (const MovedCoverage m = CheckMovedFilm(o, first); m.moved)
      j["movements"] = {{"shift", o.shift}, {"tilt", o.tilt}, {"reach", JsonNumber(m.reach)},
                        {"beyond_half_light", JsonNumber(m.beyond)}};
    j["image_circle"] = {{"lit", JsonNumber(first.image_circle)},
                         {"half_light", JsonNumber(first.image_circle_half_light)},
                         {"half_light_at_f8", JsonNumber(first.covering_circle)}};
  } else {
    j["first_order_error"] = first_order_error;
  }
  if (has_chromatic) {
    j["chromatic"] = {{"f1_c", JsonNumber(chromatic.f1_c)},
                      {"f1_d", JsonNumber(chromatic.f1_d)},
                      {"f1_f", JsonNumber(chromatic.f1_f)},
                      {"longitudinal", JsonNumber(chromatic.Longitudinal())}};
    if (first_order_error.empty())
      j["chromatic"]["lateral_corner"] = JsonNumber(first.lateral_colour_corner);
  }
  Json ghost_list = Json::array();
  for (const GhostPath& g : ghosts)
    ghost_list.push_back({{"surfaces", {g.first, g.second}},
                          {"reflectance", JsonNumber(g.reflectance)},
                          {"reflectance_bare", JsonNumber(g.reflectance_bare)},
                          {"focus_z", std::isfinite(g.focus_z) ? Json(JsonNumber(g.focus_z)) : Json(nullptr)},
                          {"beam", JsonNumber(g.beam)},
                          {"disc", JsonNumber(g.disc)},
                          {"irradiance", JsonNumber(g.irradiance)}});
  j["ghosts"] = ghost_list;
  if (!paraxial_error.empty()) j["paraxial_error"] = paraxial_error;
  return j;
}

}  // namespace

Json LensInfoJson(const InfoOptions& o) { return InfoJson(o, ComputeInfo(o, false)); }

int RunInfo(const InfoOptions& o) {
  const InfoData d = ComputeInfo(o, true);
  if (o.json) {
    PrintJson(InfoJson(o, d));
    return 0;
  }
  const auto& [lens, t, paraxial_error, first_order_error, depth, efl, front_efl, bfl, ffd, chromatic,
               has_chromatic, film, first, ghosts, film_z] = d;
  const auto& s = lens->GetInterfaces();

  printf("lens %s: %zu surfaces, stop at %d, depth %s\n", ShownLensPath(o.lens).c_str(), s.size(),
         lens->GetIndexOfStop(), FormatFloat(depth).c_str());
  // The numbers designers quote first: the paraxial focal length and
  // f-number (the probe-ray thick lens below is the camera's focus model).
  if (first_order_error.empty())
    printf("focal length %.4f, f/%.3f (paraxial, d line%s)\n", first.paraxial.efl, first.paraxial.f_number,
           o.settings.wavelength > 0 ? "; the indices below at --wavelength" : "");
  if (const double design = DesignWavelength(o.lens); design > 0)
    printf("design wavelength %g nm (the source file's primary); reported at %s\n", design,
           o.settings.wavelength > 0 ? "--wavelength" : "the d line (587.56 nm) unless --wavelength is given");
  printf("%3s %12s %12s %12s %10s %10s %12s %12s\n", "#", "radius", "zintercept", "center", "index",
         "diameter", "zmin", "zmax");
  for (size_t i = 0; i < s.size(); ++i)
    printf("%3zu %12s %12s %12s %10s %10s %12s %12s%s\n", i, FormatFloat(s[i].GetRadius()).c_str(),
           FormatFloat(s[i].GetAxisIntercept()).c_str(), FormatFloat(s[i].GetCenter()).c_str(),
           FormatFloat(s[i].GetIndexOfRefractionPosZ()).c_str(),
           FormatFloat(s[i].GetDiameter()).c_str(), FormatFloat(s[i].GetZMin()).c_str(),
           FormatFloat(s[i].GetZMax()).c_str(), s[i].IsStop() ? "  stop" : "");
  printf("front element diameter %s, back element diameter %s\n",
         FormatFloat(lens->GetFrontElementDiameter()).c_str(),
         FormatFloat(lens->GetBackElementDiameter()).c_str());
  if (!paraxial_error.empty()) {
    printf("thick lens: %s\n", paraxial_error.c_str());
    return 0;
  }
  printf("thick lens from probe rays (the camera's focus model; lens-space z): f1 %s  p1 %s  f2 %s  p2 %s\n", FormatFloat(t.f1).c_str(),
         FormatFloat(t.p1).c_str(), FormatFloat(t.f2).c_str(), FormatFloat(t.p2).c_str());
  printf("probe-ray effective focal length %s (film side), %s (world side)\n", FormatFloat(efl).c_str(),
         FormatFloat(front_efl).c_str());
  printf("back focal distance %s, front focal distance %s\n", FormatFloat(bfl).c_str(),
         FormatFloat(ffd).c_str());
  if (lens->GetIndexOfStop() >= 0 && std::isfinite(efl) && efl > 0)
    printf("stop diameter %s\n", FormatFloat(s[size_t(lens->GetIndexOfStop())].GetDiameter()).c_str());
  for (size_t i = 0; i < s.size(); ++i)
    if (const Glass* g = lens->GetDispersion()[i].glass)
      printf("glass behind surface %zu: %s %s, n_d %.6g, V_d %.4g (the file's n_d %s)\n", i, g->maker.c_str(),
             g->name.c_str(), g->nd, g->vd, FormatFloat(lens->GetDispersion()[i].n_d).c_str());
  for (size_t i = 0; i < s.size(); ++i)
    if (const AsphereTerms* a = s[i].GetAsphere()) {
      printf("asphere on surface %zu: k %s", i, FormatFloat(float(a->k)).c_str());
      for (int t = 0; t < 10; ++t)
        if (a->a[t] != 0) printf(", a%d %s", 2 * t + 2, FormatFloat(float(a->a[t])).c_str());
      printf("\n");
    }
  if (has_chromatic)
    printf("longitudinal colour: film-side focus f1 at C %s, d %s, F %s; F - C %s\n",
           FormatFloat(chromatic.f1_c).c_str(), FormatFloat(chromatic.f1_d).c_str(),
           FormatFloat(chromatic.f1_f).c_str(), FormatFloat(float(chromatic.Longitudinal())).c_str());
  if (!first_order_error.empty()) {
    printf("first order: %s\n", first_order_error.c_str());
    return 0;
  }
  PrintFirstOrder(first, film, o.focus > 0, o.settings.precision);
  if (const MovedCoverage m = CheckMovedFilm(o, first); m.moved) {
    if (m.beyond > 0)
      fprintf(stderr, "realcam: warning: the moved film's farthest corner lies %.1f from the axis, %.1f beyond the "
              "half-light image circle (diameter %.1f): its corners darken; a smaller movement, or a lens with a "
              "larger image circle (realcam lenses)\n", m.reach, m.beyond, first.image_circle_half_light);
    else
      printf("movements: the moved film's farthest corner lies %.1f from the axis, within the half-light image "
             "circle (diameter %.1f)\n", m.reach, first.image_circle_half_light);
  }
  PrintGhosts(ghosts, film_z, o.coating == "single");
  return 0;
}

int RunTrace(const TraceOptions& o) {
  std::unique_ptr<LensStack> lens = LoadLens(o.lens, o.settings);
  const bool from_film = o.from == "film";
  int status = 0;
  std::string line;
  std::vector<double> v;
  for (int n = 1; std::getline(std::cin, line); ++n) {
    if (Blank(line)) continue;
    if (!ParseNumbers(line, &v) || (v.size() != 6 && v.size() != 7)) {
      printf("error: line %d: expected ox oy oz dx dy dz [mint]\n", n);
      status = 1;
      continue;
    }
    const Ray in(Point(static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])),
                 Vector(static_cast<float>(v[3]), static_cast<float>(v[4]), static_cast<float>(v[5])), v.size() == 7 ? static_cast<float>(v[6]) : 0.001f);
    Ray out;
    try {
      const bool passed = from_film ? lens->TraceFilmToWorld(in, &out)
                                    : lens->TraceWorldToFilm(o.raw ? in : StartNearLens(*lens, in), &out);
      if (!passed) {
        printf("blocked\n");
        continue;
      }
      printf("%s %s %s %s %s %s\n", FormatFloat(out.o.x).c_str(), FormatFloat(out.o.y).c_str(),
             FormatFloat(out.o.z).c_str(), FormatFloat(out.d.x).c_str(), FormatFloat(out.d.y).c_str(),
             FormatFloat(out.d.z).c_str());
    } catch (const ConsistencyError& e) {
      printf("error: line %d: %s\n", n, ExplainTraceFailure(e, in, *lens).what());
      status = 1;
    } catch (const LensError& e) {
      printf("error: line %d: %s\n", n, e.what());
      status = 1;
    }
  }
  return status;
}

int RunRays(const RaysOptions& o) {
  const Resolution res = ParseResolution(o.res, "--res");
  ParamSet ps;
  if (!o.raw) AddHostParams(&ps);
  ps.AddString("specfile", o.lens);
  if (o.precision != "float") ps.AddString("precision", o.precision);
  AddRawParams(o.params, &ps);
  Film film(res.width, res.height);
  const std::string plugin = o.plugin.empty() ? DefaultPluginPath() : o.plugin;
  const CreateCameraFn create = LoadCameraPlugin(plugin);
  const GenerateRaysFn batch = o.no_batch ? nullptr : FindBatchEntry(plugin);
  std::unique_ptr<Camera> camera(create(ps, Transform(), &film));
  if (!camera) throw std::runtime_error("the plug-in created no camera (its report is above)");
  ReportUnusedParams(ps);

  // Every line first, so that the samples go to the plug-in in one batch
  // where it offers one; then the answers, line by line in input order.
  int status = 0;
  std::string line;
  std::vector<double> v;
  std::vector<Sample> samples;
  std::vector<int> bad_lines;  // per input sample line: 0, or its line number when malformed
  for (int n = 1; std::getline(std::cin, line); ++n) {
    if (Blank(line)) continue;
    if (!ParseNumbers(line, &v) || v.size() != 4) {
      bad_lines.push_back(n);
      continue;
    }
    Sample s;
    s.imageX = static_cast<float>(v[0]);
    s.imageY = static_cast<float>(v[1]);
    s.lensU = static_cast<float>(v[2]);
    s.lensV = static_cast<float>(v[3]);
    samples.push_back(s);
    bad_lines.push_back(0);
  }
  std::vector<Ray> rays(samples.size());
  std::vector<float> weights(samples.size());
  if (!batch || batch(camera.get(), int(samples.size()), samples.data(), rays.data(), weights.data()) < 0)
    for (size_t i = 0; i < samples.size(); ++i) weights[i] = camera->GenerateRay(samples[i], &rays[i]);
  size_t next = 0;
  for (const int bad : bad_lines) {
    if (bad) {
      printf("error: line %d: expected imageX imageY lensU lensV\n", bad);
      status = 1;
      continue;
    }
    const Ray& r = rays[next];
    const float w = weights[next++];
    printf("%s %s %s %s %s %s %s %s %s %s\n", FormatFloat(r.o.x).c_str(), FormatFloat(r.o.y).c_str(),
           FormatFloat(r.o.z).c_str(), FormatFloat(r.d.x).c_str(), FormatFloat(r.d.y).c_str(),
           FormatFloat(r.d.z).c_str(), FormatFloat(r.mint).c_str(), FormatFloat(r.maxt).c_str(),
           FormatFloat(r.time).c_str(), FormatFloat(w).c_str());
  }
  return status;
}

int RunFocus(const FocusOptions& o) {
  RequireReadableLens(o.lens);
  CheckLensBeforeUse(o.lens);
  std::unique_ptr<LensStack> lens = LoadLens(o.lens, o.settings);
  const ThickLens t = ComputeThickLens(*lens);
  const double fd = FilmDistanceForObject(*lens, t, o.distance);
  const float film_z = float(double(lens->GetLensDepth()) + fd);
  // The best focus needs light through the stop; a closed one has none.
  BestFocus best{fd, NAN, NAN, NAN, 0};
  try {
    best = ComputeBestFocus(*lens, o.distance);
  } catch (const std::runtime_error&) {
  }
  if (o.tilt != 0) {
    // The film's centre at the paraxial focus for the distance, turned.
    const TiltFocus tf = ComputeTiltFocus(*lens, fd, o.tilt, o.film_height);
    if (o.json) {
      Json points = Json::array();
      for (size_t i = 0; i < tf.points.size(); ++i)
        points.push_back({{"film_height", JsonNumber(tf.film_heights[i])},
                          {"point", {JsonNumber(tf.points[i][0]), JsonNumber(tf.points[i][1]), JsonNumber(tf.points[i][2])}}});
      PrintJson({{"distance", JsonNumber(o.distance)}, {"filmdistance", JsonNumber(fd)}, {"tilt", JsonNumber(o.tilt)},
                 {"efl", JsonNumber(tf.efl)}, {"scheimpflug_y", JsonNumber(tf.scheimpflug)},
                 {"hinge_y", JsonNumber(tf.hinge)}, {"hinge_distance", JsonNumber(tf.hinge_distance)},
                 {"front_focal_z", JsonNumber(tf.front_focal)}, {"plane_angle", JsonNumber(tf.plane_angle)},
                 {"real_points", points}, {"real_hinge_y", JsonNumber(tf.real_hinge)}});
      return 0;
    }
    printf("film turned %g degrees about its x axis, its centre at filmdistance %s (focused at %s)\n", o.tilt,
           FormatFloat(float(fd)).c_str(), FormatFloat(float(o.distance)).c_str());
    printf("Scheimpflug line: y = %.3f in the principal planes (film, lens and plane of focus meet there)\n",
           tf.scheimpflug);
    printf("hinge line: y = %.3f in the front focal plane (z = %.3f), J = f / sin(tilt) = %.3f from the lens\n",
           tf.hinge, tf.front_focal, tf.hinge_distance);
    printf("plane of sharp focus: %.2f degrees from the axis, through the hinge line and the point %s in front\n",
           90 - tf.plane_angle, FormatFloat(float(tf.u)).c_str());
    printf("real rays: film points at heights %.2f, 0, %.2f focus at (y, z) = ", tf.film_heights.front(),
           tf.film_heights.back());
    for (size_t i = 0; i < tf.points.size(); ++i)
      printf("%s(%.2f, %.1f)", i ? " " : "", tf.points[i][1], tf.points[i][2]);
    printf("\n  their plane meets the front focal plane at y = %.3f (hinge rule: %.3f, %+.2f%%)\n", tf.real_hinge,
           tf.hinge, 100 * (tf.real_hinge / tf.hinge - 1));
    return 0;
  }
  if (o.json) {
    PrintJson({{"distance", JsonNumber(o.distance)},
               {"filmdistance", JsonNumber(fd)},
               {"film_z", JsonNumber(film_z)},
               {"efl", JsonNumber(t.Efl())},
               {"filmdistance_best", JsonNumber(best.best)},
               {"film_z_best", JsonNumber(lens->GetLensDepth() + best.best)},
               {"rms_spot_paraxial", JsonNumber(best.rms_paraxial)},
               {"rms_spot_best", JsonNumber(best.rms_best)}});
  } else {
    printf("filmdistance %s (film plane at z = %s) focuses on an object %s in front of the lens\n",
           FormatFloat(float(fd)).c_str(), FormatFloat(film_z).c_str(),
           FormatFloat(float(o.distance)).c_str());
    if (std::isfinite(best.best))
      printf("best focus with the whole opening: filmdistance %s (film plane at z = %s); RMS spot %s "
             "there, %s at the paraxial focus (%d rays)\n",
             FormatFloat(float(best.best)).c_str(),
             FormatFloat(float(lens->GetLensDepth() + best.best)).c_str(),
             FormatFloat(float(best.rms_best)).c_str(), FormatFloat(float(best.rms_paraxial)).c_str(),
             best.rays);
  }
  return 0;
}
