// SPDX-License-Identifier: Apache-2.0
// realcam report: a lens's data sheet as one self-contained HTML page
// (inline SVG plots, no script, nothing fetched), or its numbers as JSON.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/json_output.h"
#include "app/lens_loading.h"
#include "optics/lens_drawing.h"
#include "optics/lens_report.h"
#include "optics/mtf.h"
#include "realistic/thick_lens.h"

namespace {

std::string Num(double v, int digits = 4) {
  if (!std::isfinite(v)) return "–";
  char b[48];
  snprintf(b, sizeof b, "%.*g", digits, v);
  return b;
}

std::string Fixed(double v, int decimals = 2) {
  char b[48];
  snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}


// A round number of steps for an axis from lo to hi.
double NiceStep(double span, int ticks) {
  const double raw = span / ticks, mag = std::pow(10, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (raw <= m * mag) return m * mag;
  return 10 * mag;
}

struct Series {
  std::string name, colour;
  bool dashed = false;
  std::vector<double> x, y;
  bool dots = false;  // points, not a line
};

struct Chart {
  std::string title, xlabel, ylabel;
  double x0 = 0, x1 = 1, y0 = 0, y1 = 1;
  std::vector<Series> series;
  double width = 440, height = 270;
  bool legend_low = false;  // the legend at the bottom left, clear of curves near the top
};

// A line chart as inline SVG: axes, grid, ticks, the curves, a legend.
std::string Plot(const Chart& c) {
  const double ml = 56, mr = 12, mt = 28, mb = 44;
  const double pw = c.width - ml - mr, ph = c.height - mt - mb;
  auto X = [&](double x) { return ml + (x - c.x0) / (c.x1 - c.x0) * pw; };
  auto Y = [&](double y) { return mt + (c.y1 - y) / (c.y1 - c.y0) * ph; };
  std::ostringstream s;
  s << "<svg class=\"plot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << c.width << "\" height=\"" << c.height
    << "\" viewBox=\"0 0 " << c.width << " " << c.height << "\" role=\"img\" aria-label=\"" << XmlEscape(c.title) << "\">\n";
  s << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  s << "<text x=\"" << ml << "\" y=\"17\" class=\"t\">" << XmlEscape(c.title) << "</text>\n";
  const double xs = NiceStep(c.x1 - c.x0, 6), ys = NiceStep(c.y1 - c.y0, 5);
  for (double x = std::ceil(c.x0 / xs) * xs; x <= c.x1 + 1e-9 * xs; x += xs) {
    s << "<line x1=\"" << Fixed(X(x)) << "\" y1=\"" << mt << "\" x2=\"" << Fixed(X(x)) << "\" y2=\"" << mt + ph
      << "\" class=\"g\"/>";
    s << "<text x=\"" << Fixed(X(x)) << "\" y=\"" << mt + ph + 14 << "\" class=\"n\" text-anchor=\"middle\">"
      << Num(std::fabs(x) < 1e-12 ? 0 : x, 4) << "</text>\n";
  }
  for (double y = std::ceil(c.y0 / ys) * ys; y <= c.y1 + 1e-9 * ys; y += ys) {
    s << "<line x1=\"" << ml << "\" y1=\"" << Fixed(Y(y)) << "\" x2=\"" << ml + pw << "\" y2=\"" << Fixed(Y(y))
      << "\" class=\"g\"/>";
    s << "<text x=\"" << ml - 5 << "\" y=\"" << Fixed(Y(y) + 4) << "\" class=\"n\" text-anchor=\"end\">"
      << Num(std::fabs(y) < 1e-12 ? 0 : y, 4) << "</text>\n";
  }
  s << "<rect x=\"" << ml << "\" y=\"" << mt << "\" width=\"" << pw << "\" height=\"" << ph
    << "\" fill=\"none\" stroke=\"#444\"/>\n";
  s << "<text x=\"" << ml + pw / 2 << "\" y=\"" << c.height - 8 << "\" class=\"l\" text-anchor=\"middle\">"
    << XmlEscape(c.xlabel) << "</text>\n";
  s << "<text transform=\"translate(14," << mt + ph / 2 << ") rotate(-90)\" class=\"l\" text-anchor=\"middle\">"
    << XmlEscape(c.ylabel) << "</text>\n";
  s << "<clipPath id=\"c" << &c << "\"><rect x=\"" << ml << "\" y=\"" << mt << "\" width=\"" << pw << "\" height=\""
    << ph << "\"/></clipPath>\n<g clip-path=\"url(#c" << &c << ")\">\n";
  for (const Series& se : c.series) {
    if (se.dots) {
      for (size_t i = 0; i < se.x.size(); ++i)
        s << "<circle cx=\"" << Fixed(X(se.x[i])) << "\" cy=\"" << Fixed(Y(se.y[i])) << "\" r=\"1.1\" fill=\""
          << se.colour << "\"/>";
      s << "\n";
      continue;
    }
    if (se.x.empty()) continue;
    s << "<polyline fill=\"none\" stroke=\"" << se.colour << "\" stroke-width=\"1.6\""
      << (se.dashed ? " stroke-dasharray=\"5 3\"" : "") << " points=\"";
    for (size_t i = 0; i < se.x.size(); ++i) s << Fixed(X(se.x[i])) << "," << Fixed(Y(se.y[i])) << " ";
    s << "\"/>\n";
  }
  s << "</g>\n";
  // The legend, top right inside the plot.
  int named = 0;
  for (const Series& se : c.series) named += !se.name.empty();
  double ly = c.legend_low ? mt + ph - 6 - 13 * (named - 1) : mt + 14;
  for (const Series& se : c.series) {
    if (se.name.empty()) continue;
    const double lx = c.legend_low ? ml + 10 : ml + pw - 150;
    s << "<line x1=\"" << lx << "\" y1=\"" << ly - 4 << "\" x2=\"" << lx + 18 << "\" y2=\"" << ly - 4 << "\" stroke=\""
      << se.colour << "\" stroke-width=\"2\"" << (se.dashed ? " stroke-dasharray=\"5 3\"" : "") << "/>";
    s << "<text x=\"" << lx + 22 << "\" y=\"" << ly << "\" class=\"n\">" << XmlEscape(se.name) << "</text>\n";
    ly += 13;
  }
  s << "</svg>\n";
  return s.str();
}

Series Line(const std::string& name, const std::string& colour, const std::vector<double>& x,
            const std::vector<double>& y, bool dashed = false) {
  Series s;
  s.name = name, s.colour = colour, s.x = x, s.y = y, s.dashed = dashed;
  return s;
}

double MaxOf(const std::vector<double>& v, double floor) {
  double m = floor;
  for (double x : v)
    if (std::isfinite(x)) m = std::max(m, std::fabs(x));
  return m;
}

const char* const kColour[3] = {"#c0392b", "#2c8c3c", "#2456b3"};  // C red, d green, F blue
const char* const kColourName[3] = {"C 656 nm", "d 588 nm", "F 486 nm"};

// A spot diagram: the three colours' points, the Airy disc, a scale bar.
std::string SpotPlot(const SpotAtField& s, double airy, double half) {
  const double size = 200, scale = size / (2 * half);
  std::ostringstream o;
  o << "<svg class=\"plot spot\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\""
    << size + 34 << "\" viewBox=\"0 0 " << size << " " << size + 34 << "\">\n";
  o << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/><rect x=\"0.5\" y=\"0.5\" width=\"" << size - 1
    << "\" height=\"" << size - 1 << "\" fill=\"none\" stroke=\"#bbb\"/>\n";
  o << "<circle cx=\"" << size / 2 << "\" cy=\"" << size / 2 << "\" r=\"" << Fixed(airy * scale)
    << "\" fill=\"none\" stroke=\"#000\" stroke-dasharray=\"2 2\"/>\n";
  for (int c = 0; c < 3; ++c)
    for (const auto& p : s.points[size_t(c)]) {
      const double x = size / 2 + p[0] * scale, y = size / 2 - p[1] * scale;
      if (x < 0 || y < 0 || x > size || y > size) continue;
      o << "<circle cx=\"" << Fixed(x) << "\" cy=\"" << Fixed(y) << "\" r=\"0.9\" fill=\"" << kColour[c]
        << "\" fill-opacity=\"0.7\"/>";
    }
  o << "\n<text x=\"4\" y=\"" << size + 14 << "\" class=\"n\">" << Fixed(s.height, 1) << " mm (" << Fixed(s.angle, 2)
    << "°)</text>\n";
  o << "<text x=\"4\" y=\"" << size + 28 << "\" class=\"n\">RMS " << Fixed(1000 * s.rms[1], 1) << " µm d, "
    << Fixed(1000 * s.rms_poly, 1) << " µm white</text>\n</svg>\n";
  return o.str();
}

// The back element's disc seen from a film point, the passing part dark.
std::string BokehPlot(const BokehAtField& b, double extent, double back) {
  const double size = 130, cell = size / b.grid;
  std::ostringstream o;
  o << "<svg class=\"plot bokeh\" xmlns=\"http://www.w3.org/2000/svg\" width=\"" << size << "\" height=\"" << size + 18
    << "\" viewBox=\"0 0 " << size << " " << size + 18 << "\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  // The back element's rim, where it crosses the square.
  const double k = size / (2 * extent);
  o << "<rect x=\"0.5\" y=\"0.5\" width=\"" << size - 1 << "\" height=\"" << size - 1
    << "\" fill=\"none\" stroke=\"#ddd\"/><circle cx=\"" << Fixed(size / 2 - b.centre_x * k) << "\" cy=\""
    << Fixed(size / 2 + b.centre_y * k) << "\" r=\"" << Fixed(back * k) << "\" fill=\"none\" stroke=\"#bbb\"/>\n";
  for (int j = 0; j < b.grid; ++j)
    for (int i = 0; i < b.grid; ++i)
      if (b.pass[size_t(j * b.grid + i)])
        o << "<rect x=\"" << Fixed(i * cell) << "\" y=\"" << Fixed(j * cell) << "\" width=\"" << Fixed(cell + 0.3)
          << "\" height=\"" << Fixed(cell + 0.3) << "\" fill=\"#333\"/>";
  o << "\n<text x=\"" << size / 2 << "\" y=\"" << size + 14 << "\" class=\"n\" text-anchor=\"middle\">" << Fixed(b.height, 1)
    << " mm</text>\n</svg>\n";
  return o.str();
}

// The file's own header comments: its title and where it comes from.
std::vector<std::string> HeaderLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line) && !line.empty() && line[0] == '#';) {
    line.erase(0, line.find_first_not_of("# "));
    if (line.rfind("radius", 0) == 0) break;
    lines.push_back(line);
  }
  return lines;
}

Json CurveJson(const Curve& c) { return Json{{"x", c.x}, {"y", c.y}}; }

Json ReportJson(const ReportOptions& o, const LensStack& lens, const LensReport& r) {
  Json j;
  j["lens"] = ShownLensPath(o.lens);
  j["settings"] = {{"f_number", JsonNumber(r.f_number)}, {"stop_diameter", JsonNumber(lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter())},
                   {"focus", o.focus > 0 ? JsonNumber(o.focus) : Json("infinity")},
                   {"filmdistance", JsonNumber(r.filmdistance)},
                   {"film", {JsonNumber(r.film_width), JsonNumber(r.film_height)}},
                   {"wavelengths_nm", {656.2725, 587.5618, 486.1327}}, {"weights", {1, 1, 1}}};
  j["first_order"] = {{"efl", JsonNumber(r.efl)}, {"f_number", JsonNumber(r.f_number)},
                      {"working_f_number", JsonNumber(r.working_f_number)},
                      {"entrance_pupil", {{"diameter", JsonNumber(r.entrance_pupil)}, {"z", JsonNumber(r.entrance_pupil_z)}}},
                      {"exit_pupil", {{"diameter", JsonNumber(r.exit_pupil)}, {"z", JsonNumber(r.exit_pupil_z)}}},
                      {"field_of_view_diagonal", JsonNumber(r.field_of_view)},
                      {"image_circle", {{"lit", JsonNumber(r.image_circle)}, {"half_light", JsonNumber(r.image_circle_half_light)}}}};
  auto chart = [](const Curve& c) {
    Json a = Json::array();
    for (size_t i = 0; i < c.x.size(); ++i) a.push_back({{"image_height", c.x[i]}, {"modulation", c.y[i]}});
    return a;
  };
  j["mtf_chart"] = {{"note", "diffraction MTF, white light (C, d, F weighted alike), against image height (mm)"},
                    {"10_cycles_per_mm", {{"sagittal", chart(r.sagittal10)}, {"tangential", chart(r.tangential10)}}},
                    {"30_cycles_per_mm", {{"sagittal", chart(r.sagittal30)}, {"tangential", chart(r.tangential30)}}}};
  Json fields = Json::array();
  for (const MtfAtField& m : r.mtf)
    fields.push_back({{"image_height", m.height}, {"field_angle_deg", m.angle}, {"frequency_cycles_per_mm", m.frequency},
                      {"sagittal_d", m.sagittal_d}, {"tangential_d", m.tangential_d},
                      {"sagittal_white", m.sagittal_poly}, {"tangential_white", m.tangential_poly}});
  j["mtf"] = {{"diffraction_cutoff_cycles_per_mm", r.cutoff},
              {"azimuths", "sagittal: modulation along x (lines radial to the field), tangential: along y"},
              {"fields", fields}};
  Json spots = Json::array();
  for (const SpotAtField& s : r.spots)
    spots.push_back({{"image_height", s.height}, {"field_angle_deg", s.angle},
                     {"rms_radius", {{"C", s.rms[0]}, {"d", s.rms[1]}, {"F", s.rms[2]}, {"white", s.rms_poly}}},
                     {"rays", {s.points[0].size(), s.points[1].size(), s.points[2].size()}}});
  j["spots"] = {{"airy_radius", r.airy_radius}, {"best_focus_rms", r.best_focus_rms}, {"fields", spots}};
  j["distortion_percent"] = CurveJson(r.distortion);
  j["relative_illumination"] = {{"exit_weight", CurveJson(r.illumination_exit)}, {"film_weight", CurveJson(r.illumination_film)}};
  j["longitudinal_colour"] = CurveJson(r.longitudinal_colour);
  j["lateral_colour"] = CurveJson(r.lateral_colour);
  Json bokeh = Json::array();
  for (const BokehAtField& b : r.bokeh) {
    int passed = 0;
    for (unsigned char p : b.pass) passed += p;
    bokeh.push_back({{"image_height", b.height}, {"grid", b.grid}, {"passing_cells", passed}});
  }
  j["bokeh"] = bokeh;
  Json ghosts = Json::array();
  for (size_t i = 0; i < r.ghosts.size() && i < 10; ++i)
    ghosts.push_back({{"surfaces", {r.ghosts[i].first, r.ghosts[i].second}}, {"reflectance", r.ghosts[i].reflectance},
                      {"focus_z", JsonNumber(r.ghosts[i].focus_z)}, {"irradiance", r.ghosts[i].irradiance}});
  j["ghosts"] = ghosts;
  return j;
}

std::string Html(const ReportOptions& o, const LensStack& lens, const LensReport& r) {
  const std::vector<std::string> header = HeaderLines(o.lens);
  const std::string name = ShownLensPath(o.lens);
  const std::string title = header.empty() ? name : header[0];
  std::ostringstream h;
  h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>" << XmlEscape(title)
    << " — realcam report</title>\n<style>\n"
    << "body{font:14px/1.45 sans-serif;margin:24px auto;max-width:1400px;color:#222;padding:0 16px}\n"
    << "h1{font-size:22px;margin:0 0 4px}h2{font-size:17px;margin:26px 0 6px;border-bottom:1px solid #ccc}\n"
    << ".src{color:#555;font-size:12px}.row{display:flex;flex-wrap:wrap;gap:10px;align-items:flex-start}\n"
    << "table{border-collapse:collapse;font-size:13px}td,th{padding:2px 10px;border-bottom:1px solid #e4e4e4;text-align:right}\n"
    << "th{text-align:left}.note{color:#555;font-size:12px;max-width:900px}\n"
    << "svg text.t{font:bold 13px sans-serif}svg text.n{font:11px sans-serif;fill:#333}svg text.l{font:12px sans-serif}\n"
    << "svg{overflow:hidden}svg line.g{stroke:#e6e6e6}.lens svg{max-width:860px;width:100%;height:auto}.lens{flex:1 1 600px}\n"
    << "@media print{body{margin:0}h2{break-after:avoid}}\n</style></head><body>\n";
  h << "<h1>" << XmlEscape(title) << "</h1>\n<div class=\"src\">";
  // The header's prose up to the import's notes, as one paragraph.
  for (size_t i = 1; i < header.size(); ++i) {
    if (header[i].rfind("Imported by", 0) == 0) break;
    h << XmlEscape(header[i]) << " ";
  }
  h << "<br>File: " << XmlEscape(name) << "</div>\n";
  const double stop = lens.GetInterfaces()[size_t(lens.GetIndexOfStop())].GetDiameter();
  h << "<p><b>Settings:</b> f/" << Fixed(r.f_number, 2) << " (stop " << Fixed(stop, 3) << " mm), focused at "
    << (o.focus > 0 ? Num(o.focus, 6) + " mm" : std::string("infinity")) << " (film "
    << Fixed(r.filmdistance, 3) << " mm behind the back vertex, "
    << (o.filmdistance >= 0 ? "as given" : "the best focus: the smallest RMS spot of the whole opening") << "), film "
    << Num(r.film_width) << "x" << Num(r.film_height) << " mm; white light is C, d and F weighted alike.</p>\n";

  h << "<h2>The lens</h2>\n<div class=\"row\"><div class=\"lens\">";
  {
    DrawOptions d;
    d.lens = name;
    d.filmdistance = r.filmdistance;
    d.filmdiag = 2 * r.corner;
    d.middle_fan = true;
    int rays = 0;
    std::string svg = DrawSection(lens, ComputeThickLens(lens), d, &rays);
    const size_t at = svg.find("<svg");
    svg = svg.substr(at == std::string::npos ? 0 : at);
    svg.insert(4, " class=\"plot drawing\"");
    h << svg;
  }
  h << "</div>\n<table><tr><th>focal length (paraxial EFL)</th><td>" << Fixed(r.efl, 3) << " mm</td></tr>"
    << "<tr><th>f-number</th><td>f/" << Fixed(r.f_number, 2) << "</td></tr>"
    << "<tr><th>working f-number</th><td>f/" << Fixed(r.working_f_number, 2) << "</td></tr>"
    << "<tr><th>entrance pupil</th><td>" << Fixed(r.entrance_pupil, 3) << " mm at z " << Fixed(r.entrance_pupil_z, 2) << "</td></tr>"
    << "<tr><th>exit pupil</th><td>" << Fixed(r.exit_pupil, 3) << " mm at z " << Fixed(r.exit_pupil_z, 2) << "</td></tr>"
    << "<tr><th>film distance</th><td>" << Fixed(r.filmdistance, 3) << " mm</td></tr>"
    << "<tr><th>field of view (diagonal)</th><td>" << Fixed(r.field_of_view, 2) << "°</td></tr>"
    << "<tr><th>image circle: lit / half light</th><td>" << Fixed(r.image_circle, 1) << " / "
    << Fixed(r.image_circle_half_light, 1) << " mm</td></tr>"
    << "<tr><th>diffraction cut-off (axis, d)</th><td>" << Fixed(r.cutoff, 0) << " cycles/mm</td></tr>"
    << "<tr><th>Airy disc radius</th><td>" << Fixed(1000 * r.airy_radius, 2) << " µm</td></tr></table></div>\n";

  h << "<h2>MTF</h2>\n<div class=\"row\">";
  {
    Chart c;
    c.title = "MTF chart, white light";
    c.xlabel = "image height from the centre (mm)";
    c.ylabel = "modulation";
    c.x1 = r.corner, c.y1 = 1;
    c.series.push_back(Line("10/mm sagittal", "#1f4e9c", r.sagittal10.x, r.sagittal10.y));
    c.series.push_back(Line("10/mm tangential", "#1f4e9c", r.tangential10.x, r.tangential10.y, true));
    c.series.push_back(Line("30/mm sagittal", "#c0392b", r.sagittal30.x, r.sagittal30.y));
    c.series.push_back(Line("30/mm tangential", "#c0392b", r.tangential30.x, r.tangential30.y, true));
    h << Plot(c);
  }
  for (const MtfAtField& m : r.mtf) {
    Chart c;
    c.title = "MTF at " + Fixed(m.height, 1) + " mm (" + Fixed(m.angle, 1) + "°)";
    c.xlabel = "spatial frequency (cycles/mm)";
    c.ylabel = "modulation";
    c.x1 = r.cutoff, c.y1 = 1;
    std::vector<double> limit;
    for (double nu : m.frequency) limit.push_back(DiffractionLimitedMtf(nu / r.cutoff));
    c.series.push_back(Line("diffraction limit", "#999", m.frequency, limit));
    c.series.push_back(Line("white sagittal", "#222", m.frequency, m.sagittal_poly));
    c.series.push_back(Line("white tangential", "#222", m.frequency, m.tangential_poly, true));
    c.series.push_back(Line("d sagittal", "#2c8c3c", m.frequency, m.sagittal_d));
    c.series.push_back(Line("d tangential", "#2c8c3c", m.frequency, m.tangential_d, true));
    h << Plot(c);
  }
  h << "</div>\n<p class=\"note\">How to read an MTF chart: each curve is the contrast the lens keeps of a fine "
       "pattern of lines, from 1 (all of it) to 0, at the film's centre (left) out to its corner (right). The 10 "
       "cycles/mm curves tell contrast, the 30 cycles/mm ones sharpness; solid lines are sagittal (lines pointing "
       "away from the centre), dashed tangential (lines across that direction): where the two part, "
       "out-of-focus highlights and fine detail smear. Computed from the pupil function (the optical paths of "
       "real rays to the reference sphere, autocorrelated), with diffraction.</p>\n";

  h << "<h2>Spot diagrams</h2>\n<div class=\"row\">";
  double half = 4 * r.airy_radius;
  for (const SpotAtField& s : r.spots)
    for (const auto& pts : s.points)
      for (const auto& p : pts) half = std::max(half, 1.05 * std::max(std::fabs(p[0]), std::fabs(p[1])));
  for (const SpotAtField& s : r.spots) h << SpotPlot(s, r.airy_radius, half);
  h << "</div>\n<p class=\"note\">Where the rays of a grid over the entrance pupil land on the film, around the "
       "d-light chief ray: red C, green d, blue F light; the dashed circle is the Airy disc (radius "
    << Fixed(1000 * r.airy_radius, 2) << " µm). Each box is " << Fixed(2000 * half, 0) << " µm across.";
  if (r.best_focus_rms > 0) h << " The best focus's RMS spot on the axis: " << Fixed(1000 * r.best_focus_rms, 2) << " µm.";
  h << "</p>\n";

  h << "<h2>Distortion, illumination and colour</h2>\n<div class=\"row\">";
  {
    Chart c;
    c.title = "Distortion";
    c.xlabel = "image height (mm)";
    c.ylabel = "distortion (%)";
    const double m = MaxOf(r.distortion.y, 0.5) * 1.2;
    c.x1 = r.corner, c.y0 = -m, c.y1 = m;
    c.series.push_back(Line("", "#1f4e9c", r.distortion.x, r.distortion.y));
    h << Plot(c);
  }
  {
    Chart c;
    c.title = "Relative illumination";
    c.legend_low = true;
    c.xlabel = "image height (mm)";
    c.ylabel = "share of the centre's";
    c.x1 = r.corner, c.y1 = 1.05;
    c.series.push_back(Line("film-angle weight", "#1f4e9c", r.illumination_film.x, r.illumination_film.y));
    c.series.push_back(Line("exit-angle weight", "#c0392b", r.illumination_exit.x, r.illumination_exit.y, true));
    h << Plot(c);
  }
  if (r.has_dispersion) {
    Chart c;
    c.title = "Longitudinal colour";
    c.xlabel = "wavelength (nm)";
    c.ylabel = "focus shift from d (mm)";
    const double m = MaxOf(r.longitudinal_colour.y, 0.01) * 1.2;
    c.x0 = 420, c.x1 = 700, c.y0 = -m, c.y1 = m;
    c.series.push_back(Line("", "#1f4e9c", r.longitudinal_colour.x, r.longitudinal_colour.y));
    h << Plot(c);
    Chart l;
    l.title = "Lateral colour";
    l.xlabel = "image height (mm)";
    l.ylabel = "F − C image height (µm)";
    std::vector<double> um;
    for (double v : r.lateral_colour.y) um.push_back(1000 * v);
    const double ml = MaxOf(um, 1) * 1.2;
    l.x1 = r.corner, l.y0 = -ml, l.y1 = ml;
    l.series.push_back(Line("", "#1f4e9c", r.lateral_colour.x, um));
    h << Plot(l);
  }
  h << "</div>\n";

  h << "<h2>Out-of-focus highlights across the field</h2>\n<div class=\"row\">";
  const double back = 0.5 * std::fabs(lens.GetExactSurfaces().back().diameter);
  for (const BokehAtField& b : r.bokeh) h << BokehPlot(b, r.bokeh_extent, back);
  h << "</div>\n<p class=\"note\">The part of the back element through which light reaches the film point (dark), "
       "at the centre and toward the corner, each in a square " << Fixed(2 * r.bokeh_extent, 1) << " mm across "
       "around its light (the grey circle: the back element's rim): a far out-of-focus point of light takes this shape, cut to a cat's eye by "
       "the rims toward the corners, and to the iris's polygon where it has blades.</p>\n";

  h << "<h2>Ghosts</h2>\n<table><tr><th>surfaces</th><th>reflectances (coated)</th><th>focus from the film (mm)</th>"
       "<th>irradiance (share of the source's)</th></tr>\n";
  for (size_t i = 0; i < r.ghosts.size() && i < 8; ++i) {
    const GhostPath& g = r.ghosts[i];
    h << "<tr><td>" << g.first << ", " << g.second << "</td><td>" << Num(g.reflectance, 3) << "</td><td>"
      << (std::isfinite(g.focus_z) ? Fixed(g.focus_z - r.film_z, 2) : std::string("∞")) << "</td><td>"
      << Num(g.irradiance, 3) << "</td></tr>\n";
  }
  h << "</table>\n<p class=\"note\">Light of an axial point at infinity that reflects at the first surface, then "
       "at the second (paraxial; the brightest first).</p>\n";

  h << "<h2>Glass</h2>\n<table><tr><th>surface</th><th>radius</th><th>thickness</th><th>medium behind</th>"
       "<th>n (as used)</th><th>V_d</th><th>clear aperture</th></tr>\n";
  const auto& s = lens.GetInterfaces();
  const auto& e = lens.GetExactSurfaces();
  for (size_t i = 0; i < s.size(); ++i) {
    const LensStack::Dispersion& d = lens.GetDispersion()[i];
    std::string medium = s[i].IsStop() ? "stop" : s[i].IsMirror() ? "mirror" : d.glass ? d.glass->maker + " " + d.glass->name
                                         : e[i].index == 1 ? "air" : "glass";
    h << "<tr><td>" << i << "</td><td>" << (s[i].IsStop() ? "–" : Num(e[i].radius, 6)) << "</td><td>"
      << Num(e[i].thickness, 6) << "</td><td>" << XmlEscape(medium) << "</td><td>" << Num(e[i].index, 6) << "</td><td>"
      << (d.v_d > 0 ? Num(d.v_d, 4) : "–") << "</td><td>" << Num(e[i].diameter, 5) << "</td></tr>\n";
  }
  h << "</table>\n<p class=\"src\">Made by realcam report. Every figure is computed from the prescription with real "
       "rays in double precision; the numbers are in <code>realcam report --json</code>.</p>\n</body></html>\n";
  return h.str();
}

}  // namespace


int RunReport(const ReportOptions& o) {
  double fw = 36, fh = 24;
  ParseFilmFormat(o.film, &fw, &fh);
  RequireReadableLens(o.lens);
  CheckLensBeforeUse(o.lens);
  LensSettings settings;
  settings.aperture = o.aperture;
  settings.fstop = o.fstop;
  settings.blades = o.blades;
  settings.blade_rotation = o.blade_rotation;
  settings.precision = "double";
  const std::unique_ptr<LensStack> lens = LoadLens(o.lens, settings);
  ReportSettings rs;
  rs.film_width = fw, rs.film_height = fh;
  rs.focus = o.focus, rs.filmdistance = o.filmdistance;
  const LensReport r = ComputeLensReport(*lens, rs);
  const std::string text = o.json ? ReportJson(o, *lens, r).dump() + "\n" : Html(o, *lens, r);
  if (o.output.empty() || o.output == "-") {
    fputs(text.c_str(), stdout);
    return 0;
  }
  std::ofstream out(o.output, std::ios::binary);
  if (!out || !(out << text) || !out.flush()) throw std::runtime_error("cannot write \"" + o.output + "\"");
  fprintf(stderr, "realcam: wrote %s\n", o.output.c_str());
  return 0;
}
