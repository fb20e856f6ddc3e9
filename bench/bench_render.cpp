// SPDX-License-Identifier: Apache-2.0
// The reference host's throughput: camera rays plus shading of the
// built-in scene, per second, on 1 and 2 threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "app/commands.h"
#include "render/renderer.h"

namespace {

// The built-in scene through the plug-in under test, at a fixed exposure.
RenderOptions BenchRender(const char* res, int spp, int threads) {
  RenderOptions o;
  o.plugin = REALISTIC_SO;
  o.res = res;
  o.spp = spp;
  o.threads = threads;
  o.auto_exposure = false;
  return o;
}

void BM_Render(benchmark::State& state) {
  const RenderOptions o = BenchRender("240x160", 8, int(state.range(0)));
  double rays = 0;
  for (auto _ : state) {
    RenderSummary summary;
    const Image image = RenderScene(o, &summary, false);
    benchmark::DoNotOptimize(image.rgb.data());
    rays += double(summary.samples);
  }
  state.counters["rays/s"] = benchmark::Counter(rays, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Render)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The options that make images interesting cost what a plain render
// costs: 300x200, 32 spp, one thread, plain, with six blades and with eight
// spectral bands (the cameras made once, outside the timing).
void BM_RenderOptions(benchmark::State& state, int blades, int spectral) {
  RenderOptions o = BenchRender("300x200", 32, 1);
  o.blades = blades;
  o.spectral = spectral;
  for (auto _ : state) {
    RenderSummary summary;
    const Image image = RenderScene(o, &summary, false);
    benchmark::DoNotOptimize(image.rgb.data());
    state.SetIterationTime(summary.seconds);
  }
}
BENCHMARK_CAPTURE(BM_RenderOptions, plain, 0, 0)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_RenderOptions, six_blades, 6, 0)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_RenderOptions, eight_bands, 0, 8)->Unit(benchmark::kMillisecond)->UseManualTime();

// Flare from the light at the README's view: the Planar 50 mm at f/5.6
// with six blades, the sun inside the frame at dusk, 600x400, the flare
// work alone timed (one sample a pixel for the rest). Counters: the
// ghosts' noise, the RMS over their pixels (those with at least 2% of the
// brightest one's light) of each pixel's relative standard deviation, from
// the difference of two seeds; goal under 3%, in under 20 s.
void BM_FlareFromTheLight(benchmark::State& state) {
  RenderOptions o = BenchRender("600x400", 1, 2);
  o.lens = REALCAM_LENS_DIR "/planar-50mm-f2.dat";
  o.flare = true;
  o.fstop = 5.6;
  o.blades = 6;
  o.sun = {-0.15, 0.18, -1};
  o.sun_radius = 0.5;
  o.sun_strength = 5;
  o.sky_strength = 0.1;
  o.eye = {0.5, 0.6, 11};
  o.target = {-0.6, 1.0, 0};
  o.light_rays = int(state.range(0));
  double noise = 0;
  for (auto _ : state) {
    RenderSummary a, b;
    o.seed = 1;
    RenderScene(o, &a, false);
    o.seed = 2;
    RenderScene(o, &b, false);
    state.SetIterationTime(0.5 * (a.light_seconds + b.light_seconds));
    std::vector<double> la, lb;
    double brightest = 0;
    for (size_t i = 0; i + 2 < a.light_rgb.size(); i += 3) {
      la.push_back(0.2126 * a.light_rgb[i] + 0.7152 * a.light_rgb[i + 1] + 0.0722 * a.light_rgb[i + 2]);
      lb.push_back(0.2126 * b.light_rgb[i] + 0.7152 * b.light_rgb[i + 1] + 0.0722 * b.light_rgb[i + 2]);
      brightest = std::max(brightest, 0.5 * (la.back() + lb.back()));
    }
    double sum = 0;
    int pixels = 0;
    for (size_t i = 0; i < la.size(); ++i) {
      const double mean = 0.5 * (la[i] + lb[i]);
      if (!(mean >= 0.02 * brightest)) continue;
      const double rel = (la[i] - lb[i]) / (std::sqrt(2.0) * mean);
      sum += rel * rel, ++pixels;
    }
    noise = pixels > 0 ? std::sqrt(sum / pixels) : 0;
    state.counters["ghost_pixels"] = pixels;
  }
  state.counters["noise_rms_%"] = 100 * noise;
}
BENCHMARK(BM_FlareFromTheLight)->Arg(16384)->Arg(65536)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

// A full `realcam report` of the double Gauss (every pupil function, spot,
// curve and the page), written to /dev/null. Goal: under 3 s.
void BM_Report(benchmark::State& state) {
  ReportOptions o;
  o.lens = REALCAM_LENS_DIR "/double-gauss-100mm-f2.dat";
  o.output = "/dev/null";
  for (auto _ : state) RunReport(o);
}
BENCHMARK(BM_Report)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
