#include "ui/list/row_tags.h"

#include <algorithm>

namespace sonquarry {

namespace {

unsigned char Fold(unsigned char C) { return C >= 'a' && C <= 'z' ? C - 32 : C; }

} // namespace

TRowTags::TRowTags() : Shared_(0, TTextHash{this}, TTextEqual{this}) { Clear(); }

void TRowTags::Reserve(std::size_t Rows) {
  // Room untouched costs no memory: a title per row, a shared text per few rows.
  Recs_.reserve(Rows + 1);
  Starts_.reserve(Rows + Rows / 2 + 1);
  Pool_.reserve(Rows * 32);
  Shared_.reserve(Rows / 8);
}

void TRowTags::Clear() {
  // The memory of a large list goes with it.
  std::vector<TRec>(1, TRec{0, 0, 0, 0, 0}).swap(Recs_);
  std::string().swap(Pool_);
  std::vector<uint32_t>(1, 0).swap(Starts_);
  Shared_.clear();
  Shared_.rehash(0);
  Intern("", true); // id 0: the empty text
}

uint32_t TRowTags::Intern(std::string_view S, bool Shared) {
  if (Shared) {
    if (auto It = Shared_.find(S); It != Shared_.end()) return *It;
  } else if (S.empty()) {
    return 0;
  }
  const auto Id = uint32_t(Starts_.size() - 1);
  Pool_.append(S);
  Starts_.push_back(uint32_t(Pool_.size()));
  if (Shared) Shared_.insert(Id);
  return Id;
}

std::string_view TRowTags::Str(uint32_t Id) const {
  return std::string_view(Pool_).substr(Starts_[Id], Starts_[Id + 1] - Starts_[Id]);
}

uint32_t TRowTags::Add(const net::MusicTags &T) {
  return Add(T.Artist, T.Title, T.Album, T.Year, T.Length);
}

uint32_t TRowTags::Add(std::string_view Artist, std::string_view Title, std::string_view Album,
                       int Year, int Length) {
  TRec R{Intern(Artist, true), Intern(Title, false), Intern(Album, true),
         uint16_t(std::clamp(Year, 0, 65535)), uint16_t(std::clamp(Length + 1, 0, 65535))};
  Recs_.push_back(R);
  return uint32_t(Recs_.size() - 1);
}

std::string_view TRowTags::Text(uint32_t Ref, TTagField Field) const {
  if (!Has(Ref)) return {};
  const TRec &R = Recs_[Ref];
  return Str(Field == tfArtist ? R.Artist : Field == tfTitle ? R.Title : R.Album);
}

int TRowTags::Year(uint32_t Ref) const { return Has(Ref) ? Recs_[Ref].Year : 0; }

int TRowTags::Length(uint32_t Ref) const { return Has(Ref) ? int(Recs_[Ref].Length) - 1 : -1; }

net::MusicTags TRowTags::Tags(uint32_t Ref) const {
  return {std::string(Text(Ref, tfArtist)), std::string(Text(Ref, tfTitle)),
          std::string(Text(Ref, tfAlbum)), Year(Ref), Length(Ref)};
}

std::string TRowTags::Shown(uint32_t Ref, TTagField Field) const {
  if (Field == tfYear) return Year(Ref) > 0 ? std::to_string(Year(Ref)) : "";
  if (Field == tfLength) {
    const int S = Length(Ref);
    if (S < 0) return "";
    const std::string Sec = std::to_string(S % 60);
    return std::to_string(S / 60) + (Sec.size() < 2 ? ":0" : ":") + Sec;
  }
  return std::string(Text(Ref, Field));
}

std::vector<uint32_t> TRowTags::SortKeys(TTagField Field) const {
  std::vector<uint32_t> Keys(Recs_.size(), 0);
  if (Field == tfYear || Field == tfLength) {
    for (uint32_t R = 1; R < Recs_.size(); ++R)
      Keys[R] = 1 + (Field == tfYear ? Recs_[R].Year : Recs_[R].Length);
    return Keys;
  }
  const auto IdOf = [Field](const TRec &R) {
    return Field == tfArtist ? R.Artist : Field == tfTitle ? R.Title : R.Album;
  };
  // The field's texts ranked once, eight folded bytes at a time (titles share long prefixes);
  // rows take their text's rank.
  std::vector<uint32_t> Rank(Starts_.size() - 1, 0);
  for (uint32_t R = 1; R < Recs_.size(); ++R) Rank[IdOf(Recs_[R])] = 1;
  struct TItem {
    uint64_t Chunk;
    uint32_t Len; // bytes of the text in Chunk; 8 while it goes on
    uint32_t Id;
  };
  std::vector<TItem> Items;
  for (uint32_t Id = 0; Id < Rank.size(); ++Id)
    if (Rank[Id]) Items.push_back({0, 0, Id});
  std::vector<uint8_t> Starts(Items.size(), 0); // 1 where a text differs from the one before
  const auto Less = [](const TItem &A, const TItem &B) {
    return A.Chunk != B.Chunk ? A.Chunk < B.Chunk : A.Len < B.Len;
  };
  struct TTask {
    std::size_t Lo, Hi, Depth; // items that agree on their first Depth bytes
  };
  std::vector<TTask> Tasks{{0, Items.size(), 0}};
  while (!Tasks.empty()) {
    const TTask T = Tasks.back();
    Tasks.pop_back();
    for (std::size_t I = T.Lo; I < T.Hi; ++I) {
      const std::string_view S = Str(Items[I].Id);
      uint64_t H = 0;
      uint32_t Len = 0;
      for (std::size_t B = T.Depth; B < S.size() && Len < 8; ++B, ++Len)
        H = H << 8 | Fold(static_cast<unsigned char>(S[B]));
      Items[I].Chunk = Len == 0 ? 0 : H << (8 * (8 - Len));
      Items[I].Len = Len;
    }
    const auto Lo = Items.begin() + std::ptrdiff_t(T.Lo), Hi = Items.begin() + std::ptrdiff_t(T.Hi);
    if (!std::is_sorted(Lo, Hi, Less)) std::sort(Lo, Hi, Less);
    for (std::size_t G = T.Lo; G < T.Hi;) {
      std::size_t E = G + 1;
      while (E < T.Hi && !Less(Items[G], Items[E])) ++E;
      Starts[G] = 1;
      if (Items[G].Len == 8 && E - G > 1) Tasks.push_back({G, E, T.Depth + 8});
      G = E;
    }
  }
  uint32_t R = 0;
  for (std::size_t K = 0; K < Items.size(); ++K) Rank[Items[K].Id] = R += Starts[K];
  for (uint32_t Row = 1; Row < Recs_.size(); ++Row) Keys[Row] = Rank[IdOf(Recs_[Row])];
  return Keys;
}

} // namespace sonquarry
