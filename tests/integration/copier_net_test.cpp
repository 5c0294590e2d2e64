// The copier against the test network's servers: collisions, Cancel in the middle of a large file
// and while a hung server holds an open, a server stopped in the middle of a copy, remote names
// that try to leave the folder.

#include "platform/smb/smb_provider.h"
#include "services/copier/file_copier.h"
#include "services/copier/net_copy_source.h"
#include "support/hung_host.h"
#include "support/latency_relay.h"
#include "support/run_program.h"
#include "support/test_support.h"
#include "support/testnet_env.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <unistd.h>

using namespace sonquarry;
using sonquarry::testing::ReadAll;
using sonquarry::testing::RunProgram;
using sonquarry::testing::TRun;
namespace fs = std::filesystem;

namespace {

// A file placed on a share for the test and removed after it.
struct TShareFile {
  fs::path Path;
  TShareFile(const fs::path &APath, size_t Size, char Fill = 'x') : Path(APath) {
    fs::create_directories(Path.parent_path());
    fs::permissions(Path.parent_path(), fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    std::ofstream out(Path, std::ios::binary);
    std::string chunk(1 << 20, Fill);
    for (size_t done = 0; done < Size; done += chunk.size())
      out.write(chunk.data(), std::streamsize(std::min(chunk.size(), Size - done)));
    out.close();
    fs::permissions(Path, fs::perms::others_read, fs::perm_options::add);
  }
  ~TShareFile() { fs::remove(Path); }
};

struct CopierNet : ::testing::Test {
  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  std::string Net = E.Get("SQ_TESTNET_DIR");
  std::string Alpha = E.Host("ALPHA", "NAME");
  std::string Bravo = E.Host("BRAVO", "NAME");
  fs::path Work = fs::temp_directory_path() / ("sqcopy-" + std::to_string(::getpid()));
  fs::path Dest = Work / "inside" / "dest";
  fs::path AlphaDir = fs::path(Net) / "shares/alpha/music/copier test";
  fs::path BravoDir = fs::path(Net) / "shares/bravo/media/copier test";

  CopierNet() { fs::create_directories(Dest); }
  ~CopierNet() override {
    fs::remove_all(Work);
    fs::remove_all(AlphaDir);
    fs::remove_all(BravoDir);
  }
  std::string AlphaUnc(const std::string &Name) const {
    return "\\\\" + Alpha + "\\music\\copier test\\" + Name;
  }
  std::set<std::string> Listing(const fs::path &Dir) const {
    std::set<std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(Dir))
      out.insert(fs::relative(e.path(), Dir).string());
    return out;
  }
};

} // namespace

TEST_F(CopierNet, NameCollisionKeepsBothFiles) {
  TShareFile f(AlphaDir / "Café #1 100%.mp3", 300000, 'n');
  std::ofstream(Dest / "Café #1 100%.mp3") << "old";
  auto source = copier::MakeNetCopySource(std::make_shared<smb::TSmbProvider>());
  copier::TFileCopier copier(*source);
  ASSERT_EQ(copier.Copy({AlphaUnc("Café #1 100%.mp3")}, Dest.string()), 0) << copier.Error;
  EXPECT_EQ(ReadAll(Dest / "Café #1 100%.mp3"), "old");
  EXPECT_EQ(ReadAll(Dest / "Café #1 100% (2).mp3"), ReadAll(f.Path));
}

// A server slower than a chunk per call deadline: the copy keeps receiving data, so it goes on.
// The relay to ALPHA stands in for the slow link, held to 160 KB/s toward the client.
TEST_F(CopierNet, ACopyFromAServerSlowerThanAChunkPerDeadlineSucceeds) {
  TShareFile f(AlphaDir / "slow.mp3", size_t(3) << 19, 's'); // 1.5 MiB: about 10 s at that pace
  const sonquarry::testing::TRelayHost Up(Net, 0);
  ASSERT_TRUE(Up.Up);
  const std::string Ns = "ip netns exec " + E.Get("SQ_PREFIX") + "-relay ";
  ASSERT_EQ(std::system((Ns + "tc qdisc replace dev eth0 root tbf rate 1280kbit burst 16kb "
                              "latency 2s")
                            .c_str()),
            0);
  smb::SmbProviderOptions o;
  o.ConfigFile = E.Get("SQ_CLIENT_CONF");
  o.CredentialsFile = "-";
  o.CallTimeOutMs = 4000;
  auto provider = std::make_shared<smb::TSmbProvider>(o);
  auto source = copier::MakeNetCopySource(provider);
  copier::TFileCopier copier(*source);
  const std::string Relay = E.Get("SQ_RELAY_IPS").substr(0, E.Get("SQ_RELAY_IPS").find(','));
  const int Result =
      copier.Copy({"\\\\" + Relay + "\\music\\copier test\\slow.mp3"}, Dest.string());
  std::system((Ns + "tc qdisc del dev eth0 root").c_str());
  ASSERT_EQ(Result, 0) << copier.Error;
  EXPECT_EQ(ReadAll(Dest / "slow.mp3"), ReadAll(f.Path));
}

TEST_F(CopierNet, CancelInTheMiddleOfALargeFileLeavesNothing) {
  TShareFile big(AlphaDir / "large.mp3", size_t(96) << 20);
  auto source = copier::MakeNetCopySource(std::make_shared<smb::TSmbProvider>());
  copier::TFileCopier copier(*source);
  std::atomic<int> result{-1};
  std::thread t([&] { result = copier.Copy({AlphaUnc("large.mp3")}, Dest.string()); });
  while (copier.Progress().FileDone < (8 << 20) && result < 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  copier.Cancel();
  t.join();
  EXPECT_EQ(result, 2);
  EXPECT_TRUE(Listing(Dest).empty());
}

// The hung server would hold the open for the provider's ten minutes; Cancel ends it.
TEST_F(CopierNet, CancelWhileAHungServerHoldsTheOpenEndsAtOnce) {
  const sonquarry::testing::THungHost stuck(Net);
  ASSERT_TRUE(stuck.Up);
  smb::SmbProviderOptions o;
  o.ConfigFile = E.Get("SQ_CLIENT_CONF");
  o.CredentialsFile = "-";
  o.TimeOutMs = o.CallTimeOutMs = 600000;
  auto provider = std::make_shared<smb::TSmbProvider>(o);
  auto source = copier::MakeNetCopySource(provider);
  copier::TFileCopier copier(*source);
  copier::TCopyThread copy(copier, {"\\\\" + E.Host("STUCK", "IP") + "\\music\\x.mp3"},
                           Dest.string());
  copy.Resume();
  // Its worker is up: the open follows at once.
  while (provider->WorkerPids().empty() && !copy.Finished())
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_FALSE(copy.Finished()) << copier.Error;
  const auto cancelled = std::chrono::steady_clock::now();
  copier.Cancel();
  copy.WaitFor();
  EXPECT_EQ(copy.Result(), 2);
  EXPECT_LT(std::chrono::steady_clock::now() - cancelled, std::chrono::seconds(60));
  EXPECT_TRUE(Listing(Dest).empty());
}

// Reads through another source; once Gate bytes of a file are read, the next read waits until
// the test opens the gate.
class TGatedSource final : public copier::ICopySource {
public:
  explicit TGatedSource(std::unique_ptr<copier::ICopySource> AInner) : Inner(std::move(AInner)) {}
  std::atomic<bool> Waiting{false}, Released{false};
  int64_t Gate = 4 << 20, Done = 0;
  bool Open(const std::string &P, int64_t &S, std::string &E) override {
    Done = 0;
    return Inner->Open(P, S, E);
  }
  long Read(char *B, size_t C, std::string &E) override {
    if (Done >= Gate) {
      Waiting = true;
      while (!Released) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const long n = Inner->Read(B, C, E);
    if (n > 0) Done += n;
    return n;
  }
  void Close() override { Inner->Close(); }
  void Cancel() override { Inner->Cancel(); }

private:
  std::unique_ptr<copier::ICopySource> Inner;
};

TEST_F(CopierNet, ServerStoppedMidCopyFailsAndKeepsTheFilesBefore) {
  TShareFile one(AlphaDir / "one.mp3", 100000, '1');
  TShareFile two(AlphaDir / "two.mp3", 200000, '2');
  TShareFile big(BravoDir / "large.mp3", size_t(64) << 20);
  const std::string tool = sonquarry::testing::TestnetTool();
  struct TRestart {
    std::string Tool, Net, Bravo;
    bool Stopped = false;
    ~TRestart() {
      if (!Stopped) return;
      EXPECT_EQ(RunProgram({Tool, "start-host", "--dir", Net, Bravo}).Status, 0);
      // The next tests need the host back, also past the client's cache of failed connections.
      bool back = false;
      for (int i = 0; i < 60 && !back; ++i) {
        back = RunProgram({"smbclient", "//" + Bravo + "/media", "-N", "-c", "ls"}).Status == 0;
        if (!back) ::sleep(2);
      }
      EXPECT_TRUE(back) << Bravo << " is not reachable again";
    }
  } restart{tool, Net, Bravo};

  TGatedSource source(copier::MakeNetCopySource(std::make_shared<smb::TSmbProvider>()));
  copier::TFileCopier copier(source);
  std::atomic<int> result{-1};
  std::thread t([&] {
    result = copier.Copy({AlphaUnc("one.mp3"), AlphaUnc("two.mp3"),
                          "\\\\" + Bravo + "\\media\\copier test\\large.mp3"},
                         Dest.string());
  });
  // The third file is half read when its server goes away.
  while (!(source.Waiting && copier.Progress().FileIndex == 2) && result < 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_LT(result, 0) << copier.Error;
  const TRun stop = RunProgram({tool, "stop-host", "--dir", Net, Bravo});
  restart.Stopped = stop.Status == 0;
  EXPECT_EQ(stop.Status, 0) << stop.Err;
  source.Released = true;
  t.join();
  EXPECT_EQ(result, 1);
  EXPECT_FALSE(copier.Error.empty());
  EXPECT_EQ(Listing(Dest), (std::set<std::string>{"one.mp3", "two.mp3"}));
  EXPECT_EQ(ReadAll(Dest / "one.mp3"), ReadAll(one.Path));
  EXPECT_EQ(ReadAll(Dest / "two.mp3"), ReadAll(two.Path));
}

TEST_F(CopierNet, RemoteNamesCannotWriteOutsideTheFolder) {
  TShareFile f(AlphaDir / "x.mp3", 1000, 'x');
  // Names as a crafted list file or server could hand them: parent steps, slashes, both.
  const std::vector<std::string> names = {
      "..\\..\\..\\x.mp3", "../../x.mp3", "..\\../x.mp3", "/x.mp3", "..",
  };
  const auto before = Listing(Work);
  for (const auto &n : names) {
    auto source = copier::MakeNetCopySource(std::make_shared<smb::TSmbProvider>());
    copier::TFileCopier copier(*source);
    const int r = copier.Copy({AlphaUnc(n)}, Dest.string());
    for (const auto &p : copier.Copied) EXPECT_EQ(fs::path(p).parent_path(), Dest) << n;
    EXPECT_TRUE(r == 0 || r == 1) << n;
  }
  // Whatever was copied is inside the folder: nothing appeared beside or above it.
  std::set<std::string> outside;
  for (const auto &p : Listing(Work))
    if (p.rfind("inside/dest/", 0) != 0 && !before.count(p)) outside.insert(p);
  EXPECT_TRUE(outside.empty());
  EXPECT_FALSE(fs::exists(Work / "x.mp3"));
  EXPECT_FALSE(fs::exists(Work / "inside" / "x.mp3"));
}
