// SPDX-License-Identifier: Apache-2.0
// Prescription files for tests, written into a private temporary folder
// that lives as long as the test program.
#pragma once

#include <string>

// Writes `contents` to a file called `name` in the test folder and
// returns its path.
std::string WriteTestFile(const std::string& name, const std::string& contents);
// The path `name` would have in the test folder (the folder itself for "").
std::string TestPath(const std::string& name);

// The path of a bundled lens in lenses/.
std::string BundledLens(const std::string& name);

// A five-surface lens: two cemented-free singlets around a stop of
// diameter 20, depth 15 (front diameter 30, back 24, stop at index 2).
extern const char kFiveSurfaceLens[];

// A symmetric biconvex singlet (radii +-50, 5 thick, n 1.5, diameter 20)
// with a stop of diameter 20 just behind it.
extern const char kSingletLens[];
