#pragma once
// A TagLib stream over a range source that fetches only the blocks a read touches, never beyond
// the budget, and hands zeros for the ranges known not to matter (the bodies of large binary
// frames, pictures and padding, the audio behind the tags), without fetching them.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <taglib/tiostream.h>

#include "platform/tags/tag_source.h"

namespace sonquarry::tags {

class TSparseStream final : public TagLib::IOStream {
public:
  static constexpr int64_t Block = 4096;
  static constexpr int64_t MaxBlock = 16 << 20;
  // Blocks of the first read (16 KiB): each read is a round trip to the server.
  static constexpr int64_t HeadBlocks = 4;

  TSparseStream(IRangeSource &Source, std::string Name, const TTagLimits &Limits);

  // Walks an ID3v2 tag at the start of the file and marks what need not be read.
  void PlanId3v2();
  // The same for FLAC's metadata blocks (pictures, padding, the audio after them).
  void PlanFlac();
  // The same for an MP4 file's atoms: the cover art of moov/udta/meta/ilst, wherever moov is.
  void PlanMp4();
  enum class TOggCodec { Unknown, Vorbis, Opus };
  // The head and, in one request, the end of an Ogg file (whose last page gives the length);
  // which codec its first page announces.
  TOggCodec PlanOgg();

  TagLib::FileName name() const override { return Name_.c_str(); }
  TagLib::ByteVector readBlock(unsigned long Length) override;
  void writeBlock(const TagLib::ByteVector &) override {}
  void insert(const TagLib::ByteVector &, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return true; }
  void seek(long Offset, Position P = Beginning) override;
  void clear() override {}
  long tell() const override { return long(Pos_); }
  long length() override { return long(Size_); }
  void truncate(long) override {}

  // While hidden, the blocks of the last 2 KiB (the ID3v1 tag, an APE footer, the last frame
  // before them) not fetched yet read as zeros, unfetched: a tag that the head holds whole is read
  // without the round trip to the file's end.
  void HideTail(bool Hide) { HideTail_ = Hide; }

  std::size_t BytesFetched() const { return Fetched_; }
  // The budget ran out or a read failed: what TagLib saw past that point was cut short.
  bool Exhausted() const { return Exhausted_; }

private:
  // Bytes [Offset, Offset + N) into To, fetching the blocks that are missing; false when they
  // cannot all be had.
  bool Copy(int64_t Offset, char *To, int64_t N);
  bool Fetch(int64_t FirstBlock, int64_t Blocks);
  // Marks MP4 atoms in [From, To) at nesting Depth of moov/udta/meta/ilst.
  void PlanAtoms(int64_t From, int64_t To, int Depth);
  bool InHole(int64_t From, int64_t To) const;
  // The frames of [Pos, End) through Read; false when one would inflate past the budget.
  // Plan: marks holes (the tag as the file holds it).
  template <class TRead>
  bool WalkFrames(int Version, int Flags, int64_t Pos, int64_t End, TRead Read, bool Plan);
  void Hole(int64_t From, int64_t To);

  IRangeSource &Source_;
  std::string Name_;
  TTagLimits Limits_;
  std::chrono::steady_clock::time_point Deadline_;
  int64_t Size_ = 0;
  int64_t Pos_ = 0;
  std::map<int64_t, std::string> Blocks_; // by block number
  std::vector<std::pair<int64_t, int64_t>> Holes_;
  // Read as zeros even once fetched: compressed frames that would inflate past the budget.
  std::vector<std::pair<int64_t, int64_t>> Blanks_;
  std::size_t Fetched_ = 0;
  int64_t Inflated_ = 0;
  bool Exhausted_ = false;
  bool HideTail_ = false;
};

} // namespace sonquarry::tags
