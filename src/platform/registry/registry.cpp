#include "platform/registry/registry.h"

#include "platform/atomic_file.h"

#include "platform/exception.h"
#include "platform/folders.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sonquarry::registry {

namespace {

const char *const kHeader = "Windows Registry Editor Version 5.00";

std::mutex LogMutex;
TRegistryLogHandler LogHandler;

void LogLine(const std::string &Line) {
  TRegistryLogHandler handler;
  {
    std::lock_guard<std::mutex> lock(LogMutex);
    handler = LogHandler;
  }
  if (handler) {
    handler(Line);
  } else {
    std::clog << Line << std::endl;
  }
}

char AsciiLower(char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C - 'A' + 'a') : C; }

std::string LowerAscii(std::string_view S) {
  std::string out(S);
  for (char &c : out) c = AsciiLower(c);
  return out;
}

bool SameText(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    if (AsciiLower(A[i]) != AsciiLower(B[i])) return false;
  }
  return true;
}

const TRegRoot kRoots[] = {TRegRoot::CurrentUser, TRegRoot::ClassesRoot, TRegRoot::LocalMachine,
                           TRegRoot::Users, TRegRoot::CurrentConfig};

// ---- UTF-8 / UTF-16LE ------------------------------------------------------------------------

void AppendUtf8(std::string &Out, uint32_t Cp) {
  if (Cp < 0x80) {
    Out += static_cast<char>(Cp);
  } else if (Cp < 0x800) {
    Out += static_cast<char>(0xC0 | (Cp >> 6));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else if (Cp < 0x10000) {
    Out += static_cast<char>(0xE0 | (Cp >> 12));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  } else {
    Out += static_cast<char>(0xF0 | (Cp >> 18));
    Out += static_cast<char>(0x80 | ((Cp >> 12) & 0x3F));
    Out += static_cast<char>(0x80 | ((Cp >> 6) & 0x3F));
    Out += static_cast<char>(0x80 | (Cp & 0x3F));
  }
}

// UTF-16LE bytes to UTF-8; stops at the first NUL unit; an odd last byte is ignored and an
// unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const uint8_t *Data, size_t Size, bool StopAtNul) {
  std::string out;
  const size_t units = Size / 2;
  for (size_t i = 0; i < units; ++i) {
    uint32_t u = Data[2 * i] | (Data[2 * i + 1] << 8);
    if (u == 0 && StopAtNul) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const uint32_t lo = Data[2 * i + 2] | (Data[2 * i + 3] << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

// UTF-8 to UTF-16LE bytes; a byte that does not start a valid sequence becomes U+FFFD.
std::vector<uint8_t> Utf8ToUtf16(std::string_view S) {
  std::vector<uint8_t> out;
  auto unit = [&out](uint32_t U) {
    out.push_back(static_cast<uint8_t>(U & 0xFF));
    out.push_back(static_cast<uint8_t>(U >> 8));
  };
  size_t i = 0;
  while (i < S.size()) {
    const auto b = static_cast<uint8_t>(S[i]);
    uint32_t cp = 0xFFFD;
    size_t len = 1;
    uint32_t min = 0;
    if (b < 0x80) {
      cp = b;
    } else if ((b & 0xE0) == 0xC0) {
      len = 2, cp = b & 0x1F, min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      len = 3, cp = b & 0x0F, min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      len = 4, cp = b & 0x07, min = 0x10000;
    } else {
      len = 0;
    }
    bool ok = len > 0 && i + len <= S.size();
    for (size_t k = 1; ok && k < len; ++k) {
      const auto c = static_cast<uint8_t>(S[i + k]);
      if ((c & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (len > 1 && ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) {
      ok = false;
    }
    if (!ok) {
      cp = 0xFFFD;
      len = 1;
    }
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

// ---- parsing ---------------------------------------------------------------------------------

struct TParseError {
  std::string Message;
};

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

std::string_view TrimLeft(std::string_view S) {
  while (!S.empty() && IsBlank(S.front())) S.remove_prefix(1);
  return S;
}

std::string_view TrimRight(std::string_view S) {
  while (!S.empty() && IsBlank(S.back())) S.remove_suffix(1);
  return S;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool HasLineBreakOrNul(std::string_view S) {
  return S.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// A quoted string at the start of S (which begins with '"'); "\\" and "\"" are the escapes, any
// other backslash stands for itself. S is left after the closing quote.
std::string ParseQuoted(std::string_view &S) {
  std::string out;
  size_t i = 1;
  for (;;) {
    if (i >= S.size()) throw TParseError{"missing closing quote"};
    const char c = S[i];
    if (c == '"') break;
    if (c == '\0' || c == '\r') throw TParseError{"control character in a quoted string"};
    if (c == '\\' && i + 1 < S.size() && (S[i + 1] == '\\' || S[i + 1] == '"')) {
      out += S[i + 1];
      i += 2;
      continue;
    }
    out += c;
    ++i;
  }
  S.remove_prefix(i + 1);
  return out;
}

class TParser {
public:
  explicit TParser(std::string_view Text) {
    size_t pos = 0;
    while (pos <= Text.size()) {
      size_t end = Text.find('\n', pos);
      if (end == std::string_view::npos) end = Text.size();
      std::string_view line = Text.substr(pos, end - pos);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      Lines_.push_back(line);
      pos = end + 1;
    }
  }

  THive Run() {
    THive hive;
    size_t i = 0;
    while (i < Lines_.size() && TrimRight(TrimLeft(Lines_[i])).empty()) ++i;
    if (i == Lines_.size() || TrimRight(TrimLeft(Lines_[i])) != kHeader) {
      Line_ = i + 1;
      throw TParseError{"missing header line"};
    }
    std::optional<std::string> key; // section whose values follow; none after a deletion
    bool inSection = false;
    for (++i; i < Lines_.size(); ++i) {
      Line_ = i + 1;
      std::string_view line = TrimRight(TrimLeft(Lines_[i]));
      if (line.empty() || line.front() == ';') continue;
      if (line.front() == '[') {
        if (line.back() != ']' || line.size() < 3) throw TParseError{"malformed key line"};
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool remove = inner.front() == '-';
        if (remove) inner.remove_prefix(1);
        const std::string path = NormalizeKeyPath(inner);
        inSection = true;
        if (remove) {
          hive.DeleteKey(path);
          key.reset();
        } else {
          hive.CreateKey(path);
          key = path;
        }
        continue;
      }
      if (!inSection) throw TParseError{"value outside a key"};
      if (!key) throw TParseError{"value in a deleted key"};
      ParseValueLine(hive, *key, line, i);
    }
    return hive;
  }

  size_t Line() const { return Line_; }

private:
  // "HKEY_CURRENT_USER\a\b" with the root's canonical spelling; empty components are refused.
  static std::string NormalizeKeyPath(std::string_view Inner) {
    if (!Inner.empty() && Inner.back() == '\\') Inner.remove_suffix(1);
    const size_t sep = Inner.find('\\');
    const std::string_view root = Inner.substr(0, sep);
    const char *rootName = nullptr;
    for (TRegRoot r : kRoots) {
      if (SameText(root, RegRootName(r))) rootName = RegRootName(r);
    }
    if (!rootName) throw TParseError{"unknown root key"};
    std::string path = rootName;
    if (sep == std::string_view::npos) return path;
    std::string_view rest = Inner.substr(sep + 1);
    size_t pos = 0;
    for (;;) {
      const size_t next = rest.find('\\', pos);
      const std::string_view part =
          rest.substr(pos, next == std::string_view::npos ? next : next - pos);
      if (part.empty()) throw TParseError{"empty key name in a path"};
      path += '\\';
      path += part;
      if (next == std::string_view::npos) break;
      pos = next + 1;
    }
    return path;
  }

  void ParseValueLine(THive &Hive, const std::string &Key, std::string_view Line, size_t &Index) {
    TRegValue value;
    if (Line.front() == '@') {
      Line.remove_prefix(1);
    } else if (Line.front() == '"') {
      value.Name = ParseQuoted(Line);
    } else {
      throw TParseError{"malformed value line"};
    }
    Line = TrimLeft(Line);
    if (Line.empty() || Line.front() != '=') throw TParseError{"missing '=' after a value name"};
    Line = TrimLeft(Line.substr(1));
    if (Line.empty()) throw TParseError{"missing value data"};
    if (Line.front() == '"') {
      value.Type = RegSz;
      value.Str = ParseQuoted(Line);
      if (!TrimLeft(Line).empty()) throw TParseError{"text after a quoted string"};
      Hive.SetValue(Key, value);
      return;
    }
    if (Line == "-") {
      Hive.DeleteValue(Key, value.Name);
      return;
    }
    if (Line.size() >= 6 && SameText(Line.substr(0, 6), "dword:")) {
      const std::string_view digits = Line.substr(6);
      if (digits.empty() || digits.size() > 8) throw TParseError{"malformed dword"};
      uint32_t v = 0;
      for (char c : digits) {
        const int d = HexDigit(c);
        if (d < 0) throw TParseError{"malformed dword"};
        v = (v << 4) | static_cast<uint32_t>(d);
      }
      value.Type = RegDword;
      value.Dword = v;
      Hive.SetValue(Key, value);
      return;
    }
    if (Line.size() < 4 || !SameText(Line.substr(0, 3), "hex")) {
      throw TParseError{"unknown value data"};
    }
    Line.remove_prefix(3);
    uint32_t type = RegBinary;
    if (Line.front() == '(') {
      const size_t close = Line.find(')');
      if (close == std::string_view::npos || close < 2 || close > 9) {
        throw TParseError{"malformed hex type"};
      }
      type = 0;
      for (char c : Line.substr(1, close - 1)) {
        const int d = HexDigit(c);
        if (d < 0) throw TParseError{"malformed hex type"};
        type = (type << 4) | static_cast<uint32_t>(d);
      }
      Line.remove_prefix(close + 1);
    }
    if (Line.empty() || Line.front() != ':') throw TParseError{"missing ':' after hex"};
    Line.remove_prefix(1);
    const std::vector<uint8_t> bytes = ParseHexBytes(Line, Index);
    value.Type = type;
    if (type == RegSz || type == RegExpandSz) {
      value.Str = Utf16ToUtf8(bytes.data(), bytes.size(), true);
    } else if (type == RegDword) {
      if (bytes.size() != 4) throw TParseError{"a DWORD needs four bytes"};
      value.Dword = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (uint32_t(bytes[3]) << 24);
    } else {
      value.Raw = bytes;
    }
    Hive.SetValue(Key, value);
  }

  // "xx,xx,..." where a line ending in a backslash continues on the next line.
  std::vector<uint8_t> ParseHexBytes(std::string_view Rest, size_t &Index) {
    std::vector<uint8_t> out;
    Rest = TrimLeft(Rest);
    for (;;) {
      if (Rest == "\\") {
        if (++Index >= Lines_.size()) throw TParseError{"continuation at the end of the file"};
        Line_ = Index + 1;
        Rest = TrimRight(TrimLeft(Lines_[Index]));
        continue;
      }
      if (Rest.empty()) break;
      size_t n = 0;
      int v = 0;
      while (n < Rest.size() && n < 3 && HexDigit(Rest[n]) >= 0) v = v * 16 + HexDigit(Rest[n++]);
      if (n == 0 || n > 2) throw TParseError{"malformed hex byte"};
      out.push_back(static_cast<uint8_t>(v));
      Rest = TrimLeft(Rest.substr(n));
      if (Rest.empty()) break;
      if (Rest.front() != ',') throw TParseError{"missing ',' between hex bytes"};
      Rest = TrimLeft(Rest.substr(1));
    }
    return out;
  }

  std::vector<std::string_view> Lines_;
  size_t Line_ = 0;
};

// ---- writing ---------------------------------------------------------------------------------

std::string Quote(std::string_view S) {
  std::string out = "\"";
  for (char c : S) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

// Appends "hex(N):xx,xx,..." wrapped as regedit does: lines of at most 80 characters, each
// broken line ending in ",\" and the next one indented by two spaces.
void AppendHex(std::string &Out, size_t LineStart, const std::string &Prefix,
               const std::vector<uint8_t> &Bytes) {
  static const char digits[] = "0123456789abcdef";
  Out += Prefix;
  for (size_t i = 0; i < Bytes.size(); ++i) {
    if (i > 0) {
      Out += ',';
      if (Out.size() - LineStart + 3 > 78) {
        Out += "\\\r\n  ";
        LineStart = Out.size() - 2;
      }
    }
    Out += digits[Bytes[i] >> 4];
    Out += digits[Bytes[i] & 0xF];
  }
}

std::string HexType(uint32_t Type) {
  if (Type == RegBinary) return "hex:";
  char buf[20];
  std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(Type));
  return buf;
}

void AppendValue(std::string &Out, const TRegValue &V) {
  const size_t lineStart = Out.size();
  Out += V.Name.empty() ? std::string("@") : Quote(V.Name);
  Out += '=';
  if (V.Type == RegSz && !HasLineBreakOrNul(V.Str)) {
    Out += Quote(V.Str);
  } else if (V.Type == RegSz || V.Type == RegExpandSz) {
    std::vector<uint8_t> bytes = Utf8ToUtf16(V.Str);
    bytes.push_back(0);
    bytes.push_back(0);
    AppendHex(Out, lineStart, HexType(V.Type), bytes);
  } else if (V.Type == RegDword) {
    char buf[20];
    std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(V.Dword));
    Out += buf;
  } else {
    AppendHex(Out, lineStart, HexType(V.Type), V.Raw);
  }
  Out += "\r\n";
}

// ---- files -----------------------------------------------------------------------------------

std::string ErrnoText(int Err) { return std::strerror(Err); }

// Reads the whole file; nothing when it does not exist; raises on other failures.
std::optional<std::string> ReadWholeFile(const std::string &Path) {
  const int fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(errno) + ".");
  }
  std::string data;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      throw Exception("TRegistry: cannot read " + Path + ": " + ErrnoText(err) + ".");
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return data;
}

std::string DirOf(const std::string &Path) {
  const size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return Path.substr(0, slash);
}

class TFileLock {
public:
  explicit TFileLock(const std::string &LockFile) {
    Fd_ = ::open(LockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (Fd_ < 0) {
      throw Exception("TRegistry: cannot open the lock " + LockFile + ": " + ErrnoText(errno) +
                      ".");
    }
    while (::flock(Fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        const int err = errno;
        ::close(Fd_);
        throw Exception("TRegistry: cannot lock " + LockFile + ": " + ErrnoText(err) + ".");
      }
    }
  }
  ~TFileLock() { ::close(Fd_); } // closing drops the lock
  TFileLock(const TFileLock &) = delete;
  TFileLock &operator=(const TFileLock &) = delete;

private:
  int Fd_ = -1;
};

std::function<void(size_t)> WriteHook; // set only by fault tests

// Replaces Path by Data through a temporary file in the same folder, flushed and renamed over it.
void ReplaceFile(const std::string &Path, const std::string &Data) {
  platform::TAtomicFile file;
  if (!file.Open(Path, 0600)) {
    throw Exception("TRegistry: cannot create a temporary file for " + Path + ": " +
                    ErrnoText(errno) + ".");
  }
  constexpr size_t kPiece = 16384;
  for (size_t done = 0; done < Data.size();) {
    const size_t n = std::min(kPiece, Data.size() - done);
    if (!file.Write(Data.data() + done, n)) {
      throw Exception("TRegistry: cannot write " + file.TempName() + ": " + ErrnoText(errno) + ".");
    }
    done += n;
    if (WriteHook) WriteHook(done);
  }
  if (!file.Commit()) {
    throw Exception("TRegistry: cannot replace " + Path + ": " + ErrnoText(errno) + ".");
  }
}

// Tells once per state of the file (size and time) that the hive does not parse: every registry
// object of a session reads it again.
void ReportUnparsable(const std::string &Path, const std::string &Error) {
  struct stat st;
  std::string state = Path;
  if (::stat(Path.c_str(), &st) == 0) {
    state += ' ' + std::to_string(st.st_size) + ' ' + std::to_string(st.st_mtim.tv_sec) + '.' +
             std::to_string(st.st_mtim.tv_nsec);
  }
  {
    static std::string reported;
    std::lock_guard<std::mutex> lock(LogMutex);
    if (reported == state) return;
    reported = state;
  }
  LogLine("Registry: " + Path + " could not be parsed (" + Error +
          "); the settings start from their defaults, and the file is kept as " + Path +
          ".bad when settings are next saved.");
}

// Parses the hive file for a save (the caller holds the lock). A file that does not parse is
// first kept under a free ".bad" name; the save then starts from an empty hive. Raises when the
// file cannot be read or kept.
THive LoadHiveForSave(const std::string &Path) {
  const std::optional<std::string> text = ReadWholeFile(Path);
  if (!text) return THive();
  std::string error;
  if (std::optional<THive> hive = THive::Parse(*text, &error)) return std::move(*hive);
  const std::string bad = platform::KeepBackup(Path, ".bad");
  if (bad.empty()) {
    throw Exception("TRegistry: " + Path + " could not be parsed (" + error +
                    ") nor kept aside: " + ErrnoText(errno) + ".");
  }
  LogLine("Registry: " + Path + " could not be parsed (" + error + "); it was kept as " + bad +
          " and replaced by the settings saved now.");
  return THive();
}

} // namespace

void SetRegistryWriteHook(std::function<void(size_t BytesWritten)> Hook) {
  WriteHook = std::move(Hook);
}

void SetRegistryLogHandler(TRegistryLogHandler Handler) {
  std::lock_guard<std::mutex> lock(LogMutex);
  LogHandler = std::move(Handler);
}

const char *RegRootName(TRegRoot Root) {
  switch (Root) {
  case TRegRoot::CurrentUser:
    return "HKEY_CURRENT_USER";
  case TRegRoot::ClassesRoot:
    return "HKEY_CLASSES_ROOT";
  case TRegRoot::LocalMachine:
    return "HKEY_LOCAL_MACHINE";
  case TRegRoot::Users:
    return "HKEY_USERS";
  case TRegRoot::CurrentConfig:
    return "HKEY_CURRENT_CONFIG";
  }
  return "HKEY_CURRENT_USER";
}

// ---- THive -----------------------------------------------------------------------------------

std::optional<THive> THive::Parse(std::string_view Text, std::string *Error) {
  std::string converted;
  if (Text.size() >= 2 && static_cast<uint8_t>(Text[0]) == 0xFF &&
      static_cast<uint8_t>(Text[1]) == 0xFE) {
    converted =
        Utf16ToUtf8(reinterpret_cast<const uint8_t *>(Text.data()) + 2, Text.size() - 2, false);
    Text = converted;
  } else if (Text.size() >= 3 && Text.substr(0, 3) == "\xEF\xBB\xBF") {
    Text.remove_prefix(3);
  }
  TParser parser(Text);
  try {
    return parser.Run();
  } catch (const TParseError &e) {
    if (Error) *Error = "line " + std::to_string(parser.Line()) + ": " + e.Message;
    return std::nullopt;
  }
}

std::string THive::Serialize() const {
  std::string out = kHeader;
  out += "\r\n\r\n";
  for (const auto &[lower, key] : Keys_) {
    // An empty root with keys below it comes back by itself when they are read.
    if (key.Values.empty() && key.Path.find('\\') == std::string::npos) {
      const auto below = Keys_.lower_bound(lower + '\\');
      if (below != Keys_.end() && below->first.compare(0, lower.size() + 1, lower + '\\') == 0) {
        continue;
      }
    }
    out += '[';
    out += key.Path;
    out += "]\r\n";
    for (const TRegValue &v : key.Values) AppendValue(out, v);
    out += "\r\n";
  }
  return out;
}

bool THive::KeyExists(const std::string &Path) const { return FindKey(Path) != nullptr; }

const TRegKey *THive::FindKey(const std::string &Path) const {
  const auto it = Keys_.find(LowerAscii(Path));
  return it == Keys_.end() ? nullptr : &it->second;
}

const TRegKey &THive::CreateKey(const std::string &Path) { return MakeKey(Path); }

TRegKey &THive::MakeKey(const std::string &Path) {
  // Parents first, so that every prefix of an existing key exists too; a new key takes the
  // spelling of its existing parents.
  std::string display;
  TRegKey *key = nullptr;
  size_t start = 0;
  for (;;) {
    const size_t sep = Path.find('\\', start);
    const std::string part = Path.substr(start, sep == std::string::npos ? sep : sep - start);
    display = display.empty() ? part : display + '\\' + part;
    auto [it, added] = Keys_.try_emplace(LowerAscii(display));
    if (added) it->second.Path = display;
    key = &it->second;
    display = key->Path;
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
  return *key;
}

bool THive::DeleteKey(const std::string &Path) {
  const std::string lower = LowerAscii(Path);
  if (Keys_.erase(lower) == 0) return false;
  // The subkeys share the prefix, so they stand together in the sorted map.
  const std::string prefix = lower + '\\';
  auto it = Keys_.lower_bound(prefix);
  while (it != Keys_.end() && it->first.compare(0, prefix.size(), prefix) == 0) {
    it = Keys_.erase(it);
  }
  return true;
}

void THive::SetValue(const std::string &Path, const TRegValue &Value) {
  const auto found = Keys_.find(LowerAscii(Path));
  TRegKey &key = found != Keys_.end() ? found->second : MakeKey(Path);
  auto [it, added] = key.Index_.try_emplace(LowerAscii(Value.Name), key.Values.size());
  if (added) {
    key.Values.push_back(Value);
    return;
  }
  TRegValue &v = key.Values[it->second];
  const std::string name = v.Name; // the first spelling of the name stays
  v = Value;
  v.Name = name;
}

bool THive::DeleteValue(const std::string &Path, const std::string &Name) {
  const auto it = Keys_.find(LowerAscii(Path));
  if (it == Keys_.end()) return false;
  TRegKey &key = it->second;
  const auto pos = key.Index_.find(LowerAscii(Name));
  if (pos == key.Index_.end()) return false;
  key.Values.erase(key.Values.begin() + static_cast<std::ptrdiff_t>(pos->second));
  key.Index_.clear();
  for (size_t i = 0; i < key.Values.size(); ++i)
    key.Index_.emplace(LowerAscii(key.Values[i].Name), i);
  return true;
}

const TRegValue *TRegKey::Find(std::string_view Name) const {
  const auto it = Index_.find(LowerAscii(Name));
  return it == Index_.end() ? nullptr : &Values[it->second];
}

// ---- TRegistry -------------------------------------------------------------------------------

TRegistry::TRegistry() : TRegistry(platform::GetConfigDir() + "registry.reg") {}

TRegistry::TRegistry(std::string HiveFile) : HiveFile_(std::move(HiveFile)) {
  try {
    const std::optional<std::string> text = ReadWholeFile(HiveFile_);
    if (text) {
      std::string error;
      if (std::optional<THive> hive = THive::Parse(*text, &error))
        Hive_ = std::move(*hive);
      else
        ReportUnparsable(HiveFile_, error); // left as it is until a save
    }
  } catch (const Exception &e) {
    LogLine(std::string("Registry: ") + e.what() + " The settings start from their defaults.");
    Hive_ = THive();
  }
}

TRegistry::~TRegistry() {
  try {
    Flush();
  } catch (const std::exception &e) {
    LogLine(std::string("Registry: changes were not saved: ") + e.what());
  }
}

void TRegistry::SetRootKey(TRegRoot Root) {
  CloseKey();
  Root_ = Root;
}

std::optional<std::string> TRegistry::FullPath(const std::string &Key) const {
  std::string_view rel = Key;
  std::string path;
  if (!rel.empty() && rel.front() == '\\') {
    rel.remove_prefix(1);
    path = RegRootName(Root_);
  } else {
    path = Current_ ? *Current_ : std::string(RegRootName(Root_));
  }
  if (!rel.empty() && rel.back() == '\\') rel.remove_suffix(1);
  if (rel.empty()) return path;
  if (HasLineBreakOrNul(rel)) return std::nullopt;
  size_t pos = 0;
  for (;;) {
    const size_t next = rel.find('\\', pos);
    const std::string_view part =
        rel.substr(pos, next == std::string_view::npos ? next : next - pos);
    if (part.empty()) return std::nullopt;
    path += '\\';
    path += part;
    if (next == std::string_view::npos) break;
    pos = next + 1;
  }
  return path;
}

bool TRegistry::OpenKey(const std::string &Key, bool CanCreate) {
  const std::optional<std::string> path = FullPath(Key);
  CloseKey();
  if (!path) return false;
  if (!Hive_.KeyExists(*path)) {
    if (!CanCreate) return false;
    Record({TChange::CreateKey, *path, {}});
  }
  Current_ = Hive_.FindKey(*path)->Path;
  ReadOnly_ = false;
  return true;
}

bool TRegistry::OpenKeyReadOnly(const std::string &Key) {
  const std::optional<std::string> path = FullPath(Key);
  CloseKey();
  if (!path || !Hive_.KeyExists(*path)) return false;
  Current_ = Hive_.FindKey(*path)->Path;
  ReadOnly_ = true;
  return true;
}

void TRegistry::CloseKey() {
  Current_.reset();
  ReadOnly_ = false;
}

std::string TRegistry::CurrentPath() const {
  if (!Current_) return std::string();
  const size_t sep = Current_->find('\\');
  return sep == std::string::npos ? std::string() : Current_->substr(sep + 1);
}

bool TRegistry::KeyExists(const std::string &Key) const {
  const std::optional<std::string> path = FullPath(Key);
  return path && Hive_.KeyExists(*path);
}

bool TRegistry::DeleteKey(const std::string &Key) {
  const std::optional<std::string> path = FullPath(Key);
  if (!path || path->find('\\') == std::string::npos) return false;
  const bool existed = Hive_.KeyExists(*path);
  if (Current_) {
    const std::string cur = LowerAscii(*Current_);
    const std::string del = LowerAscii(*path);
    if (cur == del || cur.compare(0, del.size() + 1, del + '\\') == 0) CloseKey();
  }
  // Recorded also when this copy does not hold the key: another instance may have made it.
  Record({TChange::DeleteKey, *path, {}});
  return existed;
}

const TRegValue *TRegistry::FindValue(const char *Routine, const std::string &Name) const {
  if (!Current_) throw Exception(std::string(Routine) + ": no key is open.");
  const TRegKey *key = Hive_.FindKey(*Current_);
  return key ? key->Find(Name) : nullptr;
}

bool TRegistry::ValueExists(const std::string &Name) const {
  return FindValue("TRegistry.ValueExists", Name) != nullptr;
}

TRegDataType TRegistry::GetDataType(const std::string &Name) const {
  const TRegValue *v = FindValue("TRegistry.GetDataType", Name);
  if (!v) return TRegDataType::rdUnknown;
  switch (v->Type) {
  case RegSz:
    return TRegDataType::rdString;
  case RegExpandSz:
    return TRegDataType::rdExpandString;
  case RegDword:
    return TRegDataType::rdInteger;
  case RegBinary:
    return TRegDataType::rdBinary;
  default:
    return TRegDataType::rdUnknown;
  }
}

std::vector<std::string> TRegistry::GetValueNames() const {
  if (!Current_) throw Exception("TRegistry.GetValueNames: no key is open.");
  std::vector<std::string> names;
  if (const TRegKey *key = Hive_.FindKey(*Current_)) {
    for (const TRegValue &v : key->Values) names.push_back(v.Name);
  }
  return names;
}

int32_t TRegistry::ReadInteger(const std::string &Name) const {
  const TRegValue *v = FindValue("TRegistry.ReadInteger", Name);
  if (!v) throw Exception("TRegistry.ReadInteger: value '" + Name + "' does not exist.");
  if (v->Type != RegDword) {
    throw Exception("TRegistry.ReadInteger: invalid data type for '" + Name + "'.");
  }
  return static_cast<int32_t>(v->Dword);
}

bool TRegistry::ReadBool(const std::string &Name) const {
  const TRegValue *v = FindValue("TRegistry.ReadBool", Name);
  if (!v) throw Exception("TRegistry.ReadBool: value '" + Name + "' does not exist.");
  if (v->Type != RegDword) {
    throw Exception("TRegistry.ReadBool: invalid data type for '" + Name + "'.");
  }
  return v->Dword != 0;
}

std::string TRegistry::ReadString(const std::string &Name) const {
  const TRegValue *v = FindValue("TRegistry.ReadString", Name);
  if (!v) throw Exception("TRegistry.ReadString: value '" + Name + "' does not exist.");
  if (v->Type != RegSz && v->Type != RegExpandSz) {
    throw Exception("TRegistry.ReadString: invalid data type for '" + Name + "'.");
  }
  return v->Str;
}

void TRegistry::SetValue(const char *Routine, TRegValue Value) {
  if (!Current_) throw Exception(std::string(Routine) + ": no key is open.");
  if (ReadOnly_) throw Exception(std::string(Routine) + ": the key is open read-only.");
  if (HasLineBreakOrNul(Value.Name)) {
    throw Exception(std::string(Routine) + ": invalid value name.");
  }
  const TChange change{TChange::SetValue, *Current_, std::move(Value)};
  Record(change);
}

void TRegistry::WriteInteger(const std::string &Name, int32_t Value) {
  TRegValue v;
  v.Name = Name;
  v.Type = RegDword;
  v.Dword = static_cast<uint32_t>(Value);
  SetValue("TRegistry.WriteInteger", std::move(v));
}

void TRegistry::WriteBool(const std::string &Name, bool Value) {
  TRegValue v;
  v.Name = Name;
  v.Type = RegDword;
  v.Dword = Value ? 1 : 0;
  SetValue("TRegistry.WriteBool", std::move(v));
}

void TRegistry::WriteString(const std::string &Name, const std::string &Value) {
  TRegValue v;
  v.Name = Name;
  v.Type = RegSz;
  v.Str = Value.substr(0, Value.find('\0')); // the string ends at a NUL, as a C string does
  SetValue("TRegistry.WriteString", std::move(v));
}

void TRegistry::WriteExpandString(const std::string &Name, const std::string &Value) {
  TRegValue v;
  v.Name = Name;
  v.Type = RegExpandSz;
  v.Str = Value.substr(0, Value.find('\0'));
  SetValue("TRegistry.WriteExpandString", std::move(v));
}

bool TRegistry::DeleteValue(const std::string &Name) {
  if (!Current_) throw Exception("TRegistry.DeleteValue: no key is open.");
  if (ReadOnly_) throw Exception("TRegistry.DeleteValue: the key is open read-only.");
  const bool existed = FindValue("TRegistry.DeleteValue", Name) != nullptr;
  // Recorded also when this copy does not hold the value: another instance may have written it.
  TChange change{TChange::DeleteValue, *Current_, {}};
  change.Value.Name = Name;
  Record(std::move(change));
  return existed;
}

void TRegistry::Apply(THive &Hive, const TChange &Change) const {
  switch (Change.What) {
  case TChange::CreateKey:
    Hive.CreateKey(Change.Path);
    break;
  case TChange::DeleteKey:
    Hive.DeleteKey(Change.Path);
    break;
  case TChange::SetValue:
    Hive.SetValue(Change.Path, Change.Value);
    break;
  case TChange::DeleteValue:
    Hive.DeleteValue(Change.Path, Change.Value.Name);
    break;
  }
}

void TRegistry::Record(TChange Change) {
  Apply(Hive_, Change);
  Journal_.push_back(std::move(Change));
}

void TRegistry::Flush() {
  if (Journal_.empty()) return;
  const std::string dir = DirOf(HiveFile_);
  if (!platform::ForceDirectories(dir)) {
    throw Exception("TRegistry.Flush: cannot create " + dir + ": " + ErrnoText(errno) + ".");
  }
  TFileLock lock(HiveFile_ + ".lock");
  // Another instance may have saved since this one read the hive: replay onto its state.
  THive merged = LoadHiveForSave(HiveFile_);
  for (const TChange &c : Journal_) Apply(merged, c);
  ReplaceFile(HiveFile_, merged.Serialize());
  Hive_ = std::move(merged);
  Journal_.clear();
}

} // namespace sonquarry::registry
