// The batch entry point: many samples through one call.
//
// Each sample goes through the camera's own per-sample code, so every bit
// is GenerateRay's; the call saves the host a virtual call per sample.
// Carrying several rays at once through the surfaces (SIMD lanes, the same
// operations in the same order per lane) would raise throughput further
// with the same bits; that is not done yet.
#include "realistic/realistic_batch.h"

#include "realistic/realistic_camera.h"

extern "C" __attribute__((visibility("default"))) int RealisticGenerateRays(
    const Camera* camera, int n, const Sample* samples, Ray* rays, float* weights) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || n < 0 || (n > 0 && (!samples || !rays || !weights))) return -1;
  for (int i = 0; i < n; ++i) weights[i] = realistic->RealisticCamera::GenerateRay(samples[i], &rays[i]);
  return n;
}
