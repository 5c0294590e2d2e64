#pragma once
// The music tags of the list's rows: one entry per file whose tags are known, named by the ref
// the path tree keeps for the file (TWNetTree::TagRef; 0: none). Artists and albums repeat and
// are kept once; every text lies in one pool, so a million rows cost a few tens of bytes each.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/net/net_provider.h"

namespace sonquarry {

// The tag columns after the list's three, in their order on screen.
enum TTagField : int { tfArtist = 0, tfTitle = 1, tfAlbum = 2, tfYear = 3, tfLength = 4 };
inline constexpr int TagFieldCount = 5;

class TRowTags {
public:
  TRowTags();
  TRowTags(const TRowTags &) = delete; // the set of shared texts refers to this table
  TRowTags &operator=(const TRowTags &) = delete;
  // Room for Rows entries, so that a large load does not move the table as it grows.
  void Reserve(std::size_t Rows);

  // A new entry; refs count from 1.
  uint32_t Add(const net::MusicTags &Tags);
  uint32_t Add(std::string_view Artist, std::string_view Title, std::string_view Album, int Year,
               int Length);
  bool Has(uint32_t Ref) const { return Ref != 0 && Ref < Recs_.size(); }
  std::string_view Text(uint32_t Ref, TTagField Field) const; // artist, title or album
  int Year(uint32_t Ref) const;                               // 0: none
  int Length(uint32_t Ref) const;                             // seconds; -1: unknown
  net::MusicTags Tags(uint32_t Ref) const;
  // The field as the list shows it: the text, the year, the length as m:ss ("" when unknown).
  std::string Shown(uint32_t Ref, TTagField Field) const;
  // A key per ref for TWNetTree::SortByTagRef: texts in the order of their folded bytes, ref 0
  // (no tags) before every other.
  std::vector<uint32_t> SortKeys(TTagField Field) const;
  void Clear();
  std::size_t Count() const { return Recs_.size() - 1; }

private:
  struct TRec {
    uint32_t Artist, Title, Album; // string ids
    uint16_t Year;
    uint16_t Length; // seconds + 1; 0 unknown
  };
  uint32_t Intern(std::string_view S, bool Shared);
  std::string_view Str(uint32_t Id) const;

  std::vector<TRec> Recs_;
  std::string Pool_;
  std::vector<uint32_t> Starts_; // string id -> offset in Pool_; one more at the end
  // The shared texts by id, found by their text: ids stay valid as the pool grows.
  struct TTextHash {
    using is_transparent = void;
    const TRowTags *Tags;
    std::size_t operator()(std::string_view S) const { return std::hash<std::string_view>()(S); }
    std::size_t operator()(uint32_t Id) const { return (*this)(Tags->Str(Id)); }
  };
  struct TTextEqual {
    using is_transparent = void;
    const TRowTags *Tags;
    std::string_view Text(std::string_view S) const { return S; }
    std::string_view Text(uint32_t Id) const { return Tags->Str(Id); }
    template <class A, class B> bool operator()(const A &X, const B &Y) const {
      return Text(X) == Text(Y);
    }
  };
  std::unordered_set<uint32_t, TTextHash, TTextEqual> Shared_;
};

} // namespace sonquarry
