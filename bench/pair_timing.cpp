// SPDX-License-Identifier: Apache-2.0
// Paired timing of the batch entry: two cameras (two builds of the
// plug-in, or two settings of one) called in turn, A then B then B then
// A, 256 samples a call (or --samples N), so that the slow spells of a shared machine fall
// on both alike. Prints each one's time a call and the median of the
// per-pair ratios B / A with its quartiles; two copies of one build
// differ by up to 1% this way.
//
//   realcam_pair_timing [--pairs N] [--samples N] A B
//
// where A and B are each plugin.so,lens,sampling,precision,reflections
// (lens a bundled lens's file name; the camera as the benchmarks make it:
// focused at infinity, the stop wide open).
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_params.h"
#include "core/camera.h"
#include "core/film.h"
#include "core/paramset.h"
#include "core/transform.h"

namespace {

using CreateFn = Camera* (*)(const ParamSet&, const Transform&, Film*);
using BatchFn = int (*)(const Camera*, int, const Sample*, Ray*, float*);
constexpr int kWidth = 640, kHeight = 480;

[[noreturn]] void Fail(const std::string& message) {
  fprintf(stderr, "realcam_pair_timing: %s\n", message.c_str());
  exit(2);
}

struct Side {
  Camera* camera = nullptr;
  BatchFn batch = nullptr;
};

// plugin.so,lens,sampling,precision,reflections, made as the benchmarks
// make their cameras. Each side loads its own copy of the plug-in, so two
// builds never share a symbol.
Side Make(const std::string& spec, Film* film) {
  std::vector<std::string> f;
  std::stringstream in(spec);
  for (std::string part; std::getline(in, part, ',');) f.push_back(part);
  if (f.size() != 5) Fail("\"" + spec + "\": want plugin.so,lens,sampling,precision,reflections");
  char* end = nullptr;
  const long reflections = strtol(f[4].c_str(), &end, 10);
  if (f[4].empty() || *end != '\0') Fail("\"" + f[4] + "\" is not a number of reflections");
  ParamSet ps;
  try {
    ps = BenchCameraParams(std::string(REALCAM_LENS_DIR) + "/" + f[1], 1.f, f[2], 0, f[3], int(reflections));
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  // RTLD_LOCAL on a path already loaded would return the same copy: two
  // sides on one build share it, which is what they should do.
  void* lib = dlopen(f[0].c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lib) Fail(std::string("cannot load ") + dlerror());
  Side side;
  const auto create = reinterpret_cast<CreateFn>(dlsym(lib, "CreateCamera"));
  side.batch = reinterpret_cast<BatchFn>(dlsym(lib, "RealisticGenerateRays"));
  if (!create || !side.batch) Fail(f[0] + " lacks CreateCamera or RealisticGenerateRays");
  side.camera = create(ps, Transform(), film);
  if (!side.camera) Fail("the camera \"" + spec + "\" was refused");
  return side;
}

double Quantile(std::vector<double> x, double p) {
  std::sort(x.begin(), x.end());
  return x[size_t(p * double(x.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  int pairs = 3000, batch = 256;
  std::vector<std::string> specs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--pairs" && i + 1 < argc) {
      pairs = atoi(argv[++i]);
      if (pairs < 10) Fail("--pairs wants at least 10");
    } else if (arg == "--samples" && i + 1 < argc) {
      batch = atoi(argv[++i]);
      if (batch < 1 || batch > 2048) Fail("--samples wants 1 to 2048");
    } else {
      specs.push_back(arg);
    }
  }
  if (specs.size() != 2) Fail("usage: realcam_pair_timing [--pairs N] [--samples N] A B (each plugin.so,lens,sampling,precision,reflections)");
  Film film(kWidth, kHeight);
  const Side side[2] = {Make(specs[0], &film), Make(specs[1], &film)};
  const std::vector<Sample> samples = BenchFilmSamples(kWidth, kHeight);
  std::vector<Ray> rays(static_cast<size_t>(batch));
  std::vector<float> weights(static_cast<size_t>(batch));
  std::vector<double> us[2], ratio;
  size_t at = 0;
  for (int p = -pairs / 10; p < pairs; ++p) {  // (the first tenth warms up)
    double t[2];
    for (int k = 0; k < 2; ++k) {
      const int s = (p & 1) ? 1 - k : k;
      const auto start = std::chrono::steady_clock::now();
      side[s].batch(side[s].camera, batch, &samples[at], rays.data(), weights.data());
      t[s] = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    }
    at = (at + size_t(batch)) % (samples.size() - size_t(batch));
    if (p < 0) continue;
    us[0].push_back(t[0]), us[1].push_back(t[1]), ratio.push_back(t[1] / t[0]);
  }
  printf("A: %.1f us a call (tenth %.1f)\nB: %.1f us a call (tenth %.1f)\nB / A: %.3f (quartiles %.3f, %.3f) over %d pairs\n",
         Quantile(us[0], 0.5), Quantile(us[0], 0.1), Quantile(us[1], 0.5), Quantile(us[1], 0.1), Quantile(ratio, 0.5),
         Quantile(ratio, 0.25), Quantile(ratio, 0.75), pairs);
  return 0;
}
