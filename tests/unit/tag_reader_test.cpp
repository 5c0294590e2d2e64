// Tags read from bytes built here by hand after the ID3 and MPEG layouts, so that what each file
// says is known without the reader: encodings, a picture left unread, ID3v1, hostile sizes. And
// the tag cache: its key, a damaged file, a folder it cannot write; the pass's threads.
// ctest-labels: threads
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/os/diag.h"
#include "platform/tags/tag_reader.h"
#include "services/tags/tag_cache.h"
#include "services/tags/tag_pass.h"
#include "support/xdg_sandbox.h"

using namespace sonquarry::tags;

namespace {

std::string Be32(uint32_t V) { return {char(V >> 24), char(V >> 16), char(V >> 8), char(V)}; }
std::string SyncSafe(uint32_t V) {
  return {char((V >> 21) & 0x7f), char((V >> 14) & 0x7f), char((V >> 7) & 0x7f), char(V & 0x7f)};
}
std::string Frame(int Version, const std::string &Id, const std::string &Body) {
  return Id + (Version == 4 ? SyncSafe(uint32_t(Body.size())) : Be32(uint32_t(Body.size()))) +
         std::string(2, '\0') + Body;
}
std::string Tag(int Version, const std::string &Frames, std::size_t Padding = 0) {
  return "ID3" + std::string{char(Version), 0, 0} + SyncSafe(uint32_t(Frames.size() + Padding)) +
         Frames + std::string(Padding, '\0');
}
std::string Id3v1(const std::string &Title, const std::string &Artist, const std::string &Album,
                  const std::string &Year) {
  auto Pad = [](std::string S, std::size_t N) { return S.resize(N, '\0'), S; };
  return "TAG" + Pad(Title, 30) + Pad(Artist, 30) + Pad(Album, 30) + Pad(Year, 4) +
         std::string(30, '\0') + std::string(1, char(255));
}
// 40 frames of MPEG-1 layer III, 128 kbit/s, 44.1 kHz: 1.04 s.
std::string Audio() {
  std::string F(417, '\0');
  F[0] = char(0xff), F[1] = char(0xfb), F[2] = char(0x90), F[3] = char(0x40);
  std::string A;
  for (int I = 0; I < 40; ++I) A += F;
  return A;
}
// Frames of 417 bytes (as Audio's), the first a Xing header counting Frames: 10.4 s for 400.
std::string XingAudio(uint32_t Frames) {
  std::string F = Audio().substr(0, 417);
  F.replace(36, 16, "Xing" + Be32(3) + Be32(Frames) + Be32(Frames * 417));
  std::string A = F;
  while (A.size() < std::size_t(Frames) * 417) A += Audio();
  return A.substr(0, std::size_t(Frames) * 417);
}
const std::string Latin1Cafe = "Caf\xe9",
                  Utf16Ode = std::string("\xff\xfe\xa9\x03\xb4\x03\xae\x03", 8);

TTagResult Read(const std::string &Bytes, const std::string &Name = "x.mp3",
                TTagLimits Limits = {}) {
  TMemoryRangeSource S({reinterpret_cast<const uint8_t *>(Bytes.data()), Bytes.size()});
  return ReadTags(S, Name, Limits);
}

TEST(TagReader, WhatEachKindOfFileSays) {
  // ID3v2.4 with artist, title, year and Album, Xing audio, and an ID3v1 tag that says otherwise.
  const auto V24 = [](const std::string &Album) {
    return Tag(4, Frame(4, "TPE1", "\x03Ärger") + Frame(4, "TIT2", "\x03T") + Album +
                      Frame(4, "TDRC", std::string("\x03") + "2001")) +
           XingAudio(400) + Id3v1("V1", "V1", "Album1", "1970");
  };
  const std::string Picture = std::string(1, '\0') + "image/jpeg" + std::string(1, '\0') + "\x03" +
                              "c" + std::string(1, '\0') + std::string(150 << 10, '\x42');
  struct TCase {
    const char *What;
    std::string Bytes;
    TTags Want;
    std::size_t MaxRead; // bytes of the file read at most
  } Cases[] = {
      {"ID3v2.3, Latin-1",
       Tag(3, Frame(3, "TPE1", std::string(1, '\0') + Latin1Cafe) +
                  Frame(3, "TIT2", std::string("\0One", 4)) +
                  Frame(3, "TALB", std::string("\0Al", 3)) +
                  Frame(3, "TYER",
                        std::string("\0"
                                    "1999",
                                    5))) +
           Audio(),
       {"Café", "One", "Al", 1999, 1},
       64 << 10},
      {"ID3v2.3, UTF-16",
       Tag(3, Frame(3, "TPE1", "\x01" + Utf16Ode) +
                  Frame(3, "TIT2", std::string("\x01\xff\xfeT\0", 5))) +
           Audio(),
       {"Ωδή", "T", "", 0, 1},
       64 << 10},
      {"ID3v2.4, UTF-8, a large picture unread, padding",
       Tag(4,
           Frame(4, "TIT2", "\x03Ärger") + Frame(4, "APIC", Picture) +
               Frame(4, "TDRC",
                     std::string("\x03"
                                 "2004",
                                 5)),
           4096) +
           Audio(),
       {"", "Ärger", "", 2004, 1},
       32 << 10},
      {"ID3v1 only",
       Audio() + Id3v1("Title", "Artist", "Album", "1975"),
       {"Artist", "Title", "Album", 1975, 1},
       64 << 10},
      {"no tag", Audio(), {"", "", "", 0, 1}, 64 << 10},
      // Every field in ID3v2 and the length from Xing: the end of the file (an ID3v1 tag that
      // says otherwise) is not read.
      {"ID3v2 whole, Xing, ID3v1 unread",
       V24(Frame(4, "TALB", std::string("\x03") + "A")),
       {"Ärger", "T", "A", 2001, 10},
       16 << 10},
      {"ID3v2 without an album, ID3v1 with one",
       V24(""),
       {"Ärger", "T", "Album1", 2001, 10},
       64 << 10},
      {"a tag that claims 256 MB",
       "ID3\x04" + std::string(2, '\0') + "\x7f\x7f\x7f\x7f" + Audio(),
       {"", "", "", 0, -1},
       256 << 10},
      {"4 MB of noise", std::string(4 << 20, '\xff'), {"", "", "", 0, -1}, 256 << 10},
  };
  for (const auto &C : Cases) {
    const TTagResult R = Read(C.Bytes);
    EXPECT_EQ(R.Tags.Artist, C.Want.Artist) << C.What;
    EXPECT_EQ(R.Tags.Title, C.Want.Title) << C.What;
    EXPECT_EQ(R.Tags.Album, C.Want.Album) << C.What;
    EXPECT_EQ(R.Tags.Year, C.Want.Year) << C.What;
    if (C.Want.Length >= 0) {
      EXPECT_EQ(R.Tags.Length, C.Want.Length) << C.What;
    }
    EXPECT_LE(R.BytesRead, C.MaxRead) << C.What;
  }
  // Formats without tags of ours are not read at all.
  EXPECT_EQ(Read(Audio(), "notes.txt").BytesRead, 0u);
}

std::string Be24(uint32_t V) { return Be32(V).substr(1); }
// A FLAC metadata block; Last marks the one before the audio.
std::string FlacBlock(int Type, const std::string &Body, bool Last = false) {
  return char(Type | (Last ? 0x80 : 0)) + Be24(uint32_t(Body.size())) + Body;
}
// STREAMINFO of 44.1 kHz, stereo, 16 bits, Samples samples.
std::string StreamInfo(uint64_t Samples) {
  std::string B = std::string(10, '\0');
  B[0] = 0x10, B[2] = 0x10;
  const uint64_t Packed =
      (uint64_t(44100) << 44) | (uint64_t(1) << 41) | (uint64_t(15) << 36) | Samples;
  for (int I = 7; I >= 0; --I) B += char(Packed >> (8 * I));
  return B + std::string(16, '\0');
}
std::string Le32(uint32_t V) { return {char(V), char(V >> 8), char(V >> 16), char(V >> 24)}; }
std::string Atom(const std::string &Name, const std::string &Body) {
  return Be32(uint32_t(Body.size() + 8)) + Name + Body;
}
std::string Mp4Text(const std::string &Name, const std::string &Text) {
  return Atom(Name, Atom("data", Be32(1) + Be32(0) + Text));
}

TEST(TagReader, TodaysFormatsLeaveTheirPicturesUnreadAndStayWithinTheBudget) {
  const std::string Picture(300 << 10, '\x42'), Audio(600 << 10, '\x5a');
  const std::string Comment = Le32(2) + "sq" + Le32(3) + Le32(13) + "ARTIST=Ärger" + Le32(7) +
                              "TITLE=T" + Le32(15) + "DATE=2003-05-17";
  const std::string Flac = "fLaC" + FlacBlock(0, StreamInfo(44100 * 7)) + FlacBlock(6, Picture) +
                           FlacBlock(4, Comment) + FlacBlock(1, std::string(8192, '\0'), true) +
                           Audio;
  // moov after the audio, its cover art before the text.
  const std::string Ilst = Atom("covr", Atom("data", Be32(13) + Be32(0) + Picture)) +
                           Mp4Text("\xa9nam", "Title") +
                           Mp4Text("\xa9"
                                   "day",
                                   "1999-01-02");
  const std::string Mp4 = Atom("ftyp", "M4A " + Be32(0)) + Atom("mdat", Audio) +
                          Atom("moov", Atom("udta", Atom("meta", Be32(0) + Atom("ilst", Ilst))));
  struct TCase {
    const char *What, *Name;
    std::string Bytes;
    TTags Want;
    std::size_t MaxRead;
    int Known = -1; // whether the tags are known (Ok); -1: either
  } Cases[] = {
      {"FLAC, a picture before the comment",
       "x.flac",
       Flac,
       {"Ärger", "T", "", 2003, 7},
       24 << 10,
       1},
      {"M4A, moov at the end", "x.m4a", Mp4, {"", "Title", "", 1999, -1}, 28 << 10, 1},
      // Tags that do not fit the budget are unknown, not the part of them that came.
      {"FLAC, a comment larger than the budget",
       "x.flac",
       "fLaC" + FlacBlock(0, StreamInfo(44100)) +
           FlacBlock(4,
                     Le32(2) + "sq" + Le32(2) + Le32(13) + "ARTIST=Ärger" + Le32(300 << 10) +
                         "X=" + std::string((300 << 10) - 2, 'x'),
                     true) +
           Audio,
       {"", "", "", 0, -1},
       256 << 10,
       0},
      {"M4A, lyrics larger than the budget before the title",
       "x.m4a",
       Atom("ftyp", "M4A " + Be32(0)) +
           Atom("moov",
                Atom("udta", Atom("meta", Be32(0) + Atom("ilst", Mp4Text("\xa9lyr", Picture) +
                                                                     Mp4Text("\xa9nam", "T"))))),
       {"", "", "", 0, -1},
       256 << 10,
       0},
      {"FLAC block claiming 16 MB",
       "x.flac",
       "fLaC" + FlacBlock(0, StreamInfo(1)).substr(0, 1) + "\xff\xff\xff" + Audio,
       {"", "", "", 0, -1},
       256 << 10},
      {"atoms nested past the file",
       "x.m4a",
       Be32(64) + "moov" + Be32(0xfffffff0) + "udta" + Audio,
       {"", "", "", 0, -1},
       256 << 10},
      {"64-bit atom size",
       "x.m4a",
       Be32(1) + "moov" + std::string(8, '\xff') + Audio,
       {"", "", "", 0, -1},
       256 << 10},
      {"an Ogg page that lies",
       "x.ogg",
       "OggS" + std::string(64 << 10, '\xff'),
       {"", "", "", 0, -1},
       256 << 10},
  };
  for (const auto &C : Cases) {
    for (const char *Noise : {"", "noise"}) {
      const TTagResult R = Read(*Noise ? std::string(4 << 20, '\xff') : C.Bytes, C.Name);
      const TTags Want = *Noise ? TTags{"", "", "", 0, -1} : C.Want;
      EXPECT_EQ(R.Tags.Artist, Want.Artist) << C.What << Noise;
      EXPECT_EQ(R.Tags.Title, Want.Title) << C.What << Noise;
      EXPECT_EQ(R.Tags.Year, Want.Year) << C.What << Noise;
      if (!*Noise && C.Known >= 0) {
        EXPECT_EQ(R.Ok, C.Known == 1) << C.What;
      }
      if (Want.Length >= 0) {
        EXPECT_EQ(R.Tags.Length, Want.Length) << C.What;
      }
      EXPECT_LE(R.BytesRead, *Noise ? std::size_t(256 << 10) : C.MaxRead) << C.What << Noise;
    }
  }
}

// What a server sends meets the parser with as little memory as a worker gets: files that claim
// huge blocks, atoms and pages under each name, in a child limited to 256 MB of address space.
TEST(TagReader, HostileFilesParseWithinAMemoryLimit) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's shadow memory does not fit the limit";
#else
  const std::string Huge(4, '\xff');
  const std::string Files[] = {"fLaC\x06" + Huge.substr(0, 3) + std::string(1 << 20, '\0'),
                               Be32(1) + "moov" + std::string(8, '\x7f') + Atom("udta", ""),
                               "OggS" + std::string(1 << 20, '\xff'),
                               "ID3\x04" + std::string(2, '\0') + "\x7f\x7f\x7f\x7f"};
  const pid_t Child = fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    const rlimit Limit{256u << 20, 256u << 20};
    setrlimit(RLIMIT_AS, &Limit);
    for (const auto &F : Files)
      for (const char *Name : {"x.flac", "x.m4a", "x.ogg", "x.opus", "x.mp3", "x.wma"})
        if (Read(F, Name).BytesRead > (256u << 10)) _exit(2);
    _exit(0);
  }
  int Status = 0;
  ASSERT_EQ(waitpid(Child, &Status, 0), Child);
  EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Status;
#endif
}

std::string Zipped(const std::string &Data) {
  uLongf N = compressBound(uLong(Data.size()));
  std::string Z(N, '\0');
  compress2(reinterpret_cast<Bytef *>(Z.data()), &N, reinterpret_cast<const Bytef *>(Data.data()),
            uLong(Data.size()), 9);
  Z.resize(N);
  return Z;
}
// A frame with its format flags (compression, unsynchronisation, data length).
std::string FlaggedFrame(int Version, const std::string &Id, char Flags, const std::string &Body) {
  return Id + (Version == 4 ? SyncSafe(uint32_t(Body.size())) : Be32(uint32_t(Body.size()))) +
         std::string(1, '\0') + Flags + Body;
}
std::string Unsync(const std::string &B) {
  std::string Out;
  for (char C : B) {
    Out += C;
    if (uint8_t(C) == 0xff) Out += '\0';
  }
  return Out;
}

// In a child with a bounded address space, as what a server sends is read in a worker.
TEST(TagReader, CompressedFramesInflateOnlyWithinTheBudget) {
  // 32 MiB of one-letter strings: about 32 KB of zlib, a billion bytes of TagLib's lists.
  const std::string Many = "\0" + [] {
    std::string S;
    for (int I = 0; I < 16 << 20; ++I) S += "a\0";
    return S;
  }();
  const std::string Small = std::string("\0Zipped", 7);
  const auto V23 = [](const std::string &Plain) {
    return FlaggedFrame(3, "TIT2", char(0x80), Be32(uint32_t(Plain.size())) + Zipped(Plain));
  };
  const auto V24 = [](const std::string &Plain) {
    return FlaggedFrame(4, "TIT2", char(0x09), SyncSafe(uint32_t(Plain.size())) + Zipped(Plain));
  };
  const std::string Artist = Frame(3, "TPE1", std::string("\0Ok", 3));
  const std::string WholeUnsync = Unsync(Artist + V23(Many));
  struct {
    const char *What;
    std::string Bytes;
    std::string Want; // artist|title
  } Cases[] = {
      {"v2.3, small", Tag(3, Artist + V23(Small)) + Audio(), "Ok|Zipped"},
      {"v2.3, a bomb", Tag(3, Artist + V23(Many)) + Audio(), "Ok|"},
      {"v2.4, small", Tag(4, V24(std::string("\3Zipped", 7))) + Audio(), "|Zipped"},
      {"v2.4, a bomb", Tag(4, V24("\3" + Many.substr(1))) + Audio(), "|"},
      {"v2.3 unsynchronised whole, a bomb",
       "ID3\x03" + std::string(1, '\0') + "\x80" + SyncSafe(uint32_t(WholeUnsync.size())) +
           WholeUnsync + Audio(),
       "|"},
  };
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  const pid_t Child = ::fork();
  ASSERT_GE(Child, 0);
  if (Child == 0) {
    ::close(Pipe[0]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    const rlimit Limit{rlim_t(1) << 30, rlim_t(1) << 30};
    ::setrlimit(RLIMIT_AS, &Limit);
#endif
    std::string Out;
    for (const auto &C : Cases) {
      const TTagResult R = Read(C.Bytes);
      Out += R.Tags.Artist + "|" + R.Tags.Title + "\n";
    }
    (void)!::write(Pipe[1], Out.data(), Out.size());
    ::_exit(0);
  }
  ::close(Pipe[1]);
  std::string Got;
  char Buf[4096];
  for (ssize_t N; (N = ::read(Pipe[0], Buf, sizeof Buf)) != 0;)
    if (N > 0)
      Got.append(Buf, std::size_t(N));
    else if (errno != EINTR)
      break;
  ::close(Pipe[0]);
  int Status = 0;
  ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
  ASSERT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << "the reader died: " << Status;
  std::string Want;
  for (const auto &C : Cases) Want += C.Want + "\n";
  EXPECT_EQ(Got, Want);
}

TEST(TagCache, KeyedByPathSizeAndTimeRebuiltWhenDamagedHarmlessWhenUnwritable) {
  sonquarry::testing::TXdgSandbox Home;
  const std::string Path = TTagCache::DefaultPath();
  const TTags T{"A", "T", "Al", 2001, 180};
  {
    TTagCache C;
    ASSERT_TRUE(C.Usable());
    C.Put("\\\\PC\\s\\a.mp3", 10, 100, T);
  }
  struct {
    const char *File;
    int64_t Size, Time;
    bool Hit;
  } Keys[] = {{"\\\\PC\\s\\a.mp3", 10, 100, true},
              {"\\\\PC\\s\\a.mp3", 11, 100, false},
              {"\\\\PC\\s\\a.mp3", 10, 101, false},
              {"\\\\PC\\s\\b.mp3", 10, 100, false}};
  TTagCache Again;
  for (const auto &K : Keys) {
    const auto Got = Again.Find(K.File, K.Size, K.Time);
    EXPECT_EQ(Got.has_value(), K.Hit) << K.File << " " << K.Size << " " << K.Time;
    if (Got) {
      EXPECT_EQ(*Got, T);
    }
  }

  std::ofstream(Path, std::ios::binary | std::ios::trunc) << std::string(4096, 'x');
  TTagCache Rebuilt;
  EXPECT_TRUE(Rebuilt.Usable());
  EXPECT_FALSE(Rebuilt.Find("\\\\PC\\s\\a.mp3", 10, 100));
  Rebuilt.Put("\\\\PC\\s\\a.mp3", 10, 100, T);
  Rebuilt.Flush();
  EXPECT_TRUE(Rebuilt.Find("\\\\PC\\s\\a.mp3", 10, 100));

  // Two programs at once (the window reading a slow share, sonquarry-scan beside it): neither
  // keeps the other from writing.
  {
    TTagCache Window, Scan;
    Window.Put("\\\\PC\\s\\w.mp3", 1, 1, T);
    Scan.Put("\\\\PC\\s\\c.mp3", 2, 2, T);
    Scan.Flush();
    EXPECT_TRUE(TTagCache().Find("\\\\PC\\s\\c.mp3", 2, 2));
    EXPECT_TRUE(Window.Find("\\\\PC\\s\\w.mp3", 1, 1)); // its own, not written yet
  }
  TTagCache After;
  EXPECT_TRUE(After.Find("\\\\PC\\s\\w.mp3", 1, 1));
  EXPECT_TRUE(After.Find("\\\\PC\\s\\c.mp3", 2, 2));

  // A cache that cannot be made keeps nothing and breaks nothing.
  TTagCache None("/dev/null/tags.sqlite");
  EXPECT_FALSE(None.Usable());
  None.Put("x", 1, 1, T);
  EXPECT_FALSE(None.Find("x", 1, 1));
}

} // namespace

namespace net = sonquarry::net;

// A provider that reads tags where the files are, at once or as slowly as a link with latency.
class TTagsAtServer final : public net::INetProvider {
public:
  explicit TTagsAtServer(int DelayMs) : Delay_(DelayMs) {}
  net::NetEnumStatus EnumResources(const net::NetResource *, std::vector<net::NetResource> &,
                                   net::NetError *) override {
    return net::NetEnumStatus::OpenFailed;
  }
  bool FindFiles(const std::string &, std::vector<net::DirEntry> &, net::NetError *) override {
    return false;
  }
  bool ReadTags(const std::string &Unc, int64_t, const net::TagBudget &, net::TagReading &Out,
                net::NetError *) override {
    std::this_thread::sleep_for(Delay_);
    Out.Ok = true;
    Out.Tags.Title = Unc;
    return true;
  }

private:
  std::chrono::milliseconds Delay_;
};

// A file that ends its reader: kept without tags while its size and time stay, read again after.
TEST(TagPass, AFileThatEndsItsReaderIsNotReadAgainUntilItChanges) {
  sonquarry::testing::TXdgSandbox Home;
  struct TBomb final : net::INetProvider {
    std::atomic<int> Calls{0};
    net::NetEnumStatus EnumResources(const net::NetResource *, std::vector<net::NetResource> &,
                                     net::NetError *) override {
      return net::NetEnumStatus::OpenFailed;
    }
    bool FindFiles(const std::string &, std::vector<net::DirEntry> &, net::NetError *) override {
      return false;
    }
    bool ReadTags(const std::string &, int64_t, const net::TagBudget &, net::TagReading &Out,
                  net::NetError *E) override {
      ++Calls;
      Out.EndedReader = true;
      *E = {EPIPE, "ended", true};
      return true;
    }
  } P;
  TTagCache Cache;
  for (const int64_t Size : {1000, 1000, 1001}) {
    std::atomic<int> Known{0};
    TTagPass Pass(P, &Cache, 1, [&](const TTagOutcome &O) { Known += O.Ok; });
    Pass.Add({{"\\\\PC\\s\\bomb.mp3", 1, Size, 7}});
    ASSERT_TRUE(Pass.Wait(60000));
  }
  EXPECT_EQ(P.Calls.load(), 2);
  const auto Kept = Cache.Find("\\\\PC\\s\\bomb.mp3", 1001, 7);
  ASSERT_TRUE(Kept);
  EXPECT_EQ(*Kept, TTags{});
}

TEST(TagPass, ThreadsAreAddedOnlyWhileFilesWaitOnTheLink) {
  struct TCase {
    int DelayMs;
    double Idle; // of the cores meanwhile
    bool Grows;
  };
  for (const TCase C : {TCase{0, 1.0, false}, TCase{6, 1.0, true}, TCase{6, 0.1, false}}) {
    TTagsAtServer P(C.DelayMs);
    std::atomic<int> Right{0};
    TTagPass Pass(
        P, nullptr, 8, [&](const TTagOutcome &O) { Right += O.Ok && O.Tags.Title == O.Unc; }, {},
        [&] { return C.Idle; });
    std::vector<TTagJob> Jobs;
    for (uint64_t I = 0; I < 300; ++I)
      Jobs.push_back({"\\\\PC\\s\\" + std::to_string(I) + ".mp3", I, 1000, 1});
    Pass.Add(std::move(Jobs));
    ASSERT_TRUE(Pass.Wait(60000));
    EXPECT_EQ(Right.load(), 300) << C.DelayMs << " ms a file";
    EXPECT_EQ(Pass.Threads(), C.Grows ? TTagPass::MaxThreads : TTagPass::FirstThreads())
        << C.DelayMs << " ms a file, cores " << C.Idle << " idle";
  }
}

TEST(TagCache, WritesNeitherThroughAPlantedLinkNorIntoTheCurrentDirectory) {
  const TTags T{"A", "T", "Al", 2001, 180};
  for (const bool Folder : {true, false}) {
    sonquarry::testing::TXdgSandbox Home;
    std::vector<std::string> Said;
    const auto Old = sonquarry::platform::SetDiagnosticSink(
        [&](sonquarry::platform::TDiagLevel, const std::string &L) { Said.push_back(L); });
    const std::string Victim = Home.Root() + "/home/mine";
    sonquarry::testing::WriteFile(Victim, ""); // empty: SQLite would take it as a new database
    if (Folder) {
      std::filesystem::create_symlink(Victim, TTagCache::DefaultPath());
    } else {
      // No cache folder can be made below a file.
      ::setenv("XDG_CACHE_HOME", Victim.c_str(), 1);
      ASSERT_EQ(::chdir((Home.Root() + "/home").c_str()), 0);
    }
    for (int I = 0; I < 2; ++I) {
      TTagCache C;
      EXPECT_EQ(C.Usable(), Folder);
      C.Put("\\\\PC\\s\\a.mp3", 10, 100, T);
      C.Flush();
    }
    sonquarry::platform::SetDiagnosticSink(Old);
    EXPECT_EQ(sonquarry::testing::ReadAll(Victim), "");
    EXPECT_FALSE(std::filesystem::exists(Home.Root() + "/home/tags.sqlite"));
    EXPECT_EQ(Said.size(), Folder ? 0u : 1u); // once, however often it is wanted
    ASSERT_EQ(::chdir("/"), 0);
  }
}
