// SPDX-License-Identifier: Apache-2.0
// The benchmarks' cameras: a bundled lens focused at infinity (the film at
// the rear focal point), the stop at `stop_scale` of its full diameter, on
// a film whose diagonal suits the lens (a 35 mm frame, scaled down for
// short focal lengths so the whole film sees through the lens). Throws
// what the lens file's reader throws.
#ifndef REALCAM_BENCH_BENCH_PARAMS_H_
#define REALCAM_BENCH_BENCH_PARAMS_H_

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "core/paramset.h"
#include "core/sampling.h"
#include "realistic/lens_stack.h"

inline ParamSet BenchCameraParams(const std::string& path, float stop_scale, const std::string& sampling,
                                  int blades = 0, const std::string& precision = "float", int reflections = 0) {
  const LensStack stack(path);
  float f1, f2, p1, p2;
  stack.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  const float efl = f1 - p1;
  ParamSet ps;
  ps.AddFloat("hither", 0.001f);
  ps.AddFloat("yon", 1e30f);
  ps.AddFloat("shutteropen", 0.f);
  ps.AddFloat("shutterclose", 1.f);
  ps.AddString("specfile", path);
  ps.AddFloat("filmdistance", f1 - stack.GetLensDepth());
  ps.AddFloat("aperture_diameter",
              stop_scale * stack.GetInterfaces()[size_t(stack.GetIndexOfStop())].GetDiameter());
  ps.AddFloat("filmdiag", std::min(43.27f, 0.8f * efl));
  ps.AddString("sampling", sampling);
  if (blades) ps.AddFloat("aperture_blades", float(blades));
  ps.AddString("precision", precision);
  ps.AddFloat("reflections", float(reflections));
  return ps;
}

// Samples stratified over the whole film (64 x 48 positions), with lens
// positions from a two-dimensional low-discrepancy sequence.
inline std::vector<Sample> BenchFilmSamples(int width, int height) {
  std::vector<Sample> samples;
  const int nx = 64, ny = 48;
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      Sample s;
      const int k = j * nx + i;
      s.imageX = (float(i) + 0.5f) * float(width) / nx;
      s.imageY = (float(j) + 0.5f) * float(height) / ny;
      s.lensU = float(std::fmod(0.5 + k * 0.7548776662466927, 1.0));
      s.lensV = float(std::fmod(0.5 + k * 0.5698402909980532, 1.0));
      samples.push_back(s);
    }
  return samples;
}

#endif  // REALCAM_BENCH_BENCH_PARAMS_H_
