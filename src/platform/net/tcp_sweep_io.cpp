// The sweep's system side on Linux: epoll over the connects in flight, an eventfd to wake it.
#include "platform/net/tcp_sweep_io.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <unordered_map>

#include "platform/net/tcp_probe.h"
#include "platform/net/tcp_sweep.h"

namespace sonquarry::net {

namespace {

constexpr int MaxBudget = 1024;
constexpr uint64_t WakeId = 0;

int OpenDescriptors() {
  DIR *D = ::opendir("/proc/self/fd");
  if (!D) return 16;
  int N = 0;
  while (::readdir(D)) ++N;
  ::closedir(D);
  return std::max(0, N - 3); // ".", ".." and the directory's own descriptor
}

bool OutOfDescriptors(int Err) {
  return Err == EMFILE || Err == ENFILE || Err == ENOBUFS || Err == ENOMEM;
}

} // namespace

int TTcpSweep::DescriptorBudget(int Reserve) {
  rlimit L{};
  long Soft = MaxBudget * 4L;
  if (::getrlimit(RLIMIT_NOFILE, &L) == 0 && L.rlim_cur != RLIM_INFINITY)
    Soft = static_cast<long>(std::min<rlim_t>(L.rlim_cur, 1L << 20));
  const long Free = std::max(0L, Soft - OpenDescriptors());
  const long Budget = std::max(Free - Reserve, Free / 4);
  return static_cast<int>(std::clamp(Budget, 1L, long(MaxBudget)));
}

struct TSweepIo::TImpl {
  int Ep = -1;
  int Wake = -1;
  bool Ready = false;
  std::unordered_map<uint64_t, int> Fds;
};

TSweepIo::TSweepIo() : Impl_(std::make_unique<TImpl>()) {
  auto &I = *Impl_;
  I.Ep = ::epoll_create1(EPOLL_CLOEXEC);
  I.Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event Ev{};
  Ev.events = EPOLLIN;
  Ev.data.u64 = WakeId;
  I.Ready = I.Ep >= 0 && I.Wake >= 0 && ::epoll_ctl(I.Ep, EPOLL_CTL_ADD, I.Wake, &Ev) == 0;
}

TSweepIo::~TSweepIo() {
  for (const auto &[Id, Fd] : Impl_->Fds) ::close(Fd);
  if (Impl_->Ep >= 0) ::close(Impl_->Ep);
  if (Impl_->Wake >= 0) ::close(Impl_->Wake);
}

bool TSweepIo::Ready() const { return Impl_->Ready; }

TSweepIo::TStart TSweepIo::Connect(uint32_t Address, uint16_t Port, uint64_t Id) {
  const int Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (Fd < 0) return OutOfDescriptors(errno) ? TStart::NoDescriptor : TStart::Failed;
  sockaddr_in Sa{};
  Sa.sin_family = AF_INET;
  Sa.sin_port = htons(Port);
  Sa.sin_addr.s_addr = htonl(Address);
  if (::connect(Fd, reinterpret_cast<const sockaddr *>(&Sa), sizeof Sa) == 0) {
    ::close(Fd);
    return TStart::Connected;
  }
  if (errno != EINPROGRESS) {
    ::close(Fd);
    return TStart::Failed;
  }
  epoll_event Ev{};
  Ev.events = EPOLLOUT;
  Ev.data.u64 = Id;
  if (::epoll_ctl(Impl_->Ep, EPOLL_CTL_ADD, Fd, &Ev) != 0) {
    ::close(Fd);
    return TStart::NoDescriptor;
  }
  Impl_->Fds.emplace(Id, Fd);
  return TStart::Pending;
}

void TSweepIo::Close(uint64_t Id) {
  const auto It = Impl_->Fds.find(Id);
  if (It == Impl_->Fds.end()) return;
  ::close(It->second); // also leaves the epoll set
  Impl_->Fds.erase(It);
}

bool TSweepIo::Wait(int Ms, const std::function<void(uint64_t, bool)> &Settled) {
  auto &I = *Impl_;
  epoll_event Evs[256];
  const int N = ::epoll_wait(I.Ep, Evs, 256, Ms);
  if (N < 0) return errno == EINTR;
  for (int K = 0; K < N; ++K) {
    const uint64_t Id = Evs[K].data.u64;
    if (Id == WakeId) {
      uint64_t Count = 0;
      [[maybe_unused]] const ssize_t R = ::read(I.Wake, &Count, sizeof Count);
      continue;
    }
    // An earlier one of this batch may have closed it.
    const auto It = I.Fds.find(Id);
    if (It != I.Fds.end()) Settled(Id, SocketConnected(uintptr_t(It->second)));
  }
  return true;
}

void TSweepIo::Wake() {
  if (Impl_->Wake < 0) return;
  const uint64_t One = 1;
  [[maybe_unused]] const ssize_t N = ::write(Impl_->Wake, &One, sizeof One);
}

} // namespace sonquarry::net
