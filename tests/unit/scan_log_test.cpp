#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/scan_log.h"
#include "platform/os/exception.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using sonquarry::llAll;
using sonquarry::llScan;
using sonquarry::TLog;

namespace {

class ScanLogTest : public ::testing::Test {
protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("sonquarry-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
           "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    File = (Dir / "search.log").string();
  }
  void TearDown() override { fs::remove_all(Dir); }

  // The file split at CR LF; fails the test on a bare LF.
  static std::vector<std::string> Lines(const std::string &Path) {
    const std::string Text = sonquarry::testing::ReadAll(Path);
    std::vector<std::string> Out;
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
      const auto End = Text.find("\r\n", Pos);
      EXPECT_NE(End, std::string::npos) << "line without CR LF";
      if (End == std::string::npos) break;
      Out.push_back(Text.substr(Pos, End - Pos));
      Pos = End + 2;
    }
    return Out;
  }

  fs::path Dir;
  std::string File;
};

// A line "dd.mm.yyyy hh:nn:ss : TEXT"; Text receives TEXT.
bool Stamped(const std::string &Line, std::string &Text) {
  const std::string Shape = "00.00.0000 00:00:00 : ";
  if (Line.size() < Shape.size()) return false;
  for (std::size_t i = 0; i < Shape.size(); ++i) {
    const bool Digit = Line[i] >= '0' && Line[i] <= '9';
    if (Shape[i] == '0' ? !Digit : Line[i] != Shape[i]) return false;
  }
  Text = Line.substr(Shape.size());
  return true;
}

// "dd.mm.yyyy hh:nn:ss" of T in a zone Offset east of UTC, worked out from the calendar
// without the C library's time formatting.
std::string LocalStamp(std::time_t T, std::chrono::minutes Offset) {
  using namespace std::chrono;
  const auto Local = sys_seconds(seconds(T)) + Offset;
  const auto Day = floor<days>(Local);
  const year_month_day Date(Day);
  const hh_mm_ss<seconds> Time(Local - Day);
  char Buf[32];
  std::snprintf(Buf, sizeof Buf, "%02u.%02u.%04d %02d:%02d:%02d", unsigned(Date.day()),
                unsigned(Date.month()), int(Date.year()), int(Time.hours().count()),
                int(Time.minutes().count()), int(Time.seconds().count()));
  return Buf;
}

// Sets TZ for the life of the object.
class TZone {
public:
  explicit TZone(const std::string &Value) {
    if (const char *Old = std::getenv("TZ")) Old_ = Old;
    ::setenv("TZ", Value.c_str(), 1);
    ::tzset();
  }
  ~TZone() {
    if (Old_)
      ::setenv("TZ", Old_->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }

private:
  std::optional<std::string> Old_;
};

TEST_F(ScanLogTest, LinesHaveTheTimestampOrTheIndentAndEndInCrLf) {
  // A zone where it is now afternoon, so a 12-hour clock shows; half an hour off whole hours.
  const int UtcHour = int((std::time(nullptr) / 3600) % 24);
  const int East = (15 - UtcHour + 24) % 24; // hours east of UTC: local hour is 15 or 16
  const std::chrono::minutes Offset(East * 60 + 30);
  TZone Zone("SQT-" + std::to_string(East) + ":30"); // POSIX counts west of UTC
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll);
  const std::time_t Before = std::time(nullptr);
  L.Add(llScan, "Processing resource \\\\PC1.");
  L.AddCont(llScan, "This resource is computer.");
  const std::time_t After = std::time(nullptr);
  const auto Got = Lines(File);
  ASSERT_EQ(Got.size(), 2u);
  std::string M;
  ASSERT_TRUE(Stamped(Got[0], M)) << Got[0];
  EXPECT_EQ(M, "Processing resource \\\\PC1.");
  const std::string Stamp = Got[0].substr(0, 19);
  EXPECT_TRUE(Stamp == LocalStamp(Before, Offset) || Stamp == LocalStamp(After, Offset))
      << Stamp << " vs " << LocalStamp(Before, Offset);
  EXPECT_EQ(Got[1], std::string(22, ' ') + "This resource is computer.");
  EXPECT_TRUE(L.Errors().empty());
}

TEST_F(ScanLogTest, LevelDecidesWhatIsWritten) {
  TLog L;
  L.SetFileName(File);
  L.Add(0, "zero at level 0");
  L.Add(1, "one at level 0");
  L.SetLevel(2);
  L.Add(3, "three at level 2");
  L.AddCont(3, "cont three at level 2");
  L.AddCont(2, "cont two at level 2");
  const auto Got = Lines(File);
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_NE(Got[0].find("zero at level 0"), std::string::npos);
  EXPECT_EQ(Got[1], std::string(22, ' ') + "cont two at level 2");
}

TEST_F(ScanLogTest, FirstLevelSetWritesNothingLaterChangesWriteTheLevelLine) {
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll); // from 0: silent
  EXPECT_FALSE(fs::exists(File));
  L.SetLevel(llAll); // unchanged: silent
  EXPECT_FALSE(fs::exists(File));
  L.SetLevel(2);
  EXPECT_EQ(L.Level(), 2);
  const auto Got = Lines(File);
  ASSERT_EQ(Got.size(), 1u);
  std::string M;
  ASSERT_TRUE(Stamped(Got[0], M));
  EXPECT_EQ(M, "Изменен уровень записи информации на 2.");
}

TEST_F(ScanLogTest, ExistingFileIsAppendedAndTruncateEmptiesIt) {
  {
    std::ofstream Out(File, std::ios::binary);
    Out << "old line\r\n";
  }
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll);
  L.Add(llScan, "new");
  auto Got = Lines(File);
  ASSERT_EQ(Got.size(), 2u);
  EXPECT_EQ(Got[0], "old line");
  L.Truncate(0);
  EXPECT_EQ(fs::file_size(File), 0u);
  L.Add(llScan, "after");
  EXPECT_EQ(Lines(File).size(), 1u);
}

TEST_F(ScanLogTest, MissingFileIsCreatedByTheFirstWriteAndByTruncate) {
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll);
  L.Add(llScan, "first");
  EXPECT_EQ(Lines(File).size(), 1u);
  const std::string Other = (Dir / "other.log").string();
  L.SetFileName(Other);
  L.Truncate(0);
  EXPECT_TRUE(fs::exists(Other));
  EXPECT_EQ(fs::file_size(Other), 0u);
}

TEST_F(ScanLogTest, UnwritableFileLosesLinesIntoErrorsButTruncateThrows) {
  TLog L;
  L.SetFileName(Dir.string()); // a directory cannot be opened for appending, not even by root
  L.SetLevel(llAll);
  EXPECT_NO_THROW(L.Add(llScan, "lost"));
  EXPECT_NO_THROW(L.AddCont(llScan, "lost too"));
  ASSERT_EQ(L.Errors().size(), 2u);
  EXPECT_NE(L.Errors()[0].find(Dir.string()), std::string::npos);
  EXPECT_THROW(L.Truncate(0), sonquarry::Exception);
  L.SetFileName((Dir / "no-such-dir" / "search.log").string());
  EXPECT_THROW(L.Truncate(0), sonquarry::Exception);
}

TEST_F(ScanLogTest, FailedLevelLineKeepsTheOldLevel) {
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll);
  L.SetFileName(Dir.string());
  L.SetLevel(1);
  EXPECT_EQ(L.Level(), llAll);
  ASSERT_EQ(L.Errors().size(), 1u);
}

TEST_F(ScanLogTest, EmptyFileNameWritesNothingAndTruncateDoesNothing) {
  TLog L;
  L.SetLevel(llAll);
  L.Add(0, "nowhere");
  L.SetLevel(1);
  EXPECT_EQ(L.Level(), 1);
  EXPECT_NO_THROW(L.Truncate(0));
  EXPECT_TRUE(L.Errors().empty());
  EXPECT_TRUE(fs::is_empty(Dir));
}

TEST_F(ScanLogTest, TextIsWrittenUnchanged) {
  TLog L;
  L.SetFileName(File);
  L.SetLevel(llAll);
  const std::string Text = "Resource \\\\PC1\\Müsik & #1 %s was filtered.";
  L.AddCont(llScan, Text);
  const auto Got = Lines(File);
  ASSERT_EQ(Got.size(), 1u);
  EXPECT_EQ(Got[0], std::string(22, ' ') + Text);
}

TEST_F(ScanLogTest, ControlCharactersOfANameStayInsideTheirLine) {
  TLog L;
  L.SetFileName(File);
  L.SetLevel(4);
  // LF, CR LF, ESC and the C1 CSI (U+009B) of a crafted remote name.
  L.AddCont(3, "\\\\PC\\S\\nl\nline\r\n\x1b[31mred\xc2\x9b"
               "2J.mp3");
  EXPECT_EQ(Lines(File),
            std::vector<std::string>{std::string(22, ' ') + "\\\\PC\\S\\nl?line???[31mred?2J.mp3"});
}

} // namespace
