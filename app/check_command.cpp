// SPDX-License-Identifier: Apache-2.0
// realcam check: the lens checker's findings, for people and scripts.
#include <cstdio>

#include "app/commands.h"
#include "app/json_output.h"
#include "app/lens_loading.h"
#include "optics/lens_check.h"

int RunCheck(const CheckOptions& o) {
  RequireReadableLens(o.lens);
  const std::vector<LensDiagnostic> found = CheckLensFile(o.lens);
  int errors = 0, warnings = 0;
  for (const LensDiagnostic& d : found) (d.error || o.strict ? errors : warnings) += 1;
  if (o.json) {
    Json list = Json::array();
    for (const LensDiagnostic& d : found)
      list.push_back({{"line", d.line},
                      {"column", d.column},
                      {"severity", d.error || o.strict ? "error" : "warning"},
                      {"message", d.message}});
    PrintJson({{"file", ShownLensPath(o.lens)}, {"errors", errors}, {"warnings", warnings}, {"diagnostics", list}});
  } else {
    for (const LensDiagnostic& d : found) {
      LensDiagnostic shown = d;
      shown.error = d.error || o.strict;
      printf("%s\n", WithShownLensPaths(FormatDiagnostic(o.lens, shown)).c_str());
    }
    printf("%s: %d error%s, %d warning%s\n", ShownLensPath(o.lens).c_str(), errors, errors == 1 ? "" : "s", warnings,
           warnings == 1 ? "" : "s");
  }
  return errors > 0 ? 1 : 0;
}
