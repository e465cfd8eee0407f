// Checks that a PE image is loadable as an x64 kernel driver.
#pragma once
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace pecheck {

struct Inputs {
  // Allowed imports: lower-case DLL name -> exported function names.
  std::map<std::string, std::set<std::string>> exports;
  // Linker map text; used when the image has neither an export nor a symbol entry for a name.
  std::string map;
};

struct Result {
  std::string property;
  bool ok;
  std::string detail;
};

std::vector<Result> check(const std::vector<uint8_t>& image, const Inputs& in);
// PE checksum of the image (the checksum field itself is excluded); 0 if not a PE image.
uint32_t checksum(const std::vector<uint8_t>& image);
// Writes checksum() into the header. Returns false if the image is not a PE image.
bool fixChecksum(std::vector<uint8_t>& image);
// Parses "dll name" lines into Inputs::exports.
bool parseExports(const std::string& text, Inputs& in);

}  // namespace pecheck
