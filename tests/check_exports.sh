#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Lists the dynamic symbols that a plug-in defines and fails on any but
# CreateCamera and RealisticGenerateRays. Usage: check_exports.sh NM PLUGIN
nm_tool=$1
plugin=$2
symbols=$("$nm_tool" -D --defined-only "$plugin" | awk '{print $NF}') || exit 1
extra=$(printf '%s\n' "$symbols" | grep -v -x -e CreateCamera -e RealisticGenerateRays -e '' || true)
if ! printf '%s\n' "$symbols" | grep -q -x CreateCamera; then
  echo "$plugin does not export CreateCamera" >&2
  exit 1
fi
if [ -n "$extra" ]; then
  echo "$plugin exports symbols of its own besides CreateCamera and RealisticGenerateRays:" >&2
  printf '%s\n' "$extra" >&2
  exit 1
fi
for entry in CreateCamera RealisticGenerateRays; do
  printf '%s\n' "$symbols" | grep -q -x "$entry" || { echo "$plugin does not export $entry" >&2; exit 1; }
done
echo "$plugin exports only CreateCamera and RealisticGenerateRays"
