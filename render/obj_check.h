// SPDX-License-Identifier: Apache-2.0
// What the OBJ reader accepts but a scene cannot mean: a line-by-line
// check of an OBJ file and its MTL libraries before they are loaded.
#pragma once

#include <string>

// Throws std::runtime_error with "file:line: what is wrong" for a malformed
// v, vt, vn or f line, a coordinate that is not a finite number, a face
// index out of range (positive or negative), a material used but not
// defined (at its usemtl line), a colour (Kd, Ke, Ka, Ks) that is negative
// or not finite (at its MTL line), a missing material library; and for a
// path that is a folder, an empty file, or a file without faces.
void CheckObjFile(const std::string& path);
