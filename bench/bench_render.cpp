// SPDX-License-Identifier: Apache-2.0
// The reference host's throughput: camera rays plus shading of the
// built-in scene, per second, on 1 and 2 threads.
#include <benchmark/benchmark.h>

#include <cstdio>

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
