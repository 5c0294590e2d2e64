#pragma once
// Runs a program with its stdout and stderr captured, optionally interrupting it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/build_paths.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace sonquarry::testing {

struct TRun {
  int Status = -1; // exit code; -1 when ended by a signal
  int Signal = 0;
  std::string Out, Err;
  double Seconds = 0;         // from start to exit
  double AfterInterrupt = -1; // from the interrupt to exit; -1 without one
};

// Env holds "NAME=VALUE" entries set in the child. Interrupt, when given, is asked every 50 ms
// with what was captured so far; the first true sends SIGINT.
inline TRun RunProgram(const std::vector<std::string> &Argv,
                       const std::vector<std::string> &Env = {},
                       const std::function<bool(const TRun &)> &Interrupt = nullptr,
                       int TimeOutMs = 300000) {
  using Clock = std::chrono::steady_clock;
  int Out[2], Err[2];
  TRun R;
  if (pipe(Out) != 0 || pipe(Err) != 0) return R;
  const auto T0 = Clock::now();
  const pid_t Pid = fork();
  if (Pid == 0) {
    dup2(Out[1], 1);
    dup2(Err[1], 2);
    const int Null = open("/dev/null", O_RDONLY);
    dup2(Null, 0);
    close(Out[0]);
    close(Out[1]);
    close(Err[0]);
    close(Err[1]);
    for (const auto &E : Env) putenv(const_cast<char *>(E.c_str()));
    std::vector<char *> Args;
    for (const auto &A : Argv) Args.push_back(const_cast<char *>(A.c_str()));
    Args.push_back(nullptr);
    execvp(Args[0], Args.data());
    _exit(127);
  }
  close(Out[1]);
  close(Err[1]);
  pollfd Fds[2] = {{Out[0], POLLIN, 0}, {Err[0], POLLIN, 0}};
  int Open = 2;
  bool Interrupted = false;
  Clock::time_point TInt;
  char Buf[65536];
  while (Open > 0) {
    if (poll(Fds, 2, 50) < 0) break;
    for (int I = 0; I < 2; ++I) {
      if (Fds[I].fd < 0 || !(Fds[I].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t N = read(Fds[I].fd, Buf, sizeof Buf);
      if (N > 0) {
        (I == 0 ? R.Out : R.Err).append(Buf, static_cast<size_t>(N));
      } else {
        close(Fds[I].fd);
        Fds[I].fd = -1;
        --Open;
      }
    }
    if (Interrupt && !Interrupted && Interrupt(R)) {
      kill(Pid, SIGINT);
      Interrupted = true;
      TInt = Clock::now();
    }
    if (Clock::now() - T0 > std::chrono::milliseconds(TimeOutMs)) {
      kill(Pid, SIGKILL);
      break;
    }
  }
  int St = 0;
  waitpid(Pid, &St, 0);
  const auto T1 = Clock::now();
  R.Seconds = std::chrono::duration<double>(T1 - T0).count();
  if (Interrupted) R.AfterInterrupt = std::chrono::duration<double>(T1 - TInt).count();
  if (WIFEXITED(St)) R.Status = WEXITSTATUS(St);
  if (WIFSIGNALED(St)) R.Signal = WTERMSIG(St);
  return R;
}

inline std::vector<std::string> SplitLines(const std::string &Text) {
  std::vector<std::string> Out;
  std::string Line;
  for (char C : Text) {
    if (C == '\n') {
      Out.push_back(Line);
      Line.clear();
    } else {
      Line += C;
    }
  }
  if (!Line.empty()) Out.push_back(Line);
  return Out;
}

inline std::string ScanBinary() { return BinaryDir() + "/src/app/sonquarry-scan"; }

} // namespace sonquarry::testing
