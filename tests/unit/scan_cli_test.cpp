// sonquarry-scan's command line: everything that ends before a scan reaches the network.
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "app/scan_cli.h"
#include "discovery/ip_range.h"
#include "engine/net_scan.h"
#include "platform/files/holder_lock.h"
#include "settings/settings.h"
#include "support/run_program.h"
#include "support/xdg_sandbox.h"

using namespace sonquarry;
using sonquarry::testing::RunProgram;
using sonquarry::testing::ScanBinary;
using sonquarry::testing::TRun;
using sonquarry::testing::TXdgSandbox;

namespace {

TRun Scan(std::vector<std::string> Args) {
  Args.insert(Args.begin(), ScanBinary());
  return RunProgram(Args, {}, nullptr, 60000);
}

TEST(ScanCliTest, HelpNamesEveryOptionAndExitsZero) {
  TXdgSandbox Home;
  for (const char *H : {"--help", "-h"}) {
    const TRun R = Scan({H});
    EXPECT_EQ(R.Status, 0);
    EXPECT_EQ(R.Out.rfind("Usage: sonquarry-scan", 0), 0u) << R.Out;
    EXPECT_TRUE(R.Err.empty());
    for (const char *O :
         {"--neighbourhood", "--ip RANGE", "--allow-computer", "--deny-computer", "--allow-share",
          "--deny-share",    "--ext",      "--threads",        "--connections",   "--timeout",
          "--scan-method",   "--settings", "--list",           "--clear",         "--format",
          "--sort",          "--log",      "--no-wsd",         "--port445",       "--version",
          "--no-mdns"})
      EXPECT_NE(R.Out.find(O), std::string::npos) << O;
    // The man page is made from this text: its statuses, an output error's and a worker's.
    for (const char *S : {"Exit status: 0 scan done; 1", "the rows could\nnot be written",
                          "no SMB worker could run; 2", "130 stopped"})
      EXPECT_NE(R.Out.find(S), std::string::npos) << S;
  }
}

// C1 controls of a remote name reach a terminal escaped (a CSI would start a control
// sequence), as U+009B in UTF-8 or as the byte in a name that is not UTF-8; a pipe gets the bytes.
TEST(ScanCliTest, ATerminalGetsC1ControlsEscapedAPipeTheBytes) {
  TXdgSandbox Home;
  const std::string List = Home.Root() + "/c1.lst", Dir = "\r\nWG\r\n\\\\PC\\s\\\r\n";
  const std::string Utf8 = "a\xC2\x9B"
                           "2J.mp3",
                    Bytes = "b\x9B"
                            "2J.mp3";
  const std::string Args = "--ip 127.0.0.1 --timeout 200 --threads 1 --format paths --list ";
  for (const bool Tty : {true, false}) {
    // The list's UTF-8 mark keeps the name that is not UTF-8 as it is.
    sonquarry::testing::WriteFile(List, "\xEF\xBB\xBF" + Utf8 + Dir + Bytes + Dir);
    const std::string Cmd = "'" + ScanBinary() + "' " + Args + List + " 2>/dev/null";
    const TRun R = Tty ? RunProgram({"script", "-qefc", Cmd, "/dev/null"})
                       : RunProgram({"/bin/sh", "-c", Cmd});
    EXPECT_EQ(R.Status, 0) << R.Out << R.Err;
    if (Tty) {
      EXPECT_NE(R.Out.find("a\\u009b2J.mp3"), std::string::npos) << R.Out;
      EXPECT_NE(R.Out.find("b\\x9b2J.mp3"), std::string::npos) << R.Out;
      EXPECT_EQ(R.Out.find('\x9b'), std::string::npos) << R.Out;
    } else {
      EXPECT_NE(R.Out.find(Utf8), std::string::npos) << R.Out;
      EXPECT_NE(R.Out.find(Bytes), std::string::npos) << R.Out;
    }
  }
}

TEST(ScanCliTest, BadArgumentsSayWhyShowTheUsageAndExitTwo) {
  TXdgSandbox Home;
  const std::vector<std::pair<std::vector<std::string>, std::string>> Cases = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--ip"}, "--ip needs a value"},
      {{"--ip", "10.0.0"}, "'10.0.0' is not an IPv4 address, range or block"},
      {{"--ip", "10.0.0.256"}, "'10.0.0.256' is not an IPv4 address"},
      {{"--ip", "10.0.0.1-"}, "'10.0.0.1-' is not an IPv4 address"},
      {{"--ip", "10.0.0.1/33"}, "prefix length after / must lie between 0 and 32"},
      {{"--ip", "1.2.3.4.5"}, "is not an IPv4 address"},
      {{"--ip=a.b.c.d"}, "'a.b.c.d' is not an IPv4 address"},
      {{"--threads", "0"}, "--threads must lie between 1 and 1024"},
      {{"--threads", "many"}, "--threads needs a whole number, not 'many'"},
      {{"--connections", "0"}, "--connections must lie between 1 and 1024"},
      {{"--timeout", "-1"}, "--timeout needs a whole number, not '-1'"},
      {{"--scan-method", "vista"}, "--scan-method is xp, other or auto, not 'vista'"},
      {{"--format", "xml"}, "--format is paths, tsv or none, not 'xml'"},
      {{"--sort", "size"}, "--sort is name, domain or directory"},
      {{"--sort", "name:up"}, "--sort order is asc or desc, not 'up'"},
      {{"--ext", "."}, "--ext needs an extension"},
      {{"--help=yes"}, "--help takes no value"},
      {{"--no-wsd=1"}, "--no-wsd takes no value"},
      {{"--mdns=0"}, "--mdns takes no value"},
      {{"--neighbourhood", "--ip", "10.0.0.1"}, "--neighbourhood and --ip exclude each other"},
  };
  for (const auto &[Args, Message] : Cases) {
    const TRun R = Scan(Args);
    EXPECT_EQ(R.Status, 2) << Args.front();
    EXPECT_EQ(R.Err.rfind("sonquarry-scan: ", 0), 0u) << R.Err;
    EXPECT_NE(R.Err.find(Message), std::string::npos) << R.Err;
    EXPECT_NE(R.Err.find("Usage: sonquarry-scan"), std::string::npos);
    EXPECT_TRUE(R.Out.empty());
  }
}

TEST(ScanCliTest, RangeArgumentsGiveTheirAddressesOrSayWhyNot) {
  const std::string Bad = "' is not an IPv4 address, range or block";
  const std::string Bits = "': the prefix length after / must lie between 0 and 32";
  struct Case {
    std::string Arg, From, To, Error; // Error: the message after the argument in quotes
  };
  const Case Cases[] = {
      {"10.213.77.13", "10.213.77.13", "10.213.77.13", ""},
      {" 10.213.77.13 ", "10.213.77.13", "10.213.77.13", ""},
      {"010.213.077.013", "10.213.77.13", "10.213.77.13", ""},
      {"10.213.77.3-10.213.77.9", "10.213.77.3", "10.213.77.9", ""},
      {"10.213.77.9 - 10.213.77.3", "10.213.77.3", "10.213.77.9", ""},
      {"10.213.77.0-10.213.78.255", "10.213.77.0", "10.213.78.255", ""},
      // A block is the whole network, its first and last address included, whatever host bits
      // the address has.
      {"10.213.77.0/24", "10.213.77.0", "10.213.77.255", ""},
      {"10.213.77.13/24", "10.213.77.0", "10.213.77.255", ""},
      {"10.213.77.200/25", "10.213.77.128", "10.213.77.255", ""},
      {"10.213.77.13/31", "10.213.77.12", "10.213.77.13", ""},
      {"10.213.77.13/32", "10.213.77.13", "10.213.77.13", ""},
      {"10.213.77.13/8", "10.0.0.0", "10.255.255.255", ""},
      {"10.213.77.13/0", "0.0.0.0", "255.255.255.255", ""},
      {"10.213.77.13/ 16", "10.213.0.0", "10.213.255.255", ""},
      {"10.213.77.13/33", "", "", Bits},
      {"10.213.77.13/", "", "", Bits},
      {"10.213.77.13/-1", "", "", Bits},
      {"10.213.77.13/2x", "", "", Bits},
      {"10.213.77.13/024", "", "", Bits},
      {"10.213.77.13/24/8", "", "", Bits},
      {"10.213.77/24", "", "", Bad},
      {"", "", "", Bad},
      {"10.213.77", "", "", Bad},
      {"10.213.77.256", "", "", Bad},
      {"10.213.77.1.5", "", "", Bad},
      {"10..77.1", "", "", Bad},
      {".10.213.77", "", "", Bad},
      {"10.213.77.", "", "", Bad},
      {"0010.213.77.1", "", "", Bad},
      {"a.b.c.d", "", "", Bad},
      {"10.213.77.1-", "", "", Bad},
      {"-10.213.77.1", "", "", Bad},
      {"10.213.77.1-10.213.77.2-10.213.77.3", "", "", Bad},
      {"10.213.77.1-10.213.77.9/24", "", "", Bad},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE("'" + C.Arg + "'");
    if (!C.Error.empty()) {
      try {
        ParseIPRangeArg(C.Arg);
        ADD_FAILURE() << "accepted";
      } catch (const TUsageError &E) {
        EXPECT_EQ(E.what(), "'" + C.Arg + C.Error);
      }
      continue;
    }
    const TIPRange R = ParseIPRangeArg(C.Arg);
    EXPECT_EQ(IPToStr(R.From()), C.From);
    EXPECT_EQ(IPToStr(R.To()), C.To);
  }
}

TEST(ScanCliTest, UnusableListsAreRefusedWithTheWindowsMessages) {
  TXdgSandbox Home;
  TRun R = Scan({"--allow-computer", "pc1", "--deny-computer", "PC1"});
  EXPECT_EQ(R.Status, 2);
  EXPECT_EQ(R.Err, "sonquarry-scan: Allowed and denied lists of computers are the same. No "
                   "computers to search.\n");
  R = Scan({"--allow-share", "Music", "--allow-share", "pop", "--deny-share", "music",
            "--deny-share", "POP"});
  EXPECT_EQ(R.Status, 2);
  EXPECT_EQ(R.Err, "sonquarry-scan: Allowed and denied lists of resources are the same. No "
                   "resources to search.\n");
  // Nothing was touched: no log was even created.
  EXPECT_FALSE(std::filesystem::exists(Home.Root() + "/data/sonquarry/search.log"));
}

TEST(ScanCliTest, StoredSettingsAreTheStartAndOptionsOverrideThem) {
  TXdgSandbox Home;
  TScanOptions Stored;
  TMainFormSettings Form;
  Stored.NetBios = false; // IP mode without a range
  Stored.Filter.AllowedComps = {"\\\\pc1"};
  Stored.Filter.DeniedComps = {"\\\\PC1"};
  SaveSettings(Stored, Form);
  ASSERT_TRUE(std::filesystem::exists(Home.Hive()));
  TRun R = Scan({"--settings"});
  EXPECT_EQ(R.Status, 2);
  EXPECT_NE(R.Err.find("No computers to search."), std::string::npos) << R.Err;
  // The allowed list given here replaces the stored one; the stored IP mode remains.
  R = Scan({"--settings", "--allow-computer", "pc2"});
  EXPECT_EQ(R.Status, 2);
  EXPECT_EQ(R.Err, "sonquarry-scan: No IP addresses for scanning.\n");
  // Without --settings nothing stored counts: the defaults have no unusable list.
  R = Scan({"--log", Home.Root() + "/missing/dir/search.log"});
  EXPECT_EQ(R.Status, 1);
}

TEST(ScanCliTest, ABrokenHiveIsToldAndLeftAsItIs) {
  TXdgSandbox Home;
  sonquarry::testing::WriteFile(Home.Hive(), "[broken");
  // Unusable lists end the run before the network; the settings were read by then.
  const TRun R = Scan({"--settings", "--allow-computer", "pc1", "--deny-computer", "PC1"});
  EXPECT_EQ(R.Status, 2);
  EXPECT_NE(R.Err.find("sonquarry-scan: Registry: " + Home.Hive() + " could not be parsed"),
            std::string::npos)
      << R.Err;
  EXPECT_EQ(sonquarry::testing::ReadAll(Home.Hive()), "[broken");
  EXPECT_FALSE(std::filesystem::exists(Home.Hive() + ".bad"));
}

TEST(ScanCliTest, AStartFailureExitsOne) {
  TXdgSandbox Home;
  // The log cannot be emptied: Start fails before any thread exists.
  const TRun R = Scan(
      {"--log", Home.Root() + "/no such dir/search.log", "--list", Home.Root() + "/never.lst"});
  EXPECT_EQ(R.Status, 1);
  EXPECT_EQ(R.Err.rfind("sonquarry-scan: ", 0), 0u);
  EXPECT_NE(R.Err.find("no such dir"), std::string::npos) << R.Err;
  EXPECT_EQ(R.Err.find("Scan completed"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Home.Root() + "/never.lst"));
}

TEST(ScanCliTest, TheLogMayBeACharacterDeviceOrThePipeOfStdout) {
  TXdgSandbox Home;
  for (const std::string Log : {"/dev/null", "/dev/stdout"}) {
    // Loopback only: nothing answers on port 139 there, or it is this machine's own server.
    const TRun R = Scan({"--log", Log, "--ip", "127.0.0.1", "--timeout", "200", "--threads", "1",
                         "--format", "none"});
    EXPECT_EQ(R.Status, 0) << R.Err;
    EXPECT_NE(R.Err.find("Scan completed"), std::string::npos) << R.Err;
    EXPECT_EQ(R.Err.find("lost lines"), std::string::npos) << R.Err;
    EXPECT_EQ(R.Out.empty(), Log == "/dev/null") << R.Out;
  }
}

TEST(ScanCliTest, CredentialsOthersMayReadOrAFifoAreToldInTheScansOwnLogAndToTheUser) {
  const struct {
    std::string File; // below the sandbox
    bool Fifo;
    std::string Said;
  } Cases[] = {
      {"/config/sonquarry/credentials", false, "SMB credentials file # is open to group or others"},
      {"/config/sonquarry/credentials", true, "SMB credentials file # is not a regular file"},
      {"/home/.smb/smb.conf", true,
       "SMB client configuration # could not be loaded (not a regular file)"},
  };
  for (const auto &C : Cases) {
    TXdgSandbox Home;
    const std::string File = Home.Root() + C.File;
    const std::string Window = Home.Root() + "/data/sonquarry/search.log";
    sonquarry::testing::WriteFile(Window, "the window's\n");
    if (C.Fifo) {
      // Nobody writes to it: an open that waits would hang the scan's start.
      std::filesystem::create_directories(std::filesystem::path(File).parent_path());
      ASSERT_EQ(::mkfifo(File.c_str(), 0600), 0);
    } else {
      sonquarry::testing::WriteFile(File, "username=alice\npassword=secret\n");
      ASSERT_EQ(::chmod(File.c_str(), 0644), 0);
    }
    std::string Said = C.Said;
    Said.replace(Said.find('#'), 1, File);
    const TRun R =
        Scan({"--ip", "127.0.0.1", "--timeout", "200", "--threads", "1", "--format", "none"});
    EXPECT_EQ(R.Status, 0) << R.Err;
    const std::string Log = sonquarry::testing::ReadAll(Home.Root() + "/data/sonquarry/scan.log");
    EXPECT_NE(Log.find(Said), std::string::npos) << Log;
    // The program's own line, not only a worker's on the side.
    EXPECT_NE(R.Err.find("sonquarry-scan: " + Said), std::string::npos) << R.Err;
    EXPECT_EQ(sonquarry::testing::ReadAll(Window), "the window's\n");
  }
}

TEST(ScanCliTest, AListThatCannotBeReadOrIsHeldIsNeitherScannedNorOverwritten) {
  TXdgSandbox Home;
  const std::string List = Home.Root() + "/l.lst";
  const std::string Good = "one.mp3\r\nWG\r\n\\\\PC\\share\\\r\n";
  const struct {
    std::string Text;
    int Held; // 1 by a window of the user's (this process stands in for it); 2 no lock can be made
    std::string Err;
  } Cases[] = {
      {Good + "two.mp3\r\nWG\r\nnot a path\r\n", 0,
       "Can not add data from list file " + List +
           ": a record is not a path on the network, or the list is full."},
      {Good + "two.mp3\r\nWG", 0,
       "Can not read data from list file " + List + ": the file ends inside a record."},
      {Good, 1,
       "The list file " + List + " is held by sonquarry (process " + std::to_string(getpid()) +
           ")."},
      {Good, 2,
       "The list file " + List + " can not be locked against a second writer (" + List +
           ".lock: Is a directory); it is left alone."},
  };
  for (const auto &C : Cases) {
    std::ofstream(List, std::ios::binary) << C.Text;
    files::THolderLock Window;
    std::filesystem::remove_all(List + ".lock");
    if (C.Held == 1) {
      ASSERT_TRUE(Window.Take(List, "sonquarry") && Window.Held());
    }
    if (C.Held == 2) std::filesystem::create_directory(List + ".lock");
    const TRun R = Scan({"--list", List});
    EXPECT_EQ(R.Status, 1);
    EXPECT_EQ(R.Err, "sonquarry-scan: " + C.Err + "\n");
    std::ifstream In(List, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(In), {}), C.Text);
  }
}

} // namespace
