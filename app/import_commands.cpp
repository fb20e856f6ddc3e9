// SPDX-License-Identifier: Apache-2.0
// realcam import and export: lens files of other programs to and from
// realcam's prescriptions.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/commands.h"
#include "import/patent_table.h"
#include "import/seq_reader.h"
#include "import/zmx_reader.h"
#include "optics/lens_check.h"

namespace {

ImportedLens ReadAnyLensFile(const std::string& path, const GlassOverrides& overrides) {
  RequireReadableLens(path);
  if (LooksLikeZmx(path)) return ReadZmx(path, overrides);
  if (LooksLikeSeq(path)) return ReadSeq(path, overrides);
  if (LooksLikePatentTable(path)) return ReadPatentTable(path);
  throw std::runtime_error(path + ": neither a Zemax sequential file (.zmx), a CODE V sequence file (.seq) nor "
                           "a patent table (a header row naming r, d, nd and vd)");
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  if (!out || !(out << text) || !(out.flush()))
    throw std::runtime_error("cannot write \"" + path + "\"");
}

// Converted lens files and the files they came from.
std::map<std::string, std::string>& Converted() {
  static std::map<std::string, std::string> converted;
  return converted;
}

// Converted lens files live in one folder for the process, removed at exit.
std::string& ConvertedFolder() {
  static std::string folder;
  return folder;
}
void RemoveConverted() {
  if (ConvertedFolder().empty()) return;
  const std::string command = "rm -rf '" + ConvertedFolder() + "'";
  if (std::system(command.c_str()) != 0) {
    // Nothing more to do at exit.
  }
}

}  // namespace

GlassOverrides ParseGlassOverrides(const std::vector<std::string>& pairs) {
  GlassOverrides overrides;
  for (const std::string& pair : pairs) {
    const size_t eq = pair.find('='), comma = pair.find(',', eq);
    char* end1 = nullptr;
    char* end2 = nullptr;
    const double nd = eq == std::string::npos ? 0 : std::strtod(pair.c_str() + eq + 1, &end1);
    const double vd = comma == std::string::npos ? 0 : std::strtod(pair.c_str() + comma + 1, &end2);
    if (eq == std::string::npos || comma == std::string::npos || *end1 != ',' || *end2 != '\0' || !(nd >= 1) ||
        !(vd > 0))
      throw std::runtime_error("--glass \"" + pair + "\" is not NAME=nd,vd (e.g. B270=1.523,58.5)");
    overrides[pair.substr(0, eq)] = {nd, vd};
  }
  return overrides;
}

int RunImport(const ImportOptions& o) {
  const ImportedLens lens = ReadAnyLensFile(o.input, ParseGlassOverrides(o.glasses));
  for (const std::string& w : lens.warnings) fprintf(stderr, "realcam: warning: %s\n", w.c_str());
  const std::string text = WritePrescription(lens);
  const bool to_stdout = o.output.empty() || o.output == "-";
  // The checker reads the prescription as written, and says what is wrong
  // with it now, not at the first render.
  char checked[] = "/tmp/realcam-import-check-XXXXXX";
  const int fd = mkstemp(checked);
  if (fd < 0) throw std::runtime_error("cannot make a file for the imported lens's check");
  close(fd);
  WriteFile(checked, text);
  std::vector<LensDiagnostic> diagnostics;
  try {
    diagnostics = CheckLensFile(checked);
  } catch (...) {
    unlink(checked);
    throw;
  }
  unlink(checked);
  int errors = 0;
  const std::string named = to_stdout ? o.input + " (as imported)" : o.output;
  for (const LensDiagnostic& d : diagnostics) {
    errors += d.error;
    std::string line = FormatDiagnostic(checked, d);
    if (line.compare(0, std::strlen(checked), checked) == 0) line = named + line.substr(std::strlen(checked));
    fprintf(stderr, "realcam: %s\n", line.c_str());
  }
  if (to_stdout) {
    fputs(text.c_str(), stdout);
  } else {
    WriteFile(o.output, text);
    printf("realcam: wrote %s (%zu surfaces from %s)\n", o.output.c_str(), lens.surfaces.size(), lens.format.c_str());
  }
  if (errors) {
    fprintf(stderr, "realcam: the imported lens has %d error%s (above): correct the source file, or the written "
            "prescription, before using it\n", errors, errors == 1 ? "" : "s");
    return 1;
  }
  return 0;
}

int RunExport(const ExportOptions& o) {
  RequireReadableLens(o.lens);
  CheckLensBeforeUse(o.lens);
  const std::string text = WriteZmx(ReadPrescription(o.lens));
  if (o.output.empty() || o.output == "-") {
    fputs(text.c_str(), stdout);
  } else {
    WriteFile(o.output, text);
    printf("realcam: wrote %s\n", o.output.c_str());
  }
  return 0;
}

std::string ConvertForeignLens(const std::string& path) {
  if (access(path.c_str(), R_OK) != 0) return path;
  const size_t dot = path.rfind('.');
  const std::string extension = dot == std::string::npos ? "" : path.substr(dot);
  if (extension == ".dat") return path;
  if (!LooksLikeZmx(path) && !LooksLikeSeq(path) && !LooksLikePatentTable(path)) return path;
  // Once a process: its warnings are said once.
  for (const auto& [converted, original] : Converted())
    if (original == path) return converted;
  const ImportedLens lens = ReadAnyLensFile(path, {});
  for (const std::string& w : lens.warnings) fprintf(stderr, "realcam: warning: %s\n", w.c_str());
  if (ConvertedFolder().empty()) {
    char folder[] = "/tmp/realcam-import-XXXXXX";
    if (!mkdtemp(folder)) throw std::runtime_error("cannot make a folder for the converted lens");
    ConvertedFolder() = folder;
    std::atexit(RemoveConverted);
  }
  const size_t slash = path.rfind('/');
  std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  name = name.substr(0, name.rfind('.')) + ".dat";
  const std::string converted = ConvertedFolder() + "/" + name;
  WriteFile(converted, WritePrescription(lens));
  Converted()[converted] = path;
  return converted;
}

std::string ShownLensPath(const std::string& path) {
  const auto found = Converted().find(path);
  return found == Converted().end() ? path : found->second + " (as imported)";
}

std::string WithShownLensPaths(std::string message) {
  for (const auto& [converted, original] : Converted())
    for (size_t at; (at = message.find(converted)) != std::string::npos;)
      message.replace(at, converted.size(), original + " (as imported)");
  return message;
}

bool& LensArgumentFailed() {
  static bool failed = false;
  return failed;
}
