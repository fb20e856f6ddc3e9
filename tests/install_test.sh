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
echo "install_test: installed realcam and a host built against it work"
