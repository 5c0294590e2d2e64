#pragma once
// The copy of many files into one directory with a progress window: the files are read and
// written on a thread of their own while the window keeps answering; Cancel ends the copy.

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QWidget;

namespace sonquarry {

namespace copier {
class ICopySource;
}

// Copies every source path (UNC) into Destination; 0 only when every file was copied, another
// value when one failed or the user cancelled. Files copied before stay.
int CopyFiles(QWidget *Owner, const std::vector<std::string> &Sources,
              const std::string &Destination);

// Makes the source the copy reads from (one per copy); an empty function restores the SMB one.
using TCopySourceFactory = std::function<std::unique_ptr<copier::ICopySource>()>;
TCopySourceFactory SetCopySourceFactory(TCopySourceFactory Factory);

} // namespace sonquarry
