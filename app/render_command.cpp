// SPDX-License-Identifier: Apache-2.0
// realcam render: the host renderer's job, end to end.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/commands.h"
#include "render/image_io.h"
#include "optics/best_focus.h"
#include "optics/coverage.h"
#include "optics/first_order.h"
#include "optics/paraxial.h"
#include "optics/starburst.h"
#include "realistic/thick_lens.h"
#include "app/lens_loading.h"
#include "app/plugin_loader.h"
#include "render/renderer.h"
#include "render/obj_scene.h"
#include "render/scene.h"
#include "render/spectral_bands.h"

namespace {

Point ToPoint(const std::vector<double>& v) { return Point(float(v[0]), float(v[1]), float(v[2])); }

void DrawProgress(double share) {
  const int width = 40, filled = int(share * width + 0.5);
  fprintf(stderr, "\rrendering [%s%s] %3d%%", std::string(size_t(filled), '#').c_str(),
          std::string(size_t(width - filled), '.').c_str(), int(share * 100 + 0.5));
  if (share >= 1.0) fputc('\n', stderr);
  fflush(stderr);
}

std::string Si(double v) {
  char buf[32];
  if (v >= 1e6)
    snprintf(buf, sizeof buf, "%.2f M", v / 1e6);
  else if (v >= 1e3)
    snprintf(buf, sizeof buf, "%.1f k", v / 1e3);
  else
    snprintf(buf, sizeof buf, "%.0f ", v);
  return buf;
}

// The camera parameters the render sets from its own flags. A --param for
// one of them takes the flag's place when the flag is not given, and
// contradicts it when it is.
struct FlagParam {
  const char* key;
  const char* flag;
  bool number;
};
const FlagParam kFlagParams[] = {
    {"specfile", "--lens", false},          {"filmdistance", "--filmdistance", true},
    {"aperture_diameter", "--aperture", true}, {"filmdiag", "--filmdiag", true},
    {"weight", "--weight", false},          {"sampling", "--sampling", false},
    {"aperture_blades", "--blades", true},  {"aperture_rotation", "--blade-rotation", true},
    {"precision", "--precision", false},
};

bool Given(const RenderOptions& o, const std::string& flag) {
  return std::find(o.given.begin(), o.given.end(), flag) != o.given.end();
}

// Moves each --param that stands for a flag into the options, so that the
// focus, the summary and the camera all see one value; the other --param
// pairs stay to be passed on as given.
RenderOptions ResolveParams(RenderOptions o) {
  std::vector<std::string> rest;
  for (const std::string& pair : o.params) {
    const size_t eq = pair.find('=');
    const std::string key = eq == std::string::npos ? "" : pair.substr(0, eq);
    const FlagParam* match = nullptr;
    for (const FlagParam& f : kFlagParams)
      if (key == f.key) match = &f;
    if (!match) {
      if (key == "wavelength" && o.spectral > 0)
        throw std::runtime_error("--param " + pair + " contradicts --spectral, which sets a wavelength per band");
      rest.push_back(pair);
      continue;
    }
    const std::string value = pair.substr(eq + 1);
    if (Given(o, match->flag) || (key == "aperture_diameter" && Given(o, "--fstop")))
      throw std::runtime_error("--param " + pair + " contradicts " +
                               (key == "aperture_diameter" && Given(o, "--fstop") ? "--fstop" : match->flag) +
                               "; give one of them");
    double number = 0;
    if (match->number) {
      char* end = nullptr;
      number = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0')
        throw std::runtime_error("--param " + pair + ": camera parameter \"" + key + "\" needs a number");
    }
    if (key == "specfile") o.lens = value;
    else if (key == "filmdistance") o.filmdistance = number;
    else if (key == "aperture_diameter") o.aperture = number;
    else if (key == "filmdiag") o.filmdiag = number;
    else if (key == "weight") o.weight = value;
    else if (key == "sampling") o.sampling = value;
    else if (key == "aperture_blades") o.blades = int(number), o.blade_param = number;
    else if (key == "aperture_rotation") o.blade_rotation = number;
    else if (key == "precision") o.precision = value;
  }
  o.params = rest;
  return o;
}

// The film's tilt and distance that lay the plane of sharp focus through
// the plane (point p, normal n; lens space) by the thick lens's rules: its
// centre focuses where the plane crosses the axis, and the film turns
// parallel to the plane through the lens and the plane's hinge line (where
// it meets the front focal plane).
struct PlaneFocus {
  double filmdistance, tilt_x, tilt_y;
};
PlaneFocus FocusOnPlane(const LensStack& lens, const ThickLens& t, const Vec3& p, Vec3 n) {
  const double f = t.Efl(), front = t.p2, rear = t.p1;
  if (!(std::fabs(n.z) > 1e-9 * std::sqrt(Dot(n, n))))
    throw std::runtime_error("--focus-plane: the plane runs along the view axis and never crosses it");
  const double z_axis = Dot(p, n) / n.z;
  const double u = front - z_axis;
  if (!(u > f * 1.0001))
    throw std::runtime_error("--focus-plane: the plane crosses the view axis " + std::to_string(u / 1000) +
                             " m in front of the lens, inside its focal length: no real focus");
  const double v = 1 / (1 / f - 1 / u);
  PlaneFocus r{rear + v - double(lens.GetLensDepth()), 0, 0};
  const double nxy2 = n.x * n.x + n.y * n.y;
  if (!(nxy2 > 1e-12 * Dot(n, n))) return r;  // square to the axis: no tilt
  // The hinge line in the front focal plane z = front - f: its point
  // nearest the axis, and its direction.
  const double c = Dot(p, n) - n.z * (front - f);
  const Vec3 q(n.x * c / nxy2, n.y * c / nxy2, -f), h(-n.y, n.x, 0);
  Vec3 m = Unit(Vec3(h.y * q.z - h.z * q.y, h.z * q.x - h.x * q.z, h.x * q.y - h.y * q.x));
  if (m.z < 0) m = m * -1.0;
  // The film's normal is (sin ty cos tx, -sin tx, cos ty cos tx).
  r.tilt_x = std::asin(-m.y) * 180 / 3.14159265358979323846;
  r.tilt_y = std::atan2(m.x, m.z) * 180 / 3.14159265358979323846;
  if (!(std::fabs(r.tilt_x) < 45 && std::fabs(r.tilt_y) < 45))
    throw std::runtime_error("--focus-plane: that plane needs a film tilt of 45 degrees or more");
  return r;
}

// The raster's size: --res as given, or 600 wide with the height that
// --film's shape asks for.
Resolution FilmResolution(const RenderOptions& o, double film_w, double film_h) {
  if (o.film.empty() || Given(o, "--res")) {
    const Resolution res = ParseResolution(o.res, "--res");
    if (!o.film.empty() && std::fabs(double(res.width) / res.height / (film_w / film_h) - 1) > 0.01)
      throw std::runtime_error("--res " + o.res + " has another shape than --film " + o.film + " (" +
                               std::to_string(film_w / film_h).substr(0, 5) + ":1); give --res with that shape, "
                               "or leave it out to take 600 pixels across");
    return res;
  }
  Resolution res;
  res.width = 600;
  res.height = std::max(1, int(std::lround(600 * film_h / film_w)));
  return res;
}

// The film (three floats a pixel) and the 8-bit image written from it
// must fit in the machine's memory; refuse before allocating rather than
// fail half way with bad_alloc.
void RequireMemoryFor(const Resolution& res, const std::string& text) {
  const double bytes = double(res.width) * res.height * (3 * sizeof(float) + 3);
  double physical = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
  // A limit on the process's address space (ulimit -v) counts too.
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    physical = std::min(physical, double(limit.rlim_cur));
  if (physical > 0 && bytes > 0.8 * physical) {
    char buf[160];
    snprintf(buf, sizeof buf, "--res %s needs %.1f GiB for the film and the image; this machine has "
             "%.1f GiB of memory", text.c_str(), bytes / (1 << 30), physical / (1 << 30));
    throw std::runtime_error(buf);
  }
}

}  // namespace

Image RenderScene(const RenderOptions& options, RenderSummary* summary, bool show_progress) {
  const RenderOptions o = ResolveParams(options);
  // The built-in scene, or the user's OBJ file.
  std::unique_ptr<RadianceScene> owned_scene;
  SunSky light;
  light.sun = !o.no_sun;
  if (!o.sun.empty()) light.sun_direction = Vec3(o.sun[0], o.sun[1], o.sun[2]);
  if (!(Dot(light.sun_direction, light.sun_direction) > 0))
    throw std::runtime_error("--sun must be a direction, not 0,0,0");
  light.sun_strength = o.sun_strength;
  light.sun_radius = o.sun_radius;
  light.sky_strength = o.sky_strength;
  light.bounces = o.bounces;
  light.smooth = o.smooth;
  if (o.scene.empty()) {
    owned_scene = std::make_unique<Scene>(light);
  } else {
    owned_scene = std::make_unique<ObjScene>(o.scene, light);
  }
  const RadianceScene& scene = *owned_scene;
  const std::string lens_file = o.lens.empty() ? DefaultLens() : o.lens;
  double film_w = 0, film_h = 0;
  if (!o.film.empty()) ParseFilmFormat(o.film, &film_w, &film_h);
  const double filmdiag = o.film.empty() ? o.filmdiag : std::hypot(film_w, film_h);
  const Resolution res = FilmResolution(o, film_w, film_h);
  RequireMemoryFor(res, o.res);
  if (!o.crop.empty() && !(o.crop[0] >= 0 && o.crop[1] >= 0 && o.crop[2] <= res.width && o.crop[3] <= res.height &&
                           o.crop[0] < o.crop[2] && o.crop[1] < o.crop[3]))
    throw std::runtime_error("--crop " + std::to_string(o.crop[0]) + "," + std::to_string(o.crop[1]) + "," +
                             std::to_string(o.crop[2]) + "," + std::to_string(o.crop[3]) +
                             " is not a region x0,y0,x1,y1 of the " + std::to_string(res.width) + "x" +
                             std::to_string(res.height) + " raster (x0 < x1 <= width, y0 < y1 <= height)");
  for (double t : o.tilt)
    if (!(std::fabs(t) < 45)) throw std::runtime_error("--tilt " + std::to_string(t) + ": degrees under 45 either way");
  const Point eye = o.eye.empty() ? Point(float(scene.DefaultEye().x), float(scene.DefaultEye().y),
                                          float(scene.DefaultEye().z))
                                  : ToPoint(o.eye);
  const Point target = o.target.empty()
                           ? Point(float(scene.DefaultTarget().x), float(scene.DefaultTarget().y),
                                   float(scene.DefaultTarget().z))
                           : ToPoint(o.target);
  const Vector up(float(o.up[0]), float(o.up[1]), float(o.up[2]));
  const Vector view = target - eye;
  if (view.LengthSquared() == 0.f) throw std::runtime_error("--eye and --target are the same point");
  if (Cross(view, up).LengthSquared() == 0.f)
    throw std::runtime_error("--up must not be parallel to the viewing direction");

  // The lens through the plug-in's own code: the full aperture and the
  // focus both come from it.
  RequireReadableLens(lens_file);
  CheckLensBeforeUse(lens_file);
  LensStack lens(lens_file);
  if (lens.GetInterfaces().empty() || lens.GetIndexOfStop() < 0)
    throw std::runtime_error(lens_file + ": the prescription needs surfaces and an aperture stop");
  const float aperture = float(ChooseStopDiameter(lens, lens_file, o.aperture, o.fstop, o.blades));
  double filmdistance = o.filmdistance;
  double focus_m = -1;
  bool best_focus = false;
  double tilt_x = o.tilt.empty() ? 0 : o.tilt[0], tilt_y = o.tilt.size() > 1 ? o.tilt[1] : 0;
  if (!o.focus_plane.empty()) {
    // The plane into lens space: the look-at frame scaled to lens units,
    // then x and z turned round.
    const Transform w2c = Compose(Scale(float(o.scale), float(o.scale), float(o.scale)), LookAt(eye, target, up));
    auto to_lens = [&](const Point& w) {
      const Point c = w2c(w);
      return Vec3(-double(c.x), double(c.y), -double(c.z));
    };
    const std::vector<double>& fp = o.focus_plane;
    const Vec3 p0 = to_lens(Point(float(fp[0]), float(fp[1]), float(fp[2])));
    Vec3 normal;
    if (fp.size() == 9) {
      const Vec3 p1 = to_lens(Point(float(fp[3]), float(fp[4]), float(fp[5])));
      const Vec3 p2 = to_lens(Point(float(fp[6]), float(fp[7]), float(fp[8])));
      const Vec3 a = p1 - p0, b = p2 - p0;
      normal = Vec3(a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x);
    } else if (fp.size() == 6) {
      const Vec3 tip = to_lens(Point(float(fp[0] + fp[3]), float(fp[1] + fp[4]), float(fp[2] + fp[5])));
      normal = tip - p0;
    } else {
      throw std::runtime_error("--focus-plane takes three points (9 numbers) or a point and a normal (6)");
    }
    if (!(Dot(normal, normal) > 0))
      throw std::runtime_error("--focus-plane: the points lie on one line, or the normal is 0");
    const PlaneFocus pf = FocusOnPlane(lens, ComputeThickLens(lens), p0, normal);
    filmdistance = pf.filmdistance, tilt_x = pf.tilt_x, tilt_y = pf.tilt_y;
  }
  if (filmdistance <= 0) {
    // The paraxial focus with the prescription's own stop, so that a
    // closed stop does not move the film; then, at the stop used, the
    // plane of the smallest spot of real rays through the whole opening.
    // --focus-on: the point's distance along the view axis.
    const double along = o.focus_on.empty() ? 0
        : Dot(ToPoint(o.focus_on) - eye, view) / double(view.Length());
    if (!o.focus_on.empty() && !(along > 0))
      throw std::runtime_error("--focus-on must name a point in front of the camera (along the view from --eye)");
    focus_m = o.focus > 0 ? o.focus : !o.focus_on.empty() ? along : double(view.Length());
    const ThickLens thick = ComputeThickLens(lens);
    filmdistance = FilmDistanceForObject(lens, thick, focus_m * o.scale);
    if (!o.focus_paraxial && aperture > 0) {
      LensStack stopped = lens;
      stopped.SetApertureDiameter(aperture);
      if (o.blades > 0) stopped.SetApertureBlades(o.blades, float(o.blade_rotation));
      try {
        filmdistance = ComputeBestFocus(stopped, focus_m * o.scale).best;
        best_focus = true;
      } catch (const std::exception&) {
        // No ray of the bundle passes: the paraxial focus stays.
      }
    }
  }

  ParamSet ps;
  AddHostParams(&ps);
  ps.AddString("specfile", lens_file);
  ps.AddFloat("filmdistance", float(filmdistance));
  ps.AddFloat("aperture_diameter", aperture);
  ps.AddFloat("filmdiag", float(filmdiag));
  // The frame moved over the image: the lens turns the image round, so the
  // film moves the other way in y (and, with lens-space x the camera's -x,
  // the same way in x).
  if (!o.shift.empty()) {
    ps.AddFloat("film_shift_x", float(o.shift[0]));
    ps.AddFloat("film_shift_y", float(-o.shift[1]));
  }
  if (tilt_x != 0) ps.AddFloat("film_tilt_x", float(tilt_x));
  if (tilt_y != 0) ps.AddFloat("film_tilt_y", float(tilt_y));
  summary->tilt_x = tilt_x, summary->tilt_y = tilt_y;
  ps.AddString("weight", o.weight);
  ps.AddString("sampling", o.sampling);
  ps.AddString("precision", o.precision);
  if (o.flare) {
    ps.AddFloat("reflections", 2.f);
    ps.AddString("coating", o.coating);
  }
  if (o.blades > 0 || o.blade_param != 0) {
    ps.AddFloat("aperture_blades", float(o.blade_param != 0 ? o.blade_param : o.blades));
    ps.AddFloat("aperture_rotation", float(o.blade_rotation));
  }
  AddRawParams(o.params, &ps);

  // World in metres, camera space in lens units.
  const float k = float(o.scale);
  const Transform world2cam = Compose(Scale(k, k, k), LookAt(eye, target, up));
  Film film(res.width, res.height);
  const std::string plugin = o.plugin.empty() ? DefaultPluginPath() : o.plugin;
  const CreateCameraFn create = LoadCameraPlugin(plugin);
  const GenerateRaysFn batch = o.no_batch ? nullptr : FindBatchEntry(plugin);
  // One camera, or one per spectral band with the band's wavelength.
  std::vector<SpectralBand> bands;
  if (o.spectral > 0) bands = SpectralBands(o.spectral);
  std::vector<std::unique_ptr<Camera>> cameras;
  std::vector<CameraBand> camera_bands;
  const auto construction = std::chrono::steady_clock::now();
  for (size_t b = 0; b < std::max<size_t>(1, bands.size()); ++b) {
    if (!bands.empty()) ps.AddFloat("wavelength", float(bands[b].nanometres));
    cameras.emplace_back(create(ps, world2cam, &film));
    if (!cameras.back()) throw std::runtime_error("the plug-in created no camera (its report is above)");
    camera_bands.push_back({cameras.back().get(), bands.empty() ? Vec3(1, 1, 1) : bands[b].rgb, batch});
  }
  summary->camera_seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - construction).count();
  // A moved film may reach past what the lens covers: say how far.
  if (!o.shift.empty() || tilt_x != 0 || tilt_y != 0) {
    const double aspect = double(res.width) / res.height, fh = filmdiag / std::hypot(aspect, 1.0), fw = aspect * fh;
    const double far = MovedFilmReach(fw, fh, o.shift.empty() ? 0 : o.shift[0], o.shift.empty() ? 0 : -o.shift[1],
                                      tilt_x, tilt_y);
    LensStack stopped = lens;
    stopped.SetApertureDiameter(aperture);
    Coverage c{NAN, NAN};
    try {
      c = ComputeCoverage(stopped, float(stopped.GetLensDepth() + filmdistance),
                          std::max(0.01, ComputeParaxial(stopped).efl / 200));
    } catch (const std::exception&) {
    }
    char buf[320];
    if (std::isfinite(c.half_lit) && far > 0.5 * c.half_lit) {
      snprintf(buf, sizeof buf,
               "the moved film's farthest corner lies %.1f from the axis, %.1f beyond the lens's half-light "
               "image circle (diameter %.1f; light reaches %.1f)%s: a smaller movement, or a lens with a larger "
               "image circle (realcam lenses)",
               far, far - 0.5 * c.half_lit, c.half_lit, c.lit,
               far > 0.5 * c.lit ? "; the corner goes black" : "; the corner darkens");
      summary->coverage_warning = buf;
    }
  }
  ReportUnusedParams(ps);

  RenderSettings settings;
  settings.width = res.width;
  settings.height = res.height;
  settings.spp = o.spp;
  settings.seed = o.seed;
  settings.threads = o.threads > 0 ? o.threads : int(std::max(1u, std::thread::hardware_concurrency()));
  if (!o.crop.empty())
    settings.crop_x0 = o.crop[0], settings.crop_y0 = o.crop[1], settings.crop_x1 = o.crop[2],
    settings.crop_y1 = o.crop[3];
  if (o.starburst) {
    // The stop's diffraction pattern at 550 nm, with the film-side
    // f-number of the axial beam at the focus, in the raster's pixels.
    LensStack stopped = lens;
    stopped.SetApertureDiameter(aperture);
    const double n = focus_m > 0 ? WorkingFNumber(stopped, focus_m * o.scale) : ComputeParaxial(stopped).f_number;
    if (!(n > 0) || !std::isfinite(n)) throw std::runtime_error("--starburst: the lens has no f-number at this stop");
    // One pattern per channel, at its wavelength (the sRGB primaries'
    // dominant ones): the red spreads wider than the blue, as the colour
    // fringes of a real starburst show.
    StarburstSettings sb;
    sb.blades = o.blades, sb.rotation_degrees = o.blade_rotation, sb.f_number = n;
    sb.size = 1024, sb.pad = 2;
    const double film_width = filmdiag * res.width / std::hypot(double(res.width), double(res.height));
    settings.starburst_radius = std::max(8, std::min(160, std::max(res.width, res.height) / 4));
    for (const double nanometres : {611.3, 549.1, 464.3}) {
      sb.nanometres = nanometres;
      const std::vector<double> k =
          StarburstKernel(ComputeStarburst(sb), film_width / res.width, settings.starburst_radius);
      settings.starburst.insert(settings.starburst.end(), k.begin(), k.end());
    }
  }
  // Rays a ghost path: by default enough for the raster (a small preview
  // needs fewer), 65,536 from 600x400 up.
  const int light_rays =
      o.light_rays >= 0 ? o.light_rays : std::max(4096, std::min(65536, res.width * res.height / 3));
  if (o.flare && light_rays > 0 && o.shift.empty() && tilt_x == 0 && tilt_y == 0) {
    // The sources' ghosts from the light, where the plug-in offers it. A
    // spectral render traces them through its band cameras; an RGB one
    // through the lens at a wavelength for each channel (the sRGB
    // primaries' dominant wavelengths), so that the ghosts take the
    // coating's colours (and the glass's dispersion) as a spectral render
    // would, unless the camera's wavelength is given.
    const LightFlareEntries e = FindLightFlareEntries(plugin);
    if (e.trace) {
      settings.light_traced.paths = e.paths, settings.light_traced.trace = e.trace;
      settings.light_traced.front = e.front, settings.light_traced.is_ghost = e.is_ghost;
      settings.light_traced.rays_per_path = light_rays;
      const double diag = std::hypot(double(res.width), double(res.height));
      settings.light_traced.pixel_area = (filmdiag / diag) * (filmdiag / diag);
      settings.light_traced.focal_length = std::fabs(ComputeParaxial(lens).efl);
      const bool wavelength_given =
          ps.FindOneFloat("wavelength", 0.f) != 0.f || ps.FindOneFloat("wavelength", 1.f) != 1.f;
      if (bands.empty() && !wavelength_given) {
        static const double kChannelNanometres[3] = {611.3, 549.1, 464.3};
        ParamSet channel = ps;
        for (int c = 0; c < 3; ++c) {
          channel.AddFloat("wavelength", float(kChannelNanometres[c]));
          cameras.emplace_back(create(channel, world2cam, &film));
          if (!cameras.back()) throw std::runtime_error("the plug-in created no camera (its report is above)");
          settings.light_traced.cameras.push_back(
              {cameras.back().get(), Vec3(c == 0, c == 1, c == 2), nullptr});
        }
      }
    }
  }
  RenderStats stats;
  Image image = Render(camera_bands, scene, settings, &stats, show_progress ? DrawProgress : nullptr);
  summary->light_paths = stats.light_paths, summary->light_rays = stats.light_rays;
  summary->light_sources = stats.light_sources, summary->light_wavelengths = stats.light_wavelengths;
  summary->light_seconds = stats.light_seconds;
  summary->light_rgb = std::move(stats.light_rgb);
  if (const GhostCountsFn counts = FindGhostCounts(plugin)) {
    for (const auto& camera : cameras) {
      unsigned long long samples = 0, ghosts = 0;
      if (counts(camera.get(), &samples, &ghosts) != 0) continue;
      summary->flare_samples += samples;
      summary->ghost_samples += ghosts;
    }
  }
  summary->width = res.width;
  summary->height = res.height;
  summary->threads = settings.threads;
  summary->samples = stats.samples;
  summary->blocked = stats.blocked;
  summary->seconds = stats.seconds;
  summary->filmdistance = filmdistance;
  summary->aperture = aperture;
  summary->focus_m = focus_m;
  summary->eye[0] = eye.x, summary->eye[1] = eye.y, summary->eye[2] = eye.z;
  summary->target[0] = target.x, summary->target[1] = target.y, summary->target[2] = target.z;
  summary->best_focus = best_focus;
  summary->lens = ShownLensPath(lens_file);
  summary->weight = o.weight;
  summary->blades = o.blades;
  summary->blade_rotation = o.blade_rotation;
  summary->sampling = o.sampling;
  summary->precision = o.precision;
  lens.SetApertureDiameter(aperture);
  if (o.blades > 0) lens.SetApertureBlades(o.blades, float(o.blade_rotation));
  summary->stop_area_share = PolygonAreaShare(o.blades);
  try {
    const Paraxial p = ComputeParaxial(lens);
    summary->f_number = p.f_number / std::sqrt(summary->stop_area_share);
    summary->f_number_real = AxialBeamFNumber(lens, p.efl);
  } catch (const std::exception&) {
    // A lens without power has no f-number; the summary says so.
  }
  // A render in which the lens blocked nearly everything is noise: say why
  // and what helps.
  if (stats.samples > 0 && double(stats.blocked) > 0.9 * double(stats.samples)) {
    std::string why;
    const float film_z = float(lens.GetLensDepth() + filmdistance);
    if (aperture <= 0) {
      why = "the stop is closed (--aperture 0)";
    } else {
      double circle = NAN;
      try {
        circle = ComputeCoverage(lens, film_z, std::max(0.01, ComputeParaxial(lens).efl / 100)).lit;
      } catch (const std::exception&) {
      }
      if (std::isfinite(circle) && circle < 0.9 * filmdiag) {
        char buf[200];
        snprintf(buf, sizeof buf, "the film (diagonal %g) reaches far outside the lens's image circle "
                 "(%.1f): a smaller --filmdiag, or a lens that covers this film", filmdiag, circle);
        why = buf;
      } else if (o.sampling == "backelement") {
        why = "lens samples aimed at the whole back element mostly miss the stop's image: "
              "--sampling exitpupil aims them at the exit pupil";
      } else {
        why = "the lens lets little light through to this film: a wider stop (--fstop) or a "
              "smaller --filmdiag";
      }
    }
    char buf[64];
    snprintf(buf, sizeof buf, "%.1f%% of the rays were blocked by the lens: ",
             100.0 * double(stats.blocked) / double(stats.samples));
    summary->blocked_warning = buf + why;
  }
  summary->exposure = o.auto_exposure ? AutoExposure(image) : o.exposure;
  ApplyExposure(&image, summary->exposure);
  return image;
}

void ParseFilmFormat(const std::string& text, double* width, double* height) {
  static const struct {
    const char* name;
    double width, height;
  } kNamed[] = {{"full-frame", 36, 24},  {"aps-c", 23.6, 15.6},         {"four-thirds", 17.3, 13},
                {"1-inch", 13.2, 8.8},   {"medium-format", 44, 33},     {"6x6", 56, 56}};
  for (const auto& f : kNamed)
    if (text == f.name) {
      *width = f.width, *height = f.height;
      return;
    }
  char* end = nullptr;
  const double w = std::strtod(text.c_str(), &end);
  const double h = *end == 'x' ? std::strtod(end + 1, &end) : NAN;
  if (*end != '\0' || !(w > 0) || !(h > 0) || !std::isfinite(w) || !std::isfinite(h))
    throw std::runtime_error("--film \"" + text + "\" is neither a film size WxH in lens units nor a format: "
                             "full-frame, aps-c, four-thirds, 1-inch, medium-format, 6x6");
  *width = w, *height = h;
}

int RunRender(const RenderOptions& o) {
  // Before any work: a render found unwritable at its end is a render lost.
  CheckImageName(o.output);
  // The default's folder is the one realcam makes; a name the user gives
  // must be in a folder that exists.
  if (o.output == RenderOptions().output) MakeParentDirectories(o.output);
  CheckWritable(o.output);
  RenderSummary r;
  const Image image = RenderScene(o, &r, isatty(STDERR_FILENO));
  WriteImage(o.output, image);

  const double blocked = r.samples ? double(r.blocked) / double(r.samples) : 0;
  printf("realcam: wrote %s\n", o.output.c_str());
  printf("%dx%d, %d spp, %s rays traced, %.1f%% blocked by the lens, %.2f s, %srays/s "
         "(filmdistance %.3f, f/%.2f, aperture %.3f, %s-angle weight, %s rays, exposure %+.2f EV%s, %d "
         "threads)\n",
         r.width, r.height, o.spp, Si(double(r.samples)).c_str(), 100 * blocked, r.seconds,
         Si(double(r.samples) / std::max(r.seconds, 1e-9)).c_str(), r.filmdistance, r.f_number,
         r.aperture, r.weight.c_str(), r.precision.c_str(), r.exposure, o.auto_exposure ? " auto" : "",
         r.threads);
  if (std::isfinite(r.f_number) && std::fabs(r.f_number_real / r.f_number - 1) > 0.01)
    printf("f/%.2f paraxial; the rims let the axial beam pass as f/%.2f\n", r.f_number, r.f_number_real);
  printf("lens %s\n", r.lens.c_str());
  if (o.flare)
    printf("flare: light reflecting twice inside the lens, %s surfaces\n",
           o.coating == "none" ? "bare glass" : "single-layer MgF2 coated");
  if (r.flare_samples > 0)
    printf("ghost paths: %.2f%% of the samples (%s) left the lens after reflecting inside it\n",
           100.0 * double(r.ghost_samples) / double(r.flare_samples), Si(double(r.ghost_samples)).c_str());
  if (r.light_paths > 0)
    printf("ghosts traced from the light: %d source%s x %d paths x %d wavelength%s, %s rays in all (%s a path), "
           "%.2f s (%.0f%% of the render)\n",
           r.light_sources, r.light_sources == 1 ? "" : "s", r.light_paths, r.light_wavelengths,
           r.light_wavelengths == 1 ? "" : "s", Si(double(r.light_rays)).c_str(),
           Si(double(r.light_rays) / (double(r.light_paths) * std::max(1, r.light_wavelengths))).c_str(),
           r.light_seconds, r.seconds > 0 ? 100.0 * r.light_seconds / r.seconds : 0.0);
  if (!r.blocked_warning.empty()) fprintf(stderr, "realcam: warning: %s\n", r.blocked_warning.c_str());
  if (!r.coverage_warning.empty()) fprintf(stderr, "realcam: warning: %s\n", r.coverage_warning.c_str());
  if (!o.shift.empty() || r.tilt_x != 0 || r.tilt_y != 0)
    printf("movements: shift %g,%g, tilt %g,%g degrees%s\n", o.shift.empty() ? 0.0 : o.shift[0],
           o.shift.empty() ? 0.0 : o.shift[1], r.tilt_x, r.tilt_y,
           o.focus_plane.empty() ? "" : " (the film laid for --focus-plane)");
  if (!o.crop.empty()) printf("region %d,%d to %d,%d of the raster\n", o.crop[0], o.crop[1], o.crop[2], o.crop[3]);
  printf("eye %g,%g,%g target %g,%g,%g\n", r.eye[0], r.eye[1], r.eye[2], r.target[0], r.target[1],
         r.target[2]);
  if (r.focus_m > 0)
    printf("focused at %.3f m (%s)\n", r.focus_m,
           r.best_focus ? "best focus: the smallest RMS spot of the whole opening"
                        : "paraxial focus");
  if (r.blades > 0)
    printf("stop: %d blades, first vertex at %.1f degrees; %s\n", r.blades, r.blade_rotation,
           o.fstop > 0 ? "its polygon has the area of the f-number's circle (circumscribed diameter = aperture)"
                       : "aperture is the polygon's circumscribed diameter");
  if (o.spectral > 0)
    printf("spectral: %d bands from 400 to 700 nm, one camera each (made in %.3f s)\n", o.spectral,
           r.camera_seconds);
  return 0;
}
