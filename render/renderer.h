// SPDX-License-Identifier: Apache-2.0
// The reference host's film and sampler: every pixel gets spp samples,
// stratified over the pixel and over the lens by N-rooks (each of the N
// rows and columns of the pixel, and of the lens square, is hit once). A
// sample's radiance is scaled by the camera's weight; a blocked sample
// counts as zero. The pixel is the box-filtered mean. Tiles are shared out
// to threads, and each pixel's random numbers depend only on the seed and
// the pixel, so the image is the same for any thread count.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/camera.h"
#include "render/scene.h"

// A plug-in's optional batch entry: many samples' rays and weights in one
// call, each exactly what Camera::GenerateRay gives.
using GenerateRaysFn = int (*)(const Camera*, int, const Sample*, Ray*, float*);

// One camera of a spectral render: the lens at one wavelength band, and
// the band's share of each RGB channel.
struct CameraBand {
  const Camera* camera;
  Vec3 rgb;
  GenerateRaysFn batch = nullptr;  // the plug-in's, when it has one and the host uses it
};

struct RenderSettings {
  int width = 600, height = 400;
  int spp = 16;
  int threads = 1;
  uint64_t seed = 1;
  // A region of the raster, pixels [crop_x0, crop_x1) x [crop_y0, crop_y1),
  // rendered alone into an image of its size, every pixel as in the whole
  // render; crop_x1 0 renders the whole raster.
  int crop_x0 = 0, crop_y0 = 0, crop_x1 = 0, crop_y1 = 0;
  // The lens's diffraction of the light sources seen directly (the sun,
  // emitters): a kernel of (2 r + 1)^2 pixels summing to 1, r =
  // starburst_radius, applied to that light alone; or three, one after the
  // other, for the red, green and blue channels. Empty: none, and every
  // pixel as without it.
  std::vector<double> starburst;
  int starburst_radius = 0;
  // Flare traced from the light sources (the sun, the scene's emitters):
  // set when the camera offers the entries (all four); this many rays per
  // ghost path, shared among the sources, through each of `cameras` (the
  // wavelengths: the lens at each with its share of each channel; empty,
  // the render's own).
  struct LightTraced {
    int (*paths)(const Camera*, int*, int) = nullptr;
    int (*trace)(const Camera*, int, int, int, const Ray*, float*, float*) = nullptr;
    int (*front)(const Camera*, float*, float*) = nullptr;
    int (*is_ghost)(const Camera*, const Sample*) = nullptr;
    int rays_per_path = 0;
    double pixel_area = 0;  // a pixel's area on the film, lens units squared
    double focal_length = 0;  // the lens's, lens units: how large a source's image is
    std::vector<CameraBand> cameras;
  } light_traced;
};

struct RenderStats {
  uint64_t samples = 0;
  uint64_t blocked = 0;
  double seconds = 0;
  // The flare traced from the light: sources, paths, wavelengths, rays
  // and their time.
  int light_sources = 0, light_wavelengths = 0;
  int light_paths = 0;
  uint64_t light_rays = 0;
  double light_seconds = 0;
  std::vector<float> light_rgb;  // what they added to each pixel (the image's layout)
};

// Linear RGB film values, row 0 at the top, three floats per pixel.
struct Image {
  int width = 0, height = 0;
  std::vector<float> rgb;
};

// Renders the scene through several cameras, one per band: each pixel's
// samples are spread over the bands, and a sample's radiance is weighted
// by its band's rgb (the shares of all bands summing to one per channel).
Image Render(const std::vector<CameraBand>& bands, const RadianceScene& scene,
             const RenderSettings& settings, RenderStats* stats,
             const std::function<void(double)>& progress = {});

// Renders the scene through the camera. `progress`, if given, is called on
// the calling thread with the share of tiles done, about ten times a
// second.
Image Render(const Camera& camera, const RadianceScene& scene, const RenderSettings& settings,
             RenderStats* stats, const std::function<void(double)>& progress = {});

// The exposure (in EV) that brings the median luminance of the image's
// lit 8 x 8 blocks to middle grey; 0 for a black image. Stable under
// noise: renders of one scene with more or less noise get the same.
double AutoExposure(const Image& image);

// Scales every value by 2^ev.
void ApplyExposure(Image* image, double ev);
