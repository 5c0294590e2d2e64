// Per-computer logins against the test network's shares for one user each (testnet.sh logins):
// sections of the credentials file and the desktop's keyring serve each computer its own user
// only, as the servers' authentication logs show, and no password reaches any output.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/build_paths.h"
#include "support/keyring_session.h"
#include "support/run_program.h"
#include "support/testnet_env.h"

namespace fs = std::filesystem;
using namespace sonquarry::testing;
using Strings = std::vector<std::string>;

namespace {

// The login shares, switched on for this test file and off again after it.
class LoginShares : public ::testing::Environment {
public:
  void SetUp() override { Switch(""); }
  void TearDown() override { Switch(" --off"); }

private:
  static void Switch(const std::string &Off) {
    const auto R = RunProgram(
        {"/bin/sh", "-c", TestnetTool() + " logins --dir \"$SQ_TESTNET_DIR\"" + Off + " 2>&1"});
    ASSERT_EQ(R.Status, 0) << R.Out;
  }
};
const auto *const Shares = ::testing::AddGlobalTestEnvironment(new LoginShares);

class LoginsNet : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("sonquarry-logins-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir / "config" / "sonquarry");
    Env = {"XDG_CONFIG_HOME=" + (Dir / "config").string(),
           "XDG_DATA_HOME=" + (Dir / "data").string()};
    for (const char *H : {"ALPHA", "BRAVO"}) LogStart[H] = AuthLog(H).size();
  }
  void TearDown() override { fs::remove_all(Dir); }

  std::string Get(const std::string &Host, const std::string &Key) const {
    return E.Get("SQ_" + Host + "_" + Key);
  }
  // Every authentication the host's Samba logged.
  std::string AuthLog(const std::string &Host) const {
    std::string All;
    for (const auto &F : fs::directory_iterator(Get(Host, "LOG_DIR")))
      if (F.path().filename().string().rfind("log.", 0) == 0) {
        std::ifstream In(F.path());
        for (std::string L; std::getline(In, L);)
          if (L.find("Auth:") != std::string::npos) All += L + "\n";
      }
    return All;
  }
  // The users the host was asked to authenticate since the test began, with their outcome.
  std::set<std::string> UsersAsked(const std::string &Host) const {
    std::set<std::string> Out;
    const std::string Log = AuthLog(Host);
    std::size_t At = LogStart.at(Host) <= Log.size() ? LogStart.at(Host) : 0;
    while ((At = Log.find("user [", At)) != std::string::npos) {
      const auto U = Log.find("\\[", At), End = Log.find(']', U + 2);
      const auto Status = Log.find("status [", End);
      Out.insert(Log.substr(U + 2, End - U - 2) + " " +
                 Log.substr(Status + 8, Log.find(']', Status) - Status - 8));
      At = End;
    }
    return Out;
  }
  // The music files of the host's login share on its disk, as sonquarry-scan prints them.
  std::set<std::string> OnDisk(const std::string &Host, const std::string &Comp) const {
    std::set<std::string> Out;
    const fs::path Root = Get(Host, "LOGIN_DIR");
    for (const auto &F : fs::recursive_directory_iterator(Root))
      if (F.path().extension() == ".mp3") {
        std::string Rel = fs::relative(F.path(), Root).string();
        for (auto &C : Rel)
          if (C == '/') C = '\\';
        Out.insert("\\\\" + Comp + "\\" + Get(Host, "LOGIN_SHARE") + "\\" + Rel);
      }
    return Out;
  }
  void WriteCredentials(const std::string &Text) {
    const auto P = Dir / "config" / "sonquarry" / "credentials";
    std::ofstream(P) << Text;
    ::chmod(P.c_str(), 0600);
  }
  TRun Scan(Strings Args, const Strings &More = {}) {
    Args.insert(Args.begin(), ScanBinary());
    Args.insert(Args.end(), {"--log", (Dir / "scan.log").string()});
    Strings With = Env;
    With.insert(With.end(), More.begin(), More.end());
    return RunProgram(Args, With);
  }
  std::set<std::string> Lines(const std::string &Out) const {
    const auto L = SplitLines(Out);
    return {L.begin(), L.end()};
  }
  // No password in what the program printed, logged or kept.
  void ExpectNoPassword(const TRun &R) {
    std::string Kept;
    fs::create_directories(Dir / "data");
    for (const auto &F : fs::recursive_directory_iterator(Dir / "data"))
      if (F.is_regular_file()) {
        std::ifstream In(F.path());
        Kept.append(std::istreambuf_iterator<char>(In), {});
      }
    std::ifstream Log(Dir / "scan.log");
    Kept.append(std::istreambuf_iterator<char>(Log), {});
    for (const char *H : {"ALPHA", "BRAVO"})
      for (const std::string *Text : {&R.Out, &R.Err, static_cast<const std::string *>(&Kept)})
        EXPECT_EQ(Text->find(Get(H, "LOGIN_PASSWORD")), std::string::npos) << *Text;
  }

  sonquarry::testing::Env E = sonquarry::testing::Env::Load();
  fs::path Dir;
  Strings Env;
  std::map<std::string, std::size_t> LogStart;
};

// Sections of the credentials file, or the keyring's entries alone (stored as file managers
// store them: the server as the user typed it), give each computer its own user only.
TEST_F(LoginsNet, SectionsOrTheKeyringGiveEachComputerItsOwnUserOnly) {
  for (const bool FromKeyring : {false, true}) {
    SCOPED_TRACE(FromKeyring ? "keyring" : "sections");
    Strings Extra;
    std::optional<TKeyringSession> Keyring;
    if (FromKeyring) {
      fs::remove(Dir / "config" / "sonquarry" / "credentials"); // the keyring alone
      Keyring.emplace(Dir / "keyring");
      ASSERT_TRUE(Keyring->Store(Get("ALPHA", "LOGIN_USER"), E.Get("SQ_WORKGROUP1"), "sqalpha",
                                 Get("ALPHA", "LOGIN_PASSWORD")));
      ASSERT_TRUE(Keyring->Store(Get("BRAVO", "LOGIN_USER"), E.Get("SQ_WORKGROUP1"), "SQBravo",
                                 Get("BRAVO", "LOGIN_PASSWORD")));
      Extra = Keyring->Env();
    } else {
      WriteCredentials("[\\\\SQALPHA]\nusername=" + Get("ALPHA", "LOGIN_USER") +
                       "\npassword=" + Get("ALPHA", "LOGIN_PASSWORD") +
                       "\n[\\\\sqbravo]\nusername=" + Get("BRAVO", "LOGIN_USER") +
                       "\npassword=" + Get("BRAVO", "LOGIN_PASSWORD") + "\n");
    }
    for (const char *Host : {"ALPHA", "BRAVO"}) LogStart[Host] = AuthLog(Host).size();
    const TRun R =
        Scan({"--allow-computer", "SQALPHA", "--allow-computer", "SQBRAVO", "--allow-share",
              Get("ALPHA", "LOGIN_SHARE"), "--allow-share", Get("BRAVO", "LOGIN_SHARE")},
             Extra);
    ASSERT_EQ(R.Status, 0) << R.Err;
    auto Want = OnDisk("ALPHA", "SQALPHA");
    Want.merge(OnDisk("BRAVO", "SQBRAVO"));
    ASSERT_EQ(Want.size(), 4u);
    EXPECT_EQ(Lines(R.Out), Want);
    // Each server was asked for its own user, and never for the other's.
    for (const auto &[Host, Other] : {std::pair{"ALPHA", "BRAVO"}, std::pair{"BRAVO", "ALPHA"}}) {
      const auto Asked = UsersAsked(Host);
      EXPECT_TRUE(Asked.count(Get(Host, "LOGIN_USER") + " NT_STATUS_OK")) << Host;
      for (const auto &A : Asked)
        EXPECT_EQ(A.find(Get(Other, "LOGIN_USER")), std::string::npos) << Host << ": " << A;
    }
    ExpectNoPassword(R);
  }
}

TEST_F(LoginsNet, ASectionByAddressServesAnIpScan) {
  const std::string Ip = Get("ALPHA", "IP");
  WriteCredentials("[\\\\" + Ip + "]\nusername=" + Get("ALPHA", "LOGIN_USER") +
                   "\npassword=" + Get("ALPHA", "LOGIN_PASSWORD") + "\n");
  const TRun R = Scan({"--ip", Ip, "--allow-share", Get("ALPHA", "LOGIN_SHARE")});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_EQ(Lines(R.Out), OnDisk("ALPHA", Ip));
  EXPECT_TRUE(UsersAsked("ALPHA").count(Get("ALPHA", "LOGIN_USER") + " NT_STATUS_OK"));
  ExpectNoPassword(R);
}

TEST_F(LoginsNet, WithoutAKeyringOneLineSaysSoAndTheSearchGoesOn) {
  // No session bus at all: the shares stay closed, the rest is searched, and the log says why.
  const TRun R = Scan({"--allow-computer", "SQALPHA", "--allow-share", Get("ALPHA", "LOGIN_SHARE"),
                       "--allow-share", "music"},
                      {"DBUS_SESSION_BUS_ADDRESS=", "XDG_RUNTIME_DIR=" + Dir.string()});
  ASSERT_EQ(R.Status, 0) << R.Err;
  EXPECT_FALSE(R.Out.empty()) << "the share open to guests is found";
  for (const auto &L : Lines(R.Out))
    EXPECT_EQ(L.find(Get("ALPHA", "LOGIN_SHARE")), std::string::npos) << L;
  std::ifstream Log(Dir / "scan.log");
  const std::string Text{std::istreambuf_iterator<char>(Log), {}};
  std::size_t Told = 0;
  for (std::size_t At = 0; (At = Text.find("keyring was not used", At)) != std::string::npos; ++At)
    ++Told;
  EXPECT_EQ(Told, 1u) << Text;
}

} // namespace
