#!/bin/sh
# Installs the build into a temporary prefix and uses it as a user and a
# host author would, from another directory: the installed realcam finds
# its plug-in and lenses, and a tiny host builds against the installed
# headers with find_package and with pkg-config, then creates a camera.
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

# A tiny host: loads the installed plug-in and asks it for one ray.
mkdir -p "$work/host"
cat >"$work/host/host.cpp" <<'CPP'
#include <dlfcn.h>
#include <cstdio>
#include <realcam/core/camera.h>
#include <realcam/core/film.h>
#include <realcam/core/paramset.h>
#include <realcam/core/sampling.h>
int main(int, char** argv) {
  void* plugin = dlopen(argv[1], RTLD_NOW);
  if (!plugin) { fprintf(stderr, "%s\n", dlerror()); return 1; }
  auto create = reinterpret_cast<Camera* (*)(const ParamSet&, const Transform&, Film*)>(
      dlsym(plugin, "CreateCamera"));
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
LD_LIBRARY_PATH="$prefix/lib" "$work/host/pc_host" "$plugin" "$lens"
echo "install_test: installed realcam and a host built against it work"
