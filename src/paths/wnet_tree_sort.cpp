// Sorting the rows by a column.
//
// The sort key of a row is the concatenation of its three texts (name, domain, directory in an
// order given by the column), compared with only a to z folded to upper case. Rather than
// building keys at every comparison, the part of the key that belongs to the file's directory is
// ranked once per sort among all directories, and each row carries the first eight folded bytes
// of its own part. Most comparisons are then decided by two integers; the rest fall back to a
// byte-wise comparison of the concatenations, so every comparison gives what comparing the full
// keys gives, and the quicksort below (the same partitioning and pivot choice as always) yields
// the same order.

#include "paths/wnet_tree.h"

#include "platform/exception.h"

#include <algorithm>
#include <cstring>

namespace sonquarry {

namespace {

struct TFoldTable {
  uint8_t T[256];
  constexpr TFoldTable() : T{} {
    for (int i = 0; i < 256; ++i) T[i] = static_cast<uint8_t>(i >= 'a' && i <= 'z' ? i - 32 : i);
  }
};
constexpr TFoldTable Fold;

inline uint8_t F(char C) { return Fold.T[static_cast<uint8_t>(C)]; }

// A key given as up to three pieces that stand for their concatenation.
struct TKey {
  std::string_view Part[3];
  int Count = 0;
  size_t Size() const {
    size_t n = 0;
    for (int i = 0; i < Count; ++i) n += Part[i].size();
    return n;
  }
};

// The first eight folded bytes of a key, big-endian, padded with zero bytes.
uint64_t Head8(const TKey &K) {
  uint64_t h = 0;
  int taken = 0;
  for (int p = 0; p < K.Count && taken < 8; ++p)
    for (size_t i = 0; i < K.Part[p].size() && taken < 8; ++i, ++taken)
      h = h << 8 | F(K.Part[p][i]);
  return taken == 0 ? 0 : h << (8 * (8 - taken));
}

// Compares the folded concatenations, given that they agree on their first Skip bytes (as far as
// both reach).
int CompareFrom(const TKey &A, const TKey &B, size_t Skip) {
  const size_t la = A.Size(), lb = B.Size();
  if (Skip >= la || Skip >= lb) return la < lb ? -1 : la > lb ? 1 : 0;
  int pa = 0, pb = 0;
  size_t ia = Skip, ib = Skip;
  while (ia >= A.Part[pa].size()) ia -= A.Part[pa++].size();
  while (ib >= B.Part[pb].size()) ib -= B.Part[pb++].size();
  for (;;) {
    const std::string_view sa = A.Part[pa], sb = B.Part[pb];
    const size_t n = std::min(sa.size() - ia, sb.size() - ib);
    for (size_t k = 0; k < n; ++k) {
      const uint8_t ca = F(sa[ia + k]), cb = F(sb[ib + k]);
      if (ca != cb) return ca < cb ? -1 : 1;
    }
    ia += n, ib += n;
    // Step over finished pieces (empty ones included); a key that runs out is the shorter one.
    while (pa < A.Count && ia == A.Part[pa].size()) ++pa, ia = 0;
    while (pb < B.Count && ib == B.Part[pb].size()) ++pb, ib = 0;
    if (pa == A.Count || pb == B.Count)
      return (pa == A.Count) == (pb == B.Count) ? 0 : pa == A.Count ? -1 : 1;
  }
}

struct TSortEntry {
  uint64_t Head; // first folded bytes of the key (column 0) or of the file's own part
  uint32_t Rank; // rank of the directory's part of the key
  TNodeId File;
};

// Quicksort with the middle element as pivot, partitioning by Hoare's scheme. The two parts of a
// partition are disjoint, so they are taken from a list of pending ranges instead of recursing,
// which gives the same order without deep recursion.
template <class Compare>
void HoareSort(std::vector<TSortEntry> &E, const Compare &Cmp, bool Ascending) {
  std::vector<std::pair<int64_t, int64_t>> pending{{0, static_cast<int64_t>(E.size()) - 1}};
  while (!pending.empty()) {
    int64_t l = pending.back().first, r = pending.back().second;
    pending.pop_back();
    int64_t i;
    do {
      i = l;
      int64_t j = r;
      int64_t p = static_cast<int64_t>(static_cast<uint64_t>(l + r) >> 1);
      do {
        const TSortEntry pivot = E[static_cast<size_t>(p)];
        if (Ascending) {
          while (Cmp(E[static_cast<size_t>(i)], pivot) < 0) ++i;
          while (Cmp(E[static_cast<size_t>(j)], pivot) > 0) --j;
        } else {
          while (Cmp(E[static_cast<size_t>(i)], pivot) > 0) ++i;
          while (Cmp(E[static_cast<size_t>(j)], pivot) < 0) --j;
        }
        if (i <= j) {
          std::swap(E[static_cast<size_t>(i)], E[static_cast<size_t>(j)]);
          if (p == i) {
            p = j;
          } else if (p == j) {
            p = i;
          }
          ++i;
          --j;
        }
      } while (i <= j);
      if (l < j) pending.emplace_back(l, j);
      l = i;
    } while (i < r);
  }
}

int CompareRank(uint32_t A, uint32_t B) { return A < B ? -1 : A > B ? 1 : 0; }

} // namespace

void TWNetTree::Sort(int Column, bool Ascending) {
  if (Column < 0 || Column > 2)
    throw Exception("TWNetTree.Sort: wrong column " + std::to_string(Column) + ".");
  const size_t count = FileList.Items.size();
  if (count < 2) return;

  // The directory part of the key: domain + directory for columns 0 and 1, the directory alone
  // for column 2 (whose key ends with the domain), each folded once.
  std::vector<uint32_t> local(NodeEnd, NoList);
  struct TParentText {
    size_t Off, Len;       // folded directory part in texts
    size_t DomOff, DomLen; // folded domain in texts
  };
  std::vector<TParentText> parents;
  std::string texts;
  std::string domain, directory;
  for (const TNodeId f : FileList.Items) {
    const TNodeId p = Rec(f).Parent;
    if (local[p] != NoList) continue;
    local[p] = static_cast<uint32_t>(parents.size());
    UpdateCache(p);
    TParentText t{};
    t.Off = texts.size();
    if (Column != 2) texts += CachedDomain;
    texts += CachedDirectory;
    t.Len = texts.size() - t.Off;
    t.DomOff = texts.size();
    texts += CachedDomain;
    t.DomLen = CachedDomain.size();
    for (size_t k = t.Off; k < texts.size(); ++k) texts[k] = static_cast<char>(F(texts[k]));
    parents.push_back(t);
  }
  const auto text = [&](uint32_t q) {
    return std::string_view(texts).substr(parents[q].Off, parents[q].Len);
  };
  const auto dom = [&](uint32_t q) {
    return std::string_view(texts).substr(parents[q].DomOff, parents[q].DomLen);
  };

  // Ranks of the directory parts: equal texts share a rank. The texts that begin with the text
  // of rank r follow it directly in this order; the last of them is last[r].
  std::vector<uint32_t> order(parents.size());
  for (uint32_t q = 0; q < order.size(); ++q) order[q] = q;
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return text(a) < text(b); });
  std::vector<uint32_t> rank(parents.size());
  std::vector<uint32_t> byRank; // a parent of each rank
  for (size_t k = 0; k < order.size(); ++k) {
    if (k == 0 || text(order[k]) != text(order[k - 1])) byRank.push_back(order[k]);
    rank[order[k]] = static_cast<uint32_t>(byRank.size() - 1);
  }
  std::vector<uint32_t> last(byRank.size());
  std::vector<uint32_t> open;
  for (uint32_t r = 0; r < byRank.size(); ++r) {
    while (!open.empty() && !text(byRank[r]).starts_with(text(byRank[open.back()]))) {
      last[open.back()] = r - 1;
      open.pop_back();
    }
    open.push_back(r);
  }
  for (const uint32_t r : open) last[r] = static_cast<uint32_t>(byRank.size() - 1);

  const auto parentOf = [&](TNodeId f) { return local[Rec(f).Parent]; };
  // The full key of a row as pieces.
  const auto key = [&](TNodeId f) {
    const uint32_t q = parentOf(f);
    TKey k;
    if (Column == 0) {
      k.Part[0] = NameOf(f), k.Part[1] = text(q), k.Count = 2;
    } else if (Column == 1) {
      k.Part[0] = text(q), k.Part[1] = NameOf(f), k.Count = 2;
    } else {
      k.Part[0] = text(q), k.Part[1] = NameOf(f), k.Part[2] = dom(q), k.Count = 3;
    }
    return k;
  };
  // The row's own part of the key (after the directory part) for columns 1 and 2.
  const auto own = [&](TNodeId f) {
    TKey k;
    k.Part[0] = NameOf(f), k.Count = 1;
    if (Column == 2) k.Part[1] = dom(parentOf(f)), k.Count = 2;
    return k;
  };

  std::vector<TSortEntry> entries(count);
  for (size_t k = 0; k < count; ++k) {
    const TNodeId f = FileList.Items[k];
    entries[k] = {Head8(Column == 0 ? key(f) : own(f)), rank[parentOf(f)], f};
  }

  if (Column == 0) {
    // name + directory part: the heads hold the first bytes of the whole key.
    const auto cmp = [&](const TSortEntry &a, const TSortEntry &b) {
      if (a.Head != b.Head) return a.Head < b.Head ? -1 : 1;
      const std::string_view na = NameOf(a.File), nb = NameOf(b.File);
      const size_t m = std::min(na.size(), nb.size());
      for (size_t i = 8; i < m; ++i) {
        const uint8_t ca = F(na[i]), cb = F(nb[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
      }
      if (na.size() == nb.size()) return CompareRank(a.Rank, b.Rank);
      return CompareFrom(key(a.File), key(b.File), std::max<size_t>(m, 8));
    };
    HoareSort(entries, cmp, Ascending);
  } else {
    // directory part + own part: equal ranks leave the own parts to decide; different ranks
    // decide unless one directory part begins the other.
    const auto cmp = [&](const TSortEntry &a, const TSortEntry &b) {
      if (a.Rank == b.Rank) {
        if (a.Head != b.Head) return a.Head < b.Head ? -1 : 1;
        return CompareFrom(own(a.File), own(b.File), 8);
      }
      if (a.Rank < b.Rank) {
        if (b.Rank > last[a.Rank]) return -1;
        return CompareFrom(key(a.File), key(b.File), text(parentOf(a.File)).size());
      }
      if (a.Rank > last[b.Rank]) return 1;
      return CompareFrom(key(a.File), key(b.File), text(parentOf(b.File)).size());
    };
    HoareSort(entries, cmp, Ascending);
  }
  for (size_t k = 0; k < count; ++k) FileList.Items[k] = entries[k].File;
}

} // namespace sonquarry
