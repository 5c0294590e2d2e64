#include "platform/smb/worker/smb_client_impl.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "platform/tags/tag_reader.h"
#include "platform/tags/tag_stream.h"

// The tags of a music file, read here beside it: only they go back to the program.

namespace sonquarry::smb::worker {

namespace {

constexpr unsigned WatchdogGraceSeconds = 5;

// An open file's ranges for the tag reader, straight from libsmbclient.
class TOpenFileSource final : public tags::IRangeSource {
public:
  TOpenFileSource(SMBCCTX *C, SMBCFILE *F, int64_t Size) : C_(C), F_(F), Size_(Size) {}
  int64_t Size() const override { return Size_; }
  long ReadAt(int64_t Offset, char *To, std::size_t N) override {
    if (smbc_getFunctionLseek(C_)(C_, F_, off_t(Offset), SEEK_SET) < 0) return -1;
    std::size_t Got = 0;
    while (Got < N) {
      const ssize_t R = smbc_getFunctionRead(C_)(C_, F_, To + Got, N - Got);
      if (R < 0) return Got ? long(Got) : -1;
      if (R == 0) break;
      Got += std::size_t(R);
    }
    return long(Got);
  }

private:
  SMBCCTX *C_;
  SMBCFILE *F_;
  int64_t Size_;
};

// A tag text cut to a sensible field's length, at a character's start: a longer one would break
// the frame the program takes.
std::string Bounded(std::string S) {
  constexpr std::size_t MaxField = 4096;
  if (S.size() <= MaxField) return S;
  std::size_t N = MaxField;
  while (N > 0 && (uint8_t(S[N]) & 0xc0) == 0x80) --N;
  S.resize(N);
  return S;
}

} // namespace

bool TSmbClient::ReadTags(const wire::ReadTags &Q, wire::Tags &Out, net::NetError &Error) {
  Out = {};
  if (!tags::HasTagFormat(Q.Unc)) return true;
  wire::Opened O;
  if (!OpenFile(Q.Unc, O, Error, Q.Size)) return false;
  SMBCCTX *C = I_->Context;
  SMBCFILE *F = I_->Open[O.Handle].Dir;
  TOpenFileSource Source(C, F, int64_t(O.Id));
  // The program's budget, within what a tag could sensibly need.
  tags::TTagLimits Limits;
  Limits.MaxBytes = std::min<std::size_t>(Q.MaxBytes, tags::TSparseStream::MaxBlock);
  Limits.MaxTime = std::chrono::milliseconds(std::min<uint32_t>(Q.MaxTimeMs, 60000));
  Limits.SkipFramesAbove = Q.SkipFramesAbove;
  // TagLib's parse is not bounded in time by the budget, which is looked at between reads: a file
  // that keeps it past the budget and a grace ends this worker.
  ::alarm(unsigned(Limits.MaxTime.count() / 1000) + WatchdogGraceSeconds);
  const tags::TTagResult R = tags::ReadTags(Source, Q.Unc, Limits);
  ::alarm(0);
  Close(O.Handle);
  Out.Ok = R.Ok;
  Out.Artist = Bounded(R.Tags.Artist);
  Out.Title = Bounded(R.Tags.Title);
  Out.Album = Bounded(R.Tags.Album);
  Out.Year = R.Tags.Year;
  Out.Length = R.Tags.Length;
  Out.BytesRead = R.BytesRead;
  return true;
}

} // namespace sonquarry::smb::worker
