#include "ui/row_tags.h"

#include <algorithm>
#include <numeric>

namespace sonquarry {

namespace {

unsigned char Fold(unsigned char C) { return C >= 'a' && C <= 'z' ? C - 32 : C; }

bool FoldedLess(std::string_view A, std::string_view B) {
  return std::lexicographical_compare(A.begin(), A.end(), B.begin(), B.end(), [](char X, char Y) {
    return Fold(static_cast<unsigned char>(X)) < Fold(static_cast<unsigned char>(Y));
  });
}

} // namespace

TRowTags::TRowTags() { Clear(); }

void TRowTags::Clear() {
  Recs_.assign(1, TRec{0, 0, 0, 0, 0});
  Pool_.clear();
  Starts_.assign(1, 0);
  Shared_.clear();
  LastCapacity_ = Pool_.capacity();
  Intern("", true); // id 0: the empty text
}

uint32_t TRowTags::Intern(std::string_view S, bool Shared) {
  if (Shared) {
    if (auto It = Shared_.find(S); It != Shared_.end()) return It->second;
  } else if (S.empty()) {
    return 0;
  }
  const auto Id = uint32_t(Starts_.size() - 1);
  Pool_.append(S);
  Starts_.push_back(uint32_t(Pool_.size()));
  // The map's keys point into the pool, which moves as it grows: rebuilt when it does.
  if (Pool_.capacity() != LastCapacity_) {
    LastCapacity_ = Pool_.capacity();
    std::unordered_map<std::string_view, uint32_t> Again;
    Again.reserve(Shared_.size() + 1);
    for (const auto &Entry : Shared_) Again.emplace(Str(Entry.second), Entry.second);
    Shared_.swap(Again);
  }
  if (Shared) Shared_.emplace(Str(Id), Id);
  return Id;
}

std::string_view TRowTags::Str(uint32_t Id) const {
  return std::string_view(Pool_).substr(Starts_[Id], Starts_[Id + 1] - Starts_[Id]);
}

uint32_t TRowTags::Add(const tags::TTags &T) {
  TRec R{Intern(T.Artist, true), Intern(T.Title, false), Intern(T.Album, true),
         uint16_t(std::clamp(T.Year, 0, 65535)), uint16_t(std::clamp(T.Length + 1, 0, 65535))};
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

tags::TTags TRowTags::Tags(uint32_t Ref) const {
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
  // Each text ranked once; rows take their text's rank.
  std::vector<uint32_t> Ids(Starts_.size() - 1);
  std::iota(Ids.begin(), Ids.end(), 0u);
  std::sort(Ids.begin(), Ids.end(),
            [&](uint32_t A, uint32_t B) { return FoldedLess(Str(A), Str(B)); });
  std::vector<uint32_t> Rank(Ids.size());
  for (uint32_t I = 0; I < Ids.size(); ++I) {
    const bool Same = I > 0 && !FoldedLess(Str(Ids[I - 1]), Str(Ids[I]));
    Rank[Ids[I]] = Same ? Rank[Ids[I - 1]] : I + 1;
  }
  for (uint32_t R = 1; R < Recs_.size(); ++R) {
    const TRec &Rec = Recs_[R];
    Keys[R] = Rank[Field == tfArtist ? Rec.Artist : Field == tfTitle ? Rec.Title : Rec.Album];
  }
  return Keys;
}

} // namespace sonquarry
