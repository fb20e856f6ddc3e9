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

}  // namespace

BENCHMARK_MAIN();
