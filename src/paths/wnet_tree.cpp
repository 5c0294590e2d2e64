#include "paths/wnet_tree.h"
#include "paths/wnet_tree_children.h"

#include "platform/os/exception.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace sonquarry {

void ListIndexError(long long Index) {
  throw Exception("List index out of bounds (" + std::to_string(Index) + ").");
}

// ---- TWNetNodeList ----

TNodeId TWNetNodeList::Get(int Index) const {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  return Items[static_cast<size_t>(Index)];
}

void TWNetNodeList::Put(int Index, TNodeId Node) {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  Items[static_cast<size_t>(Index)] = Node;
}

int TWNetNodeList::Add(TNodeId Node) {
  Items.push_back(Node);
  return Count() - 1;
}

void TWNetNodeList::Delete(int Index) {
  if (Index < 0 || Index >= Count()) ListIndexError(Index);
  Items.erase(Items.begin() + Index);
}

int TWNetNodeList::IndexOf(TNodeId Node) const {
  const auto it = std::find(Items.begin(), Items.end(), Node);
  return it == Items.end() ? -1 : static_cast<int>(it - Items.begin());
}

void TWNetNodeList::Clear() { std::vector<TNodeId>().swap(Items); }

// ---- TWNetNode ----

namespace {
[[noreturn]] void NoneError() { throw Exception("TWNetNode: the node is none."); }
} // namespace

std::string_view TWNetNode::Name() const {
  if (!Tree) NoneError();
  return Tree->NameOf(NodeId);
}

TWNetNode TWNetNode::Parent() const {
  if (!Tree) NoneError();
  const TNodeId p = Tree->Rec(NodeId).Parent;
  return p == NoNode ? TWNetNode() : TWNetNode(Tree, p);
}

const TWNetNodeList &TWNetNode::Children() const {
  if (!Tree) NoneError();
  return Tree->ChildrenOf(NodeId);
}

bool TWNetNode::Visited() const {
  if (!Tree) NoneError();
  return (Tree->Rec(NodeId).Flags & TWNetTree::FlagVisited) != 0;
}

void TWNetNode::SetVisited(bool Value) {
  if (!Tree) NoneError();
  auto &flags = Tree->Rec(NodeId).Flags;
  flags = Value ? flags | TWNetTree::FlagVisited : flags & ~TWNetTree::FlagVisited;
}

TNodeState TWNetNode::State() const {
  if (!Tree) NoneError();
  return static_cast<TNodeState>(Tree->Rec(NodeId).State);
}

void TWNetNode::SetState(TNodeState Value) {
  if (!Tree) NoneError();
  Tree->Rec(NodeId).State = Value;
}

bool TWNetNode::IsFile() const {
  if (!Tree) NoneError();
  return (Tree->Rec(NodeId).Flags & TWNetTree::FlagFile) != 0;
}

// ---- TWNetTree: storage ----

TWNetTree::TWNetTree() { AllocNode(NoNode, "root node"); }

TWNetTree::~TWNetTree() = default;

TNodeId TWNetTree::AllocNode(TNodeId Parent, std::string_view Name) {
  TNodeId id;
  if (!FreeNodes.empty()) {
    id = FreeNodes.back();
  } else {
    if (NodeEnd >= MaxNodes) throw Exception("TWNetTree.AddNode: too many nodes.");
    id = NodeEnd;
    // Full chunks from the second on; the first grows from a small one, so that a small tree
    // stays small.
    constexpr uint32_t full = 1u << NodeChunkBits;
    const uint32_t chunk = id >> NodeChunkBits, offset = id & NodeChunkMask;
    if (chunk >= NodeChunks.size()) {
      NodeChunkCap = chunk == 0 ? 64 : full;
      NodeChunks.emplace_back(new TNodeRec[NodeChunkCap]);
    } else if (offset >= NodeChunkCap) {
      const uint32_t cap = std::min(NodeChunkCap * 2, full);
      std::unique_ptr<TNodeRec[]> grown(new TNodeRec[cap]);
      std::memcpy(grown.get(), NodeChunks[chunk].get(), sizeof(TNodeRec) * offset);
      NodeChunks[chunk] = std::move(grown);
      NodeChunkCap = cap;
    }
  }
  uint16_t len;
  const uint32_t ref = StoreName(Name, len);
  if (!FreeNodes.empty()) {
    FreeNodes.pop_back();
  } else {
    ++NodeEnd;
  }
  Rec(id) = TNodeRec{Parent, ref, NoList, len, nsNew, 0};
  if (id < TagRefs.size()) TagRefs[id] = 0;
  NameBytesLive += Name.size();
  return id;
}

uint32_t TWNetTree::StoreName(std::string_view Name, uint16_t &Len) {
  if (Name.empty()) {
    Len = 0;
    return 0;
  }
  const bool isLong = Name.size() >= LongName;
  const size_t need = Name.size() + (isLong ? sizeof(uint32_t) : 0);
  uint32_t chunk, offset;
  if (need > NameChunkSize) {
    chunk = static_cast<uint32_t>(NameChunks.size());
    offset = 0;
    if (chunk >> (32 - NameChunkBits)) throw Exception("TWNetTree.AddNode: name pool full.");
    NameChunks.emplace_back(new char[need]);
  } else {
    if (NameUsed + need > NameChunkCap) {
      const auto next = static_cast<uint32_t>(NameChunks.size());
      if (next >> (32 - NameChunkBits)) throw Exception("TWNetTree.AddNode: name pool full.");
      // Chunks double from 4 KiB up to the full size; names never move once stored.
      uint32_t cap = std::clamp<uint32_t>(NameChunkCap * 2, 4096, NameChunkSize);
      while (cap < need) cap *= 2;
      NameChunks.emplace_back(new char[cap]);
      NameChunk = next;
      NameChunkCap = cap;
      NameUsed = 0;
    }
    chunk = NameChunk;
    offset = NameUsed;
    NameUsed += static_cast<uint32_t>(need);
  }
  char *p = NameChunks[chunk].get() + offset;
  if (isLong) {
    const auto n = static_cast<uint32_t>(Name.size());
    std::memcpy(p, &n, sizeof n);
    p += sizeof n;
    Len = LongName;
  } else {
    Len = static_cast<uint16_t>(Name.size());
  }
  std::memcpy(p, Name.data(), Name.size());
  NameBytesStored += need;
  return chunk << NameChunkBits | offset;
}

std::string_view TWNetTree::NameOf(TNodeId Id) const {
  const TNodeRec &r = Rec(Id);
  if (r.NameLen == 0) return {};
  const char *p = NameChunks[r.NameRef >> NameChunkBits].get() + (r.NameRef & (NameChunkSize - 1));
  if (r.NameLen != LongName) return {p, r.NameLen};
  uint32_t n;
  std::memcpy(&n, p, sizeof n);
  return {p + sizeof n, n};
}

void TWNetTree::FreeNode(TNodeId Id) {
  TNodeRec &r = Rec(Id);
  NameBytesLive -= NameOf(Id).size();
  if (r.ChildList != NoList) {
    ChildLists[r.ChildList] = TChildList();
    FreeChildLists.push_back(r.ChildList);
    r.ChildList = NoList;
  }
  r.Flags = FlagFree;
  if (Id < TagRefs.size()) TagRefs[Id] = 0;
  FreeNodes.push_back(Id);
}

// Names of freed nodes stay in the pool until it is more garbage than names; then the live
// names are copied into fresh chunks.
void TWNetTree::CompactNames() {
  const size_t garbage = NameBytesStored - NameBytesLive;
  if (garbage < (size_t{4} << 20) || garbage < NameBytesLive) return;
  std::vector<std::unique_ptr<char[]>> old;
  old.swap(NameChunks);
  NameUsed = 0;
  NameChunkCap = 0;
  NameChunk = 0;
  NameBytesStored = 0;
  std::string name;
  for (TNodeId id = 0; id < NodeEnd; ++id) {
    TNodeRec &r = Rec(id);
    if ((r.Flags & FlagFree) || r.NameLen == 0) continue;
    const char *p = old[r.NameRef >> NameChunkBits].get() + (r.NameRef & (NameChunkSize - 1));
    size_t n = r.NameLen;
    if (r.NameLen == LongName) {
      uint32_t n32;
      std::memcpy(&n32, p, sizeof n32);
      p += sizeof n32;
      n = n32;
    }
    name.assign(p, n);
    r.NameRef = StoreName(name, r.NameLen);
  }
}

TNodeId TWNetTree::CheckedId(TWNetNode Node, const char *Routine) const {
  if (!Node) return RootId;
  if (Node.Tree != this || Node.NodeId >= NodeEnd || (Rec(Node.NodeId).Flags & FlagFree))
    throw Exception(std::string(Routine) + ": the node is not in this tree.");
  return Node.NodeId;
}

TWNetNode TWNetTree::Node(TNodeId Id) {
  if (Id >= NodeEnd || (Rec(Id).Flags & FlagFree))
    throw Exception("TWNetTree.Node: no node " + std::to_string(Id) + ".");
  return {this, Id};
}

TNodeId TWNetTree::FileAt(int Index) const {
  if (Index < 0 || Index >= FileList.Count()) ListIndexError(Index);
  return FileList.Items[static_cast<size_t>(Index)];
}

TWNetNode TWNetTree::File(int Index) { return {this, FileAt(Index)}; }

const TWNetNodeList &TWNetTree::ChildrenOf(TNodeId Id) const {
  static const TWNetNodeList empty;
  const uint32_t list = Rec(Id).ChildList;
  return list == NoList ? empty : ChildLists[list].Items;
}

// ---- TWNetTree: operations ----

TWNetNode TWNetTree::AddNode(TWNetNode Parent, std::string_view Name) {
  const TNodeId parent = CheckedId(Parent, "TWNetTree.AddNode");
  return {this, AddChild(parent, Name, 0, false, false)};
}

TWNetNode TWNetTree::FindNode(TWNetNode Parent, std::string_view Name) {
  const TNodeId parent = CheckedId(Parent, "TWNetTree.FindNode");
  size_t hash;
  bool hashKnown;
  const TNodeId id = FindChild(parent, Name, hash, hashKnown);
  return id == NoNode ? TWNetNode() : TWNetNode(this, id);
}

TWNetNode TWNetTree::ObtainNode(TWNetNode Parent, std::string_view Name, bool &Created) {
  const TNodeId parent = CheckedId(Parent, "TWNetTree.ObtainNode");
  return {this, Obtain(parent, Name, Created)};
}

void TWNetTree::SplitPath(std::string_view Path, std::vector<std::string_view> &Parts) {
  Parts.clear();
  if (Path.size() < 2 || Path[0] != '\\' || Path[1] != '\\') throw Exception("  ");
  size_t start = 2;
  for (size_t i = 2; i <= Path.size(); ++i) {
    if (i == Path.size() || Path[i] == '\\') {
      if (i > start) Parts.push_back(Path.substr(start, i - start));
      start = i + 1;
    }
  }
}

void SplitNetPath(std::string_view Path, std::vector<std::string> &List) {
  std::vector<std::string_view> parts;
  TWNetTree::SplitPath(Path, parts);
  for (const auto part : parts) List.emplace_back(part);
}

void TWNetTree::AddFile(std::string_view Domain, std::string_view Path, std::string_view FileName) {
  bool created;
  TNodeId node = Obtain(RootId, Domain, created);
  SplitPath(Path, SplitBuf);
  for (const auto part : SplitBuf) node = Obtain(node, part, created);
  const TNodeId leaf = Obtain(node, FileName, created);
  if (created) {
    Rec(leaf).Flags |= FlagFile;
    FileList.Items.push_back(leaf);
  }
}

void TWNetTree::UpdateCache(TNodeId Parent) {
  if (Parent == CachedParent) return;
  CachedParent = Parent;
  CachedDomain.clear();
  CachedDirectory.clear();
  PathBuf.clear();
  for (TNodeId n = Parent; n != NoNode;) {
    const TNodeRec &r = Rec(n);
    if (r.Parent == RootId) {
      CachedDomain = NameOf(n);
      CachedDirectory = "\\\\";
      for (size_t k = PathBuf.size(); k-- > 0;) {
        CachedDirectory += NameOf(PathBuf[k]);
        CachedDirectory += '\\';
      }
      return;
    }
    PathBuf.push_back(n);
    n = r.Parent;
  }
}

std::string TWNetTree::GetDomain(int Index) {
  UpdateCache(Rec(FileAt(Index)).Parent);
  return CachedDomain;
}

std::string TWNetTree::GetDirectory(int Index) {
  UpdateCache(Rec(FileAt(Index)).Parent);
  return CachedDirectory;
}

void TWNetTree::RemoveFile(int Index) {
  const TNodeId leaf = FileAt(Index);
  CachedParent = NoNode;
  TNodeRec &r = Rec(leaf);
  if (r.ChildList != NoList) {
    // A name that is also a directory (only a hand-edited list file makes one): the row goes,
    // the node stays as the directory of what lies below it.
    r.Flags &= ~FlagFile;
  } else {
    TNodeId n = r.Parent;
    UnlinkChild(n, leaf);
    FreeNode(leaf);
    // Empty directories, shares, computers and domains go with their last file; a node that is
    // itself a row stays.
    while (n != RootId && Rec(n).ChildList == NoList && !(Rec(n).Flags & FlagFile)) {
      const TNodeId up = Rec(n).Parent;
      UnlinkChild(up, n);
      FreeNode(n);
      n = up;
    }
  }
  FileList.Items.erase(FileList.Items.begin() + Index);
  CompactNames();
}

void TWNetTree::MoveLastFilesTo(const std::vector<int> &Indices) {
  auto &rows = FileList.Items;
  const size_t n = Indices.size(), total = rows.size();
  if (n > total) throw Exception("TWNetTree.MoveLastFilesTo: more places than files.");
  int prev = -1;
  for (const int i : Indices) {
    if (i < 0 || static_cast<size_t>(i) >= total || i <= prev)
      throw Exception("TWNetTree.MoveLastFilesTo: the places are not ascending rows.");
    prev = i;
  }
  std::vector<TNodeId> out;
  out.reserve(total);
  size_t moved = total - n, kept = 0, k = 0;
  for (size_t pos = 0; pos < total; ++pos)
    out.push_back(k < n && static_cast<size_t>(Indices[k]) == pos ? (++k, rows[moved++])
                                                                  : rows[kept++]);
  rows = std::move(out);
}

void TWNetTree::RemoveFiles(const std::vector<int> &Indices) {
  if (Indices.empty()) return;
  int prev = -1;
  for (const int i : Indices) {
    if (i < 0 || i >= Count()) ListIndexError(i);
    if (i <= prev) throw Exception("TWNetTree.RemoveFiles: the indices are not ascending.");
    prev = i;
  }
  CachedParent = NoNode;
  std::vector<TNodeId> doomed;
  doomed.reserve(Indices.size());
  auto &rows = FileList.Items;
  size_t next = 0, out = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (next < Indices.size() && static_cast<size_t>(Indices[next]) == i) {
      ++next;
      TNodeRec &r = Rec(rows[i]);
      if (r.ChildList != NoList) {
        r.Flags &= ~FlagFile; // the node stays as the directory of what lies below it
      } else {
        r.Flags |= FlagDoomed;
        doomed.push_back(rows[i]);
      }
      continue;
    }
    rows[out++] = rows[i];
  }
  rows.resize(out);
  // Level by level: each parent's child list is compacted once, then parents left empty (and
  // not rows themselves) go in the next round.
  std::vector<TNodeId> parents;
  while (!doomed.empty()) {
    parents.clear();
    for (const TNodeId id : doomed) parents.push_back(Rec(id).Parent);
    std::sort(parents.begin(), parents.end());
    parents.erase(std::unique(parents.begin(), parents.end()), parents.end());
    for (const TNodeId p : parents) {
      TNodeRec &pr = Rec(p);
      TChildList &children = ChildLists[pr.ChildList];
      auto &items = children.Items.Items;
      items.erase(std::remove_if(items.begin(), items.end(),
                                 [this](TNodeId c) { return (Rec(c).Flags & FlagDoomed) != 0; }),
                  items.end());
      if (items.empty()) {
        children = TChildList();
        FreeChildLists.push_back(pr.ChildList);
        pr.ChildList = NoList;
      } else if (children.Index) {
        if (items.size() < IndexLow)
          children.Index.reset();
        else
          BuildIndex(children);
      }
    }
    for (const TNodeId id : doomed) FreeNode(id);
    doomed.clear();
    for (const TNodeId p : parents) {
      TNodeRec &pr = Rec(p);
      if (p != RootId && pr.ChildList == NoList && !(pr.Flags & FlagFile)) {
        pr.Flags |= FlagDoomed;
        doomed.push_back(p);
      }
    }
  }
  CompactNames();
}

int TWNetTree::RemoveFilesInState(TNodeState State) {
  std::vector<int> indices;
  const auto &rows = FileList.Items;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (Rec(rows[i]).State == State) indices.push_back(static_cast<int>(i));
  }
  RemoveFiles(indices);
  return static_cast<int>(indices.size());
}

void TWNetTree::Clear() {
  std::vector<uint32_t>().swap(TagRefs);
  NodeChunks.clear();
  NodeEnd = 0;
  NodeChunkCap = 0;
  std::vector<TNodeId>().swap(FreeNodes);
  NameChunks.clear();
  NameUsed = 0;
  NameChunkCap = 0;
  NameChunk = 0;
  NameBytesLive = 0;
  NameBytesStored = 0;
  std::vector<TChildList>().swap(ChildLists);
  std::vector<uint32_t>().swap(FreeChildLists);
  FileList.Clear();
  CachedParent = NoNode;
  CachedDomain.clear();
  CachedDirectory.clear();
  AllocNode(NoNode, "root node");
}

void TWNetTree::ResetMarks() {
  for (TNodeId id = RootId + 1; id < NodeEnd; ++id) {
    TNodeRec &r = Rec(id);
    if (r.Flags & FlagFree) continue;
    r.Flags &= ~(FlagVisited | FlagLost);
    r.State = nsKnown;
  }
}

void TWNetTree::MarkLost(std::string_view Domain, std::string_view Computer) {
  size_t Hash = 0;
  bool HashKnown = false;
  const TNodeId d = FindChild(RootId, Domain, Hash, HashKnown);
  if (d == NoNode) return;
  HashKnown = false;
  const TNodeId c = FindChild(d, Computer, Hash, HashKnown);
  if (c != NoNode) Rec(c).Flags |= FlagLost;
}

void TWNetTree::MarkSubtreeUnreached(TNodeId Top, bool Unvisited) {
  std::vector<TNodeId> stack(ChildrenOf(Top).begin(), ChildrenOf(Top).end());
  while (!stack.empty()) {
    const TNodeId id = stack.back();
    stack.pop_back();
    TNodeRec &r = Rec(id);
    if (!Unvisited || !(r.Flags & FlagVisited)) {
      r.State = nsUnreached;
      r.Flags |= FlagVisited;
    }
    const auto &children = ChildrenOf(id);
    stack.insert(stack.end(), children.begin(), children.end());
  }
}

void TWNetTree::FinishMarks(bool Stopped) {
  for (const TNodeId d : ChildrenOf(RootId)) {
    if (!(Rec(d).Flags & FlagVisited)) {
      MarkSubtreeUnreached(d);
      continue;
    }
    for (const TNodeId c : ChildrenOf(d)) {
      const uint8_t f = Rec(c).Flags;
      // A computer lost during its walk: what it did not show again is unknown, not gone.
      if (!(f & FlagVisited) || (f & FlagLost)) MarkSubtreeUnreached(c, (f & FlagVisited) != 0);
    }
  }
  for (const TNodeId f : FileList.Items) {
    TNodeRec &r = Rec(f);
    if (r.Flags & FlagVisited) continue;
    r.Flags |= FlagVisited;
    r.State = Stopped ? nsUnreached : nsInaccessible;
  }
}

int TWNetTree::CountByState(TNodeState State) const {
  int n = 0;
  for (const TNodeId f : FileList.Items) n += Rec(f).State == State;
  return n;
}

uint32_t TWNetTree::TagRef(int Index) const {
  const TNodeId id = FileAt(Index);
  return id < TagRefs.size() ? TagRefs[id] : 0;
}

void TWNetTree::SetTagRef(TNodeId File, uint32_t Ref) {
  if (File >= NodeEnd || (Rec(File).Flags & FlagFree)) return;
  if (File >= TagRefs.size()) TagRefs.resize(std::max<size_t>(NodeEnd, File + 1), 0);
  TagRefs[File] = Ref;
}

void TWNetTree::SortByTagRef(const std::vector<uint32_t> &Key, bool Ascending) {
  auto &rows = FileList.Items;
  // A counting sort: the keys are small numbers (ranks, years, seconds).
  std::vector<uint32_t> keys(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const uint32_t ref = rows[i] < TagRefs.size() ? TagRefs[rows[i]] : 0;
    keys[i] = ref < Key.size() ? Key[ref] : 0;
  }
  SortRowsByKey(std::move(keys), Ascending);
}

void TWNetTree::SortByState(bool Ascending) {
  const auto &rows = FileList.Items;
  std::vector<uint32_t> keys(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) keys[i] = Rec(rows[i]).State;
  SortRowsByKey(std::move(keys), Ascending);
}

void TWNetTree::SortRowsByKey(std::vector<uint32_t> Keys, bool Ascending) {
  auto &rows = FileList.Items;
  uint32_t top = 0;
  for (const uint32_t k : Keys) top = std::max(top, k);
  std::vector<TNodeId> sorted(rows.size());
  if (top > rows.size() + 65536) { // not the small numbers the table gives: a plain sort
    std::vector<uint32_t> order(rows.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return Ascending ? Keys[a] < Keys[b] : Keys[a] > Keys[b];
    });
    for (size_t i = 0; i < rows.size(); ++i) sorted[i] = rows[order[i]];
    rows = std::move(sorted);
    return;
  }
  std::vector<size_t> at(size_t(top) + 1, 0);
  for (const uint32_t k : Keys) ++at[Ascending ? k : top - k];
  size_t sum = 0;
  for (size_t &a : at) sum += std::exchange(a, sum);
  for (size_t i = 0; i < rows.size(); ++i)
    sorted[at[Ascending ? Keys[i] : top - Keys[i]]++] = rows[i];
  rows = std::move(sorted);
}

} // namespace sonquarry
