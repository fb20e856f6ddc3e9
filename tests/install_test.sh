#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Installs the build into a temporary prefix and uses it as a user and a
# host author would, from another directory: the installed realcam finds
# its plug-in and lenses, and a tiny host builds against the installed
# headers with find_package and with pkg-config, then creates a camera.
# The host guide's minimal host is built from the installed documentation
# against the installed header alone, and renders an image.
# Usage: install_test.sh CMAKE BUILD_DIR CXX
set -eu
cmake_bin=$1
build=$2
cxx=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

"$cmake_bin" --install "$build" --prefix "$prefix" >/dev/null
cd "$work"

# The installed program: version, plug-in and default lens from the prefix.
"$prefix/bin/realcam" --version
"$prefix/bin/realcam" render --res 24x16 --spp 2 -o "$work/out.png" >"$work/render.txt"
grep -q "^lens $prefix/bin/../share/realcam/lenses/planar-50mm-f2.dat$" "$work/render.txt" ||
  { cat "$work/render.txt"; echo "install_test: the installed realcam did not use its own lens" >&2; exit 1; }
test -s "$work/out.png"
"$prefix/bin/realcam" info --json "$prefix/share/realcam/lenses/achromat-100mm-f4.dat" | grep -q '"f_number"'
# Bundled lenses by name, from a folder that has none.
"$prefix/bin/realcam" info --json achromat-100mm-f4 | grep -q '"f_number"'
"$prefix/bin/realcam" lenses | grep -q "^planar-50mm-f2 "
# The licence and the Debian copyright file travel with the install.
for doc in copyright LICENSE README.md hosts.md minimal_host.cpp; do
  test -s "$prefix/share/doc/realcam/$doc" || { echo "install_test: share/doc/realcam/$doc missing" >&2; exit 1; }
done

# A tiny host: loads the installed plug-in and asks it for one ray.
mkdir -p "$work/host"
cat >"$work/host/host.cpp" <<'CPP'
#include <dlfcn.h>
#include <cstdio>
#include <realcam/realistic.h>
int main(int, char** argv) {
  void* plugin = dlopen(argv[1], RTLD_NOW);
  if (!plugin) { fprintf(stderr, "%s\n", dlerror()); return 1; }
  auto create = reinterpret_cast<decltype(&CreateCamera)>(dlsym(plugin, "CreateCamera"));
  ParamSet ps;
  ps.AddFloat("hither", 0.001f); ps.AddFloat("yon", 1e30f);
  ps.AddFloat("shutteropen", 0.f); ps.AddFloat("shutterclose", 1.f);
  ps.AddString("specfile", argv[2]);
  ps.AddFloat("filmdistance", 37.3f);
  Film film(64, 48);
  Camera* camera = create(ps, Transform(), &film);
  if (!camera) return 1;
  Sample s;
  s.imageX = 32; s.imageY = 24; s.lensU = 0.5f; s.lensV = 0.5f;
  Ray ray;
  const float weight = camera->GenerateRay(s, &ray);
  printf("weight %g direction %g %g %g\n", weight, ray.d.x, ray.d.y, ray.d.z);
  delete camera;
  return weight > 0 ? 0 : 1;
}
CPP
cat >"$work/host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(tiny_host CXX)
find_package(realcam 0.2 REQUIRED)
add_executable(tiny_host host.cpp)
target_link_libraries(tiny_host PRIVATE realcam::core ${CMAKE_DL_LIBS})
CMAKE
"$cmake_bin" -S "$work/host" -B "$work/host/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
"$cmake_bin" --build "$work/host/build" >/dev/null
lens="$prefix/share/realcam/lenses/planar-50mm-f2.dat"
plugin="$prefix/lib/realcam/realistic.so"
LD_LIBRARY_PATH="$prefix/lib" "$work/host/build/tiny_host" "$plugin" "$lens"

# The same host through pkg-config.
flags=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs realcam)
# shellcheck disable=SC2086
"$cxx" -std=c++17 "$work/host/host.cpp" -o "$work/host/pc_host" $flags -ldl
# Outside /usr the flags carry the run-time path: no LD_LIBRARY_PATH.
"$work/host/pc_host" "$plugin" "$lens"

# The host guide's complete host, as the guide builds it.
# shellcheck disable=SC2086
"$cxx" -std=c++17 -Wall -Wextra -Werror "$prefix/share/doc/realcam/minimal_host.cpp" \
  -o "$work/host/minimal_host" $flags -ldl
LD_LIBRARY_PATH="$prefix/lib" "$work/host/minimal_host" "$plugin" "$lens" "$work/minimal.pgm"
# A 240x160 greyscale image: its header and every pixel.
test "$(head -c 15 "$work/minimal.pgm")" = "$(printf 'P5\n240 160\n255\n')"
test "$(wc -c <"$work/minimal.pgm")" -eq $((15 + 240 * 160))

# A renderer in plain C: the installed C header and librealcam alone, as
# strict C99, linked without any C++ library flag. It renders the film
# through the Planar (a bundled lens by name, found beside the library).
cat >"$work/host/chost.c" <<'C'
#include <stdio.h>
#include <stdlib.h>
#include <realcam/realcam.h>
int main(int argc, char** argv) {
  const int w = 80, h = 60;
  const char* keys[] = {"focusdistance", "aperture_diameter", "sampling"};
  const char* values[] = {"3000", "12", "exitpupil"};
  realcam_lens* lens;
  realcam_camera* camera;
  float *samples, *origins, *directions, *weights;
  unsigned char* image;
  double exposure = 0;
  int i, lit = 0;
  FILE* out;
  if (argc != 2) return 2;
  if (realcam_lens_open("/nonexistent/lens.dat") != NULL || realcam_last_status() != REALCAM_ERROR_LENS) return 3;
  lens = realcam_lens_open("planar-50mm-f2");
  if (!lens) return fprintf(stderr, "%s\n", realcam_last_error()), 1;
  camera = realcam_camera_create(lens, w, h, keys, values, 3, NULL);
  realcam_lens_free(lens);
  if (!camera) return fprintf(stderr, "%s\n", realcam_last_error()), 1;
  samples = malloc(sizeof(float) * 4 * w * h);
  origins = malloc(sizeof(float) * 3 * w * h);
  directions = malloc(sizeof(float) * 3 * w * h);
  weights = malloc(sizeof(float) * w * h);
  image = malloc((size_t)(w * h));
  for (i = 0; i < w * h; ++i) {
    samples[4 * i] = (float)(i % w) + 0.5f, samples[4 * i + 1] = (float)(i / w) + 0.5f;
    samples[4 * i + 2] = 0.5f, samples[4 * i + 3] = 0.5f;
  }
  if (realcam_camera_generate(camera, (size_t)(w * h), samples, origins, directions, weights) != REALCAM_OK ||
      realcam_camera_center_weight(camera, &exposure) != REALCAM_OK)
    return fprintf(stderr, "%s\n", realcam_last_error()), 1;
  for (i = 0; i < w * h; ++i) {
    /* The sky above, a grey ground below, through the lens. */
    const float radiance = directions[3 * i + 1] > 0 ? 1.0f : 0.3f;
    const double v = weights[i] * radiance / exposure * 200;
    image[i] = (unsigned char)(v > 255 ? 255 : v);
    lit += weights[i] > 0;
  }
  out = fopen(argv[1], "wb");
  if (!out) return 1;
  fprintf(out, "P5\n%d %d\n255\n", w, h);
  fwrite(image, 1, (size_t)(w * h), out);
  fclose(out);
  realcam_camera_free(camera);
  free(samples), free(origins), free(directions), free(weights), free(image);
  printf("C host: %d of %d pixels lit, librealcam %s\n", lit, w * h, realcam_version());
  return lit == w * h ? 0 : 1;
}
C
cc=${CC:-gcc}
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror "$work/host/chost.c" -I"$prefix/include" -L"$prefix/lib" \
  -lrealcam -Wl,-rpath,"$prefix/lib" -o "$work/host/chost"
"$work/host/chost" "$work/c.pgm"
test "$(head -c 13 "$work/c.pgm")" = "$(printf 'P5\n80 60\n255\n')"

# A C++ renderer on clang's libc++ (not the libstdc++ the library uses
# inside): the C interface keeps the two apart.
if command -v clang++ >/dev/null && echo '#include <vector>' | clang++ -stdlib=libc++ -x c++ -fsyntax-only - 2>/dev/null; then
  cat >"$work/host/libcxx_host.cpp" <<'CPP'
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include <realcam/realcam.h>
int main() {
  std::unique_ptr<realcam_lens, void (*)(realcam_lens*)> lens(realcam_lens_open("planar-50mm-f2"), realcam_lens_free);
  if (!lens) return std::fprintf(stderr, "%s\n", realcam_last_error()), 1;
  const std::vector<std::string> keys = {"focusdistance"}, values = {"3000"};
  const char* k[] = {keys[0].c_str()};
  const char* v[] = {values[0].c_str()};
  std::unique_ptr<realcam_camera, void (*)(realcam_camera*)> camera(
      realcam_camera_create(lens.get(), 64, 48, k, v, 1, nullptr), realcam_camera_free);
  if (!camera) return std::fprintf(stderr, "%s\n", realcam_last_error()), 1;
  std::vector<float> s = {32, 24, 0.5f, 0.5f}, o(3), d(3), w(1);
  if (realcam_camera_generate(camera.get(), 1, s.data(), o.data(), d.data(), w.data()) != REALCAM_OK) return 1;
  std::printf("libc++ host: weight %g\n", double(w[0]));
  // Flare traced from the light, through the installed header and library.
  const char* fk[] = {"reflections"};
  const char* fv[] = {"2"};
  std::unique_ptr<realcam_camera, void (*)(realcam_camera*)> flare(
      realcam_camera_create(lens.get(), 64, 48, fk, fv, 1, nullptr), realcam_camera_free);
  size_t paths = 0;
  std::vector<int> pairs(256);
  float centre[3], radius = 0, xy[2], weight = -1;
  const float from[3] = {0, 1, 100}, toward[3] = {0, 0, -1};
  if (!flare || realcam_camera_ghost_paths(flare.get(), pairs.data(), 128, &paths) != REALCAM_OK || paths == 0 ||
      realcam_camera_front_aperture(flare.get(), centre, &radius) != REALCAM_OK || !(radius > 0) ||
      realcam_camera_trace_ghost(flare.get(), pairs[0], pairs[1], 1, from, toward, xy, &weight) != REALCAM_OK ||
      !(weight >= 0))
    return std::fprintf(stderr, "flare from the light: %s\n", realcam_last_error()), 1;
  std::printf("libc++ host: %zu ghost paths\n", paths);
  return w[0] > 0 ? 0 : 1;
}
CPP
  clang++ -std=c++17 -stdlib=libc++ -Wall -Wextra -Werror "$work/host/libcxx_host.cpp" -I"$prefix/include" \
    -L"$prefix/lib" -lrealcam -Wl,-rpath,"$prefix/lib" -o "$work/host/libcxx_host"
  "$work/host/libcxx_host"
fi

# The Python module from the installed tree.
if [ -d "$prefix/lib/python3/dist-packages" ]; then
  PYTHONPATH="$prefix/lib/python3/dist-packages" /usr/bin/python3 -c '
import numpy as np, realcam
camera = realcam.Camera(realcam.Lens("planar-50mm-f2"), 8, 6, focusdistance=3000)
_, _, w = camera.generate(np.array([[4, 3, 0.5, 0.5]], dtype=np.float32))
assert w[0] > 0, w
print("Python module: realcam", realcam.__version__)'
fi
echo "install_test: installed realcam and a host built against it work"
