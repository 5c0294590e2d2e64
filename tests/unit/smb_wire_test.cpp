// The worker protocol: file chunks framed in place read back as the bytes they hold, a Data
// payload that lies about its bytes is refused, and so is a broken directory listing; the worker
// program ends at a corrupted frame without acting on anything.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "platform/smb/wire/smb_wire.h"
#include "support/build_paths.h"

using namespace sonquarry::smb::wire;

TEST(SmbWire, ChunksFramedInPlaceReadBackWhole) {
  struct Case {
    uint32_t Size;
    bool End;
  };
  for (const Case C : {Case{0, true}, Case{1, false}, Case{4099, true}, Case{MaxChunk, false}}) {
    std::vector<uint8_t> Frame;
    // A frame used before for a bigger chunk: the smaller one must not keep its tail.
    uint8_t *To = DataFrame(Frame, MaxChunk);
    for (uint32_t I = 0; I < C.Size; ++I) To[I] = uint8_t(I * 7 + 3);
    SealData(Frame, C.Size, C.End);
    std::vector<uint8_t> In = Frame;
    In.push_back(0x53); // the start of the next frame stays in the buffer
    ::sonquarry::smb::wire::Frame F;
    const auto R = Take(In, F);
    ASSERT_EQ(R.Used, Frame.size()) << C.Size << " " << R.Why;
    EXPECT_EQ(In, std::vector<uint8_t>{0x53});
    Data D;
    ASSERT_EQ(F.Kind, Type::Data);
    ASSERT_TRUE(Get(F.Payload, D)) << C.Size;
    EXPECT_EQ(D.End, C.End);
    ASSERT_EQ(D.Bytes.size(), C.Size);
    for (uint32_t I = 0; I < C.Size; I += 997) ASSERT_EQ(D.Bytes[I], uint8_t(I * 7 + 3)) << I;
    EXPECT_EQ(Encode(Type::Data, Put(D)), Frame);
  }
}

TEST(SmbWire, DataThatLiesAboutItsBytesIsRefused) {
  const auto Payload = [](uint8_t End, uint32_t Count, std::size_t Have) {
    TWriter W;
    W.U8(End).U32(Count);
    auto B = W.Take();
    B.resize(B.size() + Have, 'x');
    return B;
  };
  Data D;
  EXPECT_TRUE(Get(Payload(1, 3, 3), D));
  EXPECT_FALSE(Get(Payload(1, 3, 2), D)) << "fewer bytes than counted";
  EXPECT_FALSE(Get(Payload(0, 3, 4), D)) << "more bytes than counted";
  EXPECT_FALSE(Get(Payload(2, 3, 3), D)) << "an end flag that is neither";
  EXPECT_FALSE(Get(Payload(0, MaxChunk + 1, MaxChunk + 1), D)) << "a chunk above the limit";
}
namespace {

Listing Sample() {
  Listing L;
  L.Dir = {7, 0x1122334455667788ull, IdKind::FileId};
  L.Entries = {{"a.mp3", false, 0x123456789ull, 1700000000}, {"Sub dir", true}};
  L.End = true;
  L.Next = {{"\\\\PC\\s\\Sub dir", 42, IdKind::FileId, {{"b.mp3", false}}}};
  return L;
}

TEST(SmbWire, TagsComeBackWholeAndHostileRepliesAreRefused) {
  const Tags T{true, "Ärger & 東京", "", std::string(1000, 't'), 1999, -1, 21077};
  Tags Back;
  ASSERT_TRUE(Get(Put(T), Back));
  EXPECT_EQ(Back, T);
  auto Flag = Put(T), Cut = Put(T);
  Flag[0] = 2;
  Cut.pop_back();
  EXPECT_FALSE(Get(Flag, Back)) << "a flag that is neither 0 nor 1";
  EXPECT_FALSE(Get(Cut, Back)) << "cut short";
  EXPECT_FALSE(Get(Put(Tags{true, std::string(70000, 'a'), "", "", 0, 0, 0}), Back))
      << "a text no tag holds";
  ReadTags Q;
  EXPECT_FALSE(Get(Put(ReadTags{"\\\\pc\\s\\a.mp3", -2, 1, 1, 1}), Q)) << "a size below -1";
}

TEST(SmbWire, LoginsComeBackWholeAndBrokenOnesAreRefused) {
  const Login L{true, 3, "bob", "HOME", "p w"};
  Login Back;
  ASSERT_TRUE(Get(Put(L), Back));
  EXPECT_EQ(std::tie(Back.Has, Back.Index, Back.User, Back.Domain, Back.Password),
            std::tie(L.Has, L.Index, L.User, L.Domain, L.Password));
  auto Bad = Put(L);
  Bad[0] = 2; // neither has nor has not
  EXPECT_FALSE(Get(Bad, Back));
  const auto Whole = Put(L);
  EXPECT_FALSE(Get(std::span(Whole).first(Whole.size() - 1), Back)) << "cut short";
  AskLogin A;
  ASSERT_TRUE(Get(Put(AskLogin{"10.0.0.1", 1}), A));
  EXPECT_EQ(A.Server, "10.0.0.1");
  EXPECT_EQ(A.Index, 1u);
  auto Longer = Put(AskLogin{"x", 0});
  Longer.push_back(0);
  EXPECT_FALSE(Get(Longer, A));
}

TEST(SmbWire, ListingCarriesHandleIdEntriesAndEnd) {
  const auto Frame = Encode(Type::Listing, Put(Sample()));
  const auto R = Decode(Frame);
  ASSERT_TRUE(R.F) << R.Why;
  EXPECT_EQ(R.F->Kind, Type::Listing);
  Listing L;
  ASSERT_TRUE(Get(R.F->Payload, L));
  EXPECT_EQ(L.Dir.Handle, 7u);
  EXPECT_EQ(L.Dir.Id, 0x1122334455667788ull);
  EXPECT_EQ(L.Dir.Kind, IdKind::FileId);
  ASSERT_EQ(L.Entries.size(), 2u);
  EXPECT_EQ(L.Entries[1].Name, "Sub dir");
  EXPECT_TRUE(L.Entries[1].Directory);
  EXPECT_FALSE(L.Entries[0].Directory);
  EXPECT_EQ(L.Entries[0].Size, 0x123456789ull);
  EXPECT_EQ(L.Entries[0].WriteTime, 1700000000);
  EXPECT_TRUE(L.End);
  ASSERT_EQ(L.Next.size(), 1u);
  EXPECT_EQ(L.Next[0].Dir, "\\\\PC\\s\\Sub dir");
  EXPECT_EQ(L.Next[0].Id, 42u);
  ASSERT_EQ(L.Next[0].Entries.size(), 1u);
  EXPECT_EQ(L.Next[0].Entries[0].Name, "b.mp3");

  Listing Empty;
  ASSERT_TRUE(Get(Put(Listing{}), Empty));
  EXPECT_TRUE(Empty.Entries.empty());
  EXPECT_FALSE(Empty.End);
}

TEST(SmbWire, BrokenListingsAreRefused) {
  const auto Good = Put(Sample());
  struct Case {
    const char *What;
    std::size_t At; // byte to change, or the length to cut to
    int Value;      // -1: cut
  };
  // Handle 4, id 8, kind 1, end 1, count 4, then entry flags 1, name length 4, name, size 8,
  // time 8; at 72 the count of listings read ahead, at 76 the first one's directory, at 103 its
  // end flag.
  const Case Cases[] = {
      {"unknown id kind", 12, 3},
      {"end flag not 0/1", 13, 2},
      {"more entries than sent", 14, 3},
      {"entry flag not 0/1", 18, 2},
      {"separator in a name", 23, '/'},
      {"cut in a name", 25, -1},
      {"cut before the entries", 13, -1},
      {"cut in an entry's size", 60, -1},
      {"cut in an entry's time", 68, -1},
      {"more listings read ahead than allowed", 72, MaxAheadListings + 1},
      {"a listing read ahead without its directory", 76, 0},
      {"a listing read ahead that is not whole", 103, 0},
  };
  for (const auto &C : Cases) {
    auto P = Good;
    if (C.Value < 0)
      P.resize(C.At);
    else
      P[C.At] = uint8_t(C.Value);
    Listing L;
    EXPECT_FALSE(Get(P, L)) << C.What;
  }
  auto Longer = Good;
  Longer.push_back(0);
  Listing L;
  EXPECT_FALSE(Get(Longer, L)) << "bytes left over";
}

TEST(SmbWire, FramesOfTheFormerVersionAreRefused) {
  auto Frame = Encode(Type::OpenDir, PutString("\\\\PC\\share"));
  Frame[3] = Version - 1;
  const auto R = Decode(Frame);
  EXPECT_FALSE(R.F);
  EXPECT_FALSE(R.Incomplete);
  EXPECT_EQ(R.Why, "another protocol version");
}

// What the worker program did with Bytes: what it answered until it closed the connection or
// sent a whole frame (5 s at most), and its exit status once the connection is closed here.
struct TWorkerRun {
  std::vector<uint8_t> Reply;
  bool Closed = false;
  int Status = -1;
};

TWorkerRun FeedWorker(const std::vector<uint8_t> &Bytes, bool EndStream) {
  TWorkerRun Run;
  int Sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, Sv) != 0) return Run;
  // Away from the worker's fd: dup2 onto the same number would keep close-on-exec.
  const int Far = ::fcntl(Sv[1], F_DUPFD_CLOEXEC, 10);
  ::close(Sv[1]);
  posix_spawn_file_actions_t Fa;
  posix_spawn_file_actions_init(&Fa);
  posix_spawn_file_actions_adddup2(&Fa, Far, WorkerFd);
  const std::string Path = sonquarry::testing::BinaryDir() + "/src/app/sonquarry-smb-worker";
  const std::string Fd = std::to_string(WorkerFd), Parent = std::to_string(::getpid());
  char *Argv[] = {const_cast<char *>(Path.c_str()),   const_cast<char *>("--fd"),
                  const_cast<char *>(Fd.c_str()),     const_cast<char *>("--parent"),
                  const_cast<char *>(Parent.c_str()), nullptr};
  pid_t Pid = -1;
  const int Spawned = ::posix_spawn(&Pid, Path.c_str(), &Fa, nullptr, Argv, environ);
  posix_spawn_file_actions_destroy(&Fa);
  ::close(Far);
  if (Spawned != 0) {
    ::close(Sv[0]);
    return Run;
  }
  SendAll(Sv[0], Bytes);
  if (EndStream) ::shutdown(Sv[0], SHUT_WR);
  const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!Run.Closed && !Decode(Run.Reply).F) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        Deadline - std::chrono::steady_clock::now());
    pollfd P{Sv[0], POLLIN, 0};
    if (Left.count() <= 0 || ::poll(&P, 1, int(Left.count())) <= 0) break;
    uint8_t Buf[4096];
    const ssize_t N = ::read(Sv[0], Buf, sizeof Buf);
    if (N <= 0) Run.Closed = true;
    if (N > 0) Run.Reply.insert(Run.Reply.end(), Buf, Buf + N);
  }
  ::close(Sv[0]);
  int St = 0;
  if (::waitpid(Pid, &St, 0) == Pid && WIFEXITED(St)) Run.Status = WEXITSTATUS(St);
  return Run;
}

TEST(SmbWire, TheWorkerEndsAtACorruptedFrameAndActsOnNothingAfterIt) {
  const auto Sound = Encode(Type::Hello, Put(Hello{}));
  auto Reseal = [](std::vector<uint8_t> F) {
    const std::size_t Body = F.size() - TrailerSize;
    const uint32_t Crc = Crc32(std::span<const uint8_t>(F.data(), Body));
    for (int I = 0; I < 4; ++I) F[Body + std::size_t(I)] = uint8_t(Crc >> (8 * I));
    return F;
  };
  auto Set = [&](std::size_t At, uint8_t Value, bool Seal) {
    auto F = Sound;
    F[At] = Value;
    return Seal ? Reseal(F) : F;
  };
  auto TooLong = Sound;
  const uint32_t Long = MaxPayload + 1;
  std::memcpy(TooLong.data() + 8, &Long, 4); // little endian, as the protocol
  struct Case {
    const char *What;
    std::vector<uint8_t> Frame;
    bool Refused;
  };
  const Case Cases[] = {
      {"a sound frame (answered)", Sound, false},
      {"bad checksum", Set(Sound.size() - 1, Sound.back() ^ 1, false), true},
      {"length over the bound", TooLong, true},
      {"reserved bytes set", Set(6, 1, true), true},
      {"unknown type", Set(4, 99, true), true},
      {"not a worker frame", Set(0, 'X', true), true},
      {"truncated header", std::vector<uint8_t>(Sound.begin(), Sound.begin() + 7), true},
  };
  for (const auto &C : Cases) {
    SCOPED_TRACE(C.What);
    auto Bytes = C.Frame;
    const bool Truncated = Bytes.size() < HeaderSize;
    // A sound request right behind the broken one must go unanswered.
    if (C.Refused && !Truncated) Bytes.insert(Bytes.end(), Sound.begin(), Sound.end());
    const TWorkerRun Run = FeedWorker(Bytes, Truncated);
    if (!C.Refused) {
      const auto R = Decode(Run.Reply);
      ASSERT_TRUE(R.F) << R.Why;
      EXPECT_EQ(R.F->Kind, Type::HelloOk);
      EXPECT_EQ(Run.Status, 0);
      continue;
    }
    EXPECT_TRUE(Run.Reply.empty()) << Run.Reply.size() << " bytes answered";
    EXPECT_TRUE(Run.Closed) << "the worker still waits";
    EXPECT_EQ(Run.Status, 3) << "the protocol's exit status";
  }
}

} // namespace
