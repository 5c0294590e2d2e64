#include "engine/scan_log.h"

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/files/atomic_file.h"
#include "platform/os/errors.h"
#include "platform/os/exception.h"
#include "text/text.h"

namespace sonquarry {

TLog &Log = *new TLog;
std::mutex &ScanLogLock = *new std::mutex;

namespace {

using platform::ErrnoText;

} // namespace

TLog::~TLog() { CloseFile(); }

std::string TLog::TimeStamp() {
  const std::time_t Now = std::time(nullptr);
  std::tm Local{};
  localtime_r(&Now, &Local);
  char Buf[32];
  std::strftime(Buf, sizeof Buf, "%d.%m.%Y %H:%M:%S", &Local);
  return Buf;
}

void TLog::SetFileName(const std::string &Name) {
  if (Name == FileName_) return;
  CloseFile();
  FileName_ = Name;
}

void TLog::SetLevel(uint8_t NewLevel) {
  if (Level_ != llNone && Level_ != NewLevel) {
    try {
      WriteOne(TimeStamp() + " : " + "Изменен уровень записи информации на " +
               std::to_string(NewLevel) + ".");
    } catch (const Exception &E) {
      Errors_.push_back(E.what());
      return;
    }
  }
  Level_ = NewLevel;
}

void TLog::WriteOne(const std::string &Line) {
  OpenFile();
  std::string Failure;
  try {
    WriteLine(Line);
  } catch (const Exception &E) {
    Failure = E.what();
  }
  const int CloseErr = CloseFile();
  if (!Failure.empty()) throw Exception(Failure);
  if (CloseErr != 0)
    throw Exception("TLog.CloseFile: can not write " + FileName_ + ": " + ErrnoText(CloseErr));
}

void TLog::AddLine(int MsgLevel, const std::string &Line) {
  if (MsgLevel > Level_) return;
  try {
    WriteOne(Line);
  } catch (const Exception &E) {
    Errors_.push_back(E.what());
  }
}

void TLog::Add(int MsgLevel, const std::string &Text) {
  if (MsgLevel > Level_) return;
  AddLine(MsgLevel, TimeStamp() + " : " + Text);
}

void TLog::AddCont(int MsgLevel, const std::string &Text) {
  AddLine(MsgLevel, std::string(ContIndent, ' ') + Text);
}

void TLog::Truncate(std::uintmax_t Size) {
  OpenFile();
  if (!Stream_) return;
  std::error_code Ec;
  if (std::fflush(Stream_) != 0) Ec = std::error_code(errno, std::generic_category());
  // A device or a pipe has no size to set.
  if (!Ec && std::filesystem::is_regular_file(FileName_, Ec))
    std::filesystem::resize_file(FileName_, Size, Ec);
  const int CloseErr = CloseFile();
  if (!Ec && CloseErr != 0) Ec = std::error_code(CloseErr, std::generic_category());
  if (Ec)
    throw Exception("TLog.Truncate: can not set the size of " + FileName_ + ": " + Ec.message());
}

void TLog::OpenFile() {
  if (Stream_ || FileName_.empty()) return;
  // Appending creates a missing file; every write goes to the end.
  std::string Resolved;
  if (files::ResolveOwnLinks(FileName_, Resolved)) Stream_ = std::fopen(Resolved.c_str(), "ab");
  if (!Stream_)
    throw Exception("TLog.OpenFile: can not open " + FileName_ + ": " + ErrnoText(errno));
}

int TLog::CloseFile() noexcept {
  if (!Stream_) return 0;
  std::FILE *S = Stream_;
  Stream_ = nullptr;
  return std::fclose(S) == 0 ? 0 : errno;
}

void TLog::WriteLine(const std::string &Line) {
  if (!Stream_) return; // no file name: no log
  // A remote name with a line end or an escape sequence stays inside its line.
  const std::string Out = text::Printable(Line) + "\r\n";
  if (std::fwrite(Out.data(), 1, Out.size(), Stream_) != Out.size())
    throw Exception("TLog.Add: can not write " + FileName_ + ": " + ErrnoText(errno));
}

} // namespace sonquarry
