// SPDX-License-Identifier: Apache-2.0
// realcam: the reference host for the realistic camera plug-in, and the
// lens tools built on the plug-in's own lens code.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <functional>
#include <new>

#include <CLI/CLI.hpp>

#include "app/commands.h"

namespace {

// A finite number that `ok` accepts; CLI11's own range checks would quote
// the largest double in their message.
CLI::Validator NumberCheck(const char* what, const std::function<bool(double)>& ok) {
  return CLI::Validator(
      [what, ok](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(v) || !ok(v))
          return "\"" + text + "\" is not " + what;
        return "";
      },
      what);
}

// Options on lengths: reject what no lens or film can use.
const CLI::Validator kPositive = NumberCheck("a positive number", [](double v) { return v > 0; });
const CLI::Validator kNonNegative =
    NumberCheck("a number of at least 0", [](double v) { return v >= 0; });

// A positive length with an optional unit suffix (m, cm, mm, in, ft),
// rewritten as a bare number in the option's own unit: `bare_unit_mm` is
// that unit in millimetres (1000 for metres; 1 for lens units, which a
// suffix takes to be millimetres, as in every bundled lens).
CLI::Validator Length(double bare_unit_mm) {
  return CLI::Validator(
      [bare_unit_mm](std::string& text) -> std::string {
        char* end = nullptr;
        const double v = std::strtod(text.c_str(), &end);
        const std::string unit = end;
        const struct {
          const char* name;
          double mm;
        } units[] = {{"", bare_unit_mm}, {"m", 1000}, {"cm", 10}, {"mm", 1}, {"in", 25.4}, {"ft", 304.8}};
        for (const auto& u : units)
          if (unit == u.name && end != text.c_str() && std::isfinite(v) && v > 0) {
            char buf[64];
            snprintf(buf, sizeof buf, "%.17g", v * u.mm / bare_unit_mm);
            text = buf;
            return "";
          }
        return "\"" + text + "\" is not a positive length (a number, optionally with m, cm, mm, in or ft)";
      },
      "LENGTH");
}

// A lens file, or a bundled lens by its file name ("planar-50mm-f2").
CLI::Validator LensByName() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        try {
          text = FindLens(text);
        } catch (const std::exception& e) {
          LensArgumentFailed() = true;
          return e.what();
        }
        return "";
      },
      "LENS");
}

void AddLens(CLI::App* cmd, std::string* lens) {
  cmd->add_option("LENS", *lens, "lens prescription file, or a bundled lens by name (see 'realcam lenses')")
      ->required()
      ->transform(LensByName());
}

// The stop's diaphragm, passed to the camera as "aperture_blades" and
// "aperture_rotation".
void AddBlades(CLI::App* cmd, int* blades, double* rotation) {
  cmd->add_option("--blades", *blades,
                  "blades of the stop's diaphragm: a regular polygon of 3 to 32 sides (default: "
                  "round)")
      ->check(CLI::Range(3, 32));
  cmd->add_option("--blade-rotation", *rotation,
                  "angle of the polygon's first vertex from lens-space +x, degrees")
      ->check(NumberCheck("a finite angle", [](double) { return true; }));
}

// The stop: a diameter, or the f-number it gives.
void AddStop(CLI::App* cmd, double* aperture, double* fstop) {
  auto* a = cmd->add_option("--aperture", *aperture, "stop diameter in lens units")->check(kNonNegative);
  cmd->add_option("--fstop", *fstop, "f-number: the stop diameter whose entrance pupil gives f/N")
      ->check(kPositive)
      ->excludes(a);
}

// The arithmetic of the real rays a command traces.
void AddPrecision(CLI::App* cmd, std::string* precision, const char* why) {
  cmd->add_option("--precision", *precision,
                  std::string("arithmetic of the traced rays: double (from the prescription's numbers, "
                              "the physically exact ray) or float (the camera's own bits); ") + why)
      ->check(CLI::IsMember({"float", "double"}))
      ->capture_default_str();
}

// Light of one wavelength: indices from the prescription's Abbe numbers.
void AddWavelength(CLI::App* cmd, double* nanometres) {
  cmd->add_option("--wavelength", *nanometres,
                  "wavelength in nm (360 to 830): media with an Abbe number take their index there "
                  "(default: the prescription's d-line indices)")
      ->check(NumberCheck("a wavelength from 360 to 830 nm",
                          [](double v) { return v >= 360 && v <= 830; }));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"realcam: photograph scenes through real lenses, and inspect the lenses.\n"
               "Lengths on lenses are in the prescription's unit (mm for the bundled lenses)."};
  app.require_subcommand(1);
  app.set_version_flag("--version", "realcam " REALCAM_VERSION);
  std::function<int()> run;

  RenderOptions render;
  CLI::App* r = app.add_subcommand("render", "render the built-in scene, or an OBJ scene, through a lens");
  r->add_option("--lens", render.lens,
                "lens prescription file, or a bundled lens by name (default: the Planar 50 mm f/2)")
      ->transform(LensByName());
  r->add_option("--scene", render.scene,
                "a Wavefront OBJ scene with its MTL materials instead of the built-in scene "
                "(Kd colours and map_Kd PNG textures, Ke area lights)");
  auto* sun = r->add_option("--sun", render.sun, "direction toward the sun x,y,z")
                  ->expected(3)
                  ->delimiter(',');
  r->add_option("--sun-strength", render.sun_strength, "the sun's strength (1: the built-in scene's)")
      ->check(kNonNegative);
  r->add_option("--sun-radius", render.sun_radius,
                "the sun disc's angular radius in degrees (0.2665: the real sun; larger: a hazy sun or a bright "
                "lamp, the same light spread wider, whose lens flare converges in fewer samples)")
      ->check(CLI::Range(0.01, 20.0))
      ->capture_default_str();
  r->add_option("--sky-strength", render.sky_strength, "the sky's strength")->check(kNonNegative);
  r->add_flag("--no-sun", render.no_sun, "no sun, only the sky and the scene's own lights")
      ->excludes(sun);
  r->add_option("--bounces", render.bounces,
                "OBJ scenes: diffuse bounces after the first hit, with the sun and the lights sampled at "
                "each (Russian roulette from the third)")
      ->check(CLI::Range(0, 1000))
      ->capture_default_str();
  r->add_flag("--smooth", render.smooth,
              "OBJ scenes: smooth shading normals averaged from the faces where the file gives no vn");
  r->add_option("--plugin", render.plugin, "camera plug-in to load (default: realistic.so beside realcam)");
  r->add_option("-o,--output", render.output, "output image, .png (sRGB) or .exr (linear)")
      ->capture_default_str();
  r->add_option("--res", render.res, "image size WxH in pixels")->capture_default_str();
  r->add_option("--spp", render.spp, "samples per pixel")->check(CLI::Range(1, 65536))->capture_default_str();
  auto* fd = r->add_option("--filmdistance", render.filmdistance,
                           "back vertex to film, in lens units (default: from --focus)")
                 ->check(kPositive);
  r->add_option("--focus", render.focus,
                "focus on an object this far in front of the lens: metres, or with a unit "
                "(3m, 3000mm, 120in) (default: the distance to --target)")
      ->transform(Length(1000))
      ->excludes(fd);
  auto* rap = r->add_option("--aperture", render.aperture,
                            "diameter of the aperture stop in lens units (default: the prescription's)")
                  ->check(kNonNegative);
  r->add_option("--fstop", render.fstop,
                "f-number: the stop diameter whose entrance pupil gives f/N (paraxial)")
      ->check(kPositive)
      ->excludes(rap);
  r->add_option("--sampling", render.sampling,
                "where lens samples aim: exitpupil (far fewer blocked rays, the same image) or "
                "backelement (the plug-in's default)")
      ->check(CLI::IsMember({"exitpupil", "backelement"}))
      ->capture_default_str();
  AddBlades(r, &render.blades, &render.blade_rotation);
  r->add_option("--filmdiag", render.filmdiag, "film diagonal in lens units (default: 36 x 24 mm)")
      ->check(kPositive)
      ->capture_default_str();
  r->add_option("--eye", render.eye, "camera position x,y,z in scene units (metres for the built-in scene)")->expected(3)->delimiter(',');
  r->add_option("--target", render.target, "point looked at, x,y,z in scene units (default: the scene's middle)")->expected(3)->delimiter(',');
  r->add_option("--up", render.up, "up direction x,y,z")->expected(3)->delimiter(',');
  r->add_option("--spectral", render.spectral,
                "render N wavelength bands across 400-700 nm, one camera each, for the lens's "
                "colour fringes (needs Abbe numbers in the prescription)")
      ->check(CLI::Range(1, 64));
  AddPrecision(r, &render.precision, "the camera parameter \"precision\"");
  r->add_flag("--flare", render.flare,
              "lens flare: light may reflect twice inside the lens (camera parameter reflections=2), "
              "each air-glass surface with a single-layer MgF2 coating");
  r->add_option("--coating", render.coating, "with --flare: single (a quarter-wave MgF2 layer) or none")
      ->check(CLI::IsMember({"single", "none"}))
      ->capture_default_str();
  r->add_option("--light-rays", render.light_rays,
                "with --flare: rays per ghost path traced from the light sources (the sun, the lamps, an OBJ "
                "scene's emitters) to the film, shared among them by their brightness, through the lens at each "
                "wavelength (three for RGB, the bands with --spectral): their ghosts converge in seconds; 0 "
                "leaves them to the camera's samples (default: a third of the raster's pixels, 4096 to 65536)")
      ->check(CLI::Range(0, 1 << 26));
  r->add_flag("--starburst", render.starburst,
              "the iris's diffraction: the sun and the lights seen directly spread into the stop's Fraunhofer "
              "pattern (spikes from the blades, Airy rings from a round stop), each colour channel at its own "
              "wavelength, energy kept");
  r->add_flag("--focus-paraxial", render.focus_paraxial,
              "put the film at the thick-lens (paraxial) focus for --focus instead of the smallest "
              "RMS spot of the whole opening, which spherical aberration moves at wide apertures");
  r->add_flag("--no-batch", render.no_batch,
              "ask the plug-in for one ray at a time even where it offers its batch entry (the "
              "image is the same)");
  r->add_option("--weight", render.weight,
                "angle of the weight's cos^4: film (the film-side ray, the film's real irradiance) or "
                "exit (the ray leaving the front element, the plug-in's default)")
      ->check(CLI::IsMember({"film", "exit"}))
      ->capture_default_str();
  auto* ev = r->add_option("--exposure", render.exposure, "exposure in EV (default: automatic)")
                 ->check(NumberCheck("a finite number of stops", [](double) { return true; }));
  r->add_option("--threads", render.threads, "worker threads (default: all cores)")->check(CLI::Range(1, 1024));
  r->add_option("--seed", render.seed, "random seed")->capture_default_str();
  r->add_option("--scale", render.scale, "lens units per scene unit")->check(kPositive)->capture_default_str();
  r->add_option("--param", render.params, "raw camera parameter key=value, passed as given")
      ->take_all();
  r->add_option("--shift", render.shift,
                "camera movement: move the frame X,Y lens units over the image circle (+Y shows more "
                "of the top: the rising front that keeps verticals parallel; +X more of the right)")
      ->expected(2)
      ->delimiter(',');
  r->add_option("--tilt", render.tilt,
                "camera movement: turn the film DEG about its horizontal axis (and DEG2 about its "
                "vertical one): the plane of sharp focus tilts with it (Scheimpflug); under 45")
      ->expected(1, 2)
      ->delimiter(',');
  auto* film_format = r->add_option("--film", render.film,
                                    "the film by size WxH in lens units, or by name: full-frame (36x24), "
                                    "aps-c (23.5x15.6), four-thirds (17.3x13), 1-inch (13.2x8.8), "
                                    "medium-format (44x33), 6x6 (56x56); instead of --filmdiag, and --res "
                                    "follows its shape unless given");
  r->get_option("--filmdiag")->excludes(film_format);
  r->add_option("--focus-on", render.focus_on,
                "focus on the scene point X,Y,Z: its distance from the eye along the view axis")
      ->expected(3)
      ->delimiter(',')
      ->excludes(r->get_option("--focus"))
      ->excludes(r->get_option("--filmdistance"));
  r->add_option("--focus-plane", render.focus_plane,
                "lay the plane of sharp focus through three scene points x1,y1,z1,x2,y2,z2,x3,y3,z3 (or a "
                "point and a normal, x,y,z,nx,ny,nz): the film is tilted and placed by the Scheimpflug and "
                "hinge rules of the thick lens")
      ->expected(6, 9)
      ->delimiter(',')
      ->excludes(r->get_option("--focus"))
      ->excludes(r->get_option("--focus-on"))
      ->excludes(r->get_option("--filmdistance"))
      ->excludes(r->get_option("--tilt"));
  r->add_option("--crop", render.crop,
                "render only the pixels x0,y0 to x1,y1 (x1, y1 excluded) of the raster, each as in the "
                "whole render, into an image of that size")
      ->expected(4)
      ->delimiter(',');
  r->callback([&] {
    render.auto_exposure = ev->count() == 0;
    for (const CLI::Option* opt : r->get_options())
      if (opt->count() > 0) render.given.push_back(opt->get_name());
    run = [&] { return RunRender(render); };
  });

  InfoOptions info;
  CLI::App* i = app.add_subcommand("info", "prescription, thick-lens and first-order data");
  AddLens(i, &info.lens);
  AddStop(i, &info.settings.aperture, &info.settings.fstop);
  AddWavelength(i, &info.settings.wavelength);
  i->add_option("--film", info.film, "film size WxH in lens units, for the field of view, distortion "
                                     "and illumination")
      ->capture_default_str();
  i->add_option("--shift", info.shift, "camera movement, as render's: does the shifted film stay in the image circle?")
      ->expected(2)
      ->delimiter(',');
  i->add_option("--tilt", info.tilt, "camera movement, as render's: does the tilted film stay in the image circle?")
      ->expected(1, 2)
      ->delimiter(',');
  auto* ifd = i->add_option("--filmdistance", info.filmdistance,
                            "back vertex to film (default: focused at --focus, or at infinity)")
                  ->check(kPositive);
  i->add_option("--focus", info.focus,
                "object distance from the front vertex, for the film's focus and the working "
                "f-number: lens units, or with a unit (3m, 120in; lens units taken as mm)")
      ->transform(Length(1))
      ->excludes(ifd);
  info.settings.precision = "double";
  AddPrecision(i, &info.settings.precision, "for the real-ray items (the thick lens is the camera's, in float)");
  i->add_option("--coating", info.coating,
                "the air-glass surfaces for the ghost list: single (a quarter-wave MgF2 layer) or none")
      ->check(CLI::IsMember({"single", "none"}))
      ->capture_default_str();
  i->add_flag("--json", info.json, "one JSON object");
  i->callback([&] { run = [&] { return RunInfo(info); }; });

  TraceOptions trace;
  CLI::App* t = app.add_subcommand(
      "trace", "trace lens-space rays read from standard input: ox oy oz dx dy dz [mint]");
  t->footer(
      "A world-side ray that starts more than 1 unit in front of the lens is first moved along\n"
      "itself to that plane: far from the lens, float rounding in the sphere intersection would\n"
      "block it. --raw traces every ray exactly as given.");
  AddLens(t, &trace.lens);
  t->add_option("--from", trace.from, "side the rays start on")
      ->required()
      ->check(CLI::IsMember({"film", "world"}));
  t->add_option("--aperture", trace.settings.aperture, "stop diameter")->check(kNonNegative);
  AddWavelength(t, &trace.settings.wavelength);
  t->add_flag("--raw", trace.raw, "trace world-side rays from their given origin");
  AddPrecision(t, &trace.settings.precision, "float shows the camera's numbers");
  t->callback([&] { run = [&] { return RunTrace(trace); }; });

  RaysOptions rays;
  CLI::App* y = app.add_subcommand(
      "rays", "the camera's rays for samples read from standard input: imageX imageY lensU lensV");
  AddLens(y, &rays.lens);
  y->add_option("--res", rays.res, "film resolution WxH")->capture_default_str();
  y->add_option("--param", rays.params, "camera parameter key=value")->take_all();
  y->add_flag("--raw", rays.raw, "pass only the given parameters (no hither, yon, shutter defaults)");
  y->add_option("--plugin", rays.plugin, "camera plug-in to load");
  y->add_flag("--no-batch", rays.no_batch, "one GenerateRay call per sample, not the batch entry");
  AddPrecision(y, &rays.precision, "the camera parameter \"precision\"");
  y->callback([&] { run = [&] { return RunRays(rays); }; });

  FocusOptions focus;
  CLI::App* f = app.add_subcommand("focus", "film distance that focuses on an object distance");
  AddLens(f, &focus.lens);
  f->add_option("--distance", focus.distance,
                "object distance in front of the front vertex: lens units, or with a unit (3m, "
                "3000mm, 120in; lens units taken as mm)")
      ->required()
      ->transform(Length(1));
  AddStop(f, &focus.settings.aperture, &focus.settings.fstop);
  AddWavelength(f, &focus.settings.wavelength);
  focus.settings.precision = "double";
  AddPrecision(f, &focus.settings.precision, "for the best focus's real rays");
  f->add_flag("--json", focus.json, "one JSON object");
  f->add_option("--tilt", focus.tilt,
                "the film turned DEG about its horizontal axis, its centre focused at --distance: where the "
                "plane of sharp focus lies (Scheimpflug and hinge rules, and real rays)")
      ->check(NumberCheck("degrees between -45 and 45, not 0", [](double v) { return std::fabs(v) < 45 && v != 0; }));
  f->add_option("--film-height", focus.film_height, "the film's height, for the real rays (default 24)")
      ->check(kPositive);
  f->callback([&] { run = [&] { return RunFocus(focus); }; });

  DrawOptions draw;
  CLI::App* d = app.add_subcommand("draw", "SVG drawing of the lens with traced rays, or its vignetting");
  AddLens(d, &draw.lens);
  d->add_option("-o,--output", draw.output, "SVG file (default: standard output)");
  AddStop(d, &draw.aperture, &draw.fstop);
  d->add_option("--field", draw.field, "half-field angle of the off-axis fan, degrees")
      ->check(NumberCheck("an angle from 0 to 89 degrees", [](double v) { return v >= 0 && v <= 89; }));
  d->add_option("--filmdistance", draw.filmdistance, "back vertex to film (default: focus at infinity)")
      ->check(kPositive);
  AddBlades(d, &draw.blades, &draw.blade_rotation);
  AddWavelength(d, &draw.wavelength);
  d->add_option("--filmdiag", draw.filmdiag, "film diagonal, for --vignetting and the default field")
      ->check(kPositive)
      ->capture_default_str();
  d->add_flag("--chromatic", draw.chromatic,
              "draw the axial fan in C, d and F light (red, green, blue; needs Abbe numbers)");
  AddPrecision(d, &draw.precision, "for the drawn rays and the vignetting");
  d->add_flag("--vignetting", draw.vignetting,
              "plot the passing share and relative illumination across the film instead");
  d->callback([&] { run = [&] { return RunDraw(draw); }; });

  ReportOptions report;
  CLI::App* rp = app.add_subcommand(
      "report", "a lens's data sheet as one HTML page: MTF, spot diagrams, distortion, illumination, colour, "
                "bokeh, ghosts");
  AddLens(rp, &report.lens);
  rp->add_option("-o,--output", report.output, "the page to write (default: standard output)");
  AddStop(rp, &report.aperture, &report.fstop);
  AddBlades(rp, &report.blades, &report.blade_rotation);
  rp->add_option("--focus", report.focus,
                 "object distance from the front vertex: lens units, or with a unit (3m, 120in) (default: infinity)")
      ->transform(Length(1));
  rp->add_option("--filmdistance", report.filmdistance, "back vertex to film (default: the best focus)")
      ->check(kPositive)
      ->excludes(rp->get_option("--focus"));
  rp->add_option("--film", report.film, "film size WxH in lens units")->capture_default_str();
  rp->add_flag("--json", report.json, "the same figures as one JSON object");
  rp->callback([&] { run = [&] { return RunReport(report); }; });

  CheckOptions check;
  CLI::App* c = app.add_subcommand(
      "check", "look for what the prescription format allows but almost never means");
  AddLens(c, &check.lens);
  c->add_flag("--strict", check.strict, "treat warnings as errors");
  c->add_flag("--json", check.json, "one JSON object");
  c->callback([&] { run = [&] { return RunCheck(check); }; });

  ImportOptions import_options;
  CLI::App* im = app.add_subcommand(
      "import", "convert a Zemax sequential file (.zmx) or a patent table to a realcam prescription");
  im->add_option("FILE", import_options.input, "the lens file")->required();
  im->add_option("-o,--output", import_options.output, "the prescription to write (default: standard output)");
  im->add_option("--glass", import_options.glasses,
                 "n_d and V_d of a glass the catalogue lacks: NAME=nd,vd (repeatable)");
  im->callback([&] { run = [&] { return RunImport(import_options); }; });

  ExportOptions export_options;
  CLI::App* ex = app.add_subcommand("export", "write a realcam prescription as a Zemax sequential file");
  AddLens(ex, &export_options.lens);
  ex->add_flag("--zmx", export_options.zmx, "Zemax sequential format (the one there is)")->required();
  ex->add_option("-o,--output", export_options.output, "the file to write (default: standard output)");
  ex->callback([&] { run = [&] { return RunExport(export_options); }; });

  LensesOptions lenses;
  CLI::App* l = app.add_subcommand("lenses", "the bundled lenses: focal length, f-number, the film they cover");
  l->add_flag("--json", lenses.json, "one JSON object");
  l->callback([&] { run = [&] { return RunLenses(lenses); }; });

  // CLI11 reports a mistyped command as a missing one; name it instead.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->get_name() == argv[1];
    if (!known) {
      fprintf(stderr,
              "realcam: error: unknown command \"%s\" (commands: render, info, trace, rays, focus, "
              "draw, check, lenses, import, export)\nRun with --help for more information.\n",
              argv[1]);
      return 1;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    // A lens that cannot be read says what to do itself; options that
    // cannot be parsed point to the help.
    fprintf(stderr, "realcam: error: %s\n%s", e.what(),
            LensArgumentFailed() ? "" : "Run with --help for more information.\n");
    return 1;
  }
  try {
    return run();
  } catch (const std::bad_alloc&) {
    fprintf(stderr, "realcam: error: out of memory\n");
    return 1;
  } catch (const std::exception& e) {
    fprintf(stderr, "realcam: error: %s\n", WithShownLensPaths(e.what()).c_str());
    return 1;
  }
}
