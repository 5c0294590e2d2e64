#pragma once
// The store of found files: a tree of network path components (domain, computer, share,
// directories, file) whose file leaves, in row order, are the rows of the result list.
//
// Nodes live in arrays owned by the tree and are named by 32-bit ids; names are packed into a
// shared character pool. A TWNetNode is a small handle (tree + id) onto one node. Handles, name
// views and child lists obtained from the tree stay valid until the tree is changed by an
// operation that frees nodes (RemoveFile, Clear) or, for names and lists, by any change.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonquarry {

namespace files {
class TAtomicFile;
}

// File states; the values are also the image indices of the row icons.
enum TNodeState : uint8_t { nsKnown = 0, nsNew = 1, nsInaccessible = 2, nsUnreached = 3 };

// The list file's result codes; the numbers are those the callers have always been given.
enum TListFileResult : int {
  lfOk = 0,
  lfOpenFailed = 1,     // cannot open (or create)
  lfReadFailed = 2,     // read failure (load) or the tree's texts not obtained (save)
  lfAddWriteFailed = 3, // add failure (load) or write failure (save)
};

// The columns of the result list, in their order on screen; Sort takes them by number.
enum TSortColumn : int { scFileName = 0, scDomain = 1, scDirectory = 2 };

using TNodeId = uint32_t;
inline constexpr TNodeId NoNode = 0xFFFFFFFFu;

// Raises the list-index error for an index outside a list.
[[noreturn]] void ListIndexError(long long Index);

// A typed list of node ids with add, get and put by index.
class TWNetNodeList {
public:
  int Count() const { return static_cast<int>(Items.size()); }
  TNodeId Get(int Index) const;
  void Put(int Index, TNodeId Node);
  int Add(TNodeId Node);
  void Delete(int Index);
  int IndexOf(TNodeId Node) const; // -1 when absent
  void Clear();

  TNodeId operator[](size_t Index) const { return Items[Index]; }
  const TNodeId *begin() const { return Items.data(); }
  const TNodeId *end() const { return Items.data() + Items.size(); }

private:
  friend class TWNetTree;
  std::vector<TNodeId> Items;
};

class TWNetTree;

// A handle onto one node of a tree; a default-constructed handle is "none".
class TWNetNode {
public:
  TWNetNode() = default;
  explicit operator bool() const { return Tree != nullptr; }
  bool operator==(const TWNetNode &) const = default;

  TNodeId Id() const { return NodeId; }
  std::string_view Name() const;
  TWNetNode Parent() const; // none for the root
  const TWNetNodeList &Children() const;
  bool Visited() const;
  void SetVisited(bool Value);
  TNodeState State() const;
  void SetState(TNodeState Value);
  bool IsFile() const; // the node is a row of Files

private:
  friend class TWNetTree;
  TWNetNode(TWNetTree *ATree, TNodeId AId) : Tree(ATree), NodeId(AId) {}
  TWNetTree *Tree = nullptr;
  TNodeId NodeId = NoNode;
};

class TWNetTree {
public:
  TWNetTree();
  ~TWNetTree();
  TWNetTree(const TWNetTree &) = delete;
  TWNetTree &operator=(const TWNetTree &) = delete;

  // Set by the owner while the list file is loaded: nodes created then are nsKnown.
  bool Loading() const { return Loading_; }
  void SetLoading(bool Value) { Loading_ = Value; }

  TWNetNode Root() { return {this, RootId}; }
  TWNetNode Node(TNodeId Id); // raises for an id that names no node
  const TWNetNodeList &Files() const { return FileList; }
  int Count() const { return FileList.Count(); }
  TWNetNode File(int Index); // file Index of Files

  // Parent none stands for Root in AddNode, FindNode and ObtainNode.
  TWNetNode AddNode(TWNetNode Parent, std::string_view Name);
  TWNetNode FindNode(TWNetNode Parent, std::string_view Name);
  TWNetNode ObtainNode(TWNetNode Parent, std::string_view Name, bool &Created);
  // Adds one found file; raises for a path that does not begin with two backslashes.
  void AddFile(std::string_view Domain, std::string_view Path, std::string_view FileName);

  std::string GetDomain(int Index);
  std::string GetDirectory(int Index); // "\\Computer\Share\Dir\"
  void RemoveFile(int Index);
  // Removes the files at Indices (ascending, each once) in one pass over the tree: the same
  // result as RemoveFile on each from the last down. Raises for an index outside Files or
  // indices out of order, before anything is removed.
  void RemoveFiles(const std::vector<int> &Indices);
  // Removes every file in State the same way; returns how many went.
  int RemoveFilesInState(TNodeState State);
  // Moves the last Indices.size() files of Files to the places Indices (ascending, each below the
  // new count), the others keeping their order: rows put back where they were. Raises for
  // indices out of order or range, before anything moves.
  void MoveLastFilesTo(const std::vector<int> &Indices);
  void Clear();

  void ResetMarks();
  // Computer of Domain stopped answering during its walk: FinishMarks makes its files that were
  // not found again nsUnreached. Nothing when the tree holds no such computer.
  void MarkLost(std::string_view Domain, std::string_view Computer);
  // Stopped: the search was stopped, and the files it did not find again were not looked for:
  // they become nsUnreached (not checked), not nsInaccessible.
  void FinishMarks(bool Stopped = false);
  int CountByState(TNodeState State) const;
  // Column is a TSortColumn; raises for any other number.
  void Sort(int Column, bool Ascending);

  // A number the owner keeps per file (the entry of its music tags in the window's table): 0
  // until set, and again once the node is freed. Nothing is kept until the first SetTagRef.
  uint32_t TagRef(int Index) const;
  uint32_t TagRefOf(TNodeId File) const { return File < TagRefs.size() ? TagRefs[File] : 0; }
  void SetTagRef(TNodeId File, uint32_t Ref);
  // Rows in the order of Key[TagRef] (0 for a ref past its end); equal keys keep their order.
  void SortByTagRef(const std::vector<uint32_t> &Key, bool Ascending);
  // Rows in the order of their state (TNodeState); equal states keep their order.
  void SortByState(bool Ascending);

private:
  friend class TWNetNode;
  friend TListFileResult SaveListFile(const std::string &FileName, TWNetTree &Tree,
                                      std::shared_ptr<files::TAtomicFile> *Unsynced);
  friend TListFileResult LoadListFile(const std::string &FileName, TWNetTree &Tree);
  friend void SplitNetPath(std::string_view Path, std::vector<std::string> &List);

  bool Loading_ = false;
  // The list file whose last load ended with an error (set by LoadListFile): the next save to it
  // keeps it as a backup first, so what could not be read is not lost. Cleared by that save.
  std::string DamagedListFile_;

  static constexpr TNodeId RootId = 0;
  static constexpr uint32_t NoList = 0xFFFFFFFFu;
  static constexpr uint8_t FlagVisited = 1, FlagFile = 2, FlagFree = 4, FlagDoomed = 8,
                           FlagLost = 16;

  struct TNodeRec {
    TNodeId Parent;
    uint32_t NameRef;   // chunk << NameChunkBits | offset in the name pool
    uint32_t ChildList; // index into ChildLists, NoList while the node has no children
    uint16_t NameLen;   // LongName: the length is stored in 4 bytes before the name
    uint8_t State;
    uint8_t Flags;
  };
  static_assert(sizeof(TNodeRec) == 16);
  static constexpr uint16_t LongName = 0xFFFF;

  struct TNameIndex;
  struct TChildList {
    TWNetNodeList Items;
    std::unique_ptr<TNameIndex> Index; // only once the node has many children
  };

  TNodeRec &Rec(TNodeId Id) { return NodeChunks[Id >> NodeChunkBits][Id & NodeChunkMask]; }
  const TNodeRec &Rec(TNodeId Id) const {
    return NodeChunks[Id >> NodeChunkBits][Id & NodeChunkMask];
  }
  std::string_view NameOf(TNodeId Id) const;
  const TWNetNodeList &ChildrenOf(TNodeId Id) const;
  TNodeId CheckedId(TWNetNode Node, const char *Routine) const;
  TNodeId FileAt(int Index) const;

  TNodeId AllocNode(TNodeId Parent, std::string_view Name);
  void FreeNode(TNodeId Id);
  uint32_t StoreName(std::string_view Name, uint16_t &Len);
  void CompactNames();

  TNodeId AddChild(TNodeId Parent, std::string_view Name, size_t Hash, bool HashKnown,
                   bool KnownAbsent);
  TNodeId FindChild(TNodeId Parent, std::string_view Name, size_t &Hash, bool &HashKnown) const;
  TNodeId Obtain(TNodeId Parent, std::string_view Name, bool &Created);
  void UnlinkChild(TNodeId Parent, TNodeId Child);
  void IndexInsert(TNameIndex &Index, TNodeId Id, size_t Hash);
  void IndexErase(TChildList &List, TNodeId Id);
  void BuildIndex(TChildList &List);

  static void SplitPath(std::string_view Path, std::vector<std::string_view> &Parts);
  void UpdateCache(TNodeId Parent);
  // Every node below Top, or with Unvisited only those not visited.
  void MarkSubtreeUnreached(TNodeId Top, bool Unvisited = false);
  // Rows in the order of Keys (one per row), stable.
  void SortRowsByKey(std::vector<uint32_t> Keys, bool Ascending);

  static constexpr unsigned NodeChunkBits = 16;
  static constexpr uint32_t NodeChunkMask = (1u << NodeChunkBits) - 1;
  static constexpr unsigned NameChunkBits = 20;
  static constexpr uint32_t NameChunkSize = 1u << NameChunkBits;

  std::vector<std::unique_ptr<TNodeRec[]>> NodeChunks;
  uint32_t NodeEnd = 0;      // ids below are allocated or free
  uint32_t NodeChunkCap = 0; // records the last node chunk has room for
  std::vector<TNodeId> FreeNodes;

  std::vector<std::unique_ptr<char[]>> NameChunks;
  uint32_t NameUsed = 0;     // bytes used in the last ordinary chunk
  uint32_t NameChunkCap = 0; // and its size
  uint32_t NameChunk = 0;    // index of the last ordinary chunk
  size_t NameBytesLive = 0;
  size_t NameBytesStored = 0;

  std::vector<TChildList> ChildLists;
  std::vector<uint32_t> FreeChildLists;

  TWNetNodeList FileList;
  std::vector<uint32_t> TagRefs; // by node id

  TNodeId CachedParent = NoNode;
  std::string CachedDomain;
  std::string CachedDirectory;
  std::vector<std::string_view> SplitBuf;
  std::vector<TNodeId> PathBuf;
};

// Appends the components of a path beginning with two backslashes to List; empty components
// (doubled or trailing backslashes) are skipped. Raises an error whose message is "  " for a
// path that does not begin with two backslashes.
void SplitNetPath(std::string_view Path, std::vector<std::string> &List);

// The list file: three lines per file (name, domain, directory), in row order, no header.
// - A save writes UTF-8 with CR LF line ends and replaces the file as a whole only when
//   everything was written; otherwise the previous file stays, and errno tells why (1 and 3). A
//   read-only file, or a symbolic link that another user owns, is not replaced (1). After a
//   failed load of the same file the old one is first kept as FILE.bak (.bak.2, ...).
// - A load takes a file that holds a CR LF anywhere as CR LF lines (a lone CR or LF stays part of
//   a name), a file without any as LF lines; the last line of a CR LF file without its line end
//   was cut off (2), that of an LF file may lack it; a UTF-8 BOM is skipped; a line that is not
//   valid UTF-8 is read as Windows-1252 (a list of the Windows program).
// With Unsynced, a save that can be finished later leaves its written temporary file there: its
// Commit (the flush to disk and the rename, the slow part) may then run on another thread. A save
// that must keep a damaged file first is finished here, and Unsynced stays empty.
TListFileResult SaveListFile(const std::string &FileName, TWNetTree &Tree,
                             std::shared_ptr<files::TAtomicFile> *Unsynced = nullptr);
TListFileResult LoadListFile(const std::string &FileName, TWNetTree &Tree);

} // namespace sonquarry
