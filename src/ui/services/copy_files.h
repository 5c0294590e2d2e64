#pragma once
// The copy of many files into one directory with a progress window: the files are read and
// written on a thread of their own while the window keeps answering; Cancel ends the copy.

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QWidget;

namespace sonquarry {

namespace copier {
class ICopySource;
}
namespace net {
class INetProvider;
}

struct TCopyOutcome {
  int Result = 1; // 0: every file copied; 1: some not (Skipped, or Error); 2: cancelled
  int Copied = 0;
  std::vector<std::pair<std::string, std::string>> Skipped; // path, reason
  std::string Error;                                        // why the copy could not start
};

// Copies every source path (UNC), read through Provider, into Destination with a progress window
// of the whole copy. A file that cannot be copied is named with the reason, and the user skips
// it, skips every such file, or cancels. Files copied before a Cancel stay.
TCopyOutcome CopyFiles(QWidget *Owner, std::shared_ptr<net::INetProvider> Provider,
                       const std::vector<std::string> &Sources, const std::string &Destination);

// What the user reads after a copy that did not copy everything ("" after a whole copy), and
// whether it is an error rather than information.
std::string CopyOutcomeMessage(const TCopyOutcome &Outcome, size_t Count, bool &IsError);

// Makes the source the copy reads from (one per copy) instead of the provider; an empty function
// restores the provider.
using TCopySourceFactory = std::function<std::unique_ptr<copier::ICopySource>()>;
TCopySourceFactory SetCopySourceFactory(TCopySourceFactory Factory);

} // namespace sonquarry
