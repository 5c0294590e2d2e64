#include "platform/os/exception.h"

#include <gtest/gtest.h>

using sonquarry::FormatMessage;

TEST(FormatMessage, ReplacesOnlyTheFirstPlaceholder) {
  EXPECT_EQ(FormatMessage("StrIP: wrong IP-address '%s'.", "1.2.3"),
            "StrIP: wrong IP-address '1.2.3'.");
  EXPECT_EQ(FormatMessage("a %s b %s", "x"), "a x b %s");
  EXPECT_EQ(FormatMessage("no placeholder.", "x"), "no placeholder.");
  EXPECT_EQ(FormatMessage("%s", "%s"), "%s");
}

TEST(Exception, IsARuntimeErrorWithItsMessage) {
  try {
    throw sonquarry::Exception("TIPResList.Next: ADomNetRes = nil.");
  } catch (const std::runtime_error &e) {
    EXPECT_STREQ(e.what(), "TIPResList.Next: ADomNetRes = nil.");
  }
}
