#include "platform/registry/reg_format.h"

#include "text/text.h"
#include "text/utf8_text.h"

#include <cstdint>
#include <vector>

namespace sonquarry::registry {

namespace {

using text::AppendUtf8;
using text::AsciiLower;

constexpr std::string_view Blanks = " \t";

const char *const kHeader = "Windows Registry Editor Version 5.00";

bool SameAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i) {
    if (AsciiLower(A[i]) != AsciiLower(B[i])) return false;
  }
  return true;
}

const TRegRoot kRoots[] = {TRegRoot::CurrentUser, TRegRoot::ClassesRoot, TRegRoot::LocalMachine,
                           TRegRoot::Users, TRegRoot::CurrentConfig};

// ---- UTF-8 / UTF-16LE ------------------------------------------------------------------------

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

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
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
    while (i < Lines_.size() && text::Trim(Lines_[i], Blanks).empty()) ++i;
    if (i == Lines_.size() || text::Trim(Lines_[i], Blanks) != kHeader) {
      Line_ = i + 1;
      throw TParseError{"missing header line"};
    }
    std::optional<std::string> key; // section whose values follow; none after a deletion
    bool inSection = false;
    for (++i; i < Lines_.size(); ++i) {
      Line_ = i + 1;
      std::string_view line = text::Trim(Lines_[i], Blanks);
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
      if (SameAscii(root, RegRootName(r))) rootName = RegRootName(r);
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
    Line = text::TrimLeft(Line, Blanks);
    if (Line.empty() || Line.front() != '=') throw TParseError{"missing '=' after a value name"};
    Line = text::TrimLeft(Line.substr(1), Blanks);
    if (Line.empty()) throw TParseError{"missing value data"};
    if (Line.front() == '"') {
      value.Type = RegSz;
      value.Str = ParseQuoted(Line);
      if (!text::TrimLeft(Line, Blanks).empty()) throw TParseError{"text after a quoted string"};
      Hive.SetValue(Key, value);
      return;
    }
    if (Line == "-") {
      Hive.DeleteValue(Key, value.Name);
      return;
    }
    if (Line.size() >= 6 && SameAscii(Line.substr(0, 6), "dword:")) {
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
    if (Line.size() < 4 || !SameAscii(Line.substr(0, 3), "hex")) {
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
    Rest = text::TrimLeft(Rest, Blanks);
    for (;;) {
      if (Rest == "\\") {
        if (++Index >= Lines_.size()) throw TParseError{"continuation at the end of the file"};
        Line_ = Index + 1;
        Rest = text::Trim(Lines_[Index], Blanks);
        continue;
      }
      if (Rest.empty()) break;
      size_t n = 0;
      int v = 0;
      while (n < Rest.size() && n < 3 && HexDigit(Rest[n]) >= 0) v = v * 16 + HexDigit(Rest[n++]);
      if (n == 0 || n > 2) throw TParseError{"malformed hex byte"};
      out.push_back(static_cast<uint8_t>(v));
      Rest = text::TrimLeft(Rest.substr(n), Blanks);
      if (Rest.empty()) break;
      if (Rest.front() != ',') throw TParseError{"missing ',' between hex bytes"};
      Rest = text::TrimLeft(Rest.substr(1), Blanks);
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

} // namespace

bool HasLineBreakOrNul(std::string_view S) {
  return S.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
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

} // namespace sonquarry::registry
