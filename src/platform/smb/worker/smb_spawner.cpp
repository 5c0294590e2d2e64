#include "platform/smb/worker/smb_spawner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/smb/wire/smb_wire.h"

#if defined(__SANITIZE_THREAD__)
#define THREAD_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define THREAD_SANITIZED 1
#endif
#endif
#ifndef THREAD_SANITIZED
#define THREAD_SANITIZED 0
#endif

namespace sonquarry::smb::worker {

namespace {

// A request: the program's environment now (NUL-separated) and the worker's socket (SCM_RIGHTS).
// The spawner's only message is its pid, first. A worker's first bytes on its own socket are its
// pid: the program learns it from the child itself, so a spawner that stops or dies after a fork
// leaves no child the program cannot wait for. A failed fork just closes the socket.
constexpr std::size_t MaxRequest = 128 << 10;

// The argument area of /proc/PID/cmdline rewritten in place as a spawned worker's.
void LookLikeAWorker(int argc, char **argv, pid_t Parent) {
  if (argc < 2) return;
  char *const Begin = argv[1];
  char *const End = argv[argc - 1] + std::strlen(argv[argc - 1]) + 1;
  char Text[64];
  const int N = std::snprintf(Text, sizeof Text, "--fd%c%d%c--parent%c%d", 0, wire::WorkerFd, 0, 0,
                              int(Parent));
  if (N <= 0 || N + 1 > End - Begin) return;
  std::memset(Begin, 0, std::size_t(End - Begin));
  std::memcpy(Begin, Text, std::size_t(N));
}

// A bare clone leaves the kernel without glibc's robust-futex list: set it again, as fork does.
void KeepRobustList() {
  void *Head = nullptr;
  std::size_t Len = 0;
  if (::syscall(SYS_get_robust_list, 0, &Head, &Len) == 0)
    ::syscall(SYS_set_robust_list, Head, Len);
}

// The signals as a fresh program has them.
void FreshSignals() {
  sigset_t None;
  sigemptyset(&None);
  ::sigprocmask(SIG_SETMASK, &None, nullptr);
  std::signal(SIGTERM, SIG_DFL);
  std::signal(SIGCHLD, SIG_DFL);
}

// Fd moved to To; every descriptor above To closed.
void KeepOnly(int Fd, int To) {
  if (Fd != To) {
    ::dup2(Fd, To);
    ::close(Fd);
  }
  ::closefrom(To + 1);
}

// The program's environment (NUL-separated) as this process's, without a copy: Env lives as long
// as the process.
std::vector<char *> Vars;

void TakeEnvironment(char *Env, std::size_t Size) {
  Vars.clear();
  for (std::size_t At = 0; At < Size;) {
    const std::size_t Len = ::strnlen(Env + At, Size - At);
    if (Len < Size - At) // NUL-ended
      if (const char *Eq = static_cast<const char *>(std::memchr(Env + At, '=', Len));
          Eq && Eq > Env + At)
        Vars.push_back(Env + At);
    At += Len + 1;
  }
  Vars.push_back(nullptr);
  environ = Vars.data();
}

// The request's worker socket (SCM_RIGHTS) and its bytes in Buf: the socket, or -1 (the bytes'
// count in Size).
int ReceiveRequest(int From, std::vector<char> &Buf, std::size_t &Size) {
  for (;;) {
    alignas(cmsghdr) char Control[CMSG_SPACE(sizeof(int))];
    iovec Io{Buf.data(), Buf.size()};
    msghdr M{};
    M.msg_iov = &Io;
    M.msg_iovlen = 1;
    M.msg_control = Control;
    M.msg_controllen = sizeof Control;
    const ssize_t N = ::recvmsg(From, &M, MSG_CMSG_CLOEXEC);
    if (N < 0 && errno == EINTR) continue;
    if (N <= 0) return -2;
    int Fd = -1;
    for (cmsghdr *C = CMSG_FIRSTHDR(&M); C; C = CMSG_NXTHDR(&M, C))
      if (C->cmsg_level == SOL_SOCKET && C->cmsg_type == SCM_RIGHTS &&
          C->cmsg_len == CMSG_LEN(sizeof(int)))
        std::memcpy(&Fd, CMSG_DATA(C), sizeof Fd);
    if (Fd >= 0 && (M.msg_flags & (MSG_TRUNC | MSG_CTRUNC))) {
      ::close(Fd);
      Fd = -1;
    }
    Size = std::size_t(N);
    return Fd;
  }
}

// Passes a request on to a spare: false when the spare is gone.
bool HandOver(int Spare, const char *Env, std::size_t Size, int Fd) {
  for (;;) {
    if (wire::SendWithDescriptor(Spare, {Env, Size}, Fd)) return true;
    if (errno != EINTR) return false;
  }
}

// Out of the spawner's process group, then the pid on the worker's socket: a group that the
// program ends with its spawner holds only the spawner and its spares.
bool Announce(int Fd) {
  ::syscall(SYS_setpgid, 0, 0);
  const int32_t Me = int32_t(::syscall(SYS_getpid));
  return ::syscall(SYS_write, Fd, &Me, sizeof Me) == long(sizeof Me);
}

// In the new worker: the program's environment, the socket at wire::WorkerFd, nothing else.
[[noreturn]] void BecomeWorker(int argc, char **argv, int Fd, char *Env, std::size_t Size,
                               pid_t Parent) {
  // Before anything that could fail. Raw calls: nothing of the sanitizers' state is touched yet.
  if (!Announce(Fd)) ::syscall(SYS_exit_group, ExitEnd);
  KeepRobustList();
  KeepOnly(Fd, wire::WorkerFd);
  FreshSignals();
  TakeEnvironment(Env, Size);
  LookLikeAWorker(argc, argv, Parent);
  if (!Tethered(Parent)) std::_Exit(ExitOrphan);
#if THREAD_SANITIZED
  // The thread sanitizer's state after a bare clone is not to be trusted: a fresh start.
  const std::string FdText = std::to_string(wire::WorkerFd), ParentText = std::to_string(Parent);
  char *Argv[] = {argv[0],
                  const_cast<char *>("--fd"),
                  const_cast<char *>(FdText.c_str()),
                  const_cast<char *>("--parent"),
                  const_cast<char *>(ParentText.c_str()),
                  nullptr};
  ::execve("/proc/self/exe", Argv, environ);
  std::_Exit(127);
#else
  // glibc's record of this thread still names the spawner's thread (a bare clone): the calls run
  // on a thread of this process's own making.
  int Status = ExitEnd;
  std::thread([&] { Status = RunWorker(wire::WorkerFd); }).join();
  std::exit(Status);
#endif
}

// A first write to a page costs a fault and a copy of the spawner's page, which this machine's
// kind of virtual machine makes slow (0.1-0.4 ms each were measured): a spare makes them before its
// request, on the pages its start then writes.
[[gnu::noinline]] void Warm(char **argv) {
  // The stack of the worker's calls.
  volatile char Stack[64 << 10];
  for (std::size_t I = 0; I < sizeof Stack; I += 4096) Stack[I] = 0;
  // This thread's heap, below glibc's trim threshold so that it stays when freed.
  constexpr std::size_t Heap = 64 << 10;
  auto *Block = static_cast<volatile char *>(std::malloc(Heap));
  for (std::size_t I = 0; Block && I < Heap; I += 4096) Block[I] = 0;
  std::free(const_cast<char *>(Block));
  Vars.reserve(1024);
  char **volatile *Env = &environ; // its page in glibc's data
  *Env = *Env;
  // The argument area that LookLikeAWorker rewrites.
  if (argv[1]) *static_cast<volatile char *>(argv[1]) = argv[1][0];
}

// A spare: forked ahead of its request, its thread made, it waits on Own for the request that
// the spawner passes on; the fork, the thread and their first page faults are then off the
// start's path. Until then it keeps the spawner's name and group; it ends with the spawner.
[[noreturn]] void BeSpare(int argc, char **argv, int Own, pid_t Parent) {
  KeepRobustList();
  KeepOnly(Own, wire::WorkerFd + 1);
  FreshSignals();
  if (!Tethered(Parent)) std::_Exit(ExitOrphan);
  int Status = ExitEnd;
  std::thread([&] {
    std::vector<char> Buf(MaxRequest);
    Warm(argv);
    std::size_t Size = 0;
    const int Fd = ReceiveRequest(wire::WorkerFd + 1, Buf, Size);
    if (Fd < 0 || !Announce(Fd)) return;
    KeepOnly(Fd, wire::WorkerFd);
    TakeEnvironment(Buf.data(), Size);
    LookLikeAWorker(argc, argv, Parent);
    Status = RunWorker(wire::WorkerFd);
  }).join();
  std::exit(Status);
}

// The program's child, not this one's: the program waits for it, as for one it started. 0 in
// the child.
long ForkForProgram() {
  return ::syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, 0);
}

// A spare made: the spawner's end of its socket, or -1. None under the thread sanitizer, whose
// workers start afresh anyway.
int MakeSpare(int argc, char **argv, int Ctl, pid_t Program) {
  if (THREAD_SANITIZED) return -1;
  int Sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, Sv) != 0) return -1;
  const long Pid = ForkForProgram();
  if (Pid == 0) {
    ::close(Ctl);
    ::close(Sv[0]);
    BeSpare(argc, argv, Sv[1], Program);
  }
  ::close(Sv[1]);
  if (Pid > 0) return Sv[0];
  ::close(Sv[0]);
  return -1;
}

// Spares kept ready: a burst of starts (the helpers of a walk start together) takes them before
// the spawner forks again.
constexpr std::size_t Spares = 2;
constexpr int QuietMs = 2;

// Whether a request comes within Ms.
bool Pending(int Fd, int Ms) {
  pollfd P{Fd, POLLIN, 0};
  return ::poll(&P, 1, Ms) > 0;
}

} // namespace

int Spawner(int argc, char **argv, int Ctl, pid_t Program) {
  Confine();
  if (!Tethered(Program)) return ExitOrphan;
  const int32_t Me = int32_t(::getpid());
  if (::send(Ctl, &Me, sizeof Me, MSG_NOSIGNAL) != ssize_t(sizeof Me)) return ExitEnd;
  std::vector<char> Buf(MaxRequest);
  std::deque<int> Ready; // the spares' sockets, the oldest first
  for (;;) {
    // A request that waits goes first: a spare's fork would hold it up. With a spare at hand the
    // next is forked once requests pause, off the cores of the start just passed on.
    while (Ready.size() < Spares && !Pending(Ctl, Ready.empty() ? 0 : QuietMs)) {
      const int Spare = MakeSpare(argc, argv, Ctl, Program);
      if (Spare < 0) break;
      Ready.push_back(Spare);
    }
    std::size_t Size = 0;
    const int Fd = ReceiveRequest(Ctl, Buf, Size);
    if (Fd == -2) return ExitEnd;
    if (Fd < 0) continue;
    // A spare takes it; a spare that died is dropped. Without one a worker is forked for it here.
    bool Taken = false;
    while (!Taken && !Ready.empty()) {
      Taken = HandOver(Ready.front(), Buf.data(), Size, Fd);
      ::close(Ready.front());
      Ready.pop_front();
    }
    if (!Taken && ForkForProgram() == 0) {
      ::close(Ctl);
      for (const int Spare : Ready) ::close(Spare);
      BecomeWorker(argc, argv, Fd, Buf.data(), Size, Program);
    }
    ::close(Fd);
  }
}

} // namespace sonquarry::smb::worker
