#include "platform/tags/tag_stream.h"

#include <algorithm>
#include <cstring>

#include <zlib.h>

namespace sonquarry::tags {

namespace {

uint32_t Be(const unsigned char *P, int N) {
  uint32_t V = 0;
  for (int I = 0; I < N; ++I) V = (V << 8) | P[I];
  return V;
}

// Seven bits a byte; -1 when a byte has its top bit set.
int64_t SyncSafe(const unsigned char *P) {
  int64_t V = 0;
  for (int I = 0; I < 4; ++I) {
    if (P[I] & 0x80) return -1;
    V = (V << 7) | P[I];
  }
  return V;
}

// Bytes that zlib data inflates to, counted up to Bound + 1: -1 when it is no zlib data.
int64_t InflatedSize(const std::string &Z, int64_t Bound) {
  z_stream S{};
  if (inflateInit(&S) != Z_OK) return -1;
  S.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(Z.data()));
  S.avail_in = uInt(Z.size());
  unsigned char Out[16384];
  int64_t N = 0;
  int Rc = Z_OK;
  while (Rc == Z_OK && N <= Bound) {
    S.next_out = Out;
    S.avail_out = sizeof Out;
    Rc = inflate(&S, Z_NO_FLUSH);
    N += int64_t(sizeof Out - S.avail_out);
    if (Rc == Z_BUF_ERROR && S.avail_out != 0) break; // input ended
    if (Rc == Z_BUF_ERROR) Rc = Z_OK;
  }
  inflateEnd(&S);
  return Rc == Z_OK || Rc == Z_STREAM_END || Rc == Z_BUF_ERROR ? N : -1;
}

// Undoes ID3v2's unsynchronisation (0xff 0x00 stands for 0xff).
std::string Resync(const std::string &B) {
  std::string Out;
  Out.reserve(B.size());
  for (std::size_t I = 0; I < B.size(); ++I) {
    Out += B[I];
    if (uint8_t(B[I]) == 0xff && I + 1 < B.size() && B[I + 1] == '\0') ++I;
  }
  return Out;
}

} // namespace

long TMemoryRangeSource::ReadAt(int64_t Offset, char *To, std::size_t N) {
  if (Offset < 0) return -1;
  if (uint64_t(Offset) >= B_.size()) return 0;
  const std::size_t Got = std::min(N, B_.size() - std::size_t(Offset));
  std::memcpy(To, B_.data() + Offset, Got);
  return long(Got);
}

TSparseStream::TSparseStream(IRangeSource &Source, std::string Name, const TTagLimits &Limits)
    : Source_(Source), Name_(std::move(Name)), Limits_(Limits),
      Deadline_(std::chrono::steady_clock::now() + Limits.MaxTime),
      Size_(std::max<int64_t>(Source.Size(), 0)) {}

void TSparseStream::PlanId3v2() {
  unsigned char H[10];
  // The head at once: most tags without a picture, with the first audio frame after them.
  if (!Fetch(0, HeadBlocks) || !Copy(0, reinterpret_cast<char *>(H), 10)) return;
  if (std::memcmp(H, "ID3", 3) != 0) return;
  const int Version = H[3];
  const int Flags = H[5];
  const int64_t TagSize = SyncSafe(H + 6);
  if (Version < 2 || Version > 4 || TagSize <= 0) return;
  const int64_t End = std::min<int64_t>(10 + TagSize, Size_);
  // A whole tag unsynchronised (before 2.4) hides where its frames start: it is read here
  // resynchronised, and refused whole when a frame in it would inflate past the budget.
  if (Version < 4 && (Flags & 0x80)) {
    std::string Raw(std::size_t(End - 10), '\0');
    if (!Copy(10, Raw.data(), End - 10)) return;
    const std::string Tag = Resync(Raw);
    const auto Read = [&Tag](int64_t At, char *To, int64_t N) {
      if (At < 0 || At + N > int64_t(Tag.size())) return false;
      std::memcpy(To, Tag.data() + At, std::size_t(N));
      return true;
    };
    if (!WalkFrames(Version, Flags, 0, int64_t(Tag.size()), Read, false))
      Blanks_.emplace_back(10, End);
    return;
  }
  WalkFrames(
      Version, Flags, 10, End, [this](int64_t At, char *To, int64_t N) { return Copy(At, To, N); },
      true);
}

template <class TRead>
bool TSparseStream::WalkFrames(int Version, int Flags, int64_t Pos, int64_t End, TRead Read,
                               bool Plan) {
  if (Version >= 3 && (Flags & 0x40)) {
    unsigned char X[4];
    if (!Read(Pos, reinterpret_cast<char *>(X), 4)) return true;
    const int64_t Ext = Version == 3 ? 4 + int64_t(Be(X, 4)) : SyncSafe(X);
    if (Ext < 4) return true;
    Pos += Ext;
  }
  const int HeaderSize = Version == 2 ? 6 : 10;
  while (Pos + HeaderSize <= End) {
    unsigned char F[10];
    if (!Read(Pos, reinterpret_cast<char *>(F), HeaderSize)) return true;
    if (F[0] == 0) {
      if (Plan) Hole(Pos, End); // padding
      return true;
    }
    int64_t Size = Version == 2 ? Be(F + 3, 3) : Version == 3 ? Be(F + 4, 4) : SyncSafe(F + 4);
    if (Version == 4 && Size < 0) Size = Be(F + 4, 4);
    const int64_t Body = Pos + HeaderSize;
    if (Size <= 0 || Body + Size > End) return true;
    // TagLib inflates a compressed frame whole, whatever size it claims: a few hundred KB can
    // stand for gigabytes. What the tag's frames inflate to counts against the byte budget.
    const bool Compressed =
        (Version == 3 && (F[9] & 0x80)) || (Version == 4 && (F[9] & 0x08) && !(F[9] & 0x04));
    if (Compressed) {
      const int64_t Left = int64_t(Limits_.MaxBytes) - Inflated_;
      bool Over = Size > int64_t(Limits_.MaxBytes);
      if (!Over) {
        std::string Z(std::size_t(Size), '\0');
        if (!Read(Body, Z.data(), Size)) return !Plan;
        if (Version == 4 && (F[9] & 0x02)) Z = Resync(Z);
        const int64_t N = Z.size() > 4 ? InflatedSize(Z.substr(4), Left) : 0;
        Over = N > Left;
        if (!Over) Inflated_ += std::max<int64_t>(N, 0);
      }
      if (Over) {
        if (!Plan) return false;
        // Zeros, even where fetched: no zlib data, an empty frame.
        Hole(Body, Body + Size);
        Blanks_.emplace_back(Body, Body + Size);
      }
    } else if (Plan) {
      const bool Text = F[0] == 'T' || std::memcmp(F, "COM", 3) == 0;
      if (!Text && Size > int64_t(Limits_.SkipFramesAbove)) Hole(Body, Body + Size);
    }
    Pos = Body + Size;
  }
  return true;
}

void TSparseStream::PlanFlac() {
  unsigned char H[10];
  if (!Fetch(0, HeadBlocks) || !Copy(0, reinterpret_cast<char *>(H), 10)) return;
  int64_t Pos = 0;
  // An ID3v2 tag some taggers put in front.
  if (std::memcmp(H, "ID3", 3) == 0) {
    const int64_t TagSize = SyncSafe(H + 6);
    if (TagSize < 0) return;
    Pos = 10 + TagSize + ((H[5] & 0x10) ? 10 : 0);
  }
  char Magic[4];
  if (!Copy(Pos, Magic, 4) || std::memcmp(Magic, "fLaC", 4) != 0) return;
  Pos += 4;
  // A real file has a handful of blocks; a made-up one stops here.
  for (int N = 0; N < 1024; ++N) {
    unsigned char B[4];
    if (!Copy(Pos, reinterpret_cast<char *>(B), 4)) return;
    const int Type = B[0] & 0x7f;
    const int64_t Body = Pos + 4, Length = Be(B + 1, 3);
    if (Body + Length > Size_) return;
    // Only STREAMINFO (0) and the Vorbis comment (4) say what is read.
    if (Type != 0 && Type != 4 && Length > int64_t(Limits_.SkipFramesAbove))
      Hole(Body, Body + Length);
    Pos = Body + Length;
    if (B[0] & 0x80) {
      // The audio: its length comes from STREAMINFO, and an ID3v1 tag at its end loses to the
      // Vorbis comment, so the file's end is not asked for.
      Hole(Pos, Size_);
      return;
    }
  }
}

void TSparseStream::PlanMp4() {
  if (!Fetch(0, HeadBlocks)) return;
  PlanAtoms(0, Size_, 0);
}

void TSparseStream::PlanAtoms(int64_t From, int64_t To, int Depth) {
  static const char *const Path[] = {"moov", "udta", "meta", "ilst"};
  int64_t Pos = From;
  for (int N = 0; N < 4096 && Pos + 8 <= To; ++N) {
    unsigned char H[16];
    // A top-level atom past the head is most often a moov at the end: its header and what
    // follows it (the tags of a short file) in one round trip.
    if (Depth == 0 && !Blocks_.count(Pos / Block))
      Fetch(Pos / Block, std::min<int64_t>(2, (To - 1) / Block - Pos / Block + 1));
    if (!Copy(Pos, reinterpret_cast<char *>(H), 8)) return;
    int64_t Length = Be(H, 4), Header = 8;
    if (Length == 1) {
      if (!Copy(Pos + 8, reinterpret_cast<char *>(H + 8), 8)) return;
      Length = int64_t(uint64_t(Be(H + 8, 4)) << 32 | Be(H + 12, 4));
      Header = 16;
    } else if (Length == 0) {
      Length = To - Pos; // to the end of its container
    }
    if (Length < Header || Length > To - Pos) return;
    const std::string Name(reinterpret_cast<const char *>(H + 4), 4);
    if (Depth < 4 && Name == Path[Depth]) {
      // meta is a full box: version and flags before its children.
      PlanAtoms(Pos + Header + (Depth == 2 ? 4 : 0), Pos + Length, Depth + 1);
    } else if (Depth == 4 && Name == "covr" && Length - Header > int64_t(Limits_.SkipFramesAbove)) {
      Hole(Pos + Header, Pos + Length);
    }
    Pos += Length;
  }
}

TSparseStream::TOggCodec TSparseStream::PlanOgg() {
  char H[36];
  if (!Fetch(0, HeadBlocks) || !Copy(0, H, 36) || std::memcmp(H, "OggS", 4) != 0)
    return TOggCodec::Unknown;
  // The last page, most often within the last few KiB: both blocks in one round trip.
  if (Size_ > HeadBlocks * Block) {
    const int64_t First = std::max<int64_t>(HeadBlocks, (Size_ - 1) / Block - 1);
    Fetch(First, (Size_ - 1) / Block - First + 1);
  }
  // The first packet starts after the page header and its one-entry segment table.
  if (std::memcmp(H + 28, "\x01vorbis", 7) == 0) return TOggCodec::Vorbis;
  if (std::memcmp(H + 28, "OpusHead", 8) == 0) return TOggCodec::Opus;
  return TOggCodec::Unknown;
}

TagLib::ByteVector TSparseStream::readBlock(unsigned long Length) {
  if (Pos_ >= Size_) return {};
  const int64_t N = std::min<int64_t>(int64_t(Length), Size_ - Pos_);
  // Zeros for a hole are not fetched, but they are memory: a tag that claims more is not read.
  if (N > MaxBlock) {
    Exhausted_ = true;
    Pos_ = Size_;
    return {};
  }
  TagLib::ByteVector Out(static_cast<unsigned int>(N), '\0');
  if (!Copy(Pos_, Out.data(), N)) {
    // Cut short: from here on the file seems to end.
    Pos_ = Size_;
    return {};
  }
  Pos_ += N;
  return Out;
}

void TSparseStream::seek(long Offset, Position P) {
  const int64_t Base = P == Beginning ? 0 : P == Current ? Pos_ : Size_;
  Pos_ = std::max<int64_t>(0, Base + Offset);
}

bool TSparseStream::Copy(int64_t Offset, char *To, int64_t N) {
  if (N <= 0) return true;
  if (Offset < 0 || Offset + N > Size_) return false;
  int64_t B = Offset / Block;
  const int64_t Last = (Offset + N - 1) / Block;
  while (B <= Last) {
    const int64_t BlockEnd = std::min((B + 1) * Block, Size_);
    if (!Blocks_.count(B) && !InHole(B * Block, BlockEnd)) {
      // The run of missing blocks from here, in one request.
      int64_t Run = 1;
      while (B + Run <= Last && !Blocks_.count(B + Run) &&
             !InHole((B + Run) * Block, std::min((B + Run + 1) * Block, Size_)))
        ++Run;
      if (!Fetch(B, Run)) return false;
    }
    // A fetch may have found the file shorter than it said.
    const int64_t From = std::max(Offset, B * Block);
    const int64_t Upto = std::min({Offset + N, BlockEnd, Size_});
    if (From >= Upto) return false;
    const auto It = Blocks_.find(B);
    if (It != Blocks_.end()) {
      if (From - B * Block + (Upto - From) > int64_t(It->second.size())) return false;
      std::memcpy(To + (From - Offset), It->second.data() + (From - B * Block),
                  std::size_t(Upto - From));
    } else {
      std::memset(To + (From - Offset), 0, std::size_t(Upto - From));
    }
    if (Upto < std::min(Offset + N, BlockEnd)) return false;
    ++B;
  }
  for (const auto &[From, Upto] : Blanks_) {
    const int64_t A = std::max(From, Offset), Z = std::min(Upto, Offset + N);
    if (A < Z) std::memset(To + (A - Offset), 0, std::size_t(Z - A));
  }
  return true;
}

bool TSparseStream::Fetch(int64_t FirstBlock, int64_t Blocks) {
  const int64_t From = FirstBlock * Block;
  const int64_t To = std::min((FirstBlock + Blocks) * Block, Size_);
  if (From >= To) return From < Size_ || Blocks_.count(FirstBlock);
  bool Missing = false;
  for (int64_t B = FirstBlock; B < FirstBlock + Blocks; ++B) Missing |= !Blocks_.count(B);
  if (!Missing) return true;
  if (Exhausted_ || Fetched_ + std::size_t(To - From) > Limits_.MaxBytes ||
      std::chrono::steady_clock::now() > Deadline_) {
    Exhausted_ = true;
    return false;
  }
  std::string Bytes(std::size_t(To - From), '\0');
  std::size_t Got = 0;
  while (Got < Bytes.size()) {
    const long N = Source_.ReadAt(From + int64_t(Got), Bytes.data() + Got, Bytes.size() - Got);
    if (N <= 0) break;
    Got += std::size_t(N);
  }
  Fetched_ += Got;
  if (Got < Bytes.size()) {
    // The file is shorter than it said, or the read failed: what came is all there is.
    Size_ = From + int64_t(Got);
    Exhausted_ = true;
    if (Got == 0) return false;
  }
  for (int64_t Off = 0; Off < int64_t(Got); Off += Block)
    Blocks_[FirstBlock + Off / Block] = Bytes.substr(std::size_t(Off), std::size_t(Block));
  return true;
}

bool TSparseStream::InHole(int64_t From, int64_t To) const {
  if (HideTail_ &&
      From >= std::max(HeadBlocks * Block, (std::max<int64_t>(Size_ - 2048, 0) / Block) * Block))
    return true;
  for (const auto &[A, B] : Holes_)
    if (A <= From && To <= B) return true;
  return false;
}

void TSparseStream::Hole(int64_t From, int64_t To) {
  if (From < To) Holes_.emplace_back(From, To);
}

} // namespace sonquarry::tags
