// SPDX-License-Identifier: Apache-2.0
// The plug-in's cost to a host: GenerateRay per bundled lens and stop, and
// TraceFilmToWorld against the number of surfaces.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_params.h"
#include "core/camera.h"
#include "core/paramset.h"
#include "realistic/lens_stack.h"
#include "realistic/realistic.h"
#include "realistic/realistic_camera.h"
#ifdef REALCAM_HAVE_C_INTERFACE
#include "capi/realcam.h"
#endif

int RealisticBatchWidth(int forced);

namespace {

using CreateCameraFn = decltype(&CreateCamera);

CreateCameraFn Factory() {
  static CreateCameraFn create = [] {
    void* lib = dlopen(REALISTIC_SO, RTLD_NOW | RTLD_LOCAL);
    void* sym = lib ? dlsym(lib, "CreateCamera") : nullptr;
    if (!sym) {
      fprintf(stderr, "cannot load plug-in \"%s\": %s\n", REALISTIC_SO, dlerror());
      exit(1);
    }
    return reinterpret_cast<CreateCameraFn>(sym);
  }();
  return create;
}

const char* const kLenses[] = {"cooke-triplet-50mm-f4.dat", "double-gauss-100mm-f2.dat",
                               "fisheye-5mm-f1.8.dat",      "planar-50mm-f2.dat",
                               "retrofocus-24mm.dat",       "telephoto-127mm-f5.6.dat",
                               "tessar-101mm-f4.5.dat"};

constexpr int kWidth = 640, kHeight = 480;

// A camera on a bundled lens as BenchCameraParams makes it.
std::unique_ptr<Camera> MakeCamera(const std::string& name, float stop_scale, const char* sampling,
                                   Film* film, int blades = 0, const char* precision = "float",
                                   int reflections = 0) {
  const ParamSet ps = BenchCameraParams(std::string(REALCAM_LENS_DIR) + "/" + name, stop_scale, sampling, blades,
                                        precision, reflections);
  Camera* cam = Factory()(ps, Transform(), film);
  if (!cam) exit(1);
  return std::unique_ptr<Camera>(cam);
}

// The benchmarks' film samples on this film.
std::vector<Sample> FilmSamples() { return BenchFilmSamples(kWidth, kHeight); }

void BM_GenerateRay(benchmark::State& state, const char* lens, float stop_scale,
                    const char* sampling, int blades, const char* precision = "float", int reflections = 0) {
  Film film(kWidth, kHeight);
  const std::unique_ptr<Camera> cam =
      MakeCamera(lens, stop_scale, sampling, &film, blades, precision, reflections);
  const std::vector<Sample> samples = FilmSamples();
  size_t i = 0, passing = 0, total = 0;
  Ray ray;
  for (auto _ : state) {
    const float w = cam->GenerateRay(samples[i], &ray);
    benchmark::DoNotOptimize(ray);
    passing += w > 0.f;
    ++total;
    if (++i == samples.size()) i = 0;
  }
  state.counters["calls/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
  state.counters["pass"] = double(passing) / double(total);
}

// The film samples, 256 to a call of `generate`, and the rate of rays.
template <typename Generate>
void RunBatches(benchmark::State& state, const Generate& generate) {
  const std::vector<Sample> samples = FilmSamples();
  constexpr int kBatch = 256;
  std::vector<Ray> rays(kBatch);
  std::vector<float> weights(kBatch);
  size_t i = 0, total = 0;
  for (auto _ : state) {
    generate(kBatch, &samples[i], rays.data(), weights.data());
    benchmark::DoNotOptimize(rays.data());
    total += kBatch;
    i = (i + kBatch) % (samples.size() - kBatch);
  }
  state.counters["calls/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
}

// The plug-in's batch entry: the same samples, 256 per call.
void BM_GenerateRays(benchmark::State& state, const char* lens, float stop_scale, const char* sampling,
                     const char* precision = "float", int blades = 0, int reflections = 0) {
  Film film(kWidth, kHeight);
  const std::unique_ptr<Camera> cam = MakeCamera(lens, stop_scale, sampling, &film, blades, precision, reflections);
  using GenerateRaysFn = decltype(&RealisticGenerateRays);
  const auto batch = reinterpret_cast<GenerateRaysFn>(
      dlsym(dlopen(REALISTIC_SO, RTLD_NOW | RTLD_NOLOAD), "RealisticGenerateRays"));
  if (!batch) exit(1);
  RunBatches(state, [&](int n, const Sample* s, Ray* r, float* w) { batch(cam.get(), n, s, r, w); });
}
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_backelement, "double-gauss-100mm-f2.dat", 1.f,
                  "backelement");
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_exitpupil, "double-gauss-100mm-f2.dat", 1.f,
                  "exitpupil");
// With six blades: the polygon is tested in the lanes too.
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_backelement_6_blades, "double-gauss-100mm-f2.dat", 1.f,
                  "backelement", "float", 6);

// "precision" "double": the same, traced in double lanes.
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_backelement_double, "double-gauss-100mm-f2.dat", 1.f,
                  "backelement", "double");
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_exitpupil_double, "double-gauss-100mm-f2.dat", 1.f,
                  "exitpupil", "double");
// Lens flare in the lanes (paths that reflect twice), against the plain
// batch above. A flare camera traces in double at every precision, so the
// like plain batch is the double one. Goal: within 1.5x per ray.
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_backelement_reflections_2, "double-gauss-100mm-f2.dat", 1.f,
                  "backelement", "float", 0, 2);
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_exitpupil_reflections_2, "double-gauss-100mm-f2.dat", 1.f,
                  "exitpupil", "float", 0, 2);
BENCHMARK_CAPTURE(BM_GenerateRays, double_gauss_full_backelement_reflections_4, "double-gauss-100mm-f2.dat", 1.f,
                  "backelement", "float", 0, 4);
// The Planar at its full 18 mm stop with the default sampling: the plain
// batch in float (the default) and double, and flare.
BENCHMARK_CAPTURE(BM_GenerateRays, planar_full_backelement, "planar-50mm-f2.dat", 1.f, "backelement");
BENCHMARK_CAPTURE(BM_GenerateRays, planar_full_backelement_double, "planar-50mm-f2.dat", 1.f, "backelement", "double");
BENCHMARK_CAPTURE(BM_GenerateRays, planar_full_backelement_reflections_2, "planar-50mm-f2.dat", 1.f, "backelement",
                  "float", 0, 2);

// The batch trace on a forced instruction set (by register width: 4 SSE2,
// 8 AVX2, 16 AVX-512), on the camera compiled into this program, 256
// samples a call.
void BM_GenerateRaysWidth(benchmark::State& state, const char* sampling, int blades = 0, bool exact = false,
                          int reflections = 0) {
  const int width = int(state.range(0));
  if (width > RealisticBatchWidth(0)) {
    state.SkipWithError("the CPU lacks this instruction set");
    return;
  }
  Film film(kWidth, kHeight);
  const std::string lens = std::string(REALCAM_LENS_DIR) + "/double-gauss-100mm-f2.dat";
  const RealisticCamera cam(Transform(), 0.001f, 1e30f, 0.f, 1.f, 58.f, 31.71f, lens, 43.27f, &film,
                            std::string(sampling) == "exitpupil", false, blades, 0.f, 0.f, 0.f, exact, reflections);
  RunBatches(state,
             [&](int n, const Sample* s, Ray* r, float* w) { cam.GenerateRays(n, s, r, w, width); });
}


BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_backelement, "backelement")
    ->Arg(4)->Arg(8)->Arg(16);
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_exitpupil, "exitpupil")
    ->Arg(4)->Arg(8)->Arg(16);
// With a six-bladed stop, whose polygon the lanes test too.
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_backelement_6_blades, "backelement", 6)
    ->Arg(4)->Arg(8)->Arg(16);
// In double, and lens flare (traced in double) against it, on each width.
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_backelement_double, "backelement", 0, true)
    ->Arg(4)->Arg(8)->Arg(16);
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_backelement_reflections_2, "backelement", 0, false, 2)
    ->Arg(4)->Arg(8)->Arg(16);
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_exitpupil_double, "exitpupil", 0, true)
    ->Arg(4)->Arg(8)->Arg(16);
BENCHMARK_CAPTURE(BM_GenerateRaysWidth, double_gauss_full_exitpupil_reflections_2, "exitpupil", 0, false, 2)
    ->Arg(4)->Arg(8)->Arg(16);

// A stack of `n` surfaces: a stop in air in front, then weak elements of
// radius +-1000 alternately entering glass and leaving it, so that every
// surface after the stop refracts and near-axis rays pass them all.
std::string SyntheticLens(int n) {
  const std::string path = "/tmp/realcam-bench-" + std::to_string(n) + ".dat";
  FILE* f = fopen(path.c_str(), "w");
  if (!f) exit(1);
  fprintf(f, "0\t2\t0\t40\n");
  for (int k = 1; k < n; ++k) fprintf(f, "%d\t2\t%s\t40\n", k % 2 ? 1000 : -1000, k % 2 ? "1.5" : "1");
  fclose(f);
  return path;
}

void BM_TraceFilmToWorld(benchmark::State& state) {
  const int n = int(state.range(0));
  const LensStack lens(SyntheticLens(n));
  const float film_z = lens.GetLensDepth() + 50.f;
  std::vector<Ray> rays;
  for (int k = 0; k < 256; ++k) {
    const Point o(float(k % 16) - 7.5f, float(k / 16) - 7.5f, film_z);
    const Point to(float(k % 7) - 3.f, float(k % 5) - 2.f, lens.GetLensDepth());
    rays.emplace_back(o, Normalize(to - o), 0.001f, INFINITY, 0.f);
  }
  size_t i = 0, passing = 0;
  Ray out;
  for (auto _ : state) {
    passing += lens.TraceFilmToWorld(rays[i], &out);
    benchmark::DoNotOptimize(out);
    if (++i == rays.size()) i = 0;
  }
  state.counters["surfaces"] = n;
  // Seconds per surface crossed (printed with an SI prefix: 80n is 80 ns).
  state.counters["s/surface"] = benchmark::Counter(
      double(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["pass"] = double(passing) / double(state.iterations());
}
BENCHMARK(BM_TraceFilmToWorld)->DenseRange(2, 20, 2);

// The Planar with two of its surfaces made aspheres of zero terms: the
// same shapes, intersected by Newton's method instead of as spheres.
std::string AsphericPlanar() {
  const std::string path = "/tmp/realcam-bench-aspheric-planar.dat";
  FILE* in = fopen((std::string(REALCAM_LENS_DIR) + "/planar-50mm-f2.dat").c_str(), "r");
  FILE* out = fopen(path.c_str(), "w");
  if (!in || !out) exit(1);
  char line[512];
  int surface = 0;
  while (fgets(line, sizeof line, in)) {
    fputs(line, out);
    if (line[0] != '#' && line[0] != '\n' && ++surface <= 2) fputs("asphere k=0\n", out);
  }
  fclose(in);
  fclose(out);
  return path;
}

void BM_GenerateRayAspheric(benchmark::State& state, bool aspheric) {
  Film film(kWidth, kHeight);
  ParamSet ps;
  ps.AddFloat("hither", 0.001f);
  ps.AddFloat("yon", 1e30f);
  ps.AddFloat("shutteropen", 0.f);
  ps.AddFloat("shutterclose", 1.f);
  ps.AddString("specfile", aspheric ? AsphericPlanar() : std::string(REALCAM_LENS_DIR) + "/planar-50mm-f2.dat");
  ps.AddFloat("filmdistance", 37.3f);
  ps.AddFloat("aperture_diameter", 18.06f);
  ps.AddFloat("filmdiag", 43.27f);
  std::unique_ptr<Camera> cam(Factory()(ps, Transform(), &film));
  if (!cam) exit(1);
  const std::vector<Sample> samples = FilmSamples();
  size_t i = 0, passing = 0, total = 0;
  Ray ray;
  for (auto _ : state) {
    passing += cam->GenerateRay(samples[i], &ray) > 0.f;
    benchmark::DoNotOptimize(ray);
    ++total;
    if (++i == samples.size()) i = 0;
  }
  state.counters["calls/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
  state.counters["pass"] = double(passing) / double(total);
}
BENCHMARK_CAPTURE(BM_GenerateRayAspheric, planar_spheres, false);
BENCHMARK_CAPTURE(BM_GenerateRayAspheric, planar_two_aspheres, true);

// Making a camera with exit-pupil sampling: the factory, the lens file
// and the exit pupil's tables, as a host pays it per frame when the focus,
// the zoom or the stop changes. Goal: at most 5 ms.
void BM_CreateCamera(benchmark::State& state, const char* lens, float stop_scale, const char* precision) {
  Film film(kWidth, kHeight);
  for (auto _ : state) {
    std::unique_ptr<Camera> cam = MakeCamera(lens, stop_scale, "exitpupil", &film, 0, precision);
    benchmark::DoNotOptimize(cam.get());
  }
}

#ifdef REALCAM_HAVE_C_INTERFACE
// The C interface's generate on the same samples, 256 per call, against
// the plug-in's batch entry above. Goal: within 1.05x.
void BM_CInterfaceGenerate(benchmark::State& state, const char* lens_name, const char* sampling) {
  realcam_lens* lens = realcam_lens_open((std::string(REALCAM_LENS_DIR) + "/" + lens_name).c_str());
  if (!lens) exit(1);
  LensStack stack(std::string(REALCAM_LENS_DIR) + "/" + lens_name);
  float f1, f2, p1, p2;
  stack.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  const std::string film = std::to_string(f1 - stack.GetLensDepth()), diag = std::to_string(std::min(43.27f, 0.8f * (f1 - p1)));
  const std::string stop = std::to_string(stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter());
  const char* keys[] = {"filmdistance", "aperture_diameter", "filmdiag", "sampling"};
  const char* values[] = {film.c_str(), stop.c_str(), diag.c_str(), sampling};
  realcam_camera* camera = realcam_camera_create(lens, kWidth, kHeight, keys, values, 4, nullptr);
  if (!camera) exit(1);
  std::vector<float> flat;
  for (const Sample& s : FilmSamples()) flat.insert(flat.end(), {s.imageX, s.imageY, s.lensU, s.lensV});
  constexpr int kBatch = 256;
  std::vector<float> o(3 * kBatch), d(3 * kBatch), w(kBatch);
  const size_t count = flat.size() / 4;
  size_t i = 0, total = 0;
  for (auto _ : state) {
    realcam_camera_generate(camera, kBatch, &flat[4 * i], o.data(), d.data(), w.data());
    benchmark::DoNotOptimize(o.data());
    total += kBatch;
    i = (i + kBatch) % (count - kBatch);
  }
  state.counters["calls/s"] = benchmark::Counter(double(total), benchmark::Counter::kIsRate);
  realcam_camera_free(camera);
  realcam_lens_free(lens);
}
BENCHMARK_CAPTURE(BM_CInterfaceGenerate, double_gauss_full_backelement, "double-gauss-100mm-f2.dat", "backelement");
BENCHMARK_CAPTURE(BM_CInterfaceGenerate, double_gauss_full_exitpupil, "double-gauss-100mm-f2.dat", "exitpupil");
#endif

// One registration per lens, stop (full, and a quarter of its diameter:
// four times the f-number, f/8 on an f/2 lens) and sampling mode.
int Register() {
  for (const char* lens : kLenses)
    for (float stop : {1.f, 0.25f})
      for (const char* sampling : {"backelement", "exitpupil"}) {
        const std::string name = std::string("GenerateRay/") + lens + (stop == 1.f ? "/full" : "/quarter") +
                                 "/" + sampling;
        benchmark::RegisterBenchmark(name.c_str(), BM_GenerateRay, lens, stop, sampling, 0, "float", 0);
      }
  // Exit-pupil sampling's pass rate (the "pass" counter) down to the
  // smallest stops: a thirty-second of the diameter is five stops down,
  // f/64 on an f/2 lens.
  for (const char* lens : kLenses)
    for (float stop : {0.125f, 1.f / 32})
      benchmark::RegisterBenchmark((std::string("GenerateRay/") + lens + (stop == 0.125f ? "/eighth" : "/32nd") +
                                    "/exitpupil").c_str(),
                                   BM_GenerateRay, lens, stop, "exitpupil", 0, "float", 0);
  // GenerateRay in double against float.
  for (const char* sampling : {"backelement", "exitpupil"})
    benchmark::RegisterBenchmark(
        (std::string("GenerateRay/double-gauss-100mm-f2.dat/full/") + sampling + "/double").c_str(),
        BM_GenerateRay, "double-gauss-100mm-f2.dat", 1.f, sampling, 0, "double", 0);
  for (const char* lens : {"planar-50mm-f2.dat", "double-gauss-100mm-f2.dat"})
    for (float stop : {1.f, 0.5f, 0.25f, 0.125f, 1.f / 32})
      for (const char* precision : {"float", "double"})
        benchmark::RegisterBenchmark((std::string("CreateCamera/") + lens + "/stop-" + std::to_string(stop).substr(0, 5) +
                                      "/exitpupil/" + precision).c_str(),
                                     BM_CreateCamera, lens, stop, precision)
            ->Unit(benchmark::kMillisecond);
  // Lens flare: paths that may reflect twice inside the lens, against the
  // plain trace.
  benchmark::RegisterBenchmark("GenerateRay/double-gauss-100mm-f2.dat/full/backelement/reflections-2",
                               BM_GenerateRay, "double-gauss-100mm-f2.dat", 1.f, "backelement", 0, "float", 2);
  // The cost of a bladed stop: the same camera with a six-bladed iris.
  for (float stop : {1.f, 0.25f})
    benchmark::RegisterBenchmark(
        (std::string("GenerateRay/double-gauss-100mm-f2.dat/") + (stop == 1.f ? "full" : "quarter") +
         "/backelement/6-blades").c_str(),
        BM_GenerateRay, "double-gauss-100mm-f2.dat", stop, "backelement", 6, "float", 0);
  return 0;
}
const int registered = Register();

}  // namespace

BENCHMARK_MAIN();
