// sonquarry-scan: the headless scanner. The same engine as the window, with the plain main-thread
// queue pumped here; the list file is marked exactly as the main window marks its rows.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/program_network.h"
#include "app/scan_cli.h"
#include "engine/diagnostics.h"
#include "engine/net_scan.h"
#include "engine/scan_log.h"
#include "engine/scan_report.h"
#include "engine/scan_session.h"
#include "paths/wnet_tree.h"
#include "platform/files/folders.h"
#include "platform/files/holder_lock.h"
#include "platform/os/exception.h"
#include "platform/os/main_thread.h"
#include "platform/os/thread.h"
#ifdef _WIN32
// Windows: the system's provider, no worker; tags are not built (no TagLib or SQLite there).
#include "platform/tags/tag_reader.h"
#include <io.h>
#define isatty _isatty
#else
#include "platform/smb/smb_provider.h"
#include "services/tags/tag_pass.h"
#include <unistd.h>
#endif
#include "settings/settings.h"
#include "text/utf8_text.h"

using namespace sonquarry;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char *Program = "sonquarry-scan";
constexpr int ExitDone = 0, ExitFailed = 1, ExitUsage = 2, ExitSignal = 130;
// How long the end waits for threads still in a network call before it leaves without them.
constexpr int ThreadGraceMs = 10000;

volatile std::sig_atomic_t Signals = 0;

extern "C" void OnSignal(int) { Signals = Signals + 1; }

void InstallSignals() {
#ifdef _WIN32
  std::signal(SIGINT, OnSignal); // Ctrl+C and Ctrl+Break, through the console's handler
  std::signal(SIGTERM, OnSignal);
#else
  struct sigaction A {};
  A.sa_handler = OnSignal;
  sigemptyset(&A.sa_mask);
  sigaction(SIGINT, &A, nullptr);
  sigaction(SIGTERM, &A, nullptr);
#endif
}

void Say(const std::string &Text) { std::cerr << Program << ": " << Text << std::endl; }

// Control characters of a remote name never split or forge an output row, nor, on a terminal,
// reach it as C1 controls (U+0080 to U+009F, or such bytes in a name that is not UTF-8).
std::string Shown(std::string S, bool Terminal) {
  for (auto &C : S)
    if (static_cast<unsigned char>(C) < 0x20 || C == 0x7f) C = '?';
  if (!Terminal) return S;
  const bool Utf8 = text::IsValidUtf8(S);
  std::string Out;
  char Hex[8];
  for (std::size_t I = 0; I < S.size(); ++I) {
    const auto B = static_cast<unsigned char>(S[I]);
    const auto Next = I + 1 < S.size() ? static_cast<unsigned char>(S[I + 1]) : 0;
    if (Utf8 && B == 0xc2 && Next >= 0x80 && Next <= 0x9f) {
      std::snprintf(Hex, sizeof Hex, "\\u%04x", Next);
      Out += Hex;
      ++I;
    } else if (!Utf8 && B >= 0x80 && B <= 0x9f) {
      std::snprintf(Hex, sizeof Hex, "\\x%02x", B);
      Out += Hex;
    } else {
      Out += char(B);
    }
  }
  return Out;
}

class TProgress {
public:
  explicit TProgress(bool Enabled) : Enabled_(Enabled) {}
  bool Enabled() const { return Enabled_; }
  void Show(double Seconds, int Resources, int Computers, int Files, bool Stopping) {
    if (!Enabled_) return;
    // Appended piece by piece: "text" + std::string&& trips g++ 12's -Wrestrict at -O2.
    std::string Line = "\r";
    Line += FormatHMS(Seconds);
    Line += Stopping ? "  stopping..." : "  searching...";
    Line += "  resources ";
    Line += std::to_string(Resources);
    Line += "  computers ";
    Line += std::to_string(Computers);
    Line += "  files ";
    Line += std::to_string(Files);
    Line += "\033[K";
    std::fputs(Line.c_str(), stderr);
    std::fflush(stderr);
    Shown_ = true;
  }
  void Clear() {
    if (!Shown_) return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    Shown_ = false;
  }

private:
  bool Enabled_;
  bool Shown_ = false;
};

#ifndef _WIN32
// The tags of the files a scan finds, read while it walks on: each directory's files are queued
// as they come, with the size and time their listing gave.
class TScanTags {
public:
  TScanTags(std::shared_ptr<net::INetProvider> Provider, int Threads)
      : Provider_(std::move(Provider)), Pass_(*Provider_, &Cache_, Threads, [this](const auto &O) {
          if (O.Ok) Got_.emplace(O.Unc, O.Tags);
        }) {}

  void Found(const std::string &Dir, const std::vector<std::string> &Names,
             const std::vector<net::FileStat> &Stats) {
    std::string Base = Dir;
    if (Base.empty() || Base.back() != '\\') Base += '\\';
    std::vector<tags::TTagJob> Jobs;
    for (std::size_t I = 0; I < Names.size() && I < Stats.size(); ++I)
      if (!Stats[I].Directory)
        Jobs.push_back({Base + Names[I], 0, Stats[I].Size, Stats[I].WriteTime});
    Pass_.Add(std::move(Jobs));
  }

  // The tags of the rows whose files were there in this scan, by row. False when a signal
  // stopped it.
  bool Finish(TWNetTree &Tree, std::vector<tags::TTags> &Out) {
    while (!Pass_.Wait(100))
      if (Signals) return false;
    Cache_.Flush();
    Out.assign(std::size_t(Tree.Count()), tags::TTags{});
    for (int I = 0; I < Tree.Count(); ++I) {
      const TNodeState S = Tree.File(I).State();
      if (S != nsKnown && S != nsNew) continue;
      const auto It = Got_.find(Tree.GetDirectory(I) + std::string(Tree.File(I).Name()));
      if (It != Got_.end()) Out[std::size_t(I)] = It->second;
    }
    Say("tags of " + std::to_string(Pass_.FilesRead()) + " files read (" +
        std::to_string(Pass_.BytesRead()) + " bytes), " + std::to_string(Pass_.FilesFromCache()) +
        " from the cache");
    return true;
  }

private:
  tags::TTagCache Cache_;
  std::shared_ptr<net::INetProvider> Provider_;
  std::unordered_map<std::string, tags::TTags> Got_; // written by the pass's threads in turn
  tags::TTagPass Pass_;
};
#endif

// False when the rows could not all be written (a full disk, a closed pipe).
bool PrintRows(TWNetTree &Tree, TOutputFormat Format, const std::vector<tags::TTags> &Tags) {
  if (Format == TOutputFormat::None) return true;
  const bool Tty = ::isatty(STDOUT_FILENO) == 1;
  const auto Printable = [Tty](std::string S) { return Shown(std::move(S), Tty); };
  std::string Out;
  for (int I = 0; I < Tree.Count(); ++I) {
    const auto File = Tree.File(I);
    const std::string Name = Printable(std::string(File.Name()));
    const std::string Directory = Printable(Tree.GetDirectory(I));
    if (Format == TOutputFormat::Paths) {
      Out += Directory + Name + "\n";
    } else {
      Out += Name + "\t" + Printable(Tree.GetDomain(I)) + "\t" + Directory + "\t" +
             std::to_string(int(File.State()));
      if (std::size_t(I) < Tags.size()) {
        const tags::TTags &T = Tags[std::size_t(I)];
        Out += "\t" + Printable(T.Artist) + "\t" + Printable(T.Title) + "\t" + Printable(T.Album) +
               "\t" + (T.Year > 0 ? std::to_string(T.Year) : "") + "\t" +
               (T.Length >= 0 ? std::to_string(T.Length) : "");
      }
      Out += "\n";
    }
    if (Out.size() > 1 << 16) {
      std::fwrite(Out.data(), 1, Out.size(), stdout);
      Out.clear();
    }
  }
  std::fwrite(Out.data(), 1, Out.size(), stdout);
  return std::fflush(stdout) == 0 && !std::ferror(stdout);
}

int Run(const TScanCommand &C) {
  platform::TQueueDispatcher Main;
  platform::SetMainThread(&Main);
  struct TRestore {
    platform::TQueueDispatcher &Main;
    ~TRestore() {
      Main.Close();
      platform::SetMainThread(nullptr);
    }
  } Restore{Main};

  // Every warning into the scan log; what the user has to act on on standard error as well.
  TDiagnosticsChannel Diagnostics(
      C.LogFile.empty() ? files::GetProgramDir() + "scan.log" : C.LogFile, Say);
  auto Scan = std::make_unique<TNetScan>();
  Scan->Network = MakeProgramNetwork();
  TMainFormSettings Form;
  ApplyMainFormDefaults(*Scan, Form);
  if (C.Settings) {
    Scan->IPResList->ClearList();
    LoadSettings(*Scan, Form, *Scan);
  }
  if (C.NetBios) Scan->NetBios = *C.NetBios;
  if (C.WsDiscovery) Scan->WsDiscovery = *C.WsDiscovery;
  if (C.Mdns) Scan->Mdns = *C.Mdns;
  if (!C.Ranges.empty()) {
    Scan->IPResList->ClearList();
    for (const auto &R : C.Ranges) Scan->AddIPRange(R.From(), R.To());
  }
  if (C.AllowedComps) Scan->Filter.AllowedComps = *C.AllowedComps;
  if (C.DeniedComps) Scan->Filter.DeniedComps = *C.DeniedComps;
  if (C.AllowedRes) Scan->Filter.AllowedRes = *C.AllowedRes;
  if (C.DeniedRes) Scan->Filter.DeniedRes = *C.DeniedRes;
  if (C.Extentions) Scan->Filter.Extentions = *C.Extentions;
  if (C.Threads) Scan->MaxThreadCount = *C.Threads;
  if (C.Connections) Scan->ServerConnections = *C.Connections;
  if (C.TimeOut) Scan->TimeOut = *C.TimeOut;
  if (C.Probe445) Scan->Probe445 = *C.Probe445;
  if (C.ScanMethod) Scan->ScanMethod = *C.ScanMethod;
  if (C.Clear) Scan->IsClearBefor = *C.Clear;

  TWNetTree Tree;
  TScanSession Session(*Scan, Tree);
  if (const TSearchBlock Block = Session.Check(); Block != TSearchBlock::None) {
    Say(TScanSession::Message(Block));
    return Block == TSearchBlock::NoWorker ? ExitFailed : ExitUsage;
  }
  // A list that another program holds (the user's window) is left to it: nothing is written.
  files::THolderLock Hold;
  if (!C.ListFile.empty() && !Hold.Take(C.ListFile, Program)) {
    Say(Hold.Refusal(C.ListFile));
    return ExitFailed;
  }
  // A list that could not be read whole is not overwritten with what was read of it.
  if (!C.ListFile.empty()) {
    if (const std::string Error = LoadListWithMessage(C.ListFile, Tree); !Error.empty()) {
      Say(Error);
      return ExitFailed;
    }
  }

  bool Finished = false;
  int Resources = 0;
  Scan->OnFilesFound = [&Tree](TScanResThread *, const std::string &Dir,
                               const std::vector<std::string> &Names, const std::string &Domain) {
    for (const auto &N : Names) Tree.AddFile(Domain, Dir, N);
  };
#ifdef _WIN32
  if (C.Tags) Say("tags are not read in the Windows build; the rows are listed without them");
#else
  std::unique_ptr<TScanTags> ScanTags;
  if (C.Tags) {
    ScanTags = std::make_unique<TScanTags>(Scan->ProviderToStart(), Scan->MaxThreadCount);
    Scan->OnFileStats = [&ScanTags](const std::string &Dir, const std::vector<std::string> &Names,
                                    const std::vector<net::FileStat> &Stats) {
      ScanTags->Found(Dir, Names, Stats);
    };
  }
#endif
  Scan->OnResEnumerated = [&Resources](TScanResThread *, const TNetResStrings &L) {
    Resources += static_cast<int>(L.size());
  };
  Scan->OnFinish = [&Finished](TNetScan *) { Finished = true; };

  InstallSignals();
  Session.PrepareList();
  const auto StartTime = Clock::now();
  try {
    Session.Start();
  } catch (const std::exception &E) {
    Say(E.what());
    Scan->Stop();
    Scan.reset();
    Main.Close();
    platform::TThread::WaitForFreeThreads(ThreadGraceMs);
    return ExitFailed;
  }

  TProgress Progress(::isatty(STDERR_FILENO) == 1);
  auto Elapsed = [&] { return std::chrono::duration<double>(Clock::now() - StartTime).count(); };
  int Handled = 0;
  bool Abandoned = false;
  while (!Finished) {
    // Back as soon as the scan ends or a signal comes, not at the end of the period.
    Main.PumpUntil([&] { return Finished || Signals > Handled; }, Progress.Enabled() ? 250 : 100);
    if (Signals > Handled) {
      ++Handled;
      if (Handled == 1) {
        Scan->Stop();
      } else {
        Abandoned = true;
        break;
      }
    }
    Progress.Show(Elapsed(), Resources, Scan->ScannedComps, Tree.Count(), Handled > 0);
  }
  Progress.Clear();
  const double Seconds = Elapsed();
  Session.Finish();
  // Released with threads possibly still in a network call: they end on their own.
  Scan.reset();

  if (C.SortColumn >= 0 && Tree.Count() > 1) Tree.Sort(C.SortColumn, C.SortAscending);
  int Exit = Handled > 0 ? ExitSignal : ExitDone;
  if (!C.ListFile.empty()) {
    const std::string Error = SaveListWithMessage(C.ListFile, Tree);
    if (!Error.empty()) {
      Say(Error);
      Exit = ExitFailed;
    }
  }
  std::vector<tags::TTags> Tags;
#ifndef _WIN32
  if (ScanTags && Handled == 0 && !ScanTags->Finish(Tree, Tags)) {
    Handled = 1;
    Exit = ExitSignal;
    Tags.clear();
  }
#endif
  if (!PrintRows(Tree, C.Format, Tags)) {
    Say(std::string("the rows could not be written: ") + std::strerror(errno));
    Exit = ExitFailed;
  }
#ifndef _WIN32
  // Workers that could not run (none greeted) walked no share: nothing was scanned.
  if (const smb::WorkerStarts W = smb::CountWorkerStarts(); W.Failed > 0 && W.Greeted == 0) {
    Say("no SMB worker could run: no share was walked");
    Exit = ExitFailed;
  }
#endif

  std::string Report = ScanReportText(Session.Summary(FormatHMS(Seconds)));
  for (auto &Ch : Report)
    if (Ch == '\r') Ch = '\n';
  std::cerr << Report << std::endl;
  if (const std::string Note = Session.UnreadNote(); !Note.empty())
    Say(Note + " " + Log.FileName());
  if (Abandoned) Say("stopped without waiting for the threads still in a network call");
  {
    std::lock_guard<std::mutex> L(ScanLogLock);
    if (!Log.Errors().empty()) Say("the scan log lost lines: " + Log.Errors().front());
  }

  Main.Close();
  if (!platform::TThread::WaitForFreeThreads(Abandoned ? 1000 : ThreadGraceMs)) {
    // Threads still blocked in the network would outlive the objects the exit destroys.
    std::fflush(nullptr);
    std::_Exit(Exit);
  }
  return Exit;
}

} // namespace

int main(int argc, char **argv) {
  TScanCommand C;
  try {
    C = ParseScanArgs(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const TUsageError &E) {
    std::cerr << Program << ": " << E.what() << "\n\n" << ScanUsage();
    return ExitUsage;
  }
  if (C.Help) {
    std::cout << ScanUsage();
    return ExitDone;
  }
  if (C.Version) {
    std::cout << Program << " " << SONQUARRY_VERSION << "\n";
    return ExitDone;
  }
  try {
    return Run(C);
  } catch (const std::exception &E) {
    Say(E.what());
    return ExitFailed;
  }
}
