// The decoder of the SMB worker protocol: frames from arbitrary bytes, and every message decoder
// on every payload. A decoded frame must encode back to the same bytes; a decoded message must
// survive being encoded and decoded again unchanged.
#include "platform/smb/wire/smb_wire.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace sonquarry::smb::wire;

namespace {

void Check(bool Ok) {
  if (!Ok) std::abort();
}

template <class T> void RoundTrip(std::span<const uint8_t> P) {
  T M;
  if (!Get(P, M)) return;
  const auto Again = Put(M);
  Check(std::equal(Again.begin(), Again.end(), P.begin(), P.end()));
}

void Payload(std::span<const uint8_t> P) {
  RoundTrip<Hello>(P);
  RoundTrip<EnumRequest>(P);
  RoundTrip<std::vector<Resource>>(P);
  RoundTrip<EnumEnd>(P);
  RoundTrip<ErrorReply>(P);
  RoundTrip<Opened>(P);
  RoundTrip<ReadDir>(P);
  RoundTrip<ReadFile>(P);
  RoundTrip<FileStat>(P);
  RoundTrip<ReadTags>(P);
  RoundTrip<Tags>(P);
  RoundTrip<Data>(P);
  RoundTrip<Listing>(P);
  std::vector<Entry> Entries;
  bool End = false;
  if (Get(P, Entries, End)) {
    const auto Again = Put(Entries, End);
    Check(std::equal(Again.begin(), Again.end(), P.begin(), P.end()));
  }
  std::string S;
  if (GetString(P, S)) Check(PutString(S).size() == P.size());
  uint32_t H;
  if (GetHandle(P, H)) Check(PutHandle(H).size() == P.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  std::span<const uint8_t> In(Data, Size);
  // A stream of frames, as a worker or a program reads it.
  while (!In.empty()) {
    auto R = Decode(In);
    if (!R.F) {
      Check(R.Used == 0);
      break;
    }
    Check(R.Used >= HeaderSize + TrailerSize && R.Used <= In.size());
    const auto Again = Encode(R.F->Kind, R.F->Payload);
    Check(Again.size() == R.Used && std::equal(Again.begin(), Again.end(), In.begin()));
    Payload(R.F->Payload);
    In = In.subspan(R.Used);
  }
  // The same bytes as a bare payload, so the message decoders see everything without a checksum.
  Payload(std::span<const uint8_t>(Data, Size));
  return 0;
}
