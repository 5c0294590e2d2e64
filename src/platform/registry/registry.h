#pragma once
// The per-user registry. One hive file in the text format of Windows registry export files
// ("Windows Registry Editor Version 5.00") holds every key; key paths and value names compare
// without regard to ASCII case, and a key's values keep the order in which they were written.
//
// A TRegistry object is one short task: it reads the hive when it is created, works on that
// copy, and writes its changes back when it is released (or at Flush). The write takes a file
// lock, reads the hive again, replays this object's changes onto it and replaces the file
// atomically, so neither a crash nor a second instance leaves a half-written or clobbered hive.
// Deletions are replayed whether or not this object's copy held the key or value, so what a
// second instance created meanwhile is deleted too. A hive that does not parse is only read as
// empty; the first save keeps it as "registry.reg.bad" (".bad.2", ... when that exists) before
// it replaces it, so no earlier backup is overwritten.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sonquarry::registry {

// Windows value type codes, as they appear in hex(N) of an export file (named apart from the
// REG_* macros of the Windows headers).
constexpr uint32_t RegNone = 0;
constexpr uint32_t RegSz = 1;
constexpr uint32_t RegExpandSz = 2;
constexpr uint32_t RegBinary = 3;
constexpr uint32_t RegDword = 4;

enum class TRegDataType { rdUnknown, rdString, rdExpandString, rdInteger, rdBinary };

// The root keys a registry object can work below.
enum class TRegRoot { CurrentUser, ClassesRoot, LocalMachine, Users, CurrentConfig };

// Registry problems that reach no caller (a hive that does not parse and starts from defaults, a
// bad hive kept aside at a save, a hive that cannot be read, changes that could not be saved at
// release) are told through platform::Diagnostic at TDiagLevel::Act, one complete line each, on
// the thread that used the registry.

// Called after each piece of a hive has been written to the temporary file; fault tests use it
// to widen the window in which a crash lands inside a save.
void SetRegistryWriteHook(std::function<void(size_t BytesWritten)> Hook);

struct TRegValue {
  std::string Name;
  uint32_t Type = RegSz;
  std::string Str;          // RegSz and RegExpandSz, UTF-8 without NUL
  uint32_t Dword = 0;       // RegDword
  std::vector<uint8_t> Raw; // every other type, the bytes as stored
  bool operator==(const TRegValue &) const = default;
};

class TRegKey {
public:
  std::string Path; // full path with its root, as first written: "HKEY_CURRENT_USER\Software"
  std::vector<TRegValue> Values; // in the order written; change them only through THive

  const TRegValue *Find(std::string_view Name) const; // without regard to ASCII case
  bool operator==(const TRegKey &Other) const {
    return Path == Other.Path && Values == Other.Values;
  }

private:
  friend class THive;
  std::unordered_map<std::string, size_t> Index_; // lower-cased name -> position in Values
};

// The in-memory hive: the keys of an export file, with the parser and writer of its text.
class THive {
public:
  // Parses an export file (UTF-8 with or without BOM, or UTF-16LE with BOM; CRLF or LF).
  // Returns nothing and sets Error (with the line number) when the text does not parse.
  static std::optional<THive> Parse(std::string_view Text, std::string *Error = nullptr);
  // The export file text: UTF-8, CRLF line ends, keys in path order.
  std::string Serialize() const;

  // Paths here are full paths with the root name, e.g. "HKEY_CURRENT_USER\Software\X".
  bool KeyExists(const std::string &Path) const;
  const TRegKey *FindKey(const std::string &Path) const;
  const TRegKey &CreateKey(const std::string &Path); // with its missing parents
  bool DeleteKey(const std::string &Path);           // with its values and subkeys
  // Replaces the value in place when the name exists, else appends it; creates the key.
  void SetValue(const std::string &Path, const TRegValue &Value);
  bool DeleteValue(const std::string &Path, const std::string &Name);

  const std::map<std::string, TRegKey> &Keys() const { return Keys_; }
  bool operator==(const THive &) const = default;

private:
  TRegKey &MakeKey(const std::string &Path);
  std::map<std::string, TRegKey> Keys_; // by ASCII-lower-cased full path
};

class TRegistry {
public:
  // Works on the hive file of the current user: GetConfigDir() + "registry.reg".
  TRegistry();
  // Works on the given hive file; its folder holds the lock and the temporary file as well.
  explicit TRegistry(std::string HiveFile);
  // Writes pending changes; a failure is logged, since a destructor cannot report it.
  ~TRegistry();
  TRegistry(const TRegistry &) = delete;
  TRegistry &operator=(const TRegistry &) = delete;

  TRegRoot RootKey() const { return Root_; }
  void SetRootKey(TRegRoot Root); // closes the open key

  // A path beginning with a backslash is taken from the root, another one from the open key
  // (from the root when none is open). A trailing backslash is ignored.
  bool OpenKey(const std::string &Key, bool CanCreate);
  bool OpenKeyReadOnly(const std::string &Key);
  void CloseKey();
  bool HasCurrentKey() const { return Current_.has_value(); }
  std::string CurrentPath() const; // the open key below the root, without a leading backslash

  bool KeyExists(const std::string &Key) const;
  // False when this copy does not hold the key (the deletion is recorded all the same) or it is
  // the root.
  bool DeleteKey(const std::string &Key);

  // Value operations work on the open key; without one they raise an error.
  bool ValueExists(const std::string &Name) const;
  TRegDataType GetDataType(const std::string &Name) const; // rdUnknown for a missing value
  std::vector<std::string> GetValueNames() const;          // in the order they were written
  // Reads raise an error when the value is missing or stored with another type; a string
  // read accepts REG_SZ and REG_EXPAND_SZ.
  int32_t ReadInteger(const std::string &Name) const;
  bool ReadBool(const std::string &Name) const; // any non-zero DWORD is true
  std::string ReadString(const std::string &Name) const;
  // Writes raise an error without an open key, on a key opened read-only, and for a name
  // holding CR, LF or NUL (the hive's text cannot carry those).
  void WriteInteger(const std::string &Name, int32_t Value);
  void WriteBool(const std::string &Name, bool Value);                       // DWORD 0 or 1
  void WriteString(const std::string &Name, const std::string &Value);       // REG_SZ
  void WriteExpandString(const std::string &Name, const std::string &Value); // REG_EXPAND_SZ
  // False when this copy does not hold the value; the deletion is recorded all the same.
  bool DeleteValue(const std::string &Name);

  // Writes pending changes now; raises an error when the hive cannot be written (the changes
  // stay pending for a later attempt).
  void Flush();
  bool Modified() const { return !Journal_.empty(); }
  const std::string &HiveFile() const { return HiveFile_; }

private:
  struct TChange {
    enum Kind { CreateKey, DeleteKey, SetValue, DeleteValue } What;
    std::string Path;
    TRegValue Value; // SetValue: the value; DeleteValue: its name
  };

  std::optional<std::string> FullPath(const std::string &Key) const;
  const TRegValue *FindValue(const char *Routine, const std::string &Name) const;
  void SetValue(const char *Routine, TRegValue Value);
  void Apply(THive &Hive, const TChange &Change) const;
  void Record(TChange Change);

  std::string HiveFile_;
  THive Hive_;
  std::vector<TChange> Journal_;
  TRegRoot Root_ = TRegRoot::CurrentUser;
  std::optional<std::string> Current_; // full path of the open key
  bool ReadOnly_ = false;
};

// Closes the registry's open key on every way out of a scope.
class TRegKeyCloser {
public:
  explicit TRegKeyCloser(TRegistry &Reg) : Reg_(Reg) {}
  ~TRegKeyCloser() { Reg_.CloseKey(); }
  TRegKeyCloser(const TRegKeyCloser &) = delete;
  TRegKeyCloser &operator=(const TRegKeyCloser &) = delete;

private:
  TRegistry &Reg_;
};

// The name of a root as it stands in an export file, e.g. "HKEY_CURRENT_USER".
const char *RegRootName(TRegRoot Root);

} // namespace sonquarry::registry
