// File chunks between the worker and the programs: a chunk framed in place by the worker reads
// back as the bytes it holds, and a Data payload that lies about its bytes is refused.
#include <gtest/gtest.h>

#include "platform/smb_wire.h"

using namespace sonquarry::platform::wire;

TEST(SmbWire, ChunksFramedInPlaceReadBackWhole) {
  struct Case {
    uint32_t Size;
    bool End;
  };
  for (const Case C : {Case{0, true}, Case{1, false}, Case{4099, true}, Case{MaxChunk, false}}) {
    std::vector<uint8_t> Frame;
    // A frame used before for a bigger chunk: the smaller one must not keep its tail.
    uint8_t *To = DataFrame(Frame, MaxChunk);
    for (uint32_t I = 0; I < C.Size; ++I) To[I] = uint8_t(I * 7 + 3);
    SealData(Frame, C.Size, C.End);
    std::vector<uint8_t> In = Frame;
    In.push_back(0x53); // the start of the next frame stays in the buffer
    ::sonquarry::platform::wire::Frame F;
    const auto R = Take(In, F);
    ASSERT_EQ(R.Used, Frame.size()) << C.Size << " " << R.Why;
    EXPECT_EQ(In, std::vector<uint8_t>{0x53});
    Data D;
    ASSERT_EQ(F.Kind, Type::Data);
    ASSERT_TRUE(Get(F.Payload, D)) << C.Size;
    EXPECT_EQ(D.End, C.End);
    ASSERT_EQ(D.Bytes.size(), C.Size);
    for (uint32_t I = 0; I < C.Size; I += 997) ASSERT_EQ(D.Bytes[I], uint8_t(I * 7 + 3)) << I;
    EXPECT_EQ(Encode(Type::Data, Put(D)), Frame);
  }
}

TEST(SmbWire, DataThatLiesAboutItsBytesIsRefused) {
  const auto Payload = [](uint8_t End, uint32_t Count, std::size_t Have) {
    Writer W;
    W.U8(End).U32(Count);
    auto B = W.Take();
    B.resize(B.size() + Have, 'x');
    return B;
  };
  Data D;
  EXPECT_TRUE(Get(Payload(1, 3, 3), D));
  EXPECT_FALSE(Get(Payload(1, 3, 2), D)) << "fewer bytes than counted";
  EXPECT_FALSE(Get(Payload(0, 3, 4), D)) << "more bytes than counted";
  EXPECT_FALSE(Get(Payload(2, 3, 3), D)) << "an end flag that is neither";
  EXPECT_FALSE(Get(Payload(0, MaxChunk + 1, MaxChunk + 1), D)) << "a chunk above the limit";
}
