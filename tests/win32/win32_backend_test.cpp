// The Win32 backend under Windows (Wine here): each room's Windows calls checked against the
// system's own answers, read through other Win32 calls than the code under test makes.
#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "platform/files/atomic_file.h"
#include "platform/files/folders.h"
#include "platform/files/holder_lock.h"
#include "platform/net/tcp_probe.h"
#include "platform/net/tcp_sweep.h"
#include "platform/net/wnet_provider.h"
#include "platform/os/local_host.h"
#include "platform/os/thread.h"
#include "platform/os/win32_api.h"
#include "platform/registry/registry.h"

namespace {

using namespace sonquarry;
namespace fs = std::filesystem;

const wchar_t *TestKey = L"Software\\Vantrell Software\\Sonquarry Test";

std::wstring RawString(const wchar_t *Name, DWORD &Type) {
  wchar_t Buf[256] = {};
  DWORD Size = sizeof Buf;
  if (::RegGetValueW(HKEY_CURRENT_USER, TestKey, Name, RRF_RT_ANY, &Type, Buf, &Size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return Buf;
}

TEST(Win32Registry, ValuesLandInTheUsersRegistryAndComeBack) {
  ::RegDeleteTreeW(HKEY_CURRENT_USER, TestKey);
  {
    registry::TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKey("\\Software\\Vantrell Software\\Sonquarry Test", true));
    Reg.WriteInteger("Count", 42);
    Reg.WriteString("Name", "Gr\xc3\xbc\xc3\x9f");
    Reg.WriteBool("On", true);
  } // released: written
  DWORD Type = 0, Dword = 0, Size = sizeof Dword;
  ASSERT_EQ(::RegGetValueW(HKEY_CURRENT_USER, TestKey, L"Count", RRF_RT_ANY, &Type, &Dword, &Size),
            ERROR_SUCCESS);
  EXPECT_EQ(Type, DWORD(REG_DWORD));
  EXPECT_EQ(Dword, 42u);
  EXPECT_EQ(RawString(L"Name", Type), L"Gr\u00fc\u00df");
  EXPECT_EQ(Type, DWORD(REG_SZ));

  // A value written by another program is read by a new registry object.
  const DWORD Seven = 7;
  ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, TestKey, L"Other", REG_DWORD, &Seven, 4),
            ERROR_SUCCESS);
  {
    registry::TRegistry Reg;
    ASSERT_TRUE(Reg.OpenKeyReadOnly("\\Software\\Vantrell Software\\Sonquarry Test"));
    EXPECT_EQ(Reg.ReadInteger("Other"), 7);
    EXPECT_EQ(Reg.ReadString("Name"), "Gr\xc3\xbc\xc3\x9f");
    EXPECT_TRUE(Reg.ReadBool("On"));
    Reg.CloseKey();
    EXPECT_TRUE(Reg.DeleteKey("\\Software\\Vantrell Software\\Sonquarry Test"));
  }
  HKEY K = nullptr;
  EXPECT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, TestKey, 0, KEY_READ, &K), ERROR_FILE_NOT_FOUND);
}

fs::path TempDir() {
  wchar_t Buf[MAX_PATH + 1];
  const DWORD N = ::GetTempPathW(MAX_PATH + 1, Buf);
  fs::path P =
      fs::path(std::wstring(Buf, N)) / ("sq-test-" + std::to_string(::GetCurrentProcessId()));
  fs::create_directories(P);
  return P;
}

std::string Slurp(const fs::path &P) {
  std::ifstream In(P, std::ios::binary);
  return {std::istreambuf_iterator<char>(In), {}};
}

TEST(Win32Files, AtomicFileReplacesWholeOrNotAtAll) {
  const fs::path Dir = TempDir();
  const fs::path Target = Dir / "list.txt";
  std::ofstream(Target, std::ios::binary) << "old";
  const std::string Name = Target.generic_string();
  struct Case {
    bool Commit;
    const char *Expect;
  } Cases[] = {{false, "old"}, {true, "new content"}};
  for (const Case &C : Cases) {
    files::TAtomicFile F;
    ASSERT_TRUE(F.Open(Name));
    ASSERT_TRUE(F.Write("new content", 11));
    if (C.Commit)
      EXPECT_TRUE(F.Commit());
    else
      F.Abandon();
    EXPECT_EQ(Slurp(Target), C.Expect);
    EXPECT_EQ(std::distance(fs::directory_iterator(Dir), fs::directory_iterator()), 1)
        << "a temporary file was left beside the target";
  }
  fs::remove_all(Dir);
}

TEST(Win32Files, SecondHolderIsRefusedAndNamesTheFirst) {
  const fs::path Dir = TempDir();
  const std::string File = (Dir / "list.lst").generic_string();
  files::THolderLock First, Second;
  ASSERT_TRUE(First.Take(File, "sonquarry"));
  EXPECT_FALSE(Second.Take(File, "sonquarry-scan"));
  EXPECT_EQ(Second.Holder(), "sonquarry (process " + std::to_string(::GetCurrentProcessId()) + ")");
  First.Release();
  EXPECT_TRUE(Second.Take(File, "sonquarry-scan"));
  Second.Release();
  fs::remove_all(Dir);
}

TEST(Win32Files, UserFoldersAreTheShells) {
  wchar_t *Docs = nullptr;
  ASSERT_EQ(::SHGetKnownFolderPath(FOLDERID_Documents, 0, nullptr, &Docs), S_OK);
  const fs::path Expected(Docs);
  ::CoTaskMemFree(Docs);
  EXPECT_EQ(fs::path(files::GetPersonalFolder()), Expected.generic_string());
  EXPECT_TRUE(fs::is_directory(files::GetProgramDir()));
}

TEST(Win32Net, LongUncPathsAndFileTimes) {
  const struct {
    const char *Unc;
    const wchar_t *Long;
  } Cases[] = {
      {"\\\\PC\\music", L"\\\\?\\UNC\\PC\\music"},
      {"\\\\PC\\music\\a b\\c.", L"\\\\?\\UNC\\PC\\music\\a b\\c."},
      {"\\\\PC", L""},
      {"C:\\music", L""},
  };
  for (const auto &C : Cases) EXPECT_EQ(net::LongUncPath(C.Unc), C.Long) << C.Unc;
  // 1970-01-01 is 11644473600 s after 1601-01-01.
  EXPECT_EQ(net::UnixTimeOfFileTime(116444736000000000ull), 0);
  EXPECT_EQ(net::UnixTimeOfFileTime(116444736000000000ull + 10000000ull * 86400), 86400);
  EXPECT_EQ(net::UnixTimeOfFileTime(0), 0);
}

// A listening socket on loopback, through Winsock directly.
struct TListener {
  SOCKET S = INVALID_SOCKET;
  uint16_t Port = 0;
  TListener() {
    WSADATA D;
    ::WSAStartup(MAKEWORD(2, 2), &D);
    S = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int Len = sizeof A;
    ::bind(S, reinterpret_cast<sockaddr *>(&A), Len);
    ::listen(S, 16);
    ::getsockname(S, reinterpret_cast<sockaddr *>(&A), &Len);
    Port = ntohs(A.sin_port);
  }
  ~TListener() { ::closesocket(S); }
};

TEST(Win32Net, ProbeAndSweepOverWinsock) {
  TListener Open;
  uint16_t Closed = 0;
  {
    TListener Gone;
    Closed = Gone.Port;
  }
  constexpr uint32_t Loopback = 0x7f000001;
  EXPECT_TRUE(net::ProbeTcp(Loopback, Open.Port, 2000));
  EXPECT_FALSE(net::ProbeTcp(Loopback, Closed, 2000));

  for (const uint16_t Port : {Open.Port, Closed}) {
    uint32_t NextAddress = Loopback;
    net::TTcpSweep Sweep({{Port}, 2000, 0, 64, 16}, [&NextAddress](uint32_t &A) {
      if (NextAddress > Loopback + 2) return false;
      A = NextAddress++;
      return true;
    });
    EXPECT_EQ(Sweep.Result(Loopback), Port == Open.Port) << Port;
    // 127.0.0.2 and .3 are loopback too on Linux, whose sockets Wine uses, but nothing listens.
    EXPECT_FALSE(Sweep.Result(Loopback + 2));
  }
}

TEST(Win32Os, VersionAndLocalHost) {
  platform::WindowsVersion V;
  ASSERT_TRUE(platform::QueryWindowsVersion(V));
  OSVERSIONINFOW Shimmed{};
  Shimmed.dwOSVersionInfoSize = sizeof Shimmed;
  // GetVersionEx may be told an older version; never a newer one than the real.
  ASSERT_TRUE(::GetVersionExW(&Shimmed));
  EXPECT_GE(V.Major * 100 + V.Minor, int(Shimmed.dwMajorVersion * 100 + Shimmed.dwMinorVersion));
  wchar_t Name[256];
  DWORD Size = 256;
  ASSERT_TRUE(::GetComputerNameExW(ComputerNameDnsHostname, Name, &Size));
  EXPECT_EQ(platform::LocalHostName(), fs::path(std::wstring(Name, Size)).string());
  EXPECT_NE(platform::LocalIPv4(), 0u);
}

// A Stop is a Terminate of the scanning thread: it ends the call in flight, and the provider's
// calls after it fail as stopped.
class TStopThread final : public platform::TThread {
public:
  std::function<void()> Body;
  std::atomic<bool> Entered{false};

protected:
  void Execute() override {
    const platform::TCancelIoOnTerminate Cancel;
    Entered = true;
    Body();
  }
};

TEST(Win32Stop, TerminateCancelsTheCallInFlightAndFailsTheNext) {
  HANDLE ReadEnd = nullptr, WriteEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&ReadEnd, &WriteEnd, nullptr, 0));
  DWORD Code = 0;
  TStopThread Reader;
  Reader.Body = [&] {
    char B;
    DWORD N;
    Code = ::ReadFile(ReadEnd, &B, 1, &N, nullptr) ? ERROR_SUCCESS : ::GetLastError();
  };
  Reader.Resume();
  while (!Reader.Entered) ::Sleep(1);
  ::Sleep(200); // in ReadFile by now
  Reader.Terminate();
  for (int I = 0; I < 500 && !Reader.Finished(); ++I) ::Sleep(10);
  const bool Ended = Reader.Finished();
  if (!Ended) ::WriteFile(WriteEnd, "x", 1, nullptr, nullptr); // not to hang here
  Reader.WaitFor();
  EXPECT_TRUE(Ended) << "the read in flight was not cancelled";
  EXPECT_EQ(Code, DWORD(ERROR_OPERATION_ABORTED));
  ::CloseHandle(ReadEnd);
  ::CloseHandle(WriteEnd);

  // Wine maps \\HOST\SHARE to dosdevices/unc/HOST/SHARE of its prefix.
  const char *Prefix = std::getenv("WINEPREFIX");
  if (!Prefix) GTEST_SKIP() << "not under Wine with WINEPREFIX set";
  const fs::path Share = fs::path(L"Z:") / Prefix / "dosdevices" / "unc" / "sqstoptest" / "s";
  fs::create_directories(Share / "sub");
  for (const bool Stop : {false, true}) {
    net::TWNetProvider Provider;
    std::vector<net::DirEntry> Entries;
    net::NetError Error;
    bool Listed = false;
    TStopThread Walker;
    Walker.Body = [&] {
      if (Stop) Walker.Terminate();
      Listed = Provider.FindFiles("\\\\sqstoptest\\s", Entries, &Error);
    };
    Walker.Resume();
    Walker.WaitFor();
    EXPECT_EQ(Listed, !Stop);
    EXPECT_EQ(Error.Broken, Stop) << Error.Message;
    EXPECT_EQ(std::count_if(Entries.begin(), Entries.end(),
                            [](const net::DirEntry &E) { return E.Name == "sub"; }),
              Stop ? 0 : 1);
  }
  fs::remove_all(Share.parent_path());
}

} // namespace
