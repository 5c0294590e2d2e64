// Sorting the rows by a column.
//
// The sort key of a row is the concatenation of its three texts (name, domain, directory in an
// order given by the column), compared with only a to z folded to upper case. Rather than
// building keys at every comparison, the part of the key that belongs to the file's directory is
// ranked once per sort among all directories. Sorted by directory or domain, each row carries the
// first eight folded bytes of its own part: most comparisons are then decided by two integers,
// the rest fall back to a byte-wise comparison of the concatenations. Sorted by name, where many
// names share long prefixes, the whole keys are ranked first, eight bytes at a time. Either way
// every comparison gives what comparing the full keys gives, and the quicksort below (the same
// partitioning and pivot choice as always) yields the same order.

#include "paths/wnet_tree.h"

#include "platform/os/exception.h"

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

// The eight folded bytes of a key from byte Skip on, big-endian, padded with zero bytes; Len
// tells how many of them the key holds, so that padding never passes for a zero byte.
uint64_t Head8(const TKey &K, size_t Skip, uint32_t &Len) {
  uint64_t h = 0;
  uint32_t taken = 0;
  for (int p = 0; p < K.Count && taken < 8; ++p) {
    const std::string_view s = K.Part[p];
    if (Skip >= s.size()) {
      Skip -= s.size();
      continue;
    }
    for (size_t i = Skip; i < s.size() && taken < 8; ++i, ++taken) h = h << 8 | F(s[i]);
    Skip = 0;
  }
  Len = taken;
  return taken == 0 ? 0 : h << (8 * (8 - taken));
}

uint64_t Head8(const TKey &K) {
  uint32_t len;
  return Head8(K, 0, len);
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

struct TRadixItem {
  uint64_t Chunk;
  uint32_t Len; // bytes of the key in Chunk; 8 while the key goes on
  uint32_t Row;
};

// The rows 0..Names.size()-1 in the order of their keys (Order), and each row's rank: equal keys
// share a rank, a smaller key has a smaller one. The key of a row is Names[row] followed by
// Rest(row) (folded already), whose rank among all rests is Tail(row). The keys are sorted eight
// folded bytes at a time: a prefix that many names share costs one read of each name per eight
// bytes rather than one per comparison, and those reads are fetched ahead. Rows whose names lie
// wholly in the bytes they agree on (equal names) are ordered by Tail at once.
template <class RestOf, class TailRank>
std::vector<uint32_t> KeyRanks(const std::vector<std::string_view> &Names, const RestOf &Rest,
                               const TailRank &Tail, std::vector<uint32_t> &Order) {
  const size_t count = Names.size();
  std::vector<TRadixItem> items(count);
  for (size_t k = 0; k < count; ++k) items[k].Row = static_cast<uint32_t>(k);
  std::vector<uint8_t> starts(count, 0); // 1 where a key differs from the one before it
  if (count > 0) starts[0] = 1;
  const auto less = [](const TRadixItem &a, const TRadixItem &b) {
    return a.Chunk != b.Chunk ? a.Chunk < b.Chunk : a.Len < b.Len;
  };
  struct TTask {
    size_t Lo, Hi, Depth; // items Lo..Hi-1 agree on their first Depth bytes
  };
  std::vector<TTask> tasks{{0, count, 0}};
  while (!tasks.empty()) {
    const TTask t = tasks.back();
    tasks.pop_back();
    const auto lo = items.begin() + static_cast<ptrdiff_t>(t.Lo);
    const auto hi = items.begin() + static_cast<ptrdiff_t>(t.Hi);
    const size_t first = Names[lo->Row].size();
    const bool tails = first <= t.Depth && std::all_of(lo, hi, [&](const TRadixItem &i) {
                         return Names[i.Row].size() == first;
                       });
    constexpr size_t ahead = 16;
    for (size_t i = t.Lo; i < t.Hi; ++i) {
      TRadixItem &it = items[i];
      if (tails) {
        it.Chunk = Tail(it.Row), it.Len = 0;
        continue;
      }
      if (i + 2 * ahead < t.Hi) __builtin_prefetch(&Names[items[i + 2 * ahead].Row]);
      if (i + ahead < t.Hi) {
        const std::string_view n = Names[items[i + ahead].Row];
        if (t.Depth < n.size()) __builtin_prefetch(n.data() + t.Depth);
      }
      const std::string_view n = Names[it.Row];
      if (t.Depth + 8 <= n.size()) {
        uint64_t h = 0;
        for (size_t b = t.Depth; b < t.Depth + 8; ++b) h = h << 8 | F(n[b]);
        it.Chunk = h, it.Len = 8;
      } else {
        TKey key;
        key.Part[0] = n, key.Part[1] = Rest(it.Row), key.Count = 2;
        it.Chunk = Head8(key, t.Depth, it.Len);
      }
    }
    if (!std::is_sorted(lo, hi, less)) std::sort(lo, hi, less);
    for (size_t g = t.Lo; g < t.Hi;) {
      size_t e = g + 1;
      while (e < t.Hi && !less(items[g], items[e])) ++e;
      starts[g] = 1;
      if (items[g].Len == 8 && e - g > 1) tasks.push_back({g, e, t.Depth + 8});
      g = e;
    }
  }
  std::vector<uint32_t> rank(count);
  Order.resize(count);
  uint32_t r = 0;
  for (size_t k = 0; k < count; ++k) {
    if (k > 0 && starts[k]) ++r;
    rank[items[k].Row] = r;
    Order[k] = items[k].Row;
  }
  return rank;
}

int CompareRank(uint64_t A, uint64_t B) { return A < B ? -1 : A > B ? 1 : 0; }

} // namespace

void TWNetTree::Sort(int Column, bool Ascending) {
  if (Column < scFileName || Column > scDirectory)
    throw Exception("TWNetTree.Sort: wrong column " + std::to_string(Column) + ".");
  const size_t count = FileList.Items.size();
  if (count < 2) return;

  // Per row: its name and its directory's node. The rows' records lie anywhere in memory, so
  // each is fetched a few rows ahead.
  std::vector<std::string_view> names(count);
  std::vector<TNodeId> parentNode(count);
  for (size_t k = 0; k < count; ++k) {
    if (k + 16 < count) __builtin_prefetch(&Rec(FileList.Items[k + 16]));
    names[k] = NameOf(FileList.Items[k]);
    parentNode[k] = Rec(FileList.Items[k]).Parent;
  }

  // The directory part of the key: domain + directory for columns 0 and 1, the directory alone
  // for column 2 (whose key ends with the domain), each folded once. Sorted by name, only rows
  // with equal names need it, so it is made on the first such row.
  struct TParentText {
    size_t Off, Len;       // folded directory part in texts
    size_t DomOff, DomLen; // folded domain in texts
  };
  std::vector<TParentText> parents;
  std::string texts;
  std::vector<uint32_t> parent(count); // a row's entry in parents
  const auto text = [&](uint32_t q) {
    return std::string_view(texts).substr(parents[q].Off, parents[q].Len);
  };
  const auto dom = [&](uint32_t q) {
    return std::string_view(texts).substr(parents[q].DomOff, parents[q].DomLen);
  };
  // Ranks of the directory parts: equal texts share a rank. The texts that begin with the text
  // of rank r follow it directly in this order; the last of them is last[r].
  std::vector<uint32_t> rank, last;
  std::vector<uint32_t> local; // entry in parents by directory node
  bool dirsMade = false;
  const auto makeDirs = [&] {
    if (dirsMade) return;
    dirsMade = true;
    local.assign(NodeEnd, NoList);
    for (size_t k = 0; k < count; ++k) {
      const TNodeId p = parentNode[k];
      if (local[p] != NoList) {
        parent[k] = local[p];
        continue;
      }
      parent[k] = local[p] = static_cast<uint32_t>(parents.size());
      UpdateCache(p);
      TParentText t{};
      t.Off = texts.size();
      if (Column != scDirectory) texts += CachedDomain;
      texts += CachedDirectory;
      t.Len = texts.size() - t.Off;
      t.DomOff = texts.size();
      texts += CachedDomain;
      t.DomLen = CachedDomain.size();
      for (size_t i = t.Off; i < texts.size(); ++i) texts[i] = static_cast<char>(F(texts[i]));
      parents.push_back(t);
    }
    std::vector<uint32_t> order(parents.size());
    for (uint32_t q = 0; q < order.size(); ++q) order[q] = q;
    std::sort(order.begin(), order.end(),
              [&](uint32_t a, uint32_t b) { return text(a) < text(b); });
    rank.resize(parents.size());
    std::vector<uint32_t> byRank; // a parent of each rank
    for (size_t k = 0; k < order.size(); ++k) {
      if (k == 0 || text(order[k]) != text(order[k - 1])) byRank.push_back(order[k]);
      rank[order[k]] = static_cast<uint32_t>(byRank.size() - 1);
    }
    last.resize(byRank.size());
    std::vector<uint32_t> open;
    for (uint32_t r = 0; r < byRank.size(); ++r) {
      while (!open.empty() && !text(byRank[r]).starts_with(text(byRank[open.back()]))) {
        last[open.back()] = r - 1;
        open.pop_back();
      }
      open.push_back(r);
    }
    for (const uint32_t r : open) last[r] = static_cast<uint32_t>(byRank.size() - 1);
  };

  std::vector<TSortEntry> entries;
  if (Column == scFileName) {
    // name + directory part: whole keys ranked first, then the quicksort on the ranks.
    std::vector<uint32_t> order;
    const std::vector<uint32_t> ranks = KeyRanks(
        names, [&](uint32_t k) { return makeDirs(), text(parent[k]); },
        [&](uint32_t k) { return makeDirs(), rank[parent[k]]; }, order);
    if (ranks[order.back()] == count - 1) {
      // No two keys are equal: the sorted order is the only one.
      std::vector<TNodeId> sorted(count);
      for (size_t k = 0; k < count; ++k)
        sorted[k] = FileList.Items[order[Ascending ? k : count - 1 - k]];
      FileList.Items = std::move(sorted);
      return;
    }
    entries.resize(count);
    for (size_t k = 0; k < count; ++k) entries[k] = {ranks[k], 0, FileList.Items[k]};
    HoareSort(
        entries,
        [](const TSortEntry &a, const TSortEntry &b) { return CompareRank(a.Head, b.Head); },
        Ascending);
  } else {
    makeDirs();
    entries.resize(count);
    const auto parentOf = [&](TNodeId f) { return local[Rec(f).Parent]; };
    // The full key of a row as pieces.
    const auto key = [&](TNodeId f) {
      const uint32_t q = parentOf(f);
      TKey k;
      k.Part[0] = text(q), k.Part[1] = NameOf(f), k.Count = 2;
      if (Column == scDirectory) k.Part[2] = dom(q), k.Count = 3;
      return k;
    };
    // The row's own part of the key (after the directory part).
    const auto ownOf = [&](std::string_view Name, uint32_t q) {
      TKey k;
      k.Part[0] = Name, k.Count = 1;
      if (Column == scDirectory) k.Part[1] = dom(q), k.Count = 2;
      return k;
    };
    const auto own = [&](TNodeId f) { return ownOf(NameOf(f), parentOf(f)); };
    for (size_t k = 0; k < count; ++k) {
      if (k + 16 < count) __builtin_prefetch(names[k + 16].data());
      entries[k] = {Head8(ownOf(names[k], parent[k])), rank[parent[k]], FileList.Items[k]};
    }
    // Equal ranks leave the own parts to decide; different ranks decide unless one directory
    // part begins the other.
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
