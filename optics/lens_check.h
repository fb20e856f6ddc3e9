// SPDX-License-Identifier: Apache-2.0
// A lint for prescription files. The loader reads numbers the way the C
// library's atof does, on purpose: "103,36" is 103, a word is 0, an
// indented line is skipped, a title line without '#' is a stop. Each is
// legal and almost always a mistake; the checker says where.
#pragma once

#include <string>
#include <vector>

struct LensDiagnostic {
  int line = 0, column = 0;  // 1-based; 0 for the whole file
  bool error = false;        // the file cannot be used; else a warning
  std::string message;
};

// Reads the file and reports what looks wrong, in file order. Throws
// std::runtime_error only when the file cannot be read at all.
std::vector<LensDiagnostic> CheckLensFile(const std::string& path);

// "file:line:column: warning: message", as compilers write them.
std::string FormatDiagnostic(const std::string& path, const LensDiagnostic& d);
