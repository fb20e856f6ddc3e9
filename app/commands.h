// SPDX-License-Identifier: Apache-2.0
// The realcam commands. Each returns the process's exit status; problems
// with the input are thrown as std::runtime_error (or the lens code's
// LensError) and reported by main with exit status 1.
#pragma once

#include <cmath>
#include <string>
#include <vector>

#include "app/lens_loading.h"
#include "core/paramset.h"
#include "optics/lens_drawing.h"

struct Resolution {
  int width = 0, height = 0;
};

// "640x480" -> 640, 480; throws naming the flag for anything else.
Resolution ParseResolution(const std::string& text, const std::string& flag);

// key=value pairs: a value that reads whole as a number is a float
// parameter, anything else a string. Throws for a pair without '='.
void AddRawParams(const std::vector<std::string>& pairs, ParamSet* ps);

// The parameters a host always gives a camera: hither 0.001, yon 1e30,
// shutter open 0 and close 1.
void AddHostParams(ParamSet* ps);

// Warns on standard error about parameters the plug-in never looked up.
void ReportUnusedParams(const ParamSet& ps);

struct RenderOptions {
  std::string lens, plugin, output = "out/render.png";
  std::string res = "600x400";
  int spp = 64, threads = 0;
  unsigned long long seed = 1;
  double filmdistance = -1, aperture = -1, filmdiag = 43.27, focus = -1, scale = 1000;
  int blades = 0;  // round
  double blade_rotation = 0;
  double blade_param = 0;  // "aperture_blades" as a --param gave it, passed on unrounded
  std::vector<double> eye, target, up{0, 1, 0};
  double exposure = 0;
  bool auto_exposure = true;
  // The camera's "weight": the film-side angle, whose cos^4 is the film's
  // real irradiance, unless "exit" (the plug-in's own default) is asked for.
  std::string weight = "film";
  // Where the camera aims lens samples: the plug-in's default is the whole
  // back element; the exit pupil gives the same image with far less noise.
  std::string sampling = "exitpupil";
  double fstop = -1;  // f-number instead of --aperture
  // Flags given on the command line, by name ("--aperture"): a --param
  // for the same camera parameter then contradicts them.
  std::vector<std::string> given;
  // A Wavefront OBJ scene instead of the built-in one, and its light.
  std::string scene;
  std::vector<double> sun;  // direction toward the sun
  double sun_strength = 1, sky_strength = 1;
  double sun_radius = 0.2665;  // degrees
  bool no_sun = false;
  int bounces = 3;      // OBJ scenes: diffuse bounces after the first hit
  bool smooth = false;  // OBJ scenes: smooth normals where the file gives no vn
  bool no_batch = false;  // one GenerateRay call per sample even where the plug-in has a batch entry
  // --focus puts the film at the smallest RMS spot of the whole opening,
  // unless the thick-lens (paraxial) focus is asked for.
  bool focus_paraxial = false;
  // Lens flare: paths that reflect twice inside the lens ("reflections" 2),
  // with the coating "single" or "none".
  bool flare = false;
  bool starburst = false;  // the iris's diffraction of the sun and the emitters seen directly
  // With --flare: rays per ghost path traced from the light sources (0:
  // camera side only; -1: a third of the raster's pixels, 4,096 to 65,536).
  int light_rays = -1;
  std::string coating = "single";
  // The camera parameter "precision": the physically exact rays unless the
  // plug-in's float arithmetic is asked for.
  std::string precision = "double";
  int spectral = 0;  // bands across 400-700 nm, one camera each; 0: one camera, RGB as given
  std::vector<std::string> params;
  // Camera movements: the frame moved over the image circle (lens units:
  // +x shows more of the right, +y more of the top) and the film turned
  // (degrees about its x axis, then its y axis).
  std::vector<double> shift, tilt;
  // The film by size WxH (lens units) or name ("full-frame", "aps-c",
  // "four-thirds", "1-inch", "medium-format", "6x6") instead of --filmdiag.
  std::string film;
  std::vector<double> focus_on;  // focus on a scene point: its distance along the view axis
  // The plane of sharp focus through three scene points (9 numbers) or a
  // point and a normal (6): sets the film's tilt and distance.
  std::vector<double> focus_plane;
  std::vector<int> crop;         // x0,y0,x1,y1: render that region of the raster only
};
int RunRender(const RenderOptions& o);

// A named film format or WxH in lens units (millimetres for the names).
void ParseFilmFormat(const std::string& text, double* width, double* height);

// What a render did, for the summary line.
struct RenderSummary {
  std::vector<float> light_rgb;  // the light-traced ghosts alone, as the image holds them
  int light_sources = 0, light_wavelengths = 0;
  int light_paths = 0;
  unsigned long long light_rays = 0;
  double light_seconds = 0;
  int width = 0, height = 0, threads = 0;
  unsigned long long samples = 0, blocked = 0;
  double seconds = 0, filmdistance = 0, aperture = 0, exposure = 0;
  double camera_seconds = 0;  // creating the camera(s)
  double f_number = NAN;       // paraxial, of the stop used (of its equal-area circle when bladed)
  double f_number_real = NAN;  // of the axial beam that really passes
  double stop_area_share = 1;  // a bladed stop's area over its circumscribed circle's
  std::string lens, weight, sampling, precision;
  int blades = 0;
  double blade_rotation = 0;
  double focus_m = -1;  // the focus distance chosen, or -1 when filmdistance was given
  bool best_focus = false;  // the film at the smallest RMS spot rather than the paraxial focus
  double eye[3] = {0, 0, 0}, target[3] = {0, 0, 0};  // where the camera stood and looked, scene units
  std::string blocked_warning;  // why most rays were blocked, when over 90% were
  // With reflections inside the lens: samples the cameras answered, and
  // those that left the lens on a ghost path.
  unsigned long long flare_samples = 0, ghost_samples = 0;
  std::string coverage_warning;  // a moved film reaching past the lens's image circle
  double tilt_x = 0, tilt_y = 0;  // the film's tilt the camera got (degrees), from --tilt or --focus-plane
};

// Everything of RunRender but the writing: loads the plug-in, builds the
// camera, renders the built-in scene and applies the exposure.
struct Image;
Image RenderScene(const RenderOptions& o, RenderSummary* summary, bool show_progress);

struct InfoOptions {
  std::string lens;
  LensSettings settings;
  std::string film = "36x24";  // film size WxH, lens units
  double filmdistance = -1, focus = -1;
  std::string coating = "single";  // the ghost list's air-glass surfaces
  bool json = false;
  // Camera movements, for the coverage check: as render's --shift and
  // --tilt.
  std::vector<double> shift, tilt;
};
int RunInfo(const InfoOptions& o);

struct TraceOptions {
  std::string lens, from;
  LensSettings settings;
  bool raw = false;  // world-side rays exactly as given, not moved up to the lens
};
int RunTrace(const TraceOptions& o);

struct RaysOptions {
  std::string lens, plugin, res = "640x480";
  std::string precision = "float";  // the camera parameter "precision", given when not "float"
  std::vector<std::string> params;
  bool raw = false;
  bool no_batch = false;
};
int RunRays(const RaysOptions& o);

struct FocusOptions {
  std::string lens;
  LensSettings settings;
  double distance = 0;
  bool json = false;
  double tilt = 0;         // a film turned about its x axis: the plane of sharp focus
  double film_height = 24;  // the film's height, for the real rays' film points
};
int RunFocus(const FocusOptions& o);

int RunDraw(const DrawOptions& o);

struct ReportOptions {
  std::string lens, output;
  double aperture = -1, fstop = -1;
  int blades = 0;
  double blade_rotation = 0;
  double focus = -1, filmdistance = -1;
  std::string film = "36x24";
  bool json = false;
};
int RunReport(const ReportOptions& o);

struct CheckOptions {
  std::string lens;
  bool strict = false, json = false;
};
// Exit status 0 with warnings only, 1 with errors (or warnings, --strict).
int RunCheck(const CheckOptions& o);

// The folder of the bundled lenses, and the one the commands use when none
// is given.
std::string BundledLensDir();
std::string DefaultLens();
// A lens argument as a file: the name itself when such a file exists (or
// it names a folder), else the bundled lens of that file name, with or
// without ".dat", else the name unchanged (for the error to name).
std::string FindLens(const std::string& name);

struct ImportOptions {
  std::string input, output;
  std::vector<std::string> glasses;  // NAME=nd,vd
};
int RunImport(const ImportOptions& o);

struct ExportOptions {
  std::string lens, output;
  bool zmx = false;
};
int RunExport(const ExportOptions& o);

// A Zemax file or a patent table given where a lens file is expected,
// converted to a prescription in a temporary folder (removed at exit); any
// other path is returned as it is.
std::string ConvertForeignLens(const std::string& path);
// The path a user gave for a lens: the original file for a converted one
// ("x.zmx (as imported)"), any other path as it is; and a message with
// every converted file's path so replaced.
std::string ShownLensPath(const std::string& path);
std::string WithShownLensPaths(std::string message);
// Whether a lens given on the command line could not be read or converted
// (its message then says what to do; no "--help" follows it).
bool& LensArgumentFailed();

struct LensesOptions {
  bool json = false;
};
// The bundled lenses: focal length, f-number, image circle, source.
int RunLenses(const LensesOptions& o);
