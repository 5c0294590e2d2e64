#include "engine/scan_session.h"

#include <cerrno>
#include <exception>
#include <filesystem>

#include "platform/net/net_provider.h"
#include "platform/os/errors.h"
#include "platform/os/exception.h"
#include "text/text.h"

namespace sonquarry {

TSearchBlock TScanSession::Check() const {
  // Nothing in the settings helps an installation that lacks its SMB worker.
  const auto P = Scan_.ProviderToStart();
  if (P && !P->CanSearch()) return TSearchBlock::NoWorker;
  if (!Scan_.Filter.CompListsUsable()) return TSearchBlock::SameComps;
  if (!Scan_.Filter.ResListsUsable()) return TSearchBlock::SameRes;
  if (!Scan_.NetBios && Scan_.IPRangeCount() == 0) return TSearchBlock::NoAddresses;
  return TSearchBlock::None;
}

std::string TScanSession::Message(TSearchBlock Block) {
  switch (Block) {
  case TSearchBlock::NoWorker:
    return "Sonquarry can not search the network: its SMB worker program sonquarry-smb-worker is "
           "neither beside the program nor in ../libexec/sonquarry. Reinstall Sonquarry (Debian: "
           "the package sonquarry).";
  case TSearchBlock::SameComps:
    return "Allowed and denied lists of computers are the same. No computers to search.";
  case TSearchBlock::SameRes:
    return "Allowed and denied lists of resources are the same. No resources to search.";
  case TSearchBlock::NoAddresses:
    return "No IP addresses for scanning.";
  case TSearchBlock::None:
    break;
  }
  return "";
}

void TScanSession::PrepareList() {
  if (Scan_.IsClearBefor) Tree_.Clear();
  Tree_.ResetMarks();
}

void TScanSession::Start() {
  Scan_.Start();
  Scan_.Active()->CheckSetup();
}

void TScanSession::Finish() {
  FoundComps_ = Scan_.FoundComps;
  ScannedComps_ = Scan_.ScannedComps;
  UnreadDirs_ = Scan_.UnreadDirs;
  for (const auto &[Domain, Comp] : Scan_.LostComps) Tree_.MarkLost(Domain, Comp);
  Tree_.FinishMarks(Scan_.Stopped);
}

std::string TScanSession::UnreadNote() const {
  if (UnreadDirs_ <= 0) return "";
  return std::to_string(UnreadDirs_) + (UnreadDirs_ == 1 ? " directory was" : " directories were") +
         " not read: see the scan log";
}

TScanSummary TScanSession::Summary(const std::string &SearchTime) const {
  TScanSummary S;
  S.SearchTime = SearchTime;
  S.FoundComps = FoundComps_;
  S.ScannedComps = ScannedComps_;
  S.AllFiles = Tree_.Count();
  S.NewFiles = Tree_.CountByState(nsNew);
  S.RemovedFiles = Tree_.CountByState(nsInaccessible);
  S.UnknownFiles = Tree_.CountByState(nsUnreached);
  return S;
}

std::string LoadListWithMessage(const std::string &File, TWNetTree &Tree) {
  struct TLoading {
    TWNetTree &T;
    explicit TLoading(TWNetTree &Tree) : T(Tree) { T.SetLoading(true); }
    ~TLoading() { T.SetLoading(false); }
  } Loading(Tree);
  try {
    const TListFileResult Result = LoadListFile(File, Tree);
    const int Err = errno;
    switch (Result) {
    case lfOk:
      return "";
    case lfOpenFailed:
      return FormatMessage("The file %s exists, but can not be opened: ", File) +
             platform::ErrnoText(Err) + ".";
    case lfReadFailed:
      return FormatMessage("Can not read data from list file %s: ", File) +
             (Err ? platform::ErrnoText(Err) : std::string("the file ends inside a record")) + ".";
    case lfAddWriteFailed:
      break;
    }
    return FormatMessage("Can not add data from list file %s: a record is not a path on the "
                         "network, or the list is full.",
                         File);
  } catch (const std::exception &E) {
    return E.what();
  }
}

std::string SaveListWithMessage(const std::string &File, TWNetTree &Tree,
                                std::shared_ptr<files::TAtomicFile> *Unsynced) {
  const std::string Dir = std::filesystem::path(File).parent_path().string();
  std::error_code Ec;
  if (!Dir.empty() && !std::filesystem::is_directory(Dir, Ec))
    return FormatMessage("Can not write list file. Directory %s does not exist.", Dir);
  try {
    const TListFileResult Result = SaveListFile(File, Tree, Unsynced);
    const std::string Why = ": " + platform::ErrnoText(errno) + ".";
    switch (Result) {
    case lfOk:
      return "";
    case lfOpenFailed:
      return FormatMessage("Can not create list file %s", File) + Why;
    case lfReadFailed:
      return "Can not get tree data.";
    case lfAddWriteFailed:
      break;
    }
    return ListWriteFailedMessage(File);
  } catch (const std::exception &E) {
    return E.what();
  }
}

std::string ListWriteFailedMessage(const std::string &File) {
  return FormatMessage("Can not write data to list file %s", File) + ": " +
         platform::ErrnoText(errno) + ".";
}

} // namespace sonquarry
