// The holder lock, the same on every system; the lock itself is the system's (holder_lock_os.h).
#include "platform/files/holder_lock.h"

#include <string_view>

#include "platform/files/holder_lock_os.h"

namespace sonquarry::files {

namespace {

// What the lock file says of its holder: "PROGRAM PID".
std::string HolderOf(std::string_view Text) {
  const auto Space = Text.rfind(' ');
  if (Space == std::string_view::npos || Space == 0) return "another program";
  std::string Pid(Text.substr(Space + 1));
  while (!Pid.empty() && (Pid.back() == '\n' || Pid.back() == '\r')) Pid.pop_back();
  return std::string(Text.substr(0, Space)) + " (process " + Pid + ")";
}

} // namespace

THolderLock::~THolderLock() { Release(); }

bool THolderLock::Take(const std::string &File, const std::string &Program) {
  Release();
  Holder_.clear();
  Why_.clear();
  const int fd = OpenLockFile(File + ".lock", Why_);
  if (fd < 0) return false;
  if (const TLockTry T = TryLockFile(fd, Why_); T != TLockTry::Taken) {
    if (T == TLockTry::Held) Holder_ = HolderOf(ReadLockFile(fd));
    CloseLockFile(fd);
    return false;
  }
  Fd = fd;
  WriteLockFile(Fd, Program + ' ' + std::to_string(CurrentProcessId()) + '\n');
  return true;
}

void THolderLock::Release() {
  if (Fd < 0) return;
  CloseLockFile(Fd); // drops the lock; the file stays for the next holder
  Fd = -1;
}

std::string THolderLock::Refusal(const std::string &File) const {
  if (!Holder_.empty()) return HeldListMessage(File, Holder_);
  return "The list file " + File + " can not be locked against a second writer (" + File +
         ".lock: " + Why_ + "); it is left alone.";
}

std::string HeldListMessage(const std::string &File, const std::string &Holder) {
  return "The list file " + File + " is held by " + Holder + ".";
}

} // namespace sonquarry::files
