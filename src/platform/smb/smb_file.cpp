#include "platform/smb/smb_provider_impl.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>

namespace sonquarry::smb {

namespace {

// A file read from the calling thread's worker in chunks, with a few chunks asked for ahead so
// that the worker reads the next one while this one is written. A worker that dies takes the
// read with it: the file is not opened again.
class TSmbFile final : public net::INetFile {
public:
  static constexpr int ReadAhead = 2;

  TSmbFile(std::shared_ptr<TSmbProvider::TImpl> P, std::string Unc)
      : P_(std::move(P)), Unc_(std::move(Unc)) {}

  ~TSmbFile() override {
    if (!Handle_ || Failed_ || StopRequested()) return;
    net::NetError Ignored;
    if (P_->Worker(false, Ignored) != W_) return;
    // The replies still on their way come first, then the close.
    wire::Frame F;
    for (; InFlight_ > 0; --InFlight_) {
      TCancelScope Cancel(W_);
      if (!P_->Next(W_, F, Ignored)) {
        P_->Fail(W_, What(), Ignored);
        return;
      }
    }
    if (P_->Ask(W_, wire::Type::Close, wire::PutHandle(Handle_), F, What(), Ignored) &&
        F.Kind != wire::Type::Closed)
      P_->Unexpected(W_, What(), Ignored);
  }

  bool Open(net::NetError &Error) {
    std::shared_ptr<TWorker> W = P_->Worker(true, Error);
    if (!W) return false;
    {
      std::lock_guard<std::mutex> L(Lock_);
      W_ = W;
      if (Cancelled_) W->Kill();
    }
    wire::Frame F;
    if (!P_->Ask(W, wire::Type::OpenFile, wire::PutString(Unc_), F, What(), Error)) return false;
    if (P_->ServerError(F, Error)) return false;
    wire::Opened O;
    if (F.Kind != wire::Type::Opened || !wire::Get(F.Payload, O) || O.Handle == 0)
      return P_->Unexpected(W, What(), Error);
    Handle_ = O.Handle;
    Size_ = int64_t(O.Id);
    return true;
  }

  int64_t Size() const override { return Size_; }

  long Read(char *Buffer, std::size_t Capacity, net::NetError *Error) override {
    net::NetError E;
    const long N = ReadSome(Buffer, Capacity, E);
    if (Error) *Error = E;
    return N;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> L(Lock_);
    Cancelled_ = true;
    if (W_) W_->Kill();
  }

private:
  std::string What() const { return "the reading of " + Unc_; }

  long ReadSome(char *Buffer, std::size_t Capacity, net::NetError &Error) {
    for (;;) {
      if (Failed_) {
        Error = Why_;
        return -1;
      }
      if (Pos_ < Chunk_.Bytes.size()) {
        const std::size_t N = std::min(Capacity, Chunk_.Bytes.size() - Pos_);
        std::memcpy(Buffer, Chunk_.Bytes.data() + Pos_, N);
        Pos_ += N;
        return long(N);
      }
      if (Chunk_.End) return 0;
      if (!Handle_) return Fail(Broken(EBADF, What() + ": not open"));
      for (; InFlight_ < ReadAhead; ++InFlight_) {
        if (StopRequested()) return Fail(Broken(ECANCELED, What() + ": stopped"));
        if (!W_->Send(wire::Type::ReadFile, wire::Put(wire::ReadFile{Handle_, wire::MaxChunk}),
                      Error))
          return Lost(Error);
      }
      wire::Frame &F = Reply_;
      {
        TCancelScope Cancel(W_);
        if (!P_->Next(W_, F, Error)) return Lost(Error);
      }
      --InFlight_;
      if (P_->ServerError(F, Error)) return Fail(Error);
      if (F.Kind != wire::Type::Data || !wire::Get(F.Payload, Chunk_) ||
          (Chunk_.Bytes.empty() && !Chunk_.End)) {
        P_->Unexpected(W_, What(), Error);
        return Lost(Error, false);
      }
      Pos_ = 0;
    }
  }

  long Fail(const net::NetError &E) {
    Failed_ = true;
    Why_ = E;
    return -1;
  }
  // The worker is gone with the read.
  long Lost(net::NetError &Error, bool Tell = true) {
    if (Tell) P_->Fail(W_, What(), Error);
    return Fail(Error);
  }

  std::shared_ptr<TSmbProvider::TImpl> P_;
  std::string Unc_;
  std::mutex Lock_; // W_'s writes and Cancel
  std::shared_ptr<TWorker> W_;
  bool Cancelled_ = false;
  uint32_t Handle_ = 0;
  int64_t Size_ = -1;
  int InFlight_ = 0;
  wire::Frame Reply_; // kept, with the room of its payload, from chunk to chunk
  wire::Data Chunk_;
  std::size_t Pos_ = 0;
  bool Failed_ = false;
  net::NetError Why_;
};

} // namespace

bool StatSmbFile(const std::shared_ptr<TSmbProvider::TImpl> &P, const std::string &Unc,
                 net::FileStat &Out, net::NetError &Error) {
  std::shared_ptr<TWorker> W = P->Worker(true, Error);
  if (!W) return false;
  wire::Frame F;
  if (!P->Ask(W, wire::Type::StatFile, wire::PutString(Unc), F, "the look at " + Unc, Error))
    return false;
  if (P->ServerError(F, Error)) return false;
  wire::FileStat S;
  if (F.Kind != wire::Type::FileStat || !wire::Get(F.Payload, S))
    return P->Unexpected(W, "the look at " + Unc, Error);
  Out.Size = int64_t(S.Size);
  Out.WriteTime = S.WriteTime;
  return true;
}

bool ReadSmbTags(const std::shared_ptr<TSmbProvider::TImpl> &P, const std::string &Unc,
                 int64_t Size, const net::TagBudget &Budget, net::TagReading &Out,
                 net::NetError &Error) {
  std::shared_ptr<TWorker> W = P->Worker(true, Error);
  if (!W) return false;
  const std::string What = "the tags of " + Unc;
  wire::ReadTags Q{Unc, Size, uint32_t(std::min<std::size_t>(Budget.MaxBytes, UINT32_MAX)),
                   uint32_t(std::clamp<int64_t>(Budget.MaxTime.count(), 0, UINT32_MAX)),
                   uint32_t(std::min<std::size_t>(Budget.SkipFramesAbove, UINT32_MAX))};
  wire::Frame F;
  // The worker ended (or broke the protocol) while it read this file: the file did it.
  const auto Ended = [&](const net::NetError &E) {
    Out.EndedReader = E.Broken && (E.Code == EPIPE || E.Code == EPROTO);
    return false;
  };
  if (!P->Ask(W, wire::Type::ReadTags, wire::Put(Q), F, What, Error)) return Ended(Error);
  if (P->ServerError(F, Error)) return false;
  wire::Tags T;
  if (F.Kind != wire::Type::Tags || !wire::Get(F.Payload, T)) {
    P->Unexpected(W, What, Error);
    return Ended(Error);
  }
  Out.Ok = T.Ok;
  Out.Tags = {std::move(T.Artist), std::move(T.Title), std::move(T.Album), T.Year, T.Length};
  Out.BytesRead = std::size_t(T.BytesRead);
  return true;
}

std::unique_ptr<net::INetFile> OpenSmbFile(const std::shared_ptr<TSmbProvider::TImpl> &P,
                                           const std::string &Unc, net::NetError &Error) {
  auto F = std::make_unique<TSmbFile>(P, Unc);
  if (!F->Open(Error)) return nullptr;
  return F;
}

} // namespace sonquarry::smb
