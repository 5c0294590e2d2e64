#pragma once
// The queue of network resources that the scanning threads drain while they add to it, its
// IP-range variant, and the lock-holding wrapper through which every thread reaches it.

#include "discovery/ip_range.h"
#include "engine/net_res.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sonquarry {

// Domain of every computer made from an IP range.
inline const std::string UnknownDomain = "<<unknown>>";

// What the engine reports for one walked directory: its network path without a trailing
// backslash, the bare names of the matching files in file-system order (possibly none), and the
// domain of the computer's queued item.
struct TFilesFound {
  std::string Dir;
  std::vector<std::string> FileNames;
  std::string Domain;
};

// Results of Next.
constexpr int NextTaken = 1;      // an item was handed out
constexpr int NextWait = 0;       // nothing now, but items in progress may still add children
constexpr int NextExhausted = -1; // every item handed out and done

// Owns its items and their resources. No operation locks by itself: reach a shared list only
// through TNetResThList.
class TNetResList {
public:
  TNetResList() = default;
  virtual ~TNetResList() = default;
  TNetResList(const TNetResList &) = delete;
  TNetResList &operator=(const TNetResList &) = delete;

  // Empties the list and queues the root of the whole network (empty domain, no resource).
  virtual void Init();
  // Disposes every item and empties the list.
  virtual void FreeAll();
  // Appends Item; the list takes ownership. A null item is ignored.
  virtual void AddRes(std::unique_ptr<TDomNetRes> Item);
  // NextTaken with ADomNetRes pointing at the next item (still owned by the list), or
  // NextWait / NextExhausted with ADomNetRes null.
  virtual int Next(TDomNetRes *&ADomNetRes);
  // Called exactly once for every item that Next handed out, whatever the outcome.
  void MarkDone() { ++Done_; }

  int32_t Cursor() const { return Cursor_; }
  int32_t Done() const { return Done_; }
  int32_t Count() const { return static_cast<int32_t>(Items_.size()); }
  TDomNetRes *Items(int32_t Index) const { return Items_.at(static_cast<size_t>(Index)).get(); }

protected:
  std::vector<std::unique_ptr<TDomNetRes>> Items_;
  int32_t Cursor_ = -1; // index of the last item handed out
  int32_t Done_ = -1;   // finished items minus one
};

// Manufactures one computer item per address of its ranges instead of storing items.
class TIPResList : public TNetResList {
public:
  // Restarts the address iteration; the ranges stay.
  void Init() override;
  // Removes every range.
  void FreeAll() override;
  // Stores nothing: the offered item is released.
  void AddRes(std::unique_ptr<TDomNetRes> Item) override;
  // ADomNetRes is the caller's own record (Exception "TIPResList.Next: ADomNetRes = nil." when
  // null); on NextTaken its resource is replaced by the next address's computer. Never NextWait.
  int Next(TDomNetRes *&ADomNetRes) override;

  void AddIP(uint32_t Address) { IPList.Add(Address, Address, 0); }
  void AddIPRange(uint32_t From, uint32_t To) { IPList.Add(From, To, 0); }

  TIPList IPList;
};

// One list and the lock that guards it.
class TNetResThList {
public:
  // Takes ownership of AList; a null list throws Exception.
  explicit TNetResThList(std::unique_ptr<TNetResList> AList);
  ~TNetResThList();
  TNetResThList(const TNetResThList &) = delete;
  TNetResThList &operator=(const TNetResThList &) = delete;

  // Enters the lock and returns the list; every LockList needs its UnlockList.
  TNetResList *LockList();
  void UnlockList();
  // FreeAll under the lock.
  void ClearList();

  // Holds the lock for its lifetime.
  class Guard {
  public:
    explicit Guard(TNetResThList &Owner) : Owner_(Owner), List_(Owner.LockList()) {}
    ~Guard() { Owner_.UnlockList(); }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;
    TNetResList *operator->() const { return List_; }
    TNetResList &operator*() const { return *List_; }
    TNetResList *get() const { return List_; }

  private:
    TNetResThList &Owner_;
    TNetResList *List_;
  };

private:
  std::mutex Lock_;
  std::unique_ptr<TNetResList> List_;
};

} // namespace sonquarry
