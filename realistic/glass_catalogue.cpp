// SPDX-License-Identifier: Apache-2.0
#include "realistic/glass_catalogue.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "realistic/dispersion.h"

// The catalogue's text, compiled in (glass_catalogue_data.cpp, written by
// the build from data/glass/catalogue.csv).
extern const char kGlassCatalogueCsv[];

namespace {

std::string Upper(std::string s) {
  for (char& ch : s) ch = char(std::toupper(static_cast<unsigned char>(ch)));
  return s;
}

std::vector<Glass> Parse() {
  std::vector<Glass> glasses;
  std::istringstream text(kGlassCatalogueCsv);
  std::string line;
  std::getline(text, line);  // the header
  while (std::getline(text, line)) {
    std::vector<std::string> f;
    std::stringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) f.push_back(cell);
    if (f.size() < 10) continue;
    Glass g;
    g.maker = Upper(f[0]);
    g.name = f[1];
    g.formula = std::atoi(f[2].c_str());
    g.lambda_min = std::strtod(f[3].c_str(), nullptr);
    g.lambda_max = std::strtod(f[4].c_str(), nullptr);
    g.nd = std::strtod(f[5].c_str(), nullptr);
    g.vd = std::strtod(f[6].c_str(), nullptr);
    std::istringstream coefficients(f[9]);
    for (double v; coefficients >> v;) g.c.push_back(v);
    glasses.push_back(g);
  }
  return glasses;
}

// Letters a name must change to become another, for suggestions.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = up;
    }
  }
  return row[b.size()];
}

}  // namespace

const std::vector<Glass>& GlassCatalogue() {
  static const std::vector<Glass> glasses = Parse();
  return glasses;
}

double Glass::Index(double nanometres) const {
  const double l = nanometres / 1000.0, l2 = l * l;
  double sum = c.empty() ? 0 : c[0];
  for (size_t i = 1; i + 1 < c.size(); i += 2) {
    if (formula == 1) sum += c[i] * l2 / (l2 - c[i + 1] * c[i + 1]);
    else if (formula == 2) sum += c[i] * l2 / (l2 - c[i + 1]);
    else sum += c[i] * std::pow(l, c[i + 1]);
  }
  return formula == 3 ? std::sqrt(sum) : std::sqrt(sum + 1.0);
}

const Glass* FindGlass(const std::string& text, std::string* why) {
  const size_t colon = text.find(':');
  const std::string maker = colon == std::string::npos ? "" : Upper(text.substr(0, colon));
  const std::string name = Upper(colon == std::string::npos ? text : text.substr(colon + 1));
  std::vector<const Glass*> found;
  for (const Glass& g : GlassCatalogue())
    if (Upper(g.name) == name && (maker.empty() || g.maker == maker)) found.push_back(&g);
  if (found.size() == 1) return found[0];
  if (found.size() > 1) {
    *why = "glass \"" + text + "\" is made by several makers; write it with its maker:";
    for (const Glass* g : found) *why += " " + g->maker + ":" + g->name;
    return nullptr;
  }
  // The nearest names, for a typing slip.
  std::vector<std::pair<size_t, std::string>> near;
  for (const Glass& g : GlassCatalogue()) near.push_back({Distance(name, Upper(g.name)), g.name});
  std::sort(near.begin(), near.end());
  near.erase(std::unique(near.begin(), near.end()), near.end());
  *why = "unknown glass \"" + text + "\"" +
         (maker.empty() ? "" : " (makers: SCHOTT, OHARA, HOYA, CDGM, HIKARI, SUMITA)") + "; nearest:";
  for (size_t i = 0; i < near.size() && i < 4; ++i) *why += std::string(i ? "," : "") + " " + near[i].second;
  return nullptr;
}
