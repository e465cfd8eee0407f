// pecheck IMAGE --exports FILE [--map FILE] [--fix-checksum]
#include <fstream>
#include <iostream>
#include <iterator>

#include "pecheck.h"

namespace {
bool slurp(const std::string& path, std::string& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  out.assign(std::istreambuf_iterator<char>(f), {});
  return true;
}
int usage() {
  std::cerr << "usage: pecheck IMAGE --exports FILE [--map FILE] [--fix-checksum]\n";
  return 2;
}
}  // namespace

int main(int argc, char** argv) {
  std::string image, exports, map;
  bool fix = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--exports" && i + 1 < argc) exports = argv[++i];
    else if (a == "--map" && i + 1 < argc) map = argv[++i];
    else if (a == "--fix-checksum") fix = true;
    else if (!a.empty() && a[0] != '-' && image.empty()) image = a;
    else return usage();
  }
  if (image.empty()) return usage();
  std::string bytes;
  if (!slurp(image, bytes)) {
    std::cerr << "pecheck: cannot read " << image << "\n";
    return 2;
  }
  std::vector<uint8_t> img(bytes.begin(), bytes.end());
  if (fix) {
    if (!pecheck::fixChecksum(img)) {
      std::cerr << "pecheck: " << image << " is not a PE image\n";
      return 1;
    }
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(img.data()),
                                                 static_cast<std::streamsize>(img.size()));
    std::cout << "pecheck: checksum of " << image << " set\n";
    if (exports.empty()) return 0;
  }
  if (exports.empty()) return usage();
  pecheck::Inputs in;
  std::string text;
  if (!slurp(exports, text) || !pecheck::parseExports(text, in)) {
    std::cerr << "pecheck: cannot read export list " << exports << "\n";
    return 2;
  }
  if (!map.empty() && !slurp(map, in.map)) {
    std::cerr << "pecheck: cannot read map " << map << "\n";
    return 2;
  }
  int failed = 0;
  for (auto& r : pecheck::check(img, in)) {
    std::cout << (r.ok ? "  ok    " : "  FAIL  ") << r.property;
    if (!r.detail.empty() && (!r.ok || r.property == "checksum correct")) std::cout << ": " << r.detail;
    std::cout << "\n";
    failed += !r.ok;
  }
  std::cout << "pecheck: " << image << ": " << (failed ? std::to_string(failed) + " check(s) failed" : "all checks passed")
            << "\n";
  return failed ? 1 : 0;
}
