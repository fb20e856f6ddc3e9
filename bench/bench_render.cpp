// SPDX-License-Identifier: Apache-2.0
// The reference host's throughput: camera rays plus shading of the
// built-in scene, per second, on 1 and 2 threads.
#include <benchmark/benchmark.h>

#include "app/commands.h"
#include "render/renderer.h"

namespace {

void BM_Render(benchmark::State& state) {
  RenderOptions o;
  o.plugin = REALISTIC_SO;
  o.res = "240x160";
  o.spp = 8;
  o.threads = int(state.range(0));
  o.auto_exposure = false;
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
  RenderOptions o;
  o.plugin = REALISTIC_SO;
  o.res = "300x200";
  o.spp = 32;
  o.threads = 1;
  o.auto_exposure = false;
  o.blades = blades;
  o.spectral = spectral;
  double seconds = 0;
  for (auto _ : state) {
    RenderSummary summary;
    const Image image = RenderScene(o, &summary, false);
    benchmark::DoNotOptimize(image.rgb.data());
    seconds += summary.seconds;
    state.SetIterationTime(summary.seconds);
  }
}
BENCHMARK_CAPTURE(BM_RenderOptions, plain, 0, 0)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_RenderOptions, six_blades, 6, 0)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK_CAPTURE(BM_RenderOptions, eight_bands, 0, 8)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
