// Narrow text as UTF-16 units, as the MAT writer stores file names: UTF-8
// where it is valid, each other byte a Latin-1 character.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"

TEST(NarrowText, Utf8OrLatin1AsUtf16Units) {
  const struct {
    std::string text;
    std::vector<uint16_t> units;
  } cases[] = {
      {"a.mat", {'a', '.', 'm', 'a', 't'}},
      {"\xC3\xA4\xE2\x82\xAC", {0xE4, 0x20AC}},           // two and three bytes
      {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},             // four bytes: a surrogate pair
      {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},             // the last code point
      {"\xE4x", {0xE4, 'x'}},                             // cut short: Latin-1
      {"\xC0\xAF", {0xC0, 0xAF}},                         // overlong
      {"\xED\xA0\x80", {0xED, 0xA0, 0x80}},               // a surrogate's own code
      {"\xF4\x90\x80\x80", {0xF4, 0x90, 0x80, 0x80}},     // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NarrowToUtf16(c.text.data(), c.text.size(), nullptr, 0), static_cast<int>(c.units.size()))
        << c.text;
    std::vector<uint16_t> out(c.units.size() + 1, 0xFFFF);
    NarrowToUtf16(c.text.data(), c.text.size(), out.data(), static_cast<int>(c.units.size()));
    out.pop_back();
    EXPECT_EQ(out, c.units) << c.text;
  }
}
