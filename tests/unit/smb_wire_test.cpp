#include "platform/smb_wire.h"

#include <gtest/gtest.h>

using namespace sonquarry::platform::wire;

namespace {

Listing Sample() {
  Listing L;
  L.Dir = {7, 0x1122334455667788ull, IdKind::FileId};
  L.Entries = {{"a.mp3", false}, {"Sub dir", true}};
  L.End = true;
  return L;
}

TEST(SmbWire, ListingCarriesHandleIdEntriesAndEnd) {
  const auto Frame = Encode(Type::Listing, Put(Sample()));
  const auto R = Decode(Frame);
  ASSERT_TRUE(R.F) << R.Why;
  EXPECT_EQ(R.F->Kind, Type::Listing);
  Listing L;
  ASSERT_TRUE(Get(R.F->Payload, L));
  EXPECT_EQ(L.Dir.Handle, 7u);
  EXPECT_EQ(L.Dir.Id, 0x1122334455667788ull);
  EXPECT_EQ(L.Dir.Kind, IdKind::FileId);
  ASSERT_EQ(L.Entries.size(), 2u);
  EXPECT_EQ(L.Entries[1].Name, "Sub dir");
  EXPECT_TRUE(L.Entries[1].Directory);
  EXPECT_FALSE(L.Entries[0].Directory);
  EXPECT_TRUE(L.End);

  Listing Empty;
  ASSERT_TRUE(Get(Put(Listing{}), Empty));
  EXPECT_TRUE(Empty.Entries.empty());
  EXPECT_FALSE(Empty.End);
}

TEST(SmbWire, BrokenListingsAreRefused) {
  const auto Good = Put(Sample());
  struct Case {
    const char *What;
    std::size_t At; // byte to change, or the length to cut to
    int Value;      // -1: cut
  };
  // Handle 4, id 8, kind 1, end 1, count 4, then entry flags 1, name length 4, name.
  const Case Cases[] = {
      {"unknown id kind", 12, 3},         {"end flag not 0/1", 13, 2},
      {"more entries than sent", 14, 3},  {"entry flag not 0/1", 18, 2},
      {"separator in a name", 23, '/'},   {"cut in a name", 25, -1},
      {"cut before the entries", 13, -1},
  };
  for (const auto &C : Cases) {
    auto P = Good;
    if (C.Value < 0)
      P.resize(C.At);
    else
      P[C.At] = uint8_t(C.Value);
    Listing L;
    EXPECT_FALSE(Get(P, L)) << C.What;
  }
  auto Longer = Good;
  Longer.push_back(0);
  Listing L;
  EXPECT_FALSE(Get(Longer, L)) << "bytes left over";
}

TEST(SmbWire, FramesOfTheFormerVersionAreRefused) {
  auto Frame = Encode(Type::OpenDir, PutString("\\\\PC\\share"));
  Frame[3] = Version - 1;
  const auto R = Decode(Frame);
  EXPECT_FALSE(R.F);
  EXPECT_FALSE(R.Incomplete);
  EXPECT_EQ(R.Why, "another protocol version");
}

} // namespace
