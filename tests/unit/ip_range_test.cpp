#include "discovery/ip_range.h"
#include "platform/os/exception.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sonquarry;
using namespace sonquarry::testing;

namespace {

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::vector<uint32_t> Drain(TIPList &List, size_t Limit = 1000) {
  std::vector<uint32_t> out;
  uint32_t a = 0;
  while (out.size() < Limit && List.NextAddress(a)) out.push_back(a);
  return out;
}

std::vector<uint32_t> Seq(uint32_t From, uint32_t To) {
  std::vector<uint32_t> out;
  for (uint64_t a = From; a <= To; ++a) out.push_back(static_cast<uint32_t>(a));
  return out;
}

} // namespace

TEST(IPToStr, MostSignificantByteFirstWithoutLeadingZeros) {
  EXPECT_EQ(IPToStr(Ip(192, 168, 0, 15)), "192.168.0.15");
  EXPECT_EQ(IPToStr(0), "0.0.0.0");
  EXPECT_EQ(IPToStr(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(IPToStr(Ip(10, 0, 7, 1)), "10.0.7.1");
}

TEST(StrIP, AcceptedTexts) {
  EXPECT_EQ(StrIP("192.168.0.15"), Ip(192, 168, 0, 15));
  EXPECT_EQ(StrIP("192.168.000.001"), Ip(192, 168, 0, 1));
  EXPECT_EQ(StrIP("10"), Ip(10, 0, 0, 0));
  EXPECT_EQ(StrIP("10.1"), Ip(10, 1, 0, 0));
  EXPECT_EQ(StrIP("1.2.3."), Ip(1, 2, 3, 0));
  EXPECT_EQ(StrIP("1.2.3.4."), Ip(1, 2, 3, 4));
  EXPECT_EQ(StrIP(""), 0u);
  EXPECT_EQ(StrIP("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(StrIP("0000000000000255"), Ip(255, 0, 0, 0)); // 16 characters, leading zeros
  EXPECT_EQ(StrIP("1.2.3.0004"), Ip(1, 2, 3, 4));
}

TEST(StrIP, RejectedTextsNameThemselvesInTheError) {
  for (const std::string bad :
       {"256.1.1.1", "1.2.3.256", ".1.2.3", "1..2.3", "1.2.3.4.5", "1.2.3.4..", "a.b.c.d",
        "1.2.3.4 ", " 1.2.3.4", "1,2,3,4", "-1.2.3.4", "1.2.3.4.5.", ".", "1.2.3.4/24",
        "10.0.0.1000", "0000000256.1", "1.2.3.4\n"}) {
    EXPECT_EQ(ErrorOf([&] { StrIP(bad); }), "StrIP: wrong IP-address '" + bad + "'.")
        << "'" << bad << "'";
  }
  // 17 characters of otherwise valid text.
  const std::string long17 = "001.002.003.0004.";
  ASSERT_EQ(long17.size(), 17u);
  EXPECT_THROW(StrIP(long17), Exception);
  EXPECT_THROW(StrIP(std::string("1.2\0.3", 6)), Exception);
}

TEST(TIPRange, OrdersItsEndsAndShowsItself) {
  TIPRange r;
  EXPECT_EQ(r.From(), 0u);
  EXPECT_EQ(r.To(), 0u);
  EXPECT_EQ(r.Tag, 0);
  r.SetRange(Ip(10, 0, 0, 9), Ip(10, 0, 0, 3));
  EXPECT_EQ(r.From(), Ip(10, 0, 0, 3));
  EXPECT_EQ(r.To(), Ip(10, 0, 0, 9));
  EXPECT_EQ(r.DisplayText(), "10.0.0.3 - 10.0.0.9");
  r.SetRange(Ip(10, 0, 0, 4), Ip(10, 0, 0, 4));
  EXPECT_EQ(r.DisplayText(), "10.0.0.4");
}

TEST(TIPList, OverlappingRangesGiveTheUnionOnceAscending) {
  TIPList l;
  l.Add(Ip(10, 0, 0, 5), Ip(10, 0, 0, 7));
  l.Add(Ip(10, 0, 0, 1), Ip(10, 0, 0, 6));
  l.Reset();
  EXPECT_EQ(Drain(l), Seq(Ip(10, 0, 0, 1), Ip(10, 0, 0, 7)));
}

TEST(TIPList, ReversedRangeHoldsItsAddresses) {
  TIPList l;
  TIPRange &r = l.Add(Ip(10, 0, 0, 9), Ip(10, 0, 0, 3), 1);
  EXPECT_EQ(r.Tag, 1);
  l.Reset();
  EXPECT_EQ(Drain(l), Seq(Ip(10, 0, 0, 3), Ip(10, 0, 0, 9)));
}

TEST(TIPList, DisjointRangesSkipTheGap) {
  TIPList l;
  l.Add(Ip(10, 0, 0, 200), Ip(10, 0, 0, 201));
  l.Add(Ip(10, 0, 0, 1), Ip(10, 0, 0, 2));
  l.Reset();
  EXPECT_EQ(Drain(l), (std::vector<uint32_t>{Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Ip(10, 0, 0, 200),
                                             Ip(10, 0, 0, 201)}));
}

TEST(TIPList, NestedAndDuplicateRanges) {
  TIPList l;
  l.Add(Ip(10, 0, 1, 0), Ip(10, 0, 1, 20));
  l.Add(Ip(10, 0, 1, 5), Ip(10, 0, 1, 6));
  l.Add(Ip(10, 0, 1, 20), Ip(10, 0, 1, 20));
  l.Add(Ip(10, 0, 1, 0), Ip(10, 0, 1, 20));
  l.Add(Ip(10, 0, 1, 21), Ip(10, 0, 1, 22)); // adjacent
  l.Reset();
  EXPECT_EQ(Drain(l), Seq(Ip(10, 0, 1, 0), Ip(10, 0, 1, 22)));
}

TEST(TIPList, HighestAddressEndsWithoutWrapping) {
  TIPList l;
  l.Add(0xFFFFFFFDu, 0xFFFFFFFFu);
  l.Add(0, 1);
  l.Reset();
  EXPECT_EQ(Drain(l), (std::vector<uint32_t>{0, 1, 0xFFFFFFFDu, 0xFFFFFFFEu, 0xFFFFFFFFu}));
  uint32_t a = 7;
  EXPECT_FALSE(l.NextAddress(a));
  EXPECT_EQ(a, 7u);
  EXPECT_EQ(l.Current(), 0xFFFFFFFFu);
}

TEST(TIPList, EmptyAndExhaustedListsYieldNothingUntilReset) {
  TIPList l;
  uint32_t a = 0;
  l.Reset();
  EXPECT_FALSE(l.NextAddress(a));
  EXPECT_FALSE(l.NextAddress(a));

  l.Add(Ip(10, 0, 0, 1), Ip(10, 0, 0, 2));
  l.Reset();
  EXPECT_EQ(Drain(l).size(), 2u);
  EXPECT_FALSE(l.NextAddress(a));
  EXPECT_FALSE(l.NextAddress(a));
  l.Reset();
  EXPECT_EQ(Drain(l), Seq(Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)));
}

TEST(TIPList, NewListStartsAtItsLowestAddressEvenZero) {
  TIPList l;
  l.Add(0, 2);
  EXPECT_EQ(Drain(l), Seq(0, 2));
}

TEST(TIPList, DeleteAndClear) {
  TIPList l;
  l.Add(1, 1);
  l.Add(5, 6);
  l.Delete(0);
  l.Delete(9); // out of range: nothing happens
  ASSERT_EQ(l.Count(), 1u);
  EXPECT_EQ(l[0].From(), 5u);
  l.Reset();
  EXPECT_EQ(Drain(l), Seq(5, 6));
  l.Clear();
  l.Reset();
  EXPECT_TRUE(Drain(l).empty());
}

TEST(IsXPSP2, OnlyWindowsXPWithServicePack2) {
  EXPECT_TRUE(IsXPSP2Version(5, 1, "Service Pack 2"));
  EXPECT_FALSE(IsXPSP2Version(5, 1, "Service Pack 3"));
  EXPECT_FALSE(IsXPSP2Version(5, 1, "service pack 2"));
  EXPECT_FALSE(IsXPSP2Version(5, 1, "Service Pack 2 "));
  EXPECT_FALSE(IsXPSP2Version(5, 2, "Service Pack 2"));
  EXPECT_FALSE(IsXPSP2Version(6, 1, "Service Pack 2"));
  EXPECT_FALSE(IsXPSP2()); // not Windows
}
