#include "platform/smb/smb_provider_impl.h"

#include <cerrno>

namespace sonquarry::smb {

namespace {

// A listing read from the calling thread's worker in batches, the first with the open. When
// that worker was replaced (it died in another listing), the directory is opened again in the
// new one and the entries already handed out are skipped.
class TSmbListing final : public net::INetDirListing {
public:
  TSmbListing(std::shared_ptr<TSmbProvider::TImpl> P, std::string Unc)
      : P_(std::move(P)), Unc_(std::move(Unc)) {}

  ~TSmbListing() override {
    if (End_ || !W_ || StopRequested()) return;
    net::NetError Ignored;
    if (P_->Worker(false, Ignored) != W_) return;
    wire::Frame F;
    if (P_->Ask(W_, wire::Type::Close, wire::PutHandle(Handle_), F, What(), Ignored) &&
        F.Kind != wire::Type::Closed)
      P_->Unexpected(W_, What(), Ignored);
  }

  bool Open(net::NetError &Error) {
    if (wire::AheadListing A; P_->TakeSecond(Unc_, A) || P_->TakeAhead(Unc_, A)) {
      // Whole, with no handle in the worker; no exchange that counts the thread as at work.
      P_->Touch();
      Handle_ = 0;
      if (Id_ == 0) Id_ = A.Id;
      Batch_ = std::move(A.Entries);
      Pos_ = 0;
      End_ = true;
      P_->Walked(Unc_, Id_, Batch_);
      return true;
    }
    net::NetError Ignored;
    W_ = P_->Worker(false, Ignored);
    wire::Frame F;
    const auto Asked = Clock::now();
    if (!P_->Ask(W_, wire::Type::OpenDir, wire::PutString(Unc_), F, What(), Error)) return false;
    const std::chrono::duration<double, std::milli> Waited = Clock::now() - Asked;
    if (P_->ServerError(F, Error)) return false;
    wire::Listing L;
    if (F.Kind != wire::Type::Listing || !wire::Get(F.Payload, L))
      return P_->Unexpected(W_, What(), Error);
    P_->KeepAhead(L.Next);
    Handle_ = L.Dir.Handle;
    if (Id_ == 0) Id_ = L.Dir.Id;
    Batch_ = std::move(L.Entries);
    Pos_ = 0;
    End_ = L.End;
    P_->Walked(Unc_, Id_, Batch_, Waited.count() / double(1 + L.Next.size()));
    return true;
  }

  bool Next(net::DirEntry &Entry, net::NetError *Error) override {
    net::NetError E;
    const bool Ok = NextEntry(Entry, E);
    if (Error) *Error = E;
    return Ok;
  }

  uint64_t DirId() const override { return Id_; }
  bool Buffered() const override { return Pos_ < Batch_.size() || End_; }

private:
  std::string What() const { return "the listing of " + Unc_; }

  bool NextEntry(net::DirEntry &Entry, net::NetError &Error) {
    for (;;) {
      if (Pos_ < Batch_.size()) {
        Entry.Name = std::move(Batch_[Pos_].Name);
        Entry.Directory = Batch_[Pos_].Directory;
        Entry.Size = int64_t(Batch_[Pos_].Size);
        Entry.WriteTime = Batch_[Pos_].WriteTime;
        ++Pos_;
        if (Skip_ > 0) {
          --Skip_;
          continue;
        }
        ++Handed_;
        return true;
      }
      if (End_) return false;
      net::NetError Ignored;
      if (P_->Worker(false, Ignored) != W_) {
        // Its worker is gone: again in the thread's new one, from where it was.
        if (StopRequested()) {
          Error = Broken(ECANCELED, What() + ": stopped");
          return false;
        }
        if (!Open(Error)) return false;
        Skip_ = Handed_;
        continue;
      }
      wire::Frame F;
      if (!P_->Ask(W_, wire::Type::ReadDir,
                   wire::Put(wire::ReadDir{Handle_, wire::MaxBatchEntries}), F, What(), Error))
        return false;
      if (P_->ServerError(F, Error)) return false;
      bool Last = false;
      if (F.Kind != wire::Type::Entries || !wire::Get(F.Payload, Batch_, Last))
        return P_->Unexpected(W_, What(), Error);
      Pos_ = 0;
      End_ = Last;
      P_->WalkedOn(Unc_, Batch_);
    }
  }

  std::shared_ptr<TSmbProvider::TImpl> P_;
  std::string Unc_;
  std::shared_ptr<TWorker> W_;
  uint32_t Handle_ = 0;
  uint64_t Id_ = 0;
  std::vector<wire::Entry> Batch_;
  std::size_t Pos_ = 0;
  uint64_t Handed_ = 0, Skip_ = 0;
  bool End_ = false;
};

} // namespace

std::unique_ptr<net::INetDirListing> OpenSmbListing(const std::shared_ptr<TSmbProvider::TImpl> &P,
                                                    const std::string &Unc, net::NetError &Error) {
  auto L = std::make_unique<TSmbListing>(P, Unc);
  if (!L->Open(Error)) return nullptr;
  return L;
}

} // namespace sonquarry::smb
