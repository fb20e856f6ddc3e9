// SPDX-License-Identifier: Apache-2.0
#include "tests/test_files.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

std::string TestFolder() {
  static const std::string folder = [] {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/realcam-test-XXXXXX";
    if (!mkdtemp(&pattern[0])) throw std::runtime_error("cannot make " + pattern);
    return pattern;
  }();
  return folder;
}

}  // namespace

std::string WriteTestFile(const std::string& name, const std::string& contents) {
  const std::string path = TestFolder() + "/" + name;
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) throw std::runtime_error("cannot write " + path);
  fwrite(contents.data(), 1, contents.size(), f);
  fclose(f);
  return path;
}

std::string TestPath(const std::string& name) { return name.empty() ? TestFolder() : TestFolder() + "/" + name; }

std::string BundledLens(const std::string& name) { return std::string(REALCAM_LENS_DIR) + "/" + name; }

const char kFiveSurfaceLens[] =
    "# five surfaces around a stop\n"
    "\n"
    "35\t5\t1.6\t30\n"
    "-200\t3\t1\t30\n"
    "0\t3\t0\t20\n"
    "-40\t4\t1.6\t24\n"
    "60\t40\t1\t24\n";

const char kSingletLens[] =
    "# biconvex singlet, stop behind it\n"
    "50\t5\t1.5\t20\n"
    "-50\t1\t1\t20\n"
    "0\t50\t1\t20\n";
