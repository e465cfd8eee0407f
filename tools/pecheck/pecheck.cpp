#include "pecheck.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <sstream>

namespace pecheck {
namespace {

constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kRelocsStripped = 0x0001;
constexpr uint32_t kScnExecute = 0x20000000;
constexpr uint32_t kScnWrite = 0x80000000;
enum Dir { kExport = 0, kImport = 1, kReloc = 5, kTls = 9 };

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string hex(uint64_t v) {
  std::ostringstream o;
  o << "0x" << std::hex << v;
  return o.str();
}

struct Section {
  std::string name;
  uint32_t va, vsize, rawOff, rawSize, flags;
};

// Bounds-checked view of the image; every read past the end yields nullopt.
class Pe {
 public:
  explicit Pe(const std::vector<uint8_t>& b) : b_(b) {}

  template <class T>
  std::optional<T> at(uint64_t off) const {
    if (off > b_.size() || b_.size() - off < sizeof(T)) return std::nullopt;
    T v;
    std::memcpy(&v, b_.data() + off, sizeof(T));
    return v;
  }

  // Returns an error message, or empty on success.
  std::string parse() {
    auto mz = at<uint16_t>(0);
    if (!mz || *mz != 0x5a4d) return "no MZ header";
    auto lfanew = at<uint32_t>(0x3c);
    if (!lfanew) return "truncated DOS header";
    pe_ = *lfanew;
    auto sig = at<uint32_t>(pe_);
    if (!sig || *sig != 0x00004550) return "no PE signature";
    machine = at<uint16_t>(pe_ + 4).value_or(0);
    nsec_ = at<uint16_t>(pe_ + 6).value_or(0);
    symPtr = at<uint32_t>(pe_ + 12).value_or(0);
    symCount = at<uint32_t>(pe_ + 16).value_or(0);
    optSize_ = at<uint16_t>(pe_ + 20).value_or(0);
    characteristics = at<uint16_t>(pe_ + 22).value_or(0);
    opt = pe_ + 24;
    auto magic = at<uint16_t>(opt);
    if (!magic) return "truncated optional header";
    this->magic = *magic;
    if (*magic != kPe32Plus || optSize_ < 112) return {};  // reported by the format check
    entry = at<uint32_t>(opt + 16).value_or(0);
    imageBase = at<uint64_t>(opt + 24).value_or(0);
    subsystem = at<uint16_t>(opt + 68).value_or(0);
    storedChecksum = at<uint32_t>(opt + 64).value_or(0);
    ndirs_ = at<uint32_t>(opt + 108).value_or(0);
    uint64_t sh = opt + optSize_;
    for (unsigned i = 0; i < nsec_; ++i, sh += 40) {
      if (!at<uint32_t>(sh + 36)) return "truncated section table";
      char name[9] = {};
      std::memcpy(name, b_.data() + sh, 8);
      sections.push_back({name, *at<uint32_t>(sh + 12), *at<uint32_t>(sh + 8), *at<uint32_t>(sh + 20),
                          *at<uint32_t>(sh + 16), *at<uint32_t>(sh + 36)});
    }
    return {};
  }

  std::pair<uint32_t, uint32_t> dir(unsigned i) const {
    if (i >= ndirs_ || 112 + 8 * (i + 1) > optSize_) return {0, 0};
    return {at<uint32_t>(opt + 112 + 8 * i).value_or(0), at<uint32_t>(opt + 116 + 8 * i).value_or(0)};
  }

  std::optional<uint64_t> off(uint32_t rva) const {
    for (auto& s : sections) {
      uint32_t span = std::max(s.vsize, s.rawSize);
      if (rva >= s.va && rva - s.va < span) {
        if (rva - s.va >= s.rawSize) return std::nullopt;  // uninitialised data
        return uint64_t{s.rawOff} + (rva - s.va);
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> str(uint64_t o) const {
    std::string s;
    for (; o < b_.size() && s.size() < 512; ++o) {
      if (!b_[o]) return s;
      s += static_cast<char>(b_[o]);
    }
    return std::nullopt;
  }
  std::optional<std::string> strRva(uint32_t rva) const {
    auto o = off(rva);
    return o ? str(*o) : std::nullopt;
  }

  // Resolves a name to an RVA through the export table, then the COFF symbol table.
  std::optional<uint32_t> symbol(const std::string& want) const {
    auto [erva, esize] = dir(kExport);
    if (erva && esize) {
      if (auto eo = off(erva)) {
        uint32_t nnames = at<uint32_t>(*eo + 24).value_or(0);
        auto funcs = off(at<uint32_t>(*eo + 28).value_or(0));
        auto names = off(at<uint32_t>(*eo + 32).value_or(0));
        auto ords = off(at<uint32_t>(*eo + 36).value_or(0));
        for (uint32_t i = 0; funcs && names && ords && i < nnames; ++i) {
          auto n = strRva(at<uint32_t>(*names + 4 * i).value_or(0));
          if (n && *n == want) {
            auto ord = at<uint16_t>(*ords + 2 * i);
            if (ord) return at<uint32_t>(*funcs + 4 * *ord);
          }
        }
      }
    }
    if (symPtr && symCount) {
      uint64_t strtab = uint64_t{symPtr} + 18ull * symCount;
      for (uint32_t i = 0; i < symCount; ++i) {
        uint64_t s = symPtr + 18ull * i;
        auto value = at<uint32_t>(s + 8);
        auto secno = at<int16_t>(s + 12);
        auto aux = at<uint8_t>(s + 17);
        if (!value || !secno || !aux) break;
        std::string name;
        if (at<uint32_t>(s).value_or(1) == 0) {
          name = str(strtab + at<uint32_t>(s + 4).value_or(0)).value_or("");
        } else {
          char n[9] = {};
          std::memcpy(n, b_.data() + s, 8);
          name = n;
        }
        if (name == want && *secno > 0 && static_cast<size_t>(*secno) <= sections.size())
          return sections[*secno - 1].va + *value;
        i += *aux;
      }
    }
    return std::nullopt;
  }

  uint16_t machine = 0, magic = 0, subsystem = 0, characteristics = 0;
  uint32_t entry = 0, storedChecksum = 0, symPtr = 0, symCount = 0;
  uint64_t imageBase = 0, opt = 0;
  std::vector<Section> sections;

 private:
  const std::vector<uint8_t>& b_;
  uint64_t pe_ = 0;
  uint16_t nsec_ = 0, optSize_ = 0;
  uint32_t ndirs_ = 0;
};

// Address of a symbol in a GNU ld map ("   0x0000000140001000   DriverEntry").
std::optional<uint64_t> mapSymbol(const std::string& map, const std::string& want) {
  std::istringstream in(map);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream l(line);
    std::string addr, name, extra;
    if (!(l >> addr >> name) || (l >> extra) || addr.rfind("0x", 0) != 0 || name != want) continue;
    return std::stoull(addr, nullptr, 16);
  }
  return std::nullopt;
}

std::optional<uint32_t> resolve(const Pe& pe, const Inputs& in, const std::string& name) {
  if (auto r = pe.symbol(name)) return r;
  if (auto a = mapSymbol(in.map, name); a && *a >= pe.imageBase) return static_cast<uint32_t>(*a - pe.imageBase);
  return std::nullopt;
}

std::string checkImports(const Pe& pe, const Inputs& in) {
  auto [rva, size] = pe.dir(kImport);
  if (!rva || !size) return {};
  auto desc = pe.off(rva);
  if (!desc) return "import directory outside the image";
  std::string bad;
  for (uint64_t d = *desc;; d += 20) {
    auto lookup = pe.at<uint32_t>(d), nameRva = pe.at<uint32_t>(d + 12), iat = pe.at<uint32_t>(d + 16);
    if (!lookup || !nameRva || !iat) return "truncated import directory";
    if (!*lookup && !*nameRva && !*iat) break;
    auto dll = pe.strRva(*nameRva);
    if (!dll) return "unreadable import DLL name";
    auto allowed = in.exports.find(lower(*dll));
    if (allowed == in.exports.end()) {
      bad += " " + *dll + " (DLL not allowed)";
      continue;
    }
    auto thunks = pe.off(*lookup ? *lookup : *iat);
    if (!thunks) return "import thunks outside the image";
    for (uint64_t t = *thunks;; t += 8) {
      auto th = pe.at<uint64_t>(t);
      if (!th) return "truncated import thunks";
      if (!*th) break;
      if (*th >> 63) {
        bad += " " + *dll + "!#" + std::to_string(*th & 0xffff) + " (import by ordinal)";
        continue;
      }
      auto fn = pe.strRva(static_cast<uint32_t>(*th) + 2);
      if (!fn) return "unreadable import name in " + *dll;
      if (!allowed->second.count(*fn)) bad += " " + *dll + "!" + *fn + " (not exported)";
    }
  }
  return bad.empty() ? std::string{} : "bad imports:" + bad;
}

std::string checkStaticInit(const Pe& pe, const Inputs& in) {
  for (auto& s : pe.sections) {
    bool init = s.name == ".ctors" || s.name.rfind(".ctors.", 0) == 0 || s.name == ".init_ar" ||
                s.name.rfind(".CRT$XC", 0) == 0 || s.name.rfind(".init_array", 0) == 0;
    if (init && (s.vsize || s.rawSize)) return "static initialiser section " + s.name + " is not empty";
  }
  // GNU ld folds .ctors into .text between __CTOR_LIST__ (a -1 or count word) and a zero word.
  auto list = resolve(pe, in, "__CTOR_LIST__");
  if (!list) return {};
  auto o = pe.off(*list);
  if (!o) return "__CTOR_LIST__ outside the image";
  auto first = pe.at<uint64_t>(*o + 8);  // entries follow the leading word
  if (!first) return "truncated __CTOR_LIST__";
  return *first ? "global constructor at " + hex(*first) + " in __CTOR_LIST__" : std::string{};
}

}  // namespace

uint32_t checksum(const std::vector<uint8_t>& image) {
  Pe pe(image);
  if (!pe.parse().empty() || pe.opt == 0) return 0;
  uint64_t field = pe.opt + 64;
  uint64_t sum = 0;
  for (uint64_t i = 0; i < image.size(); i += 2) {
    if (i == field || i == field + 2) continue;
    uint32_t w = image[i] | (i + 1 < image.size() ? image[i + 1] << 8 : 0);
    sum += w;
    sum = (sum & 0xffff) + (sum >> 16);
  }
  sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<uint32_t>(sum + image.size());
}

bool fixChecksum(std::vector<uint8_t>& image) {
  Pe pe(image);
  if (!pe.parse().empty() || pe.opt + 68 > image.size()) return false;
  uint32_t c = checksum(image);
  std::memcpy(image.data() + pe.opt + 64, &c, 4);
  return true;
}

bool parseExports(const std::string& text, Inputs& in) {
  std::istringstream s(text);
  std::string dll, name;
  bool any = false;
  while (s >> dll >> name) {
    in.exports[lower(dll)].insert(name);
    any = true;
  }
  return any;
}

std::vector<Result> check(const std::vector<uint8_t>& image, const Inputs& in) {
  std::vector<Result> r;
  Pe pe(image);
  if (auto err = pe.parse(); !err.empty()) return {{"PE image", false, err}};
  auto add = [&](const char* p, bool ok, std::string detail) { r.push_back({p, ok, std::move(detail)}); };
  bool fmt = pe.machine == kMachineAmd64 && pe.magic == kPe32Plus;
  add("PE32+ for x64", fmt, "machine " + hex(pe.machine) + ", optional header magic " + hex(pe.magic));
  if (!fmt) return r;
  add("subsystem native", pe.subsystem == kSubsystemNative, "subsystem " + std::to_string(pe.subsystem));
  auto de = resolve(pe, in, "DriverEntry");
  add("entry point is DriverEntry", de && *de == pe.entry && pe.entry,
      de ? "entry " + hex(pe.entry) + ", DriverEntry " + hex(*de)
         : "DriverEntry not found in exports, symbols or map");
  auto imp = checkImports(pe, in);
  add("imports only exported ntoskrnl.exe/HAL.dll names", imp.empty(), imp);
  auto [rrva, rsize] = pe.dir(kReloc);
  add("base relocations present", rrva && rsize && !(pe.characteristics & kRelocsStripped),
      "relocation directory size " + std::to_string(rsize) +
          ((pe.characteristics & kRelocsStripped) ? ", RELOCS_STRIPPED set" : ""));
  auto [trva, tsize] = pe.dir(kTls);
  add("no TLS directory", !trva && !tsize, trva ? "TLS directory at " + hex(trva) : "");
  auto init = checkStaticInit(pe, in);
  add("no static initialisers", init.empty(), init);
  std::string wx;
  for (auto& s : pe.sections)
    if ((s.flags & kScnWrite) && (s.flags & kScnExecute)) wx += " " + s.name;
  add("no writable+executable section", wx.empty(), wx.empty() ? "" : "W+X:" + wx);
  uint32_t want = checksum(image);
  add("checksum correct", want == pe.storedChecksum,
      "stored " + hex(pe.storedChecksum) + ", computed " + hex(want));
  return r;
}

}  // namespace pecheck
