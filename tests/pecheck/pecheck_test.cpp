// The image checker against a cross-built fixture driver and byte-patched copies of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "pecheck.h"

namespace {

#ifdef PECHECK_FIXTURE_DIR
const std::string kDir = PECHECK_FIXTURE_DIR;
#else
const std::string kDir;
#endif

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

class PeCheck : public testing::Test {
 protected:
  void SetUp() override {
    if (kDir.empty()) GTEST_SKIP() << "mingw-w64 cross compiler absent: no fixture images";
    std::string b = slurp(kDir + "/good.sys");
    ASSERT_FALSE(b.empty());
    image.assign(b.begin(), b.end());
    ASSERT_TRUE(pecheck::parseExports(slurp(kDir + "/exports.txt"), in));
  }

  uint32_t u32(size_t off) const {
    uint32_t v;
    std::memcpy(&v, image.data() + off, 4);
    return v;
  }
  template <class T>
  void put(size_t off, T v) {
    std::memcpy(image.data() + off, &v, sizeof v);
  }
  size_t pe() const { return u32(0x3c); }
  size_t opt() const { return pe() + 24; }
  size_t dir(int i) const { return opt() + 112 + 8 * i; }
  size_t section(const char* name) const {
    uint16_t n, optSize;
    std::memcpy(&n, image.data() + pe() + 6, 2);
    std::memcpy(&optSize, image.data() + pe() + 20, 2);
    for (size_t i = 0, s = opt() + optSize; i < n; ++i, s += 40)
      if (std::strncmp(reinterpret_cast<const char*>(image.data() + s), name, 8) == 0) return s;
    ADD_FAILURE() << "no section " << name;
    return 0;
  }
  void replace(const std::string& from, const std::string& to) {
    ASSERT_EQ(from.size(), to.size());
    auto it = std::search(image.begin(), image.end(), from.begin(), from.end());
    ASSERT_NE(it, image.end()) << from;
    std::copy(to.begin(), to.end(), it);
  }

  // Names of the failed checks after re-sealing the checksum, so a patch breaks one property only.
  std::vector<std::string> failures(bool reseal = true) {
    if (reseal) {
      EXPECT_TRUE(pecheck::fixChecksum(image));
    }
    std::vector<std::string> f;
    for (auto& r : pecheck::check(image, in)) {
      if (!r.ok) f.push_back(r.property);
    }
    return f;
  }

  std::vector<uint8_t> image;
  pecheck::Inputs in;
};

using Names = std::vector<std::string>;

TEST_F(PeCheck, FixtureImagePassesEveryCheck) {
  auto results = pecheck::check(image, in);
  EXPECT_EQ(results.size(), 9u);
  for (auto& r : results) EXPECT_TRUE(r.ok) << r.property << ": " << r.detail;
}

TEST_F(PeCheck, EachBrokenHeaderPropertyIsReportedAlone) {
  const auto good = image;
  const struct {
    std::function<void()> patch;
    const char* fails;
  } cases[] = {
      {[&] { put<uint16_t>(pe() + 4, 0x14c); }, "PE32+ for x64"},  // i386
      {[&] { put<uint16_t>(opt() + 68, 2); }, "subsystem native"},  // Windows GUI
      {[&] { put<uint32_t>(opt() + 16, u32(opt() + 16) + 0x10); }, "entry point is DriverEntry"},
      {[&] { put<uint32_t>(dir(9), 0x1000), put<uint32_t>(dir(9) + 4, 40); }, "no TLS directory"},
      {[&] { put<uint32_t>(dir(5), 0), put<uint32_t>(dir(5) + 4, 0); }, "base relocations present"},
      {[&] { put<uint16_t>(pe() + 22, uint16_t(u32(pe() + 22) | 1)); }, "base relocations present"},  // RELOCS_STRIPPED
      {[&] { put<uint32_t>(section(".text") + 36, u32(section(".text") + 36) | 0x80000000u); },
       "no writable+executable section"},
  };
  for (const auto& c : cases) {
    image = good;
    c.patch();
    EXPECT_EQ(failures(), Names{c.fails});
  }
}

TEST_F(PeCheck, ChecksumMustMatchAndFixChecksumRepairsIt) {
  put<uint32_t>(opt() + 64, u32(opt() + 64) ^ 1);
  EXPECT_EQ(failures(false), Names{"checksum correct"});
  // A changed byte anywhere outside the field must also change the sum.
  ASSERT_TRUE(pecheck::fixChecksum(image));
  image[image.size() - 1] ^= 0x5a;
  EXPECT_EQ(failures(false), Names{"checksum correct"});
  EXPECT_EQ(failures(true), Names{});
}

TEST_F(PeCheck, ImportsOutsideTheKernelExportListsAreRejected) {
  auto good = image;
  replace("ntoskrnl.exe", "kernel32.dll");
  EXPECT_EQ(failures(), Names{"imports only exported ntoskrnl.exe/HAL.dll names"});

  image = good;
  replace("DbgPrintEx", "DbgPrintXx");
  EXPECT_EQ(failures(), Names{"imports only exported ntoskrnl.exe/HAL.dll names"});
  auto r = pecheck::check(image, in);
  auto bad = std::find_if(r.begin(), r.end(), [](auto& x) { return !x.ok; });
  ASSERT_NE(bad, r.end());
  EXPECT_NE(bad->detail.find("DbgPrintXx"), std::string::npos) << bad->detail;

  // The DLL name is matched without regard to case, as the loader does.
  image = good;
  replace("ntoskrnl.exe", "NTOSKRNL.EXE");
  EXPECT_EQ(failures(), Names{});
}

TEST_F(PeCheck, EntryPointFallsBackToTheLinkerMap) {
  put<uint32_t>(dir(0), 0);  // no export table
  put<uint32_t>(dir(0) + 4, 0);
  put<uint32_t>(pe() + 12, 0);  // no COFF symbol table
  put<uint32_t>(pe() + 16, 0);
  EXPECT_EQ(failures(), Names{"entry point is DriverEntry"});
  in.map = slurp(kDir + "/good.map");
  ASSERT_FALSE(in.map.empty());
  EXPECT_EQ(failures(), Names{});
}

TEST_F(PeCheck, GlobalConstructorImageIsRejected) {
  std::string b = slurp(kDir + "/ctor.sys");
  ASSERT_FALSE(b.empty());
  image.assign(b.begin(), b.end());
  EXPECT_EQ(failures(), Names{"no static initialisers"});
}

TEST_F(PeCheck, MalformedImagesFailWithoutReadingOutOfBounds) {
  auto good = image;
  for (size_t len : {size_t{0}, size_t{2}, size_t{0x40}, pe() + 4, opt() + 50, size_t{0x300}, good.size() / 2}) {
    image.assign(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(len));
    auto f = failures(false);
    EXPECT_FALSE(f.empty()) << "truncated to " << len;
  }
  image = good;
  put<uint32_t>(0x3c, 0x7ffffff0);  // e_lfanew far past the end
  EXPECT_EQ(failures(false), Names{"PE image"});
  image = good;
  put<uint32_t>(dir(1), 0x7fff0000);  // import directory outside every section
  EXPECT_EQ(failures(), Names{"imports only exported ntoskrnl.exe/HAL.dll names"});
}

}  // namespace
