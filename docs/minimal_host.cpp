// SPDX-License-Identifier: Apache-2.0
// A complete host for realistic.so: a ground plane and a ball, in metres,
// photographed through a lens file and written as a greyscale PGM image.
//   c++ -std=c++17 minimal_host.cpp $(pkg-config --cflags --libs realcam) -ldl -o minimal_host
//   ./minimal_host /usr/lib/realcam/realistic.so /usr/share/realcam/lenses/planar-50mm-f2.dat out.pgm
// (the plug-in takes a lens file's path: it does not look up bundled names)
#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <vector>

#include <realcam/realistic.h>

// Radiance along a world ray (metres): a ball of radius 0.5 at (0, 0.5, 0)
// on a checkered ground y = 0, under a bright sky.
float Radiance(Point o, Vector d) {
  const Vector oc = o - Point(0, 0.5f, 0);
  const float b = Dot(oc, d), disc = b * b - Dot(oc, oc) + 0.25f;
  if (disc > 0 && -b - std::sqrt(disc) > 0) return 0.8f;
  if (d.y < 0) {
    const Point p = o + d * (-o.y / d.y);
    return (int(std::floor(p.x) + std::floor(p.z)) & 1) ? 0.6f : 0.1f;
  }
  return 1.f;
}

int main(int argc, char** argv) {
  if (argc != 4) return fprintf(stderr, "usage: minimal_host PLUGIN LENS_FILE OUT.pgm (LENS_FILE: a path)\n"), 2;
  void* plugin = dlopen(argv[1], RTLD_NOW);
  if (!plugin) return fprintf(stderr, "%s\n", dlerror()), 1;
  auto create = reinterpret_cast<decltype(&CreateCamera)>(dlsym(plugin, "CreateCamera"));
  ParamSet params;
  params.AddFloat("hither", 0.001f), params.AddFloat("yon", 1e30f);
  params.AddFloat("shutteropen", 0), params.AddFloat("shutterclose", 1);
  params.AddString("specfile", argv[2]);
  params.AddFloat("focusdistance", 3000);  // lens units: millimetres
  params.AddFloat("aperture_diameter", 9);  // the stop, millimetres (f/4 on the Planar)
  params.AddString("sampling", "exitpupil");
  Film film(240, 160);
  // World (metres) to camera (millimetres): look, then scale by 1000.
  const Transform look = LookAt(Point(0, 0.6f, -3), Point(0, 0.5f, 0), Vector(0, 1, 0));
  Camera* camera = create(params, Compose(Scale(1000, 1000, 1000), look), &film);
  if (!camera) return 1;  // the plug-in said why on standard error
  std::vector<float> image(film.xResolution * film.yResolution);
  const int spp = 16;
  for (int y = 0; y < film.yResolution; ++y)
    for (int x = 0; x < film.xResolution; ++x)
      for (int s = 0; s < spp; ++s) {
        Sample sample;
        sample.imageX = x + (s % 4 + 0.5f) / 4, sample.imageY = y + (s / 4 + 0.5f) / 4;
        sample.lensU = std::fmod(s * 0.618034f + x * 0.1f, 1.f);
        sample.lensV = std::fmod(s * 0.754878f + y * 0.1f, 1.f);
        Ray ray;
        const float weight = camera->GenerateRay(sample, &ray);
        // The scale shrank the direction by 1000: normalise before use.
        if (weight > 0) image[y * film.xResolution + x] += weight * Radiance(ray.o, Normalize(ray.d)) / spp;
      }
  delete camera;
  float peak = 0;
  for (float v : image) peak = std::fmax(peak, v);
  FILE* out = fopen(argv[3], "wb");
  if (!out || peak <= 0) return 1;
  fprintf(out, "P5\n%d %d\n255\n", film.xResolution, film.yResolution);
  for (float v : image) fputc(int(255 * std::sqrt(v / peak)), out);
  return fclose(out) == 0 ? 0 : 1;
}
