#include "engine/net_res_list.h"

#include "platform/os/exception.h"

namespace sonquarry {

void TNetResList::Init() {
  Cursor_ = -1;
  Done_ = -1;
  FreeAll();
  AddRes(std::make_unique<TDomNetRes>());
}

void TNetResList::FreeAll() {
  Items_.clear();
  // An emptied list starts counting afresh, so items added later are handed out.
  Cursor_ = -1;
  Done_ = -1;
}

void TNetResList::AddRes(std::unique_ptr<TDomNetRes> Item) {
  if (Item) Items_.push_back(std::move(Item));
}

int TNetResList::Next(TDomNetRes *&ADomNetRes) {
  if (Cursor_ < Count() - 1) {
    ++Cursor_;
    ADomNetRes = Items_[static_cast<size_t>(Cursor_)].get();
    return NextTaken;
  }
  ADomNetRes = nullptr;
  return Done_ >= Count() - 1 ? NextExhausted : NextWait;
}

void TIPResList::Init() { IPList.Reset(); }

void TIPResList::FreeAll() { IPList.Clear(); }

void TIPResList::AddRes(std::unique_ptr<TDomNetRes> /*Item*/) {}

int TIPResList::Next(TDomNetRes *&ADomNetRes) {
  if (!ADomNetRes) throw Exception("TIPResList.Next: ADomNetRes = nil.");
  uint32_t address = 0;
  if (!IPList.NextAddress(address)) return NextExhausted;
  auto res = std::make_unique<TNetRes>();
  res->RemoteName = "\\\\";
  res->RemoteName += IPToStr(address);
  res->DisplayType = RESOURCEDISPLAYTYPE_SERVER;
  ADomNetRes->NetRes = std::move(res);
  ADomNetRes->Domain = UnknownDomain;
  return NextTaken;
}

TNetResThList::TNetResThList(std::unique_ptr<TNetResList> AList) : List_(std::move(AList)) {
  if (!List_) throw Exception("TNetResThList.Create: AList is not created.");
}

TNetResThList::~TNetResThList() {
  std::lock_guard<std::mutex> hold(Lock_);
  List_.reset();
}

TNetResList *TNetResThList::LockList() {
  Lock_.lock();
  return List_.get();
}

void TNetResThList::UnlockList() { Lock_.unlock(); }

void TNetResThList::ClearList() {
  Guard list(*this);
  list->FreeAll();
}

} // namespace sonquarry
