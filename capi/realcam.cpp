// SPDX-License-Identifier: Apache-2.0
// librealcam: the C interface over the plug-in's own camera and lens code.
// Every entry catches what the C++ below it throws and turns it into a
// status and the calling thread's message.
#include "capi/realcam.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "app/lens_info.h"
#include "core/film.h"
#include "core/paramset.h"
#include "core/sampling.h"
#include "core/transform.h"
#include "import/imported_lens.h"
#include "import/patent_table.h"
#include "import/zmx_reader.h"
#include "optics/best_focus.h"
#include "optics/distant_rays.h"
#include "optics/first_order.h"
#include "optics/lens_check.h"
#include "optics/paraxial.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"
#include "realistic/realistic_camera.h"
#include "realistic/thick_lens.h"


namespace {

thread_local std::string last_error;
thread_local realcam_status last_status = REALCAM_OK;

realcam_status Fail(realcam_status status, const std::string& message) {
  last_status = status;
  last_error = message;
  return status;
}

// A caller's mistake: a null pointer, a count or word out of range.
struct ArgumentError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Runs `body`, turning what it throws into a status for the thread.
template <typename F>
realcam_status Guard(realcam_status kind, F&& body) {
  try {
    body();
    last_status = REALCAM_OK;
    return REALCAM_OK;
  } catch (const std::bad_alloc&) {
    return Fail(REALCAM_ERROR_MEMORY, "out of memory");
  } catch (const ArgumentError& e) {
    return Fail(REALCAM_ERROR_ARGUMENT, e.what());
  } catch (const std::exception& e) {
    return Fail(kind, e.what());
  } catch (...) {
    return Fail(kind, "unknown error");
  }
}

void Require(bool ok, const char* what) {
  if (!ok) throw ArgumentError(what);
}

// Where the bundled lenses are: beside an installed library,
// PREFIX/lib/librealcam.so -> PREFIX/share/realcam/lenses; else the
// source tree's.
std::string BundledLenses() {
  Dl_info info;
  if (dladdr(reinterpret_cast<void*>(&BundledLenses), &info) && info.dli_fname) {
    std::string dir = info.dli_fname;
    dir = dir.substr(0, dir.rfind('/') + 1);
    for (const char* up : {"../share/realcam/lenses", "../../share/realcam/lenses"}) {
      const std::string candidate = dir + up;
      if (access((candidate + "/planar-50mm-f2.dat").c_str(), R_OK) == 0) return candidate;
    }
  }
  return REALCAM_LENS_DIR;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw LensError("Cannot open file " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A private file holding text, removed with its owner.
struct TempFile {
  std::string path;
  TempFile(const std::string& text, const char* suffix) {
    char name[] = "/tmp/realcam-lens-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("cannot make a temporary file for the lens");
    close(fd);
    path = std::string(name) + suffix;
    if (rename(name, path.c_str()) != 0) {
      unlink(name);
      throw std::runtime_error("cannot make a temporary file for the lens");
    }
    std::ofstream out(path, std::ios::binary);
    if (!(out << text) || !out.flush()) throw std::runtime_error("cannot write \"" + path + "\"");
  }
  ~TempFile() { unlink(path.c_str()); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
};

}  // namespace

struct realcam_lens {
  std::string name, prescription, warnings;
  // The prescription as a file for the checker and info: the user's own
  // file where it is one, else a private copy.
  std::string file;
  std::unique_ptr<TempFile> copy;
  std::unique_ptr<LensStack> stack;  // as written: its own stop, the d line
};

struct realcam_camera {
  std::unique_ptr<Film> film;
  std::unique_ptr<RealisticCamera> camera;
};

namespace {

// Builds a lens from a file on disk of any format; `name` as given. A
// `transient` file is removed after the call.
std::unique_ptr<realcam_lens> LensFromFile(const std::string& path, const std::string& name, bool transient) {
  auto lens = std::make_unique<realcam_lens>();
  lens->name = name;
  const std::string extension = path.size() >= 4 ? path.substr(path.size() - 4) : "";
  if (extension != ".dat" && (LooksLikeZmx(path) || LooksLikePatentTable(path))) {
    // (An importer names the file it read: for text, a private copy.)
    const ImportedLens imported = LooksLikeZmx(path) ? ReadZmx(path, {}) : ReadPatentTable(path);
    for (const std::string& w : imported.warnings) lens->warnings += w + "\n";
    lens->prescription = WritePrescription(imported);
    lens->copy = std::make_unique<TempFile>(lens->prescription, ".dat");
    lens->file = lens->copy->path;
  } else {
    lens->prescription = ReadWholeFile(path);
    lens->file = path;
    if (transient) {
      // The caller's file goes away (text given in memory): keep a copy.
      lens->copy = std::make_unique<TempFile>(lens->prescription, ".dat");
      lens->file = lens->copy->path;
    }
  }
  // The user's file is named in every message, not a private copy.
  lens->stack = std::make_unique<LensStack>(lens->prescription, name, LensStack::FromText{});
  std::string errors;
  for (const LensDiagnostic& d : CheckLensFile(lens->file)) {
    std::string text = FormatDiagnostic(name, d);
    for (size_t at; lens->copy && (at = text.find(lens->file)) != std::string::npos;)
      text.replace(at, lens->file.size(), name);
    if (d.error && errors.empty()) errors = text;
    if (!d.error) lens->warnings += text + "\n";
  }
  if (!errors.empty()) throw LensError(errors);
  if (lens->stack->GetInterfaces().empty()) throw LensError(name + ": the prescription has no surfaces");
  return lens;
}

const LensStack& Stack(const realcam_lens* lens) {
  Require(lens != nullptr, "the lens is null");
  return *lens->stack;
}

}  // namespace

extern "C" {

const char* realcam_version(void) { return REALCAM_VERSION_STRING; }
int realcam_version_number(void) { return REALCAM_VERSION_MAJOR * 1000 + REALCAM_VERSION_MINOR; }
const char* realcam_last_error(void) { return last_error.c_str(); }
realcam_status realcam_last_status(void) { return last_status; }

realcam_lens* realcam_lens_open(const char* path_or_name) {
  realcam_lens* result = nullptr;
  Guard(REALCAM_ERROR_LENS, [&] {
    Require(path_or_name != nullptr, "the lens name is null");
    std::string path = path_or_name;
    if (access(path.c_str(), F_OK) != 0 && path.find('/') == std::string::npos && !path.empty()) {
      for (const std::string& candidate : {BundledLenses() + "/" + path, BundledLenses() + "/" + path + ".dat"})
        if (access(candidate.c_str(), R_OK) == 0) {
          path = candidate;
          break;
        }
    }
    if (access(path.c_str(), R_OK) != 0)
      throw LensError("Cannot open file " + std::string(path_or_name) + ": " + std::strerror(errno) +
                      " (neither a readable file nor a bundled lens's name)");
    result = LensFromFile(path, path_or_name, false).release();
  });
  return result;
}

realcam_lens* realcam_lens_from_text(const char* text, const char* format, const char* name) {
  realcam_lens* result = nullptr;
  Guard(REALCAM_ERROR_LENS, [&] {
    Require(text != nullptr, "the lens text is null");
    const std::string kind = format ? format : "dat";
    Require(kind == "dat" || kind == "zmx" || kind == "patent", "the format must be \"dat\", \"zmx\" or \"patent\"");
    const std::string label = name ? name : "<text>";
    const TempFile file(text, kind == "dat" ? ".dat" : kind == "zmx" ? ".zmx" : ".txt");
    result = LensFromFile(file.path, label, true).release();
  });
  return result;
}

void realcam_lens_free(realcam_lens* lens) { delete lens; }

const char* realcam_lens_name(const realcam_lens* lens) { return lens ? lens->name.c_str() : ""; }
const char* realcam_lens_prescription(const realcam_lens* lens) { return lens ? lens->prescription.c_str() : ""; }
const char* realcam_lens_warnings(const realcam_lens* lens) { return lens ? lens->warnings.c_str() : ""; }

realcam_status realcam_lens_stop_diameter(const realcam_lens* lens, double* diameter) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    Require(diameter != nullptr, "the result pointer is null");
    if (s.GetIndexOfStop() < 0) throw LensError(lens->name + ": the prescription has no aperture stop");
    *diameter = std::fabs(double(s.GetInterfaces()[size_t(s.GetIndexOfStop())].GetDiameter()));
  });
}

realcam_status realcam_lens_f_number(const realcam_lens* lens, double* f_number) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    Require(f_number != nullptr, "the result pointer is null");
    *f_number = ComputeParaxial(s).f_number;
  });
}

realcam_status realcam_lens_focal_length(const realcam_lens* lens, double* efl) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    Require(efl != nullptr, "the result pointer is null");
    *efl = ComputeParaxial(s).efl;
  });
}

realcam_status realcam_lens_stop_for_f_number(const realcam_lens* lens, double n, double* diameter) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    Require(diameter != nullptr, "the result pointer is null");
    Require(n > 0 && std::isfinite(n), "the f-number must be positive and finite");
    *diameter = StopDiameterForFNumber(s, n);
  });
}

realcam_status realcam_lens_image_circle(const realcam_lens* lens, double* lit, double* half_light) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    const FirstOrder first = ComputeFirstOrder(s, FilmSetup{});
    if (lit) *lit = first.image_circle;
    if (half_light) *half_light = first.image_circle_half_light;
  });
}

realcam_status realcam_lens_focus(const realcam_lens* lens, double distance, double aperture,
                                  double* filmdistance) {
  return Guard(REALCAM_ERROR_LENS, [&] {
    const LensStack& s = Stack(lens);
    Require(filmdistance != nullptr, "the result pointer is null");
    Require(distance > 0 && std::isfinite(distance), "the object distance must be positive and finite");
    Require(std::isfinite(aperture), "the aperture must be finite");
    if (s.GetIndexOfStop() < 0) throw LensError(lens->name + ": the prescription has no aperture stop");
    double film = FilmDistanceForObject(s, ComputeThickLens(s), distance);
    LensStack stopped = s;
    if (aperture >= 0) stopped.SetApertureDiameter(float(aperture));
    if (std::fabs(stopped.GetInterfaces()[size_t(stopped.GetIndexOfStop())].GetDiameter()) > 0) {
      try {
        film = ComputeBestFocus(stopped, distance).best;
      } catch (const std::runtime_error&) {
        // No ray of the bundle passes: the paraxial focus stays.
      }
    }
    *filmdistance = film;
  });
}

char* realcam_lens_info_json(const realcam_lens* lens) {
  char* result = nullptr;
  Guard(REALCAM_ERROR_LENS, [&] {
    Stack(lens);
    InfoOptions o;
    o.lens = lens->file;
    o.json = true;
    const std::string text = LensInfoJson(o).dump();
    result = static_cast<char*>(std::malloc(text.size() + 1));
    if (!result) throw std::bad_alloc();
    std::memcpy(result, text.c_str(), text.size() + 1);
  });
  return result;
}

void realcam_string_free(char* text) { std::free(text); }

realcam_status realcam_lens_trace(const realcam_lens* lens, int from, int precision, double wavelength, size_t n,
                                  const double* origins, const double* directions, double* out_origins,
                                  double* out_directions, unsigned char* status) {
  const realcam_status result = Guard(REALCAM_ERROR_TRACE, [&] {
    const LensStack& prototype = Stack(lens);
    Require(from == REALCAM_FROM_FILM || from == REALCAM_FROM_WORLD, "from must be REALCAM_FROM_FILM or REALCAM_FROM_WORLD");
    Require(precision == REALCAM_FLOAT || precision == REALCAM_DOUBLE, "precision must be REALCAM_FLOAT or REALCAM_DOUBLE");
    Require(n == 0 || (origins && directions && out_origins && out_directions && status), "an array is null");
    Require(wavelength == 0 || (wavelength >= 360 && wavelength <= 830), "the wavelength must be 0 or 360 to 830 nm");
    LensStack stack = prototype;
    if (wavelength > 0) stack.SetWavelength(float(wavelength));
    stack.SetExact(precision == REALCAM_DOUBLE);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (size_t i = 0; i < n; ++i) {
      const double* o = origins + 3 * i;
      const double* d = directions + 3 * i;
      double* oo = out_origins + 3 * i;
      double* od = out_directions + 3 * i;
      for (int k = 0; k < 3; ++k) oo[k] = od[k] = nan;
      status[i] = 0;
      try {
        if (precision == REALCAM_DOUBLE) {
          RayT<double> in{{o[0], o[1], o[2]}, {d[0], d[1], d[2]}, kExactMint<double>}, out;
          if (from == REALCAM_FROM_WORLD) {
            // Moved to just in front of the lens, as the float rays are.
            const Ray near = StartNearLens(stack, Ray{Point(float(o[0]), float(o[1]), float(o[2])),
                                                      Vector(float(d[0]), float(d[1]), float(d[2]))});
            if (near.o.z != float(o[2]) && d[2] != 0) {
              const double t = (double(near.o.z) - o[2]) / d[2];
              in.o = {o[0] + t * d[0], o[1] + t * d[1], o[2] + t * d[2]};
            }
          }
          const bool passed = from == REALCAM_FROM_FILM ? stack.TraceFilmToWorldExact(in, &out)
                                                        : stack.TraceWorldToFilmExact(in, &out);
          if (!passed) continue;
          oo[0] = out.o.x, oo[1] = out.o.y, oo[2] = out.o.z;
          od[0] = out.d.x, od[1] = out.d.y, od[2] = out.d.z;
        } else {
          const Ray in{Point(float(o[0]), float(o[1]), float(o[2])), Vector(float(d[0]), float(d[1]), float(d[2])),
                       0.001f};
          Ray out;
          const bool passed = from == REALCAM_FROM_FILM ? stack.TraceFilmToWorld(in, &out)
                                                        : stack.TraceWorldToFilm(StartNearLens(stack, in), &out);
          if (!passed) continue;
          oo[0] = out.o.x, oo[1] = out.o.y, oo[2] = out.o.z;
          od[0] = out.d.x, od[1] = out.d.y, od[2] = out.d.z;
        }
        status[i] = 1;
      } catch (const ConsistencyError&) {
        status[i] = 2;
      }
    }
  });
  return result;
}

realcam_camera* realcam_camera_create(const realcam_lens* lens, int width, int height, const char* const* keys,
                                      const char* const* values, size_t count, const float* camera_to_world) {
  realcam_camera* result = nullptr;
  Guard(REALCAM_ERROR_CAMERA, [&] {
    const LensStack& stack = Stack(lens);
    Require(width >= 1 && height >= 1, "the film must be at least 1 pixel across and down");
    Require(count == 0 || (keys && values), "the keys or values are null");
    ParamSet ps;
    ps.AddFloat("hither", 0.001f);
    ps.AddFloat("yon", 1e30f);
    ps.AddFloat("shutteropen", 0.f);
    ps.AddFloat("shutterclose", 1.f);
    ps.AddString("specfile", lens->name);
    for (size_t i = 0; i < count; ++i) {
      Require(keys[i] && values[i], "a key or value is null");
      const std::string key = keys[i], value = values[i];
      if (key == "specfile") throw ArgumentError("\"specfile\" is the lens's: give the lens instead");
      char* end = nullptr;
      const double number = strtod(value.c_str(), &end);
      if (!value.empty() && *end == '\0')
        ps.AddFloat(key, float(number));
      else
        ps.AddString(key, value);
    }
    Transform world2cam;
    if (camera_to_world) {
      float m[4][4];
      std::memcpy(m, camera_to_world, sizeof m);
      const Transform c2w = TransformFromMatrix(m);
      world2cam = c2w.GetInverse();
    }
    auto handle = std::make_unique<realcam_camera>();
    handle->film = std::make_unique<Film>(width, height);
    handle->camera.reset(NewRealisticCamera(ps, world2cam, handle->film.get(), &stack));
    const std::vector<std::string> unused = ps.UnusedKeys();
    if (!unused.empty())
      throw ArgumentError("camera parameter \"" + unused.front() + "\" is not one the camera knows");
    result = handle.release();
  });
  return result;
}

void realcam_camera_free(realcam_camera* camera) { delete camera; }

realcam_status realcam_camera_generate(const realcam_camera* camera, size_t n, const float* samples,
                                       float* origins, float* directions, float* weights) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr, "the camera is null");
    Require(n == 0 || (samples && origins && directions && weights), "an array is null");
    // Blocks of the batch trace's chunk size, in buffers each thread keeps
    // (a host calls this for every few hundred samples).
    constexpr size_t kBlock = 256;
    thread_local std::vector<Sample> block(kBlock);
    thread_local std::vector<Ray> rays(kBlock);
    for (size_t first = 0; first < n; first += kBlock) {
      const size_t count = std::min(kBlock, n - first);
      for (size_t i = 0; i < count; ++i) {
        const float* s = samples + 4 * (first + i);
        block[i].imageX = s[0], block[i].imageY = s[1], block[i].lensU = s[2], block[i].lensV = s[3];
      }
      camera->camera->GenerateRays(int(count), block.data(), rays.data(), weights + first, 0);
      for (size_t i = 0; i < count; ++i) {
        const Ray& r = rays[i];
        float* o = origins + 3 * (first + i);
        float* d = directions + 3 * (first + i);
        o[0] = r.o.x, o[1] = r.o.y, o[2] = r.o.z;
        d[0] = r.d.x, d[1] = r.d.y, d[2] = r.d.z;
      }
    }
  });
}

realcam_status realcam_camera_ghost_paths(const realcam_camera* camera, int* pairs, size_t capacity, size_t* count) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr && count != nullptr, "the camera or the result pointer is null");
    Require(capacity == 0 || pairs != nullptr, "the pairs array is null");
    *count = size_t(camera->camera->GhostPathList(pairs, int(std::min<size_t>(capacity, 1u << 20))));
  });
}

realcam_status realcam_camera_trace_ghost(const realcam_camera* camera, int later, int earlier, size_t n,
                                          const float* origins, const float* directions, float* raster_xy,
                                          float* weights) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr, "the camera is null");
    Require(n == 0 || (origins && directions && raster_xy && weights), "an array is null");
    std::vector<Ray> rays(n);
    for (size_t i = 0; i < n; ++i) {
      const float* o = origins + 3 * i;
      const float* d = directions + 3 * i;
      rays[i] = Ray(camera->camera->WorldToCamera(Point(o[0], o[1], o[2])),
                    camera->camera->WorldToCamera(Vector(d[0], d[1], d[2])));
    }
    Require(camera->camera->TraceGhostRays(later, earlier, int(n), rays.data(), raster_xy, weights) == int(n),
            "no such ghost path, a camera without reflections, or a moved film");
  });
}

realcam_status realcam_camera_front_aperture(const realcam_camera* camera, float* centre, float* radius) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr && centre != nullptr && radius != nullptr, "a pointer is null");
    float c[3];
    Require(camera->camera->FrontAperture(c, radius), "the lens has no aperture");
    const Point w = camera->camera->CameraToWorld(Point(c[0], c[1], c[2]));
    centre[0] = w.x, centre[1] = w.y, centre[2] = w.z;
  });
}

realcam_status realcam_camera_ghost_sample(const realcam_camera* camera, const float* sample, int* ghost) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr && sample != nullptr && ghost != nullptr, "a pointer is null");
    Sample s;
    s.imageX = sample[0], s.imageY = sample[1], s.lensU = sample[2], s.lensV = sample[3];
    *ghost = camera->camera->IsGhostSample(s) ? 1 : 0;
  });
}

realcam_status realcam_camera_center_weight(const realcam_camera* camera, double* weight) {
  return Guard(REALCAM_ERROR_TRACE, [&] {
    Require(camera != nullptr && weight != nullptr, "the camera or the result pointer is null");
    constexpr int kGrid = 64;
    std::vector<Sample> samples(kGrid * kGrid);
    for (int j = 0; j < kGrid; ++j)
      for (int i = 0; i < kGrid; ++i) {
        Sample& s = samples[size_t(j * kGrid + i)];
        s.imageX = 0.5f * float(camera->film->xResolution);
        s.imageY = 0.5f * float(camera->film->yResolution);
        s.lensU = (float(i) + 0.5f) / kGrid, s.lensV = (float(j) + 0.5f) / kGrid;
      }
    std::vector<Ray> rays(samples.size());
    std::vector<float> weights(samples.size());
    camera->camera->GenerateRays(int(samples.size()), samples.data(), rays.data(), weights.data(), 0);
    double sum = 0;
    for (float w : weights) sum += w;
    *weight = sum / double(weights.size());
  });
}

realcam_status realcam_camera_film(const realcam_camera* camera, double* width, double* height,
                                   double* filmdistance) {
  return Guard(REALCAM_ERROR_ARGUMENT, [&] {
    Require(camera != nullptr, "the camera is null");
    const Point& corner = camera->camera->GetFilmCorner();
    if (width) *width = 2.0 * corner.x;
    if (height) *height = 2.0 * corner.y;
    if (filmdistance) *filmdistance = double(corner.z) - double(camera->camera->GetLens().GetLensDepth());
  });
}

}  // extern "C"
