// SPDX-License-Identifier: Apache-2.0
#include "render/obj_check.h"

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace {

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

bool FiniteNumber(const std::string& word) {
  char* end = nullptr;
  const double v = std::strtod(word.c_str(), &end);
  return !word.empty() && *end == '\0' && std::isfinite(v);
}

// An OBJ index: a whole number, not 0; negative counts back from the
// elements read so far.
bool IndexWithin(const std::string& text, long count) {
  if (text.empty()) return false;
  char* end = nullptr;
  const long i = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || i == 0) return false;
  return i > 0 ? i <= count : -i <= count;
}

std::string Fail(const std::string& file, int line, const std::string& what) {
  return file + ":" + std::to_string(line) + ": " + what;
}

// The materials an MTL file defines; its colours must be finite and not
// negative.
void ReadMtl(const std::string& path, const std::string& from, int from_line, std::map<std::string, int>* names) {
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error(Fail(from, from_line, "material library \"" + path +
                                                       "\" not found (materials are read from beside the .obj file)"));
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    if (w[0] == "newmtl" && w.size() > 1) (*names)[w[1]] = n;
    if (w[0] == "Kd" || w[0] == "Ke" || w[0] == "Ka" || w[0] == "Ks") {
      if (w.size() < 4) throw std::runtime_error(Fail(path, n, w[0] + " needs three numbers (r g b)"));
      for (size_t i = 1; i < 4; ++i) {
        char* end = nullptr;
        const double v = std::strtod(w[i].c_str(), &end);
        if (*end != '\0' || !std::isfinite(v) || v < 0)
          throw std::runtime_error(Fail(path, n, w[0] + " \"" + w[i] + "\": colours are finite numbers of 0 or more"));
      }
    }
  }
}

}  // namespace

void CheckObjFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot open scene file \"" + path + "\"");
  if (S_ISDIR(st.st_mode)) throw std::runtime_error("scene \"" + path + "\" is a folder, not an OBJ file");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open scene file \"" + path + "\"");
  const std::string dir = path.find('/') == std::string::npos ? "" : path.substr(0, path.rfind('/') + 1);
  long nv = 0, nvt = 0, nvn = 0, faces = 0;
  bool any = false;
  std::map<std::string, int> materials;
  std::vector<std::pair<std::string, int>> used;
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos) throw std::runtime_error(Fail(path, n, "a NUL byte; not an OBJ text file"));
    const std::vector<std::string> w = Words(line);
    if (w.empty() || w[0][0] == '#') continue;
    any = true;
    const std::string& k = w[0];
    if (k == "v" || k == "vn") {
      // x y z (and a w or a colour after a vertex, which are not used).
      bool ok = w.size() >= 4;
      for (size_t i = 1; ok && i < 4; ++i) ok = FiniteNumber(w[i]);
      if (!ok)
        throw std::runtime_error(Fail(path, n, "malformed " + std::string(k == "v" ? "vertex" : "normal") + " \"" +
                                                   line + "\": expected " + k + " x y z with finite numbers"));
      (k == "v" ? nv : nvn)++;
    } else if (k == "vt") {
      bool ok = w.size() >= 2;
      for (size_t i = 1; ok && i < w.size() && i < 4; ++i) ok = FiniteNumber(w[i]);
      if (!ok) throw std::runtime_error(Fail(path, n, "malformed texture coordinate \"" + line + "\": expected vt u [v]"));
      ++nvt;
    } else if (k == "f") {
      if (w.size() < 4) throw std::runtime_error(Fail(path, n, "a face needs three or more vertices"));
      for (size_t i = 1; i < w.size(); ++i) {
        // v, v/vt, v//vn or v/vt/vn.
        const std::string& c = w[i];
        const size_t a = c.find('/'), b = a == std::string::npos ? a : c.find('/', a + 1);
        const std::string v = c.substr(0, a);
        const std::string t = a == std::string::npos ? "" : c.substr(a + 1, b == std::string::npos ? b : b - a - 1);
        const std::string m = b == std::string::npos ? "" : c.substr(b + 1);
        auto whole = [](const std::string& x) {
          char* end = nullptr;
          std::strtol(x.c_str(), &end, 10);
          return !x.empty() && *end == '\0';
        };
        if (!whole(v) || (!t.empty() && !whole(t)) || (!m.empty() && !whole(m)))
          throw std::runtime_error(Fail(path, n, "face corner \"" + c +
                                                     "\" is not v, v/vt, v//vn or v/vt/vn in whole numbers"));
        if (!IndexWithin(v, nv))
          throw std::runtime_error(Fail(path, n, "face corner \"" + c + "\" refers to vertex " + v + "; " +
                                                     std::to_string(nv) + " are defined before this line"));
        if (!t.empty() && !IndexWithin(t, nvt))
          throw std::runtime_error(Fail(path, n, "face corner \"" + c + "\" refers to texture coordinate " + t + "; " +
                                                     std::to_string(nvt) + " are defined before this line"));
        if (!m.empty() && !IndexWithin(m, nvn))
          throw std::runtime_error(Fail(path, n, "face corner \"" + c + "\" refers to normal " + m + "; " +
                                                     std::to_string(nvn) + " are defined before this line"));
      }
      ++faces;
    } else if (k == "mtllib") {
      for (size_t i = 1; i < w.size(); ++i) ReadMtl(dir + w[i], path, n, &materials);
    } else if (k == "usemtl") {
      if (w.size() < 2) throw std::runtime_error(Fail(path, n, "usemtl needs a material name"));
      used.push_back({w[1], n});
    }
  }
  if (!any) throw std::runtime_error("scene \"" + path + "\" is empty");
  if (faces == 0) throw std::runtime_error("scene \"" + path + "\" has no faces (f lines) to render");
  for (const auto& u : used)
    if (!materials.count(u.first))
      throw std::runtime_error(Fail(path, u.second, "unknown material \"" + u.first + "\"" +
                                                        (materials.empty() ? " (no material library defines it)"
                                                                           : " (not in the material libraries)")));
}
