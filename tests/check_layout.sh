#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The reference host's rooms depend one way: app uses render and optics;
# render and optics never include each other or app. Usage:
# check_layout.sh SOURCE_DIR
cd "$1" || exit 1
status=0
forbid() {
  found=$(grep -n "#include \"$2/" "$1"/*.h "$1"/*.cpp 2>/dev/null)
  if [ -n "$found" ]; then
    echo "$1/ must not include $2/:" >&2
    printf '%s\n' "$found" >&2
    status=1
  fi
}
forbid render optics
forbid render app
forbid optics render
forbid optics app
forbid realistic app
forbid realistic render
forbid realistic optics
forbid core realistic
forbid import app
forbid import render
forbid import optics
forbid realistic import
forbid render import
forbid optics import
[ $status -eq 0 ] && echo "dependencies run one way"
exit $status
