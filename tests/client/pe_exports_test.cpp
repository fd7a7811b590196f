#include "platform/pe/pe_exports.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "pe_builder.h"

namespace kv::platform {
namespace {

using test::buildPeDll;
using test::PeDllImage;
using test::PeDllOptions;
using test::putU16;
using test::putU32;

const std::vector<std::string> kEglExports = {"eglChooseConfig", "eglGetDisplay", "eglInitialize"};
const std::vector<std::string> kGlesExports = {"glClear", "glGetString", "glGetStringi"};

TEST(PeExportsTest, FindsExactNamesInPe32AndPe32Plus) {
  struct Case {
    bool pe32Plus;
    std::vector<std::string> exports;
    const char* symbol;
    bool found;
  };
  const Case cases[] = {
      {false, kEglExports, "eglGetDisplay", true},
      {true, kEglExports, "eglGetDisplay", true},
      {false, kGlesExports, "glGetString", true},
      {true, kGlesExports, "glGetString", true},
      {false, kGlesExports, "glClear", true},
      {true, {"glGetString"}, "glGetString", true},
      // Absent, or only similar names.
      {false, kEglExports, "glGetString", false},
      {true, kEglExports, "glGetString", false},
      {false, {"glGetStringi"}, "glGetString", false},
      {true, {"glGetStrin"}, "glGetString", false},
      {false, {"GLGETSTRING"}, "glGetString", false},
      {true, {}, "glGetString", false},
      {false, {}, "eglGetDisplay", false},
      {false, kGlesExports, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pe32Plus ? "PE32+ " : "PE32 ") + c.symbol);
    const PeDllImage image = buildPeDll({c.pe32Plus, c.exports});
    EXPECT_TRUE(looksLikePeImage(image.bytes));
    EXPECT_EQ(peExportsSymbol(image.bytes, c.symbol), c.found);
  }
}

TEST(PeExportsTest, ManyExportsAreAllFound) {
  PeDllOptions options;
  for (int i = 0; i < 500; ++i) options.exports.push_back("fn" + std::to_string(i));
  options.exports.push_back("glGetString");
  for (const bool pe32Plus : {false, true}) {
    options.pe32Plus = pe32Plus;
    const PeDllImage image = buildPeDll(options);
    for (const std::string& name : options.exports) {
      ASSERT_TRUE(peExportsSymbol(image.bytes, name)) << name;
      // Names that sort between the exported ones are absent.
      ASSERT_FALSE(peExportsSymbol(image.bytes, name + "x")) << name;
      ASSERT_FALSE(peExportsSymbol(image.bytes, name.substr(0, name.size() - 1) + "~")) << name;
    }
    EXPECT_FALSE(peExportsSymbol(image.bytes, "fn500"));
    EXPECT_FALSE(peExportsSymbol(image.bytes, "a"));
    EXPECT_FALSE(peExportsSymbol(image.bytes, "\xff"));
  }
}

TEST(PeExportsTest, NotAWindowsImage) {
  const std::vector<std::vector<std::uint8_t>> inputs = {
      {},
      {'M'},
      {'M', 'Z'},
      {0x7F, 'E', 'L', 'F', 2, 1, 1, 0},
      {'Z', 'M', 0, 0},
  };
  for (const auto& bytes : inputs) {
    EXPECT_FALSE(peExportsSymbol(bytes, "glGetString"));
  }
  EXPECT_FALSE(looksLikePeImage(std::vector<std::uint8_t>{0x7F, 'E', 'L', 'F'}));
}

// Every cut of a valid image, at every length, is rejected without reading
// past its end (the sanitizer build would report it): a library whose end
// is missing is damaged even when its export data is complete.
TEST(PeExportsTest, TruncatedImagesAreRejected) {
  for (const bool pe32Plus : {false, true}) {
    const PeDllImage image = buildPeDll({pe32Plus, kGlesExports});
    for (std::size_t length = 0; length < image.bytes.size(); ++length) {
      const std::vector<std::uint8_t> cut(image.bytes.begin(), image.bytes.begin() + length);
      ASSERT_FALSE(peExportsSymbol(cut, "glGetStringi")) << "length " << length;
    }
    EXPECT_TRUE(peExportsSymbol(image.bytes, "glGetStringi"));
  }
}

struct Damage {
  const char* name;
  std::function<void(PeDllImage&)> apply;
};

TEST(PeExportsTest, DamagedHeadersAndTablesAreRejected) {
  const Damage damages[] = {
      {"PE offset past the end", [](PeDllImage& i) { putU32(i.bytes, 0x3C, 0xFFFFFFF0u); }},
      {"PE offset into the DOS header", [](PeDllImage& i) { putU32(i.bytes, 0x3C, 0x2); }},
      {"no PE signature", [](PeDllImage& i) { i.bytes[i.peHeader + 1] = 'X'; }},
      {"unknown optional header magic", [](PeDllImage& i) { putU16(i.bytes, i.optionalHeader, 0x107); }},
      {"optional header size too small",
       [](PeDllImage& i) { putU16(i.bytes, i.peHeader + 4 + 16, 20); }},
      {"optional header size past the end",
       [](PeDllImage& i) { putU16(i.bytes, i.peHeader + 4 + 16, 0xFFFF); }},
      {"no data directories", [](PeDllImage& i) { putU32(i.bytes, i.rvaCountField, 0); }},
      {"no export directory", [](PeDllImage& i) { putU32(i.bytes, i.exportEntry, 0); }},
      {"export directory of size zero", [](PeDllImage& i) { putU32(i.bytes, i.exportEntry + 4, 0); }},
      {"export directory outside every section",
       [](PeDllImage& i) { putU32(i.bytes, i.exportEntry, 0x7FFFFFF0u); }},
      {"export directory straddles the section end",
       [](PeDllImage& i) {
         putU32(i.bytes, i.exportEntry, i.edataRva + static_cast<std::uint32_t>(i.edataRawSize) - 20);
       }},
      {"huge section count", [](PeDllImage& i) { putU16(i.bytes, i.peHeader + 4 + 2, 0xFFFF); }},
      {"section data past the end of the file",
       [](PeDllImage& i) { putU32(i.bytes, i.sectionTable + 40 + 20, 0xFFFFFF00u); }},
      {"section raw size past the end of the file",
       [](PeDllImage& i) { putU32(i.bytes, i.sectionTable + 40 + 16, 0x7FFFFFFFu); }},
      {"overlapping sections",
       [](PeDllImage& i) { putU32(i.bytes, i.sectionTable + 40 + 12, 0x1010); }},
      {"huge name count", [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 24, 0xFFFFFFFFu); }},
      {"name count past the arrays",
       [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 24, 0x1000); }},
      {"huge function count",
       [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 20, 0xFFFFFFFFu); }},
      {"names array out of range",
       [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 32, 0xFFFFFFFCu); }},
      {"ordinals array out of range",
       [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 36, 0x00100000u); }},
      {"functions array out of range",
       [](PeDllImage& i) { putU32(i.bytes, i.exportDirectory + 28, 0x90000000u); }},
      {"every name pointer out of range",
       [](PeDllImage& i) {
         for (std::size_t k = 0; k < 3; ++k) putU32(i.bytes, i.namesArray + 4 * k, 0xFFFFFFFFu);
       }},
      {"ordinal beyond the functions",
       [](PeDllImage& i) {
         for (std::size_t k = 0; k < 3; ++k) putU16(i.bytes, i.ordinalsArray + 2 * k, 0xFFFF);
       }},
      {"function address zero",
       [](PeDllImage& i) {
         for (std::size_t k = 0; k < 3; ++k) putU32(i.bytes, i.functionsArray + 4 * k, 0);
       }},
  };
  for (const bool pe32Plus : {false, true}) {
    for (const Damage& damage : damages) {
      SCOPED_TRACE(std::string(pe32Plus ? "PE32+: " : "PE32: ") + damage.name);
      PeDllImage image = buildPeDll({pe32Plus, {"glGetString"}});
      ASSERT_TRUE(peExportsSymbol(image.bytes, "glGetString"));
      damage.apply(image);
      EXPECT_FALSE(peExportsSymbol(image.bytes, "glGetString"));
    }
  }
}

TEST(PeExportsTest, NameRunningOffTheSectionIsRejected) {
  // The only name fills the section's last stored bytes; what follows
  // decides whether it ends.
  PeDllImage image = buildPeDll({false, {"glGetString"}});
  const std::string name = "glGetString";
  const auto rawSize = static_cast<std::uint32_t>(image.edataRawSize);
  const std::size_t end = image.edataRawOffset + image.edataRawSize;
  for (std::size_t k = 0; k < name.size(); ++k) image.bytes[end - name.size() + k] = name[k];
  putU32(image.bytes, image.namesArray, image.edataRva + rawSize - static_cast<std::uint32_t>(name.size()));
  const std::size_t virtualSizeField = image.sectionTable + 40 + 8;

  // The section ends with the name: no terminator anywhere.
  putU32(image.bytes, virtualSizeField, rawSize);
  EXPECT_FALSE(peExportsSymbol(image.bytes, "glGetString"));
  // The section is larger in memory, where its tail is zero: it ends there.
  putU32(image.bytes, virtualSizeField, rawSize + 0x100);
  EXPECT_TRUE(peExportsSymbol(image.bytes, "glGetString"));
  // A longer name ends in the zero tail too, but does not match.
  EXPECT_FALSE(peExportsSymbol(image.bytes, "glGetStringX"));
}

TEST(PeExportsTest, ForwardedExportCounts) {
  // A forwarder's address points back into the export data ("OTHER.glGetString").
  PeDllImage image = buildPeDll({true, {"glGetString"}});
  putU32(image.bytes, image.functionsArray, image.exportRva + 12);
  EXPECT_TRUE(peExportsSymbol(image.bytes, "glGetString"));
}

// Random byte damage in the headers and the export data never makes the
// reader read outside the image (the sanitizer build checks every access);
// damage outside what the reader looks at changes nothing.
TEST(PeExportsTest, RandomDamageStaysInBounds) {
  std::mt19937 random(20261207);
  for (const bool pe32Plus : {false, true}) {
    const PeDllImage original = buildPeDll({pe32Plus, kEglExports});
    for (int round = 0; round < 4000; ++round) {
      std::vector<std::uint8_t> bytes = original.bytes;
      const int flips = 1 + static_cast<int>(random() % 8);
      for (int k = 0; k < flips; ++k) {
        // Mostly the header and the export data, where the reader looks.
        const bool inExports = random() % 2 == 0;
        const std::size_t base = inExports ? original.exportDirectory : 0;
        const std::size_t span = inExports ? 160 : original.sectionTable + 80;
        bytes[base + random() % span] = static_cast<std::uint8_t>(random());
      }
      (void)peExportsSymbol(bytes, "eglGetDisplay");
    }
    // The code section is not read at all.
    std::vector<std::uint8_t> bytes = original.bytes;
    for (std::size_t k = 0x400; k < 0x600; ++k) bytes[k] = static_cast<std::uint8_t>(random());
    EXPECT_TRUE(peExportsSymbol(bytes, "eglGetDisplay"));
  }
}

}  // namespace
}  // namespace kv::platform
