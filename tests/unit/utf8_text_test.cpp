#include "text/utf8_text.h"

#include <gtest/gtest.h>

#include <locale.h>
#include <utility>
#include <wctype.h>

using namespace sonquarry;

TEST(Utf8Text, LowerCasesLatinGreekCyrillic) {
  EXPECT_EQ(text::LowerUtf8("ABC xyz 09"), "abc xyz 09");
  EXPECT_EQ(text::LowerUtf8("ÀÉÎÕÜ ÆØÞ"), "àéîõü æøþ");
  EXPECT_EQ(text::LowerUtf8("ŁÓDŹ ŠKODA ŐZ"), "łódź škoda őz");
  EXPECT_EQ(text::LowerUtf8("ΑΘΗΝΑ ΆΈΏ"), "αθηνα άέώ");
  EXPECT_EQ(text::LowerUtf8("МОСКВА ЁЖ ЇЄ"), "москва ёж їє");
  EXPECT_EQ(text::LowerUtf8("×÷ß日本"), "×÷ß日本"); // no lower form
}

TEST(Utf8Text, LengthMayChange) {
  EXPECT_EQ(text::LowerUtf8("\xE2\x84\xAA"), "k"); // KELVIN SIGN
  EXPECT_EQ(text::LowerUtf8("İ"), "i");
}

TEST(Utf8Text, MalformedBytesSurviveUnchanged) {
  for (const std::string &s :
       {std::string("\xff\xfe"), std::string("A\xC3"), std::string("\xC0\xAF"),
        std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string("a\0b", 3),
        std::string("\xE2\x82")}) {
    const std::u32string d = text::DecodeUtf8(s);
    EXPECT_EQ(d.size(), s.size()) << "one unit per byte";
    EXPECT_EQ(text::EncodeUtf8(d), s);
  }
  EXPECT_EQ(text::LowerUtf8("A\xffZ"), "a\xffz");
}

TEST(Utf8Text, SameText) {
  EXPECT_TRUE(text::SameText("\\\\PC1", "\\\\pc1"));
  EXPECT_TRUE(text::SameText("Ärger", "äRGER"));
  EXPECT_FALSE(text::SameText("pc1", "pc2"));
  EXPECT_FALSE(text::SameText("a", "a "));
}

// The C library's own case mapping of the UTF-8 locale that glibc always has built in.
TEST(Utf8Text, BuiltInTableAgreesWithTheCLibrary) {
  const locale_t Utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
  ASSERT_NE(Utf8, locale_t(0)) << "the C library has no C.UTF-8 locale";
  // Latin-1, Latin Extended-A, Greek and Coptic, Cyrillic and its Supplement.
  for (const auto &[From, To] :
       {std::pair<char32_t, char32_t>{0xC0, 0x180}, {0x370, 0x400}, {0x400, 0x530}}) {
    for (char32_t c = From; c < To; ++c) {
      const auto Lower = static_cast<char32_t>(::towlower_l(static_cast<wint_t>(c), Utf8));
      EXPECT_EQ(text::TableLowerCase(c), Lower) << std::hex << static_cast<unsigned>(c);
      EXPECT_EQ(text::LowerCaseChar(c), Lower) << std::hex << static_cast<unsigned>(c);
    }
  }
  ::freelocale(Utf8);
}
