// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as a lens file of another format, read by one importer
// (REALCAM_IMPORT_ZMX, REALCAM_IMPORT_SEQ or REALCAM_IMPORT_PATENT), then written as a
// prescription and loaded the way the tools load it. Every input must end
// as a lens or one of the importers' or the loader's errors: no crash, no
// sanitizer report, no hang. Built as libFuzzer targets (zmx_fuzzer,
// seq_fuzzer, patent_fuzzer) and as replays of the stored corpora for the tests.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "core/error.h"
#include "import/patent_table.h"
#include "import/seq_reader.h"
#include "import/zmx_reader.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"

namespace {

std::string TempPath(const char* suffix) {
  const char* base = getenv("TMPDIR");
  return std::string(base && *base ? base : "/tmp") + "/realcam-import-fuzz-" + std::to_string(getpid()) + suffix;
}

void IgnoreSevere(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const SevereHandler installed = SetSevereHandler(IgnoreSevere);
  (void)installed;
  static const std::string input = TempPath(".in"), output = TempPath(".dat");
  FILE* f = fopen(input.c_str(), "wb");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  try {
#if defined(REALCAM_IMPORT_ZMX)
    const ImportedLens lens = ReadZmx(input, {});
#elif defined(REALCAM_IMPORT_SEQ)
    const ImportedLens lens = ReadSeq(input, {});
#else
    const ImportedLens lens = ReadPatentTable(input);
#endif
    std::ofstream(output) << WritePrescription(lens);
    LensStack stack(output);
    if (!stack.GetInterfaces().empty()) {
      float f1, f2, p1, p2;
      try {
        stack.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
      } catch (const LensError&) {
      }
    }
  } catch (const ImportError&) {
  } catch (const LensError&) {
  }
  return 0;
}
