#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "platform/net/smb_url.h"
#include "platform/os/diag.h"
#include "platform/smb/smb_logins.h"
#include "platform/smb/smb_provider.h"
#include "platform/smb/wire/smb_auth.h"
#include "platform/smb/wire/smb_error.h"
#include "support/xdg_sandbox.h"

using namespace sonquarry;
using namespace sonquarry::platform;
namespace fs = std::filesystem;

namespace {

TEST(SmbUrlTest, LevelsOfTheNetwork) {
  EXPECT_EQ(net::UncToSmbUrl(""), "smb://");
  EXPECT_EQ(net::UncToSmbUrl("WORKGROUP"), "smb://WORKGROUP");
  EXPECT_EQ(net::UncToSmbUrl("\\\\SERVER"), "smb://SERVER");
  EXPECT_EQ(net::UncToSmbUrl("\\\\SERVER\\music"), "smb://SERVER/music");
  EXPECT_EQ(net::UncToSmbUrl("\\\\10.0.0.5\\music\\rock\\live"), "smb://10.0.0.5/music/rock/live");
}

TEST(SmbUrlTest, ReservedCharactersAreEncoded) {
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\a b\\#1\\100%\\R&B"), "smb://S/a%20b/%231/100%25/R%26B");
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\x?y\\a+b;c=d@e:f"), "smb://S/x%3Fy/a%2Bb%3Bc%3Dd%40e%3Af");
  // A slash inside a name is a character of the name, not a separator.
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\AC/DC"), "smb://S/AC%2FDC");
  EXPECT_EQ(net::SmbUrlEncode("safe-._~AZaz09"), "safe-._~AZaz09");
}

TEST(SmbUrlTest, NonAsciiIsEncodedByteByByte) {
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\Müsik"), "smb://S/M%C3%BCsik");
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\Песни"), "smb://S/%D0%9F%D0%B5%D1%81%D0%BD%D0%B8");
}

TEST(SmbUrlTest, EmptyComponentsAreDropped) {
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\share\\"), "smb://S/share");
  EXPECT_EQ(net::UncToSmbUrl("\\\\S\\\\share\\\\dir"), "smb://S/share/dir");
}

TEST(SmbErrorTest, OneMappingForCodesAndLines) {
  const auto Refused = smb::wire::SmbError(ECONNREFUSED, "\\\\10.0.0.9");
  EXPECT_EQ(Refused.Code, ECONNREFUSED);
  EXPECT_EQ(Refused.Message,
            "\\\\10.0.0.9: connection refused (errno " + std::to_string(ECONNREFUSED) + ")");
  EXPECT_NE(smb::wire::SmbError(EHOSTDOWN, "x").Message.find("445 or 139"), std::string::npos);
  EXPECT_NE(smb::wire::SmbError(EACCES, "x").Message.find("access denied"), std::string::npos);
  EXPECT_NE(smb::wire::SmbError(0, "x").Code, 0); // a failure never reads as success
}

TEST(SmbCredentialsTest, ParsesTheFileFormatWithSectionsPerComputer) {
  // The identity a file gives a computer: its section's, else the lines before any section's.
  struct Case {
    const char *Text, *Computer, *Want; // Want: "user|password|domain", "" none
  };
  const Case Cases[] = {
      {"# mine\nusername = alice\npassword =  se cret \ndomain=HOME\n", "ANY",
       "alice|se cret|HOME"},
      {"username=WORK\\bob\r\npassword=x\r\n", "any", "bob|x|WORK"},
      {"password=only\n", "ANY", ""},
      {"username=all\npassword=a\n[\\\\NAS]\nusername=nas\npassword=n\n", "nas", "nas|n|"},
      {"username=all\npassword=a\n[\\\\NAS]\nusername=nas\npassword=n\n", "PC", "all|a|"},
      {"[\\\\NAS]\nusername=nas\npassword=n\n", "PC", ""},
      {"[ \\\\10.0.0.7 ]\nusername=ip\npassword=i\n[\\\\nas]\nusername=n\n", "10.0.0.7", "ip|i|"},
      {"[\\\\NAS]\r\nusername=first\r\n[\\\\nas]\r\nusername=second\r\n", "Nas", "first||"},
      // A header of another form: its lines go to nobody, not to every computer.
      {"[NAS]\nusername=lost\npassword=l\n", "NAS", ""},
      {"[\\\\NAS]\npassword=n\n", "NAS", ""},
      {"[\\\\a\\b]\nusername=x\n", "a", ""},
  };
  for (const auto &C : Cases) {
    const auto Creds = smb::wire::ParseCredentials(C.Text);
    auto Id = Creds.SectionFor(C.Computer);
    if (!Id) Id = Creds.Global;
    EXPECT_EQ(Id ? Id->User + "|" + Id->Password + "|" + Id->Domain : "", C.Want)
        << C.Text << " for " << C.Computer;
  }
}

TEST(SmbLoginsTest, SectionThenEveryComputersLinesThenTheQuestionTwiceAtMost) {
  std::vector<std::string> Lines;
  const auto Old = platform::SetDiagnosticSink(
      [&](platform::TDiagLevel, const std::string &L) { Lines.push_back(L); });
  std::vector<smb::SmbLoginQuestion> Asked;
  std::deque<std::optional<smb::SmbLoginAnswer>> Answers;
  smb::TSmbLogins Logins("-", false, [&](const smb::SmbLoginQuestion &Q) {
    Asked.push_back(Q);
    auto A = Answers.front();
    Answers.pop_front();
    return A;
  });
  auto Start = [&] {
    Logins.NewSearch(smb::wire::ParseCredentials(
        "username=all\npassword=pw-all\n[\\\\NAS]\nusername=nas\npassword=pw-nas\n"));
  };
  auto User = [](const smb::wire::Login &L) { return L.Has ? L.User : "-"; };
  Start();
  // The section first, then the lines for every computer; another computer never gets the
  // section.
  EXPECT_EQ(User(Logins.Next("nas", 0)), "nas");
  EXPECT_EQ(User(Logins.Next("nas", 1)), "all");
  EXPECT_EQ(User(Logins.Next("pc", 0)), "all");
  EXPECT_EQ(User(Logins.Next("", 0)), "all");
  // Both refused: the question, and once more after a refused answer; then left out.
  Answers = {smb::SmbLoginAnswer{{"u1", "pw-1", "D"}, false},
             smb::SmbLoginAnswer{{"u2", "pw-2", "D"}, false}};
  const auto First = Logins.Next("NAS", 2);
  EXPECT_EQ(User(First), "u1");
  EXPECT_EQ(User(Logins.Next("nas", First.Index + 1)), "u2");
  EXPECT_EQ(User(Logins.Next("nas", First.Index + 2)), "-");
  EXPECT_EQ(User(Logins.Next("nas", 0)), "-") << "no third question";
  // Cancel leaves the computer out at once.
  Answers = {std::nullopt};
  EXPECT_EQ(User(Logins.Next("pc", 1)), "-");
  EXPECT_EQ(User(Logins.Next("pc", 1)), "-");
  ASSERT_EQ(Asked.size(), 3u);
  EXPECT_EQ(Asked[0].Computer, "NAS");
  EXPECT_FALSE(Asked[0].Again);
  EXPECT_TRUE(Asked[1].Again);
  EXPECT_EQ(Asked[1].User, "u1");
  EXPECT_EQ(Asked[2].Computer, "pc");
  // A new search asks again, and a right answer is kept for the computer's later workers.
  Start();
  Answers = {smb::SmbLoginAnswer{{"u3", "pw-3", ""}, false}};
  const auto Third = Logins.Next("pc", 1);
  EXPECT_EQ(User(Third), "u3");
  Logins.Used("pc", Third.Index);
  EXPECT_EQ(User(Logins.Next("pc", 0)), "u3");
  EXPECT_EQ(Asked.size(), 4u);
  platform::SetDiagnosticSink(Old);
  int LeftOut = 0;
  for (const auto &L : Lines) {
    EXPECT_EQ(L.find("pw-"), std::string::npos) << L;
    LeftOut += L.find("left out") != std::string::npos;
  }
  EXPECT_EQ(LeftOut, 2) << "one line for the wrong answers, one for the cancel";
}

class CredentialsFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("sonquarry-cred-" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    Path = (Dir / "credentials").string();
    std::ofstream(Path) << "username=alice\npassword=pw\n";
    Old = platform::SetDiagnosticSink(
        [this](platform::TDiagLevel, const std::string &L) { Lines.push_back(L); });
  }
  void TearDown() override {
    platform::SetDiagnosticSink(Old);
    fs::remove_all(Dir);
  }
  fs::path Dir;
  std::string Path;
  std::vector<std::string> Lines;
  platform::TDiagnosticSink Old;
};

TEST_F(CredentialsFileTest, PrivateFileIsUsed) {
  ::chmod(Path.c_str(), 0600);
  auto Id = smb::wire::LoadCredentialsFile(Path);
  ASSERT_TRUE(Id && Id->Global);
  EXPECT_EQ(Id->Global->User, "alice");
  EXPECT_TRUE(Lines.empty());
}

TEST_F(CredentialsFileTest, FileReadableByGroupOrOthersIsRefusedWithALogLine) {
  for (mode_t Mode : {0640, 0604}) {
    ::chmod(Path.c_str(), Mode);
    std::string Why;
    EXPECT_FALSE(smb::wire::LoadCredentialsFile(Path, &Why)) << std::oct << Mode;
    EXPECT_NE(Why.find("chmod 600"), std::string::npos) << Why;
  }
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_NE(Lines[0].find(Path), std::string::npos);
  EXPECT_NE(Lines[0].find("0640"), std::string::npos);
}

TEST_F(CredentialsFileTest, MissingFileIsSilentlyAbsent) {
  EXPECT_FALSE(smb::wire::LoadCredentialsFile((Dir / "none").string()));
  EXPECT_TRUE(Lines.empty());
}

TEST_F(CredentialsFileTest, DefaultPathFollowsXdgConfigHome) {
  sonquarry::testing::TXdgSandbox Env; // restores both variables at the end
  Env.Set("XDG_CONFIG_HOME", Dir.string());
  EXPECT_EQ(smb::wire::DefaultCredentialsFile(), Dir.string() + "/sonquarry/credentials");
  Env.Set("XDG_CONFIG_HOME", "relative/ignored");
  Env.Set("HOME", "/home/someone");
  EXPECT_EQ(smb::wire::DefaultCredentialsFile(), "/home/someone/.config/sonquarry/credentials");
  Env.Set("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(smb::wire::DefaultCredentialsFile(), "/home/someone/.config/sonquarry/credentials");
}

TEST(SmbProviderTest, TopListsTheOneProviderWithoutTouchingTheNetwork) {
  smb::TSmbProvider P(smb::SmbProviderOptions{"", "-"});
  std::vector<net::NetResource> Out;
  ASSERT_EQ(P.EnumResources(nullptr, Out), net::NetEnumStatus::Ok);
  ASSERT_EQ(Out.size(), 1u);
  EXPECT_EQ(Out[0].RemoteName, "SMB Network");
  EXPECT_EQ(Out[0].Provider, "SMB Network");
  EXPECT_EQ(Out[0].DisplayType, net::NetDisplayNetwork);
  EXPECT_EQ(Out[0].Scope, net::NetScopeGlobal);
  EXPECT_EQ(Out[0].Type, net::NetTypeDisk);
  EXPECT_EQ(Out[0].Usage, net::NetUsageContainer);
}

TEST(SmbProviderTest, SharesAndBadNamesAreNoContainers) {
  smb::TSmbProvider P(smb::SmbProviderOptions{"", "-"});
  std::vector<net::NetResource> Out;
  net::NetResource Share;
  Share.DisplayType = net::NetDisplayShare;
  Share.RemoteName = "\\\\PC\\music";
  net::NetError E;
  EXPECT_EQ(P.EnumResources(&Share, Out, &E), net::NetEnumStatus::OpenFailed);
  EXPECT_EQ(E.Code, ENOTDIR);
  net::NetResource Server;
  Server.DisplayType = net::NetDisplayServer;
  Server.RemoteName = "\\\\PC\\music"; // a server's name holds no share
  EXPECT_EQ(P.EnumResources(&Server, Out, &E), net::NetEnumStatus::OpenFailed);
  EXPECT_EQ(E.Code, EINVAL);
  std::vector<net::DirEntry> Entries;
  EXPECT_FALSE(P.FindFiles("\\\\PC", Entries, &E)); // a computer is not a directory
  EXPECT_EQ(E.Code, EINVAL);
  EXPECT_TRUE(Out.empty());
  EXPECT_TRUE(Entries.empty());
}

} // namespace
