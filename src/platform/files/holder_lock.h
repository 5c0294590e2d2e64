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

  // Takes the lock for Program without waiting. False when another holder has it (also one in
  // this process; Holder() then names it), and when the lock file cannot be made (a folder that
  // is not ours to write, a link in its place): without a lock a second writer would come in
  // unseen. Refusal() says which.
  bool Take(const std::string &File, const std::string &Program);
  void Release();
  bool Held() const { return Fd >= 0; }
  // After a failed Take: "PROGRAM (process PID)", or "another program" when it did not say.
  const std::string &Holder() const { return Holder_; }
  // After a failed Take: the message for the user, HeldListMessage or why no lock could be made.
  std::string Refusal(const std::string &File) const;

private:
  int Fd = -1;
  std::string Holder_;
  std::string Why_; // the lock file could not be made
};

// "The list file FILE is held by HOLDER."
std::string HeldListMessage(const std::string &File, const std::string &Holder);

} // namespace sonquarry::files
