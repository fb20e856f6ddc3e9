#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Lists the dynamic symbols that a plug-in defines and fails on any but
# its C entry points, or when one of them is missing.
# Usage: check_exports.sh NM PLUGIN
nm_tool=$1
plugin=$2
entries="CreateCamera RealisticGenerateRays RealisticGhostCounts RealisticGhostPaths RealisticTraceGhost RealisticFrontAperture RealisticGhostSample"
symbols=$("$nm_tool" -D --defined-only "$plugin" | awk '{print $NF}') || exit 1
extra=$(printf '%s\n' "$symbols" | grep -v -x -e CreateCamera -e RealisticGenerateRays -e RealisticGhostCounts -e RealisticGhostPaths \
          -e RealisticTraceGhost -e RealisticFrontAperture -e RealisticGhostSample \
          -e '' || true)
if [ -n "$extra" ]; then
  echo "$plugin exports symbols of its own besides $entries:" >&2
  printf '%s\n' "$extra" >&2
  exit 1
fi
for entry in $entries; do
  printf '%s\n' "$symbols" | grep -q -x "$entry" || { echo "$plugin does not export $entry" >&2; exit 1; }
done
echo "$plugin exports only $entries"
