// SPDX-License-Identifier: Apache-2.0
// realcam draw: a textbook cross-section of the lens with traced ray
// fans, or a plot of its vignetting across the film.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "optics/distant_rays.h"
#include "optics/lens_drawing.h"
#include "optics/paraxial.h"
#include "realistic/dispersion.h"
#include "optics/surface_trace.h"
#include "optics/vignetting.h"
#include "realistic/lens_error.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Pt {
  double z, y;
};

// A ray from the world side carried surface by surface with the lens's
// own intersection and refraction, keeping every point it reaches. A
// blocked ray ends where it meets the plane of the surface that stops it.
std::vector<Pt> TracePath(const LensStack& lens, const Ray& start, double film_z, bool* passed) {
  std::vector<Pt> path{{start.o.z, start.o.y}};
  // Drawn from where it starts, traced from just in front of the lens.
  const SurfacePath traced = TraceSurfaces(lens, StartNearLens(lens, start), false);
  for (const Point& p : traced.hits) path.push_back({p.z, p.y});
  *passed = traced.passed;
  if (traced.passed) {
    const Ray& out = traced.exit;
    const double t = (film_z - out.o.z) / out.d.z;
    path.push_back({film_z, out.o.y + t * out.d.y});
  }
  return path;
}

// Points along a surface's cap, from -d/2 to +d/2 in y.
std::vector<Pt> SurfaceOutline(const LensInterface& s, int steps = 40) {
  std::vector<Pt> pts;
  const double h = 0.5 * s.GetDiameter(), z0 = s.GetAxisIntercept();
  // The surface's own profile: an arc, a line, or an asphere's curve.
  for (int k = 0; k <= steps; ++k) {
    const double y = -h + 2 * h * k / steps;
    pts.push_back({z0 + s.Sag(y), y});
  }
  return pts;
}

class Svg {
 public:
  Svg(double zmin, double zmax, double ymax, double width)
      : z0(zmin), y0(ymax), scale(width / (zmax - zmin)), w(width), h(2 * ymax * width / (zmax - zmin)) {}
  double X(double z) const { return (z - z0) * scale + kMargin; }
  double Y(double y) const { return (y0 - y) * scale + kMargin; }
  std::string Points(const std::vector<Pt>& pts) const {
    std::ostringstream s;
    for (size_t i = 0; i < pts.size(); ++i)
      s << (i ? " L" : "M") << Fixed(X(pts[i].z)) << "," << Fixed(Y(pts[i].y));
    return s.str();
  }
  static std::string Fixed(double v) {
    char b[32];
    snprintf(b, sizeof b, "%.2f", v);
    return b;
  }
  double Width() const { return w + 2 * kMargin; }
  double Height() const { return h + 2 * kMargin; }
  static constexpr double kMargin = 30;

 private:
  double z0, y0, scale, w, h;
};

std::string Header(double width, double height) {
  std::ostringstream s;
  s << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << Svg::Fixed(width) << "\" height=\""
    << Svg::Fixed(height) << "\" viewBox=\"0 0 " << Svg::Fixed(width) << " " << Svg::Fixed(height)
    << "\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  return s.str();
}


// The stop's opening seen along the axis from the film (lens-space +x to
// the right, +y up), in a box at the drawing's top right: the blades'
// polygon inside the round opening of the same diameter, in the band of
// kInsetBand below the section.
constexpr double kInsetBand = 150;
std::string IrisInset(const LensInterface& stop, double rotation_degrees, double width,
                      double height) {
  const double box = 130, r = 50, cx = width - box / 2 - 8, cy = height - box / 2 - 8;
  const int n = stop.GetBlades();
  std::ostringstream s;
  s << "<g class=\"iris\">\n<rect x=\"" << Svg::Fixed(cx - box / 2) << "\" y=\"" << Svg::Fixed(cy - box / 2)
    << "\" width=\"" << box << "\" height=\"" << box << "\" fill=\"#555\" stroke=\"black\"/>\n";
  s << "<circle cx=\"" << Svg::Fixed(cx) << "\" cy=\"" << Svg::Fixed(cy) << "\" r=\"" << r
    << "\" fill=\"none\" stroke=\"#bbb\" stroke-dasharray=\"4,3\"/>\n<path d=\"";
  for (int k = 0; k < n; ++k) {
    const double a = (rotation_degrees + 360.0 * k / n) * kPi / 180;
    s << (k ? " L" : "M") << Svg::Fixed(cx + r * std::cos(a)) << "," << Svg::Fixed(cy - r * std::sin(a));
  }
  s << " Z\" fill=\"white\" stroke=\"black\"/>\n<text x=\"" << Svg::Fixed(cx) << "\" y=\""
    << Svg::Fixed(cy - box / 2 - 4) << "\" font-family=\"sans-serif\" font-size=\"11\" "
    << "text-anchor=\"middle\">" << n << " blades, from the film</text>\n</g>\n";
  return s.str();
}

}  // namespace

std::string DrawSection(const LensStack& lens, const ThickLens& thick, const DrawOptions& o,
                        int* rays_drawn) {
  const auto& s = lens.GetInterfaces();
  const double depth = lens.GetLensDepth();
  const double film_z = depth + (o.filmdistance > 0 ? o.filmdistance : double(thick.f1) - depth);
  double ymax = 0;
  for (const LensInterface& f : s) ymax = std::max(ymax, 0.5 * double(f.GetDiameter()));
  const double front = -0.25 * (film_z);
  const double field =
      o.field >= 0 ? o.field : std::atan(0.5 * o.filmdiag / std::max(1e-9, thick.Efl())) * 180 / kPi;
  // Tall enough for the lens, the film and the off-axis fan's image.
  const double image_y = std::fabs(thick.Efl()) * std::tan(field * kPi / 180);
  const double film_half = 0.5 * o.filmdiag;
  const double frame_y = std::max({ymax, std::min(film_half, 3 * ymax), std::min(image_y, 3 * ymax)});
  Svg svg(front, film_z + 0.03 * film_z, frame_y * 1.15, 1000);

  std::ostringstream body;
  // Glass: the medium behind surface i, up to surface i + 1. Its edge is
  // a flat rim parallel to the axis at the larger surface's height,
  // stepping down to the smaller one, as a real element is ground.
  for (size_t i = 0; i + 1 < s.size(); ++i) {
    if (s[i].GetIndexOfRefractionPosZ() == 1.f || s[i].IsStop() || s[i + 1].IsStop()) continue;
    const std::vector<Pt> a = SurfaceOutline(s[i]), b = SurfaceOutline(s[i + 1]);
    const Pt a_top = a.back(), b_top = b.back();
    std::vector<Pt> outline = a;
    // Top rim, then the back surface from its top down, then the bottom
    // rim back to the front surface's lowest point.
    outline.push_back(a_top.y >= b_top.y ? Pt{b_top.z, a_top.y} : Pt{a_top.z, b_top.y});
    outline.insert(outline.end(), b.rbegin(), b.rend());
    outline.push_back(a_top.y >= b_top.y ? Pt{b_top.z, -a_top.y} : Pt{a_top.z, -b_top.y});
    body << "<path class=\"glass\" d=\"" << svg.Points(outline)
         << " Z\" fill=\"#cfe3f5\" stroke=\"#1f3f6f\" stroke-width=\"0.6\"/>\n";
  }
  // The pupils: the stop's images, paraxial, as dashed marks at their
  // rims with the pupil's opening between them.
  if (lens.GetIndexOfStop() >= 0) {
    try {
      const Paraxial p = ComputeParaxial(lens);
      // Labels above the entrance pupil and below the exit pupil, so that
      // pupils close together stay legible.
      const struct {
        const Pupil& pupil;
        const char* name;
        bool above;
      } pupils[] = {{p.entrance, "entrance pupil", true}, {p.exit, "exit pupil", false}};
      for (const auto& q : pupils) {
        const double r = 0.5 * q.pupil.diameter, len = 0.12 * ymax;
        if (!(q.pupil.z > front && q.pupil.z < film_z) || !(r < frame_y)) continue;
        body << "<path class=\"pupil\" d=\"" << svg.Points({{q.pupil.z, r}, {q.pupil.z, r + len}})
             << " " << svg.Points({{q.pupil.z, -r}, {q.pupil.z, -r - len}})
             << "\" stroke=\"#9467bd\" stroke-width=\"2.5\" stroke-dasharray=\"3,2\"/>\n"
             << "<text x=\"" << Svg::Fixed(svg.X(q.pupil.z)) << "\" y=\""
             << Svg::Fixed(q.above ? svg.Y(r + len) - 4 : svg.Y(-r - len) + 13) << "\" font-family=\"sans-serif\" font-size=\"11\" "
             << "fill=\"#9467bd\" text-anchor=\"middle\">" << q.name << "</text>\n";
      }
    } catch (const std::exception&) {
      // A lens without power has no pupils to mark.
    }
  }
  // Axis and film plane.
  body << "<path class=\"axis\" d=\"" << svg.Points({{front, 0}, {film_z * 1.02, 0}})
       << "\" stroke=\"#888\" stroke-dasharray=\"8,4\" stroke-width=\"0.8\"/>\n";
  body << "<path class=\"film\" d=\""
       << svg.Points({{film_z, -std::min(film_half, frame_y)}, {film_z, std::min(film_half, frame_y)}})
       << "\" stroke=\"black\" stroke-width=\"2\"/>\n";
  // Surfaces, and the stop as a gap between two blades.
  for (const LensInterface& f : s) {
    if (f.IsStop()) {
      const double r = 0.5 * f.GetDiameter(), z = f.GetAxisIntercept(), edge = std::max(r * 1.25, ymax);
      body << "<path class=\"stop\" d=\"" << svg.Points({{z, r}, {z, edge}}) << " "
           << svg.Points({{z, -r}, {z, -edge}}) << "\" stroke=\"black\" stroke-width=\"3\"/>\n";
      continue;
    }
    body << "<path class=\"surface\" d=\"" << svg.Points(SurfaceOutline(f))
         << "\" fill=\"none\" stroke=\"#1f3f6f\" stroke-width=\"1.5\"/>\n";
  }
  // Ray fans: parallel bundles on the axis and at the field angle, spread
  // over the heights (at the front vertex plane) at which rays get through
  // the lens, so that they fill the stop's image; a wide-angle lens's
  // entrance pupil is a small part of its front element. A fan that finds
  // no passing height is spread over the front element and drawn blocked.
  const double front_r = 0.5 * lens.GetFrontElementDiameter();
  // With --chromatic the axial fan is drawn in C, d and F light (red,
  // green, blue) and the off-axis fan in grey.
  const bool chromatic = o.chromatic && lens.HasDispersion();
  LensStack red = lens, blue = lens;
  red.SetWavelength(float(kLineC));
  blue.SetWavelength(float(kLineF));
  const char* colours[3] = {chromatic ? "#2ca02c" : "#d62728", chromatic ? "#888888" : "#2ca02c", "#1f77b4"};
  int rays = 0;
  double drawn_field = field, axial_width = 0;
  const int fans = o.middle_fan ? 3 : 2;
  for (int fan = 0; fan < fans; ++fan) {
    // The third fan: 70% of the drawn field's image height.
    double angle = (fan == 0 ? 0.0 : fan == 1 ? field : std::atan(0.7 * std::tan(drawn_field * kPi / 180)) * 180 / kPi) *
                   kPi / 180;
    Vector d;
    const double z_start = front;
    // Start on the line that reaches y_front at the front vertex plane.
    auto start_at = [&](double y_front) {
      return Ray(Point(0.f, float(y_front - std::tan(angle) * (0 - z_start)), float(z_start)), d);
    };
    double lo = -0.95 * front_r, hi = 0.95 * front_r;
    bool found = false;
    // The default field comes from the film's corner by y = f tan(angle),
    // which a fisheye does not follow, and the corner may lie beyond the
    // field a lens was designed for; narrow it until a bundle at least a
    // third as wide as the axial one gets through.
    for (int tries = 0; tries < 40; ++tries) {
      d = Vector(0.f, float(std::sin(angle)), float(std::cos(angle)));
      found = false;
      const int kScan = 800;
      for (int j = 0; j <= kScan; ++j) {
        const double y = front_r * (-1.0 + 2.0 * j / kScan);
        Ray exit;
        bool passes = false;
        try {
          passes = lens.TraceWorldToFilm(StartNearLens(lens, start_at(y)), &exit);
        } catch (const LensError&) {
        }
        if (!passes) continue;
        if (!found) lo = y;
        hi = y;
        found = true;
      }
      const bool wide_enough = found && (hi - lo) * std::cos(angle) >= axial_width / 3;
      if (fan != 1 || o.field >= 0 || wide_enough) break;
      angle *= 0.95;
    }
    if (fan == 0) axial_width = found ? hi - lo : 0;
    if (!found && fan < 2) {  // nothing passes anywhere: draw the asked-for field, blocked
      angle = (fan == 0 ? 0.0 : field) * kPi / 180;
      d = Vector(0.f, float(std::sin(angle)), float(std::cos(angle)));
    }
    if (fan == 1) drawn_field = angle * 180 / kPi;
    for (int k = 0; k <= 10; ++k) {
      const Ray start = start_at(lo + (hi - lo) * k / 10.0);
      bool passed;
      std::vector<Pt> path;
      try {
        path = TracePath(lens, start, film_z, &passed);
      } catch (const LensError&) {
        continue;  // a ray the conditions reject is not drawn
      }
      ++rays;
      body << "<path class=\"ray\" d=\"" << svg.Points(path) << "\" fill=\"none\" stroke=\""
           << colours[fan] << "\" stroke-width=\"0.8\"" << (passed ? "" : " stroke-opacity=\"0.45\"")
           << "/>\n";
      // The axial fan again in red (C line) and blue (F line) light: where
      // each colour comes to focus.
      if (fan == 0 && chromatic) {
        for (const auto& c : {std::make_pair(&red, "#d62728"), std::make_pair(&blue, "#1f77b4")}) {
          bool coloured_passed;
          const std::vector<Pt> coloured = TracePath(*c.first, start, film_z, &coloured_passed);
          body << "<path class=\"ray-colour\" d=\"" << svg.Points(coloured) << "\" fill=\"none\" stroke=\""
               << c.second << "\" stroke-width=\"0.8\""
               << (coloured_passed ? "" : " stroke-opacity=\"0.45\"") << "/>\n";
        }
      }
    }
  }
  std::ostringstream label;
  label << o.lens << ": EFL " << Svg::Fixed(thick.Efl()) << ", film " << Svg::Fixed(film_z - depth)
        << " behind the back vertex; fans at 0"
        << (o.middle_fan ? ", " + Svg::Fixed(std::atan(0.7 * std::tan(drawn_field * kPi / 180)) * 180 / kPi) : std::string())
        << " and " << Svg::Fixed(drawn_field) << " degrees";
  // A bladed stop gets a band below the section for its inset.
  double height = svg.Height();
  if (lens.GetIndexOfStop() >= 0 && s[size_t(lens.GetIndexOfStop())].GetBlades() > 0) {
    height += kInsetBand;
    body << IrisInset(s[size_t(lens.GetIndexOfStop())], o.blade_rotation, svg.Width(), height);
  }
  std::string text = Header(svg.Width(), height) + body.str() +
                     "<text x=\"10\" y=\"18\" font-family=\"sans-serif\" font-size=\"13\">" +
                     XmlEscape(label.str()) + "</text>\n</svg>\n";
  *rays_drawn = rays;
  return text;
}

std::string DrawVignetting(const LensStack& lens, const ThickLens& thick, const DrawOptions& o,
                           std::string* report) {
  const double depth = lens.GetLensDepth();
  const double fd = o.filmdistance > 0 ? o.filmdistance : double(thick.f1) - depth;
  const float film_z = float(depth + fd);
  const double corner = 0.5 * o.filmdiag;
  constexpr int kPositions = 24, kGrid = 64;
  // Relative illumination with the cos^4 of the exit ray's angle (the
  // camera's default weight) and of the film-side ray's ("weight" "film").
  std::vector<double> pass(kPositions + 1), illum(kPositions + 1), illum_film(kPositions + 1);
  for (int i = 0; i <= kPositions; ++i) {
    const FilmPointLight light = LightAtFilmPoint(lens, film_z, float(corner * i / kPositions), kGrid);
    pass[size_t(i)] = light.passing;
    illum[size_t(i)] = light.illumination_exit;
    illum_film[size_t(i)] = light.illumination_film;
  }
  const double centre = illum[0] > 0 ? illum[0] : 1;
  const double centre_film = illum_film[0] > 0 ? illum_film[0] : 1;
  const double W = 640, H = 400, L = 60, B = 50;
  auto px = [&](double t) { return L + t * (W - L - 20); };
  auto py = [&](double v) { return H - B - v * (H - B - 30); };
  std::ostringstream s;
  s << Header(W, H);
  s << "<path d=\"M" << px(0) << "," << py(0) << " L" << px(1) << "," << py(0) << " M" << px(0) << ","
    << py(0) << " L" << px(0) << "," << py(1.05) << "\" stroke=\"black\" fill=\"none\"/>\n";
  for (int k = 0; k <= 4; ++k) {
    s << "<text x=\"" << px(0) - 8 << "\" y=\"" << py(k / 4.0) + 4
      << "\" font-size=\"11\" font-family=\"sans-serif\" text-anchor=\"end\">" << k * 25 << "%</text>\n";
    s << "<text x=\"" << px(k / 4.0) << "\" y=\"" << py(0) + 16
      << "\" font-size=\"11\" font-family=\"sans-serif\" text-anchor=\"middle\">"
      << Svg::Fixed(corner * k / 4) << "</text>\n";
  }
  auto line = [&](const std::vector<double>& v, double norm, const char* colour, const char* cls) {
    s << "<path class=\"" << cls << "\" d=\"";
    for (int i = 0; i <= kPositions; ++i)
      s << (i ? " L" : "M") << Svg::Fixed(px(double(i) / kPositions)) << ","
        << Svg::Fixed(py(v[size_t(i)] / norm));
    s << "\" stroke=\"" << colour << "\" stroke-width=\"2\" fill=\"none\"/>\n";
  };
  line(pass, 1.0, "#1f77b4", "passing");
  line(illum, centre, "#d62728", "illumination");
  line(illum_film, centre_film, "#ff7f0e", "illumination-film");
  s << "<text x=\"" << px(0.5) << "\" y=\"" << H - 12
    << "\" font-size=\"12\" font-family=\"sans-serif\" text-anchor=\"middle\">film position from "
       "centre to corner</text>\n"
    << "<text x=\"" << px(0.02) << "\" y=\"20\" font-size=\"12\" font-family=\"sans-serif\">"
    << "<tspan fill=\"#1f77b4\">share of back-element samples passing</tspan>&#8195;"
    << "<tspan fill=\"#d62728\">illumination, exit-angle weight</tspan>&#8195;"
    << "<tspan fill=\"#ff7f0e\">film-angle weight</tspan></text>\n</svg>\n";
  for (int i = 0; i <= kPositions; i += kPositions / 4) {
    char line[128];
    snprintf(line, sizeof line,
             "  film %.2f: %.1f%% pass, illumination %.1f%% (exit angle), %.1f%% (film angle)\n",
             corner * i / kPositions, 100 * pass[size_t(i)], 100 * illum[size_t(i)] / centre,
             100 * illum_film[size_t(i)] / centre_film);
    *report += line;
  }
  return s.str();
}

std::string XmlEscape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '&') out += "&amp;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}
