// The test network is what testnet.env and the manifests say: checked from the client namespace
// with Samba's own client tools and plain sockets, before any Sonquarry code is trusted with it.
#include "support/testnet_env.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iterator>
#include <map>
#include <set>

using sonquarry::testing::Env;

namespace {

struct Result {
  int status = -1; // exit code, or -1 when the program did not exit normally
  std::string out;
};

// Runs a program without a shell (share names hold spaces and '$'), stdout captured.
Result RunProgram(const std::vector<std::string> &argv) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], 1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 2);
    close(fds[0]);
    close(fds[1]);
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  close(fds[1]);
  Result r;
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::vector<std::string> Lines(const std::string &s) {
  auto v = sonquarry::testing::SplitList(s, '\n');
  return v;
}

// `smbclient -L -g` lines of one type ("Disk", "Server", "Workgroup"): name -> third field.
std::map<std::string, std::string> Listed(const std::string &out, const std::string &type) {
  std::map<std::string, std::string> m;
  for (const auto &l : Lines(out)) {
    auto f = sonquarry::testing::SplitList(l, '|');
    if (f.size() >= 2 && f[0] == type) m[f[1]] = f.size() > 2 ? f[2] : "";
  }
  return m;
}

std::vector<std::string> ListShares(const std::string &ip, const std::string &protocol) {
  return {"smbclient", "-L", ip, "-N", "-g", "-m", protocol};
}

// The browse list as a master serves it; smbclient asks for the servers of the domain that the
// NTLMSSP challenge names (the server's own name on a standalone server) unless SPNEGO is off.
std::vector<std::string> BrowseList(const std::string &ip) {
  return {"smbclient", "-L", ip, "-N", "-g", "-m", "NT1", "--option=client use spnego = no"};
}

struct Walk {
  std::map<std::string, long long> files; // path with backslashes -> size
  std::set<std::string> dirs;
};

// Splits one row of `smbclient ... ls` ("  name  ATTR  size  Tue Dec  8 05:05:25 2026") from
// the right, so that names with spaces survive; false for any other line.
bool ParseLsRow(const std::string &l, std::string *name, std::string *attr, long long *size) {
  const size_t date_len = 24; // "%a %b %e %H:%M:%S %Y"
  if (l.size() < 2 + date_len || l.compare(0, 2, "  ") != 0) return false;
  const std::string date = l.substr(l.size() - date_len);
  if (date[3] != ' ' || date[7] != ' ' || date[13] != ':' || date[16] != ':' || date[19] != ' ')
    return false;
  std::string rest = l.substr(2, l.size() - 2 - date_len);
  auto take = [&rest](auto pred) {
    while (!rest.empty() && rest.back() == ' ') rest.pop_back();
    size_t i = rest.size();
    while (i > 0 && pred(rest[i - 1])) --i;
    std::string tail = rest.substr(i);
    rest.resize(i);
    return tail;
  };
  std::string digits = take([](char c) { return c >= '0' && c <= '9'; });
  *attr = take([](char c) { return std::strchr("ADHSRNV", c) != nullptr; });
  while (!rest.empty() && rest.back() == ' ') rest.pop_back();
  if (digits.empty() || attr->empty() || rest.empty()) return false;
  *name = rest;
  *size = std::stoll(digits);
  return true;
}

// Parses `smbclient -c 'recurse; ls'`: "\dir\sub" headers, then rows.
Walk ParseRecursiveLs(const std::string &out) {
  Walk w;
  std::string cur;
  for (const auto &l : Lines(out)) {
    if (!l.empty() && l[0] == '\\') {
      cur = l.substr(1);
      continue;
    }
    std::string name, attr;
    long long size = 0;
    if (!ParseLsRow(l, &name, &attr, &size) || name == "." || name == "..") continue;
    std::string path = cur.empty() ? name : cur + "\\" + name;
    if (attr.find('D') != std::string::npos)
      w.dirs.insert(path);
    else
      w.files[path] = size;
  }
  return w;
}

enum class Connect { Open, Refused, TimedOut, Other };

// A non-blocking TCP connect with a time-out, the way a probe makes it.
Connect TcpConnect(const std::string &ip, int port, int timeout_ms, double *ms) {
  auto t0 = std::chrono::steady_clock::now();
  int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  Connect r = Connect::Other;
  if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    r = Connect::Open;
  } else if (errno == EINPROGRESS) {
    pollfd p{s, POLLOUT, 0};
    int n = poll(&p, 1, timeout_ms);
    if (n == 0) {
      r = Connect::TimedOut;
    } else {
      int err = 0;
      socklen_t len = sizeof err;
      getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len);
      r = err == 0 ? Connect::Open : err == ECONNREFUSED ? Connect::Refused : Connect::Other;
    }
  } else if (errno == ECONNREFUSED) {
    r = Connect::Refused;
  }
  close(s);
  *ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  return r;
}

// Sends a NetBIOS node status query ("*") to UDP 137 and tells whether anything answered.
bool NodeStatusAnswers(const std::string &ip, int timeout_ms) {
  unsigned char q[50] = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0x20};
  const char name[16] = {'*'};
  for (int i = 0; i < 16; ++i) {
    q[13 + 2 * i] = static_cast<unsigned char>('A' + ((name[i] >> 4) & 0xf));
    q[14 + 2 * i] = static_cast<unsigned char>('A' + (name[i] & 0xf));
  }
  q[45] = 0;
  q[46] = 0;
  q[47] = 0x21; // NBSTAT
  q[48] = 0;
  q[49] = 1; // IN
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(137);
  inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
  sendto(s, q, sizeof q, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
  pollfd p{s, POLLIN, 0};
  bool answered = poll(&p, 1, timeout_ms) == 1;
  close(s);
  return answered;
}

class TestNet : public ::testing::Test {
protected:
  static void SetUpTestSuite() { env_ = new Env(Env::Load()); }
  static void TearDownTestSuite() {
    delete env_;
    env_ = nullptr;
  }
  const Env &env() const { return *env_; }
  std::string Ip(const std::string &key) const { return env().Host(key, "IP"); }
  std::vector<std::string> SambaHosts() const { return env().List("SQ_SAMBA_HOSTS"); }
  bool Speaks(const std::string &key, const std::string &protocol) const {
    auto p = env().List("SQ_" + key + "_PROTOCOLS");
    return std::find(p.begin(), p.end(), protocol) != p.end();
  }
  static Env *env_;
};
Env *TestNet::env_ = nullptr;

TEST_F(TestNet, RunsInTheClientNamespaceWithTheClientHome) {
  std::set<std::string> addrs;
  ifaddrs *ifs = nullptr;
  ASSERT_EQ(getifaddrs(&ifs), 0);
  for (auto *i = ifs; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, buf, sizeof buf);
    addrs.insert(buf);
  }
  freeifaddrs(ifs);
  EXPECT_EQ(addrs, (std::set<std::string>{"127.0.0.1", env().Get("SQ_CLIENT_IP")}));
  ASSERT_NE(std::getenv("HOME"), nullptr);
  EXPECT_EQ(std::string(std::getenv("HOME")), env().Get("SQ_CLIENT_HOME"));
  std::ifstream conf(env().Get("SQ_CLIENT_HOME") + "/.smb/smb.conf");
  std::string text((std::istreambuf_iterator<char>(conf)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("name resolve order = lmhosts bcast"), std::string::npos);
  EXPECT_NE(text.find("workgroup = " + env().Get("SQ_WORKGROUP1")), std::string::npos);
}

TEST_F(TestNet, EnvFileDescribesEveryHostOnTheSubnet) {
  const std::string net = env().Get("SQ_SUBNET").substr(0, env().Get("SQ_SUBNET").rfind('.') + 1);
  EXPECT_EQ(env().Get("SQ_SUBNET"), net + "0/24");
  std::set<std::string> ips{env().Get("SQ_CLIENT_IP")}, names, roles;
  auto wgs = env().List("SQ_WORKGROUPS");
  ASSERT_EQ(wgs.size(), 2u);
  for (const auto &h : env().Hosts()) {
    const auto &ip = env().Host(h, "IP");
    EXPECT_EQ(ip.rfind(net, 0), 0u) << h;
    EXPECT_TRUE(ips.insert(ip).second) << "duplicate address " << ip;
    EXPECT_TRUE(names.insert(env().Host(h, "NAME")).second);
    EXPECT_LE(env().Host(h, "NAME").size(), 15u);
    roles.insert(env().Host(h, "ROLE"));
    const auto &wg = env().Host(h, "WORKGROUP");
    if (env().Host(h, "ROLE").rfind("samba", 0) == 0)
      EXPECT_TRUE(std::count(wgs.begin(), wgs.end(), wg)) << h;
    else if (env().Host(h, "ROLE") == "wsd") // a workgroup of its own, in no browse list
      EXPECT_EQ(wg, env().Get("SQ_WORKGROUP3")) << h;
    else
      EXPECT_EQ(wg, "") << h;
  }
  EXPECT_EQ(roles, (std::set<std::string>{"samba-master", "samba-smb2", "samba-smb1", "wsd", "mdns",
                                          "refused", "silent", "stuck", "impacket", "missing"}));
}

TEST_F(TestNet, EverySambaHostListsItsDiskShares) {
  for (const auto &h : SambaHosts()) {
    auto r = RunProgram(ListShares(Ip(h), "SMB3"));
    ASSERT_EQ(r.status, 0) << h;
    std::set<std::string> listed;
    for (const auto &[name, comment] : Listed(r.out, "Disk")) listed.insert(name);
    std::set<std::string> want;
    for (const auto &s : env().List("SQ_" + h + "_SHARES")) want.insert(s);
    for (const auto &s : env().List("SQ_" + h + "_HIDDEN_SHARES")) want.insert(s);
    EXPECT_EQ(listed, want) << h;
    EXPECT_EQ(Listed(r.out, "IPC").count("IPC$"), 1u) << h;
    EXPECT_EQ(Listed(r.out, "Printer").size(), 0u) << h;
  }
}

TEST_F(TestNet, ProtocolRangesAreAsDescribed) {
  for (const auto &h : SambaHosts()) {
    EXPECT_EQ(RunProgram(ListShares(Ip(h), "SMB3")).status, 0) << h;
    auto nt1 = RunProgram(
        {"smbclient", "-L", Ip(h), "-N", "-g", "-m", "NT1", "--option=client max protocol = NT1"});
    EXPECT_EQ(nt1.status == 0, Speaks(h, "NT1")) << h;
    EXPECT_EQ(nt1.out.find("Disk|") != std::string::npos, Speaks(h, "NT1")) << h;
    auto smb2 = RunProgram({"smbclient", "-L", Ip(h), "-N", "-g", "-m", "SMB3",
                            "--option=client min protocol = SMB2_02"});
    EXPECT_EQ(smb2.status == 0, Speaks(h, "SMB2")) << h;
  }
  EXPECT_TRUE(Speaks("ALPHA", "NT1"));
  EXPECT_FALSE(Speaks("BRAVO", "NT1"));
  EXPECT_FALSE(Speaks("ECHO", "SMB2"));
}

TEST_F(TestNet, BothMastersServeTheWholeBrowseList) {
  std::map<std::string, std::string> masters; // workgroup -> its master's name
  std::map<std::string, std::set<std::string>> members;
  for (const auto &h : SambaHosts()) {
    members[env().Host(h, "WORKGROUP")].insert(env().Host(h, "NAME"));
    if (env().Host(h, "ROLE") == "samba-master")
      masters[env().Host(h, "WORKGROUP")] = env().Host(h, "NAME");
  }
  ASSERT_EQ(masters.size(), 2u);
  for (const auto &h : SambaHosts()) {
    if (env().Host(h, "ROLE") != "samba-master") continue;
    auto r = RunProgram(BrowseList(Ip(h)));
    ASSERT_EQ(r.status, 0) << h;
    EXPECT_EQ(Listed(r.out, "Workgroup"), masters) << h;
    std::set<std::string> servers;
    for (const auto &[name, comment] : Listed(r.out, "Server")) servers.insert(name);
    EXPECT_EQ(servers, members[env().Host(h, "WORKGROUP")]) << h;
  }
}

TEST_F(TestNet, NamesResolveByBroadcastAndLmhosts) {
  for (const auto &h : SambaHosts()) {
    auto r = RunProgram({"nmblookup", env().Host(h, "NAME")});
    EXPECT_NE(r.out.find(Ip(h) + " " + env().Host(h, "NAME") + "<00>"), std::string::npos) << r.out;
    if (env().Host(h, "ROLE") == "samba-master") {
      r = RunProgram({"nmblookup", env().Host(h, "WORKGROUP") + "#1d"});
      EXPECT_NE(r.out.find(Ip(h) + " "), std::string::npos) << r.out;
    }
  }
  // The impacket host has no name service: smbclient finds it through lmhosts.
  auto r = RunProgram({"smbclient", "-L", env().Host("IMPACKET", "NAME"), "-N", "-g"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(Listed(r.out, "Disk").count("MEDIA"), 1u);
}

// Every share's tree, walked over SMB, is exactly its manifest: names with spaces, '#', '%',
// '&' and non-ASCII letters, the directory "album.mp3" and the empty directories included.
TEST_F(TestNet, SharesHoldExactlyTheirManifest) {
  std::map<std::pair<std::string, std::string>, Walk> want; // (host name, share)
  for (const auto &f : env().Files()) want[{f.host, f.share}].files[f.path] = f.size;
  for (const auto &d : env().Dirs()) want[{d.host, d.share}].dirs.insert(d.path);
  std::map<std::string, std::string> ip_of;
  for (const auto &h : env().Hosts()) ip_of[env().Host(h, "NAME")] = env().Host(h, "IP");
  // Shares listed in the env file without any entry (the empty ones) must walk empty.
  for (const auto &h : env().Hosts())
    for (const auto &s : env().List("SQ_" + h + "_SHARES")) want[{env().Host(h, "NAME"), s}];

  const std::string loop = env().Get("SQ_LOOP_SHARE"), loops = env().Get("SQ_LOOPS_SHARE");
  const std::string loops2 = env().Get("SQ_ALPHA_LOOPS_SHARE");
  int walked = 0;
  for (const auto &[key, tree] : want) {
    const auto &[host, share] = key;
    const std::string unc = "\\\\" + host + "\\" + share;
    if (unc == loop || unc == loops || unc == loops2 || share == env().Get("SQ_BIG_SHARE"))
      continue;
    auto r = RunProgram({"smbclient", "//" + ip_of[host] + "/" + share, "-N", "-c", "recurse; ls"});
    ASSERT_EQ(r.status, 0) << host << " " << share;
    Walk got = ParseRecursiveLs(r.out);
    EXPECT_EQ(got.files, tree.files) << host << " " << share;
    EXPECT_EQ(got.dirs, tree.dirs) << host << " " << share;
    ++walked;
  }
  EXPECT_GE(walked, 7);
  std::set<std::string> special;
  for (const auto &f : env().Files())
    if (f.share == "music") special.insert(f.path);
  for (const char *p : {"album.mp3\\01 first.mp3", "Café\\Ärger.mp3", "Hash #1\\track #1.mp3",
                        "Percent 100%\\50% off.mp3", "Rock & Roll\\Tom & Jerry.mp3"})
    EXPECT_EQ(special.count(p), 1u) << p;
}

TEST_F(TestNet, LoopShareLinksBackToItself) {
  const std::string loop = env().Get("SQ_LOOP_SHARE");
  auto slash = loop.find('\\', 2);
  std::string host = loop.substr(2, slash - 2), share = loop.substr(slash + 1);
  std::string link = env().Get("SQ_LOOP_LINK");
  auto r = RunProgram({"smbclient", "//" + host + "/" + share, "-N", "-c",
                       "ls " + link + "\\" + link + "\\" + link + "\\*"});
  ASSERT_EQ(r.status, 0);
  Walk w = ParseRecursiveLs(r.out);
  EXPECT_EQ(w.files.count("song.mp3"), 1u) << r.out;
  EXPECT_EQ(w.dirs.count(link), 1u) << r.out;
  // Two links back to the top, side by side in "a".
  const std::string loops = env().Get("SQ_LOOPS_SHARE");
  slash = loops.find('\\', 2);
  r = RunProgram({"smbclient", "//" + loops.substr(2, slash - 2) + "/" + loops.substr(slash + 1),
                  "-N", "-c", "ls a\\up1\\a\\up2\\*"});
  ASSERT_EQ(r.status, 0);
  w = ParseRecursiveLs(r.out);
  EXPECT_EQ(w.files.count("top.mp3"), 1u) << r.out;
  EXPECT_EQ(w.dirs.count("a"), 1u) << r.out;
}

TEST_F(TestNet, ImpacketServesItsShareOverNt1AndSmb2) {
  const auto ip = Ip("IMPACKET");
  for (const char *proto : {"NT1", "SMB2_02"}) {
    auto r = RunProgram({"smbclient", "//" + ip + "/MEDIA", "-N", "-m", proto, "-c", "ls"});
    EXPECT_EQ(r.status, 0) << proto;
    EXPECT_NE(r.out.find("Album A"), std::string::npos) << proto;
  }
  // It answers on 139 as well, so that an address probe on the NetBIOS port finds it.
  double ms = 0;
  EXPECT_EQ(TcpConnect(ip, 139, 1000, &ms), Connect::Open);
}

TEST_F(TestNet, DeadHostsRefuseOrStaySilent) {
  double ms = 0;
  for (int port : {445, 139}) {
    EXPECT_EQ(TcpConnect(Ip("REFUSED"), port, 1000, &ms), Connect::Refused) << port;
    EXPECT_EQ(TcpConnect(Ip("SILENT"), port, 300, &ms), Connect::TimedOut) << port;
    EXPECT_EQ(TcpConnect(Ip("ALPHA"), port, 1000, &ms), Connect::Open) << port;
  }
  // The silent host is up: only the SMB and NetBIOS ports swallow packets.
  EXPECT_EQ(TcpConnect(Ip("SILENT"), 80, 1000, &ms), Connect::Refused);
  EXPECT_EQ(TcpConnect(Ip("MISSING"), 445, 300, &ms), Connect::TimedOut);
  EXPECT_TRUE(NodeStatusAnswers(Ip("ALPHA"), 1000));
  EXPECT_FALSE(NodeStatusAnswers(Ip("SILENT"), 300));
}

TEST_F(TestNet, HiddenShareIsReachableByName) {
  for (const auto &h : SambaHosts())
    for (const auto &s : env().List("SQ_" + h + "_HIDDEN_SHARES")) {
      auto r = RunProgram({"smbclient", "//" + Ip(h) + "/" + s, "-N", "-c", "ls"});
      EXPECT_EQ(r.status, 0) << h << " " << s;
    }
}

} // namespace
