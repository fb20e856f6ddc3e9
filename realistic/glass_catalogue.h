// SPDX-License-Identifier: Apache-2.0
// The optical glasses of six makers' catalogues, compiled into the plug-in
// (data/glass/catalogue.csv: source and licence beside it), so that a lens
// file can name its glasses and a host needs nothing but realistic.so.
#pragma once

#include <string>
#include <vector>

struct Glass {
  std::string maker;  // upper case: SCHOTT, OHARA, HOYA, CDGM, HIKARI, SUMITA
  std::string name;   // as the maker writes it: N-BK7, S-LAL10
  int formula;        // 1, 2 (Sellmeier) or 3 (polynomial), as in the catalogue
  double lambda_min, lambda_max;  // micrometres, the range the maker fitted
  double nd, vd;      // the maker's index at the d line and Abbe number
  std::vector<double> c;

  // The refractive index at a wavelength in nanometres, from the maker's
  // formula (outside the fitted range it is extrapolated).
  double Index(double nanometres) const;
};

// A glass by name: "N-BK7", or with its maker where several makers use the
// name, "SCHOTT:F2" (any case). Null when there is none, with *why saying
// what was wrong and the nearest names.
const Glass* FindGlass(const std::string& text, std::string* why);

// Every glass of the catalogue.
const std::vector<Glass>& GlassCatalogue();
