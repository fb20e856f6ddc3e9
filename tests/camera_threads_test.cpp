// SPDX-License-Identifier: Apache-2.0
// One camera shared by many threads, and cameras built on several threads
// at once: the same results as a serial run, bit for bit.
#include <cstring>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

struct Result {
  Ray ray;
  float weight;
};

bool Same(const Result& a, const Result& b) {
  return memcmp(&a.ray, &b.ray, sizeof(Ray)) == 0 &&
         memcmp(&a.weight, &b.weight, sizeof(float)) == 0;
}

std::vector<Result> Render(const Camera& cam, int first, int count, int n) {
  std::vector<Result> out;
  for (int i = first; i < first + count; ++i) {
    Sample s;
    s.imageX = float(i % n) + 0.37f;
    s.imageY = float(i / n % n) + 0.61f;
    s.lensU = float((i * 7919) % 1000) / 1000.f;
    s.lensV = float((i * 104729) % 997) / 997.f;
    Result r;
    r.weight = cam.GenerateRay(s, &r.ray);
    out.push_back(r);
  }
  return out;
}

ParamSet FiveSurfaceParams(const std::string& name, float aperture) {
  ParamSet ps = RequiredParams(WriteTestFile(name, kFiveSurfaceLens));
  ps.AddFloat("aperture_diameter", aperture);
  ps.AddFloat("filmdistance", 40.f);
  return ps;
}

}  // namespace

TEST(CameraThreads, ManyThreadsOnOneCameraMatchTheSerialRun) {
  constexpr int kThreads = 8, kPerThread = 2000, kRes = 64;
  Film film(kRes, kRes);
  std::unique_ptr<Camera> cam = MakeCamera(FiveSurfaceParams("threads.dat", 12.f), &film);
  ASSERT_NE(cam, nullptr);
  const std::vector<Result> serial = Render(*cam, 0, kThreads * kPerThread, kRes);
  std::vector<std::vector<Result>> parallel(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] { parallel[t] = Render(*cam, t * kPerThread, kPerThread, kRes); });
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kPerThread; ++i)
      ASSERT_TRUE(Same(parallel[t][i], serial[t * kPerThread + i])) << t << " " << i;
}

TEST(CameraThreads, CamerasCreatedOnSeveralThreadsAtOnce) {
  constexpr int kThreads = 6, kSamples = 500, kRes = 32;
  Film film(kRes, kRes);
  std::vector<ParamSet> params;
  for (int t = 0; t < kThreads; ++t) {
    params.push_back(FiveSurfaceParams("lens" + std::to_string(t) + ".dat", 4.f + 2.f * t));
    // Every other one with the exit pupil's tables, built on its thread.
    if (t % 2) params.back().AddString("sampling", "exitpupil");
  }
  std::vector<std::vector<Result>> serial(kThreads), parallel(kThreads);
  for (int t = 0; t < kThreads; ++t) serial[t] = Render(*MakeCamera(params[t], &film), 0, kSamples, kRes);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::unique_ptr<Camera> cam = MakeCamera(params[t], &film);
      if (cam) parallel[t] = Render(*cam, 0, kSamples, kRes);
    });
  for (auto& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_EQ(parallel[t].size(), serial[t].size());
    for (int i = 0; i < kSamples; ++i) ASSERT_TRUE(Same(parallel[t][i], serial[t][i])) << t;
  }
}
