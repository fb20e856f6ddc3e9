// The realistic plug-in's optional batch entry point, for host renderers
// that hand the camera many samples at once.
//
//   using GenerateRaysFn = int (*)(const Camera*, int, const Sample*, Ray*, float*);
//   auto batch = reinterpret_cast<GenerateRaysFn>(dlsym(plugin, "RealisticGenerateRays"));
//
// A host that never looks it up is unaffected: CreateCamera stays the
// entry, and Camera::GenerateRay keeps working as before.
#pragma once

#include "core/camera.h"
#include "core/sampling.h"

extern "C" {

// For each of the n samples, the ray and weight that camera->GenerateRay
// gives, bit for bit, written to rays[i] and weights[i]; several rays are
// traced at a time in SIMD lanes (AVX-512 or AVX2 where the CPU has them,
// else SSE2). The camera must be one that this plug-in's CreateCamera
// made. Returns n, or -1 (writing nothing) for a camera of another
// plug-in, a negative n or a null array.
//
// The lanes of a block all compute to the end of a step even where a
// single ray's trace would have stopped early (the square root of a
// missed surface's negative discriminant, say), so the floating-point
// exception flags may be raised where GenerateRay leaves them clear. The
// results are unaffected; a host that runs with floating-point traps
// enabled should call GenerateRay instead.
int RealisticGenerateRays(const Camera* camera, int n, const Sample* samples, Ray* rays,
                          float* weights);
}
