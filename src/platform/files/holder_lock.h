#pragma once
// One holder per list file: an advisory lock on FILE + ".lock" beside it, which the system drops
// when the holding process ends, however it ends. The lock file names its holder for the others.
// A rename over the list file (every save) leaves the lock alone, which is why it is not the list
// file itself that is locked.

#include <string>

namespace sonquarry::files {

class THolderLock {
public:
  THolderLock() = default;
  THolderLock(const THolderLock &) = delete;
  THolderLock &operator=(const THolderLock &) = delete;
  ~THolderLock(); // releases it

  // Takes the lock for Program without waiting. False only when another holder has it (also one
  // in this process); Holder() then names it. A lock file that cannot be made (a folder that is
  // not ours to write, a link in its place) holds nothing and blocks nobody: true, Held() false.
  bool Take(const std::string &File, const std::string &Program);
  void Release();
  bool Held() const { return Fd >= 0; }
  // After a failed Take: "PROGRAM (process PID)", or "another program" when it did not say.
  const std::string &Holder() const { return Holder_; }

private:
  int Fd = -1;
  std::string Holder_;
};

// "The list file FILE is held by HOLDER."
std::string HeldListMessage(const std::string &File, const std::string &Holder);

} // namespace sonquarry::files
