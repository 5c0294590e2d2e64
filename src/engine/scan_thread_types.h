#pragma once
// What a scan's owner sees of its threads: the events they raise and the settings they take,
// without the thread itself.

#include <functional>
#include <string>
#include <vector>

#include "engine/net_res.h"

namespace sonquarry {

namespace net {
struct FileStat;
} // namespace net

class TScanResThread;

namespace scan_thread {

using TResEnumeratedEvent =
    std::function<void(TScanResThread *Sender, const TNetResStrings &ChildList)>;
using TResQueuedEvent = std::function<void(TScanResThread *Sender, const std::string &Name)>;
using TFilesFoundEvent =
    std::function<void(TScanResThread *Sender, const std::string &Dir,
                       const std::vector<std::string> &FileNames, const std::string &Domain)>;
// The size and last-write time the listing gave each of FileNames (Size -1: unknown).
using TFileStatsEvent =
    std::function<void(const std::string &Dir, const std::vector<std::string> &FileNames,
                       const std::vector<net::FileStat> &Stats)>;
using TCountEvent = std::function<void(TScanResThread *Sender, int Count)>;
using TThreadEvent = std::function<void(TScanResThread *Sender)>;
using TCompLostEvent = std::function<void(TScanResThread *Sender, const std::string &Domain,
                                          const std::string &Computer)>;
using TProbe = std::function<bool(const std::string &Host, int Port, int TimeOut)>;

// Idle takers look at the list again after this many ms.
constexpr int DefaultPollInterval = 200;
// The delay between resources is slept in slices of this many ms.
constexpr int DefaultDelaySlice = 500;
// Directories of one share walked at most: a music share holds far fewer, a hostile server
// that invents them would hold the walk for ever.
constexpr int DefaultMaxShareDirs = 250000;

} // namespace scan_thread

} // namespace sonquarry
