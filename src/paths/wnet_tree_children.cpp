// The children of a node: a list in insertion order, with a name index (open addressing, linear
// probing) once the list is long.

#include "paths/wnet_tree_children.h"
#include "paths/wnet_tree.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace sonquarry {

namespace {

size_t HashName(std::string_view Name) { return std::hash<std::string_view>{}(Name); }
uint32_t SlotOf(size_t Hash, TNodeId Id) {
  return static_cast<uint32_t>(Hash >> (8 * sizeof(size_t) - (32 - IdBits))) << IdBits | Id;
}

} // namespace

void TWNetTree::IndexInsert(TNameIndex &Index, TNodeId Id, size_t Hash) {
  auto &slots = Index.Slots;
  if ((Index.Used + 1) * 4 > slots.size() * 3) {
    std::vector<uint32_t> old(slots.size() < 32 ? 64 : slots.size() * 2, EmptySlot);
    old.swap(slots);
    const size_t mask = slots.size() - 1;
    for (const uint32_t s : old) {
      if (s == EmptySlot) continue;
      size_t i = HashName(NameOf(s & IdMask)) & mask;
      while (slots[i] != EmptySlot) i = (i + 1) & mask;
      slots[i] = s;
    }
  }
  const size_t mask = slots.size() - 1;
  size_t i = Hash & mask;
  while (slots[i] != EmptySlot) i = (i + 1) & mask;
  slots[i] = SlotOf(Hash, Id);
  ++Index.Used;
}

void TWNetTree::BuildIndex(TChildList &List) {
  List.Index = std::make_unique<TNameIndex>();
  TNameIndex &index = *List.Index;
  size_t size = 64;
  while (size * 3 < List.Items.Items.size() * 4 * 2) size *= 2;
  index.Slots.assign(size, EmptySlot);
  for (const TNodeId id : List.Items.Items) {
    const std::string_view name = NameOf(id);
    const size_t hash = HashName(name);
    const size_t mask = index.Slots.size() - 1;
    const uint32_t tag = SlotOf(hash, 0);
    bool present = false;
    for (size_t i = hash & mask; index.Slots[i] != EmptySlot; i = (i + 1) & mask) {
      const uint32_t s = index.Slots[i];
      if ((s & ~IdMask) == tag && NameOf(s & IdMask) == name) {
        present = true;
        break;
      }
    }
    if (present) {
      index.MayHaveDuplicates = true;
    } else {
      IndexInsert(index, id, hash);
    }
  }
}

// Backward-shift deletion keeps the probe runs of linear probing without tombstones.
void TWNetTree::IndexErase(TChildList &List, TNodeId Id) {
  TNameIndex &index = *List.Index;
  auto &slots = index.Slots;
  const size_t mask = slots.size() - 1;
  const std::string_view name = NameOf(Id);
  const size_t hash = HashName(name);
  const uint32_t want = SlotOf(hash, Id);
  size_t i = hash & mask;
  while (slots[i] != want) {
    if (slots[i] == EmptySlot) return; // a later duplicate, never indexed
    i = (i + 1) & mask;
  }
  for (size_t j = i;;) {
    j = (j + 1) & mask;
    const uint32_t s = slots[j];
    if (s == EmptySlot) break;
    const size_t home = HashName(NameOf(s & IdMask)) & mask;
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      slots[i] = s;
      i = j;
    }
  }
  slots[i] = EmptySlot;
  --index.Used;
  if (index.MayHaveDuplicates) {
    // The next child of the same name, in order, takes the place of the removed one.
    for (const TNodeId other : List.Items.Items) {
      if (other != Id && NameOf(other) == name) {
        IndexInsert(index, other, hash);
        break;
      }
    }
  }
}

TNodeId TWNetTree::FindChild(TNodeId Parent, std::string_view Name, size_t &Hash,
                             bool &HashKnown) const {
  const uint32_t list = Rec(Parent).ChildList;
  if (list == NoList) return NoNode;
  const TChildList &children = ChildLists[list];
  if (children.Index) {
    Hash = HashName(Name);
    HashKnown = true;
    const auto &slots = children.Index->Slots;
    const size_t mask = slots.size() - 1;
    const uint32_t tag = SlotOf(Hash, 0);
    for (size_t i = Hash & mask; slots[i] != EmptySlot; i = (i + 1) & mask) {
      const uint32_t s = slots[i];
      if ((s & ~IdMask) == tag && NameOf(s & IdMask) == Name) return s & IdMask;
    }
    return NoNode;
  }
  if (Name.size() < LongName) {
    const auto len = static_cast<uint16_t>(Name.size());
    for (const TNodeId id : children.Items.Items) {
      const TNodeRec &r = Rec(id);
      if (r.NameLen == len &&
          (len == 0 || std::memcmp(NameChunks[r.NameRef >> NameChunkBits].get() +
                                       (r.NameRef & (NameChunkSize - 1)),
                                   Name.data(), len) == 0))
        return id;
    }
    return NoNode;
  }
  for (const TNodeId id : children.Items.Items)
    if (NameOf(id) == Name) return id;
  return NoNode;
}

TNodeId TWNetTree::AddChild(TNodeId Parent, std::string_view Name, size_t Hash, bool HashKnown,
                            bool KnownAbsent) {
  const TNodeId id = AllocNode(Parent, Name);
  if (Rec(Parent).ChildList == NoList) {
    uint32_t list;
    if (!FreeChildLists.empty()) {
      list = FreeChildLists.back();
      FreeChildLists.pop_back();
    } else {
      list = static_cast<uint32_t>(ChildLists.size());
      ChildLists.emplace_back();
    }
    Rec(Parent).ChildList = list;
  }
  TChildList &children = ChildLists[Rec(Parent).ChildList];
  children.Items.Items.push_back(id);
  if (children.Index) {
    if (!HashKnown) Hash = HashName(Name);
    bool present = false;
    if (!KnownAbsent) {
      size_t h;
      bool known;
      present = FindChild(Parent, Name, h, known) != NoNode; // the index lacks id yet
    }
    if (present) {
      children.Index->MayHaveDuplicates = true;
    } else {
      IndexInsert(*children.Index, id, Hash);
    }
  } else if (children.Items.Items.size() >= IndexThreshold) {
    BuildIndex(children);
  }
  return id;
}

void TWNetTree::UnlinkChild(TNodeId Parent, TNodeId Child) {
  TNodeRec &p = Rec(Parent);
  TChildList &children = ChildLists[p.ChildList];
  auto &items = children.Items.Items;
  items.erase(std::find(items.begin(), items.end(), Child));
  if (children.Index) IndexErase(children, Child);
  if (items.empty()) {
    children = TChildList();
    FreeChildLists.push_back(p.ChildList);
    p.ChildList = NoList;
  } else if (children.Index && items.size() < IndexLow) {
    children.Index.reset();
  }
}

TNodeId TWNetTree::Obtain(TNodeId Parent, std::string_view Name, bool &Created) {
  size_t hash = 0;
  bool hashKnown = false;
  TNodeId id = FindChild(Parent, Name, hash, hashKnown);
  TNodeRec *r;
  if (id == NoNode) {
    Created = true;
    id = AddChild(Parent, Name, hash, hashKnown, true);
    r = &Rec(id);
    r->State = Loading_ ? nsKnown : nsNew;
  } else {
    Created = false;
    r = &Rec(id);
    if (!(r->Flags & FlagVisited)) r->State = nsKnown;
  }
  r->Flags |= FlagVisited;
  return id;
}

} // namespace sonquarry
