#include "engine/utf8_text.h"

#include <gtest/gtest.h>

using namespace sonquarry;

TEST(Utf8Text, LowerCasesLatinGreekCyrillic) {
  EXPECT_EQ(LowerCaseUtf8("ABC xyz 09"), "abc xyz 09");
  EXPECT_EQ(LowerCaseUtf8("ÀÉÎÕÜ ÆØÞ"), "àéîõü æøþ");
  EXPECT_EQ(LowerCaseUtf8("ŁÓDŹ ŠKODA ŐZ"), "łódź škoda őz");
  EXPECT_EQ(LowerCaseUtf8("ΑΘΗΝΑ ΆΈΏ"), "αθηνα άέώ");
  EXPECT_EQ(LowerCaseUtf8("МОСКВА ЁЖ ЇЄ"), "москва ёж їє");
  EXPECT_EQ(LowerCaseUtf8("×÷ß日本"), "×÷ß日本"); // no lower form
}

TEST(Utf8Text, LengthMayChange) {
  EXPECT_EQ(LowerCaseUtf8("\xE2\x84\xAA"), "k"); // KELVIN SIGN
  EXPECT_EQ(LowerCaseUtf8("İ"), "i");
}

TEST(Utf8Text, MalformedBytesSurviveUnchanged) {
  for (const std::string &s :
       {std::string("\xff\xfe"), std::string("A\xC3"), std::string("\xC0\xAF"),
        std::string("\xED\xA0\x80"), std::string("\xF4\x90\x80\x80"), std::string("a\0b", 3),
        std::string("\xE2\x82")}) {
    const std::u32string d = DecodeUtf8(s);
    EXPECT_EQ(d.size(), s.size()) << "one unit per byte";
    EXPECT_EQ(EncodeUtf8(d), s);
  }
  EXPECT_EQ(LowerCaseUtf8("A\xffZ"), "a\xffz");
}

TEST(Utf8Text, SameText) {
  EXPECT_TRUE(SameText("\\\\PC1", "\\\\pc1"));
  EXPECT_TRUE(SameText("Ärger", "äRGER"));
  EXPECT_FALSE(SameText("pc1", "pc2"));
  EXPECT_FALSE(SameText("a", "a "));
}

TEST(Utf8Text, BuiltInTableAgreesWithTheLocale) {
  for (char32_t c = 0; c < 0x530; ++c) {
    const char32_t t = TableLowerCase(c);
    if (t != c) {
      EXPECT_EQ(t, LowerCaseChar(c)) << std::hex << static_cast<unsigned>(c);
    }
  }
  EXPECT_EQ(TableLowerCase(U'Ä'), U'ä');
  EXPECT_EQ(TableLowerCase(U'Ω'), U'ω');
  EXPECT_EQ(TableLowerCase(U'Я'), U'я');
  EXPECT_EQ(TableLowerCase(U'Ѐ'), U'ѐ');
  EXPECT_EQ(TableLowerCase(U'Ł'), U'ł');
}
