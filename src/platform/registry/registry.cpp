#include "platform/registry/registry.h"

#include "platform/os/errors.h"
#include "platform/registry/reg_format.h"
#include "text/text.h"

#include "platform/files/atomic_file.h"
#include "platform/files/folders.h"
#include "platform/os/diag.h"
#include "platform/os/exception.h"

#include "platform/registry/hive_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace sonquarry::registry {

namespace {

using platform::DirOf;
using platform::ErrnoText;
using text::AsciiLower;

std::mutex LogMutex;

// The hive's problems reach no caller: the user hears of them through the program's diagnostics.
void LogLine(const std::string &Line) { platform::Diagnostic(Line, platform::TDiagLevel::Act); }

// ---- files -----------------------------------------------------------------------------------

std::function<void(size_t)> WriteHook; // set only by fault tests

// Replaces Path by Data through a temporary file in the same folder, flushed and renamed over it.
void ReplaceFile(const std::string &Path, const std::string &Data) {
  files::TAtomicFile file;
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
  const std::string state = Path + ' ' + FileState(Path);
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
  const std::string bad = files::KeepBackup(Path, ".bad");
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

bool THive::KeyExists(const std::string &Path) const { return FindKey(Path) != nullptr; }

const TRegKey *THive::FindKey(const std::string &Path) const {
  const auto it = Keys_.find(AsciiLower(Path));
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
    auto [it, added] = Keys_.try_emplace(AsciiLower(display));
    if (added) it->second.Path = display;
    key = &it->second;
    display = key->Path;
    if (sep == std::string::npos) break;
    start = sep + 1;
  }
  return *key;
}

bool THive::DeleteKey(const std::string &Path) {
  const std::string lower = AsciiLower(Path);
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
  const auto found = Keys_.find(AsciiLower(Path));
  TRegKey &key = found != Keys_.end() ? found->second : MakeKey(Path);
  auto [it, added] = key.Index_.try_emplace(AsciiLower(Value.Name), key.Values.size());
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
  const auto it = Keys_.find(AsciiLower(Path));
  if (it == Keys_.end()) return false;
  TRegKey &key = it->second;
  const auto pos = key.Index_.find(AsciiLower(Name));
  if (pos == key.Index_.end()) return false;
  key.Values.erase(key.Values.begin() + static_cast<std::ptrdiff_t>(pos->second));
  key.Index_.clear();
  for (size_t i = 0; i < key.Values.size(); ++i)
    key.Index_.emplace(AsciiLower(key.Values[i].Name), i);
  return true;
}

const TRegValue *TRegKey::Find(std::string_view Name) const {
  const auto it = Index_.find(AsciiLower(Name));
  return it == Index_.end() ? nullptr : &Values[it->second];
}

// ---- TRegistry -------------------------------------------------------------------------------

TRegistry::TRegistry() : TRegistry(DefaultHiveFile()) {}

TRegistry::TRegistry(std::string HiveFile) : HiveFile_(std::move(HiveFile)) {
  try {
    if (IsSystemRegistry(HiveFile_)) {
      Hive_ = ReadSystemRegistry();
      return;
    }
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
    const std::string cur = AsciiLower(*Current_);
    const std::string del = AsciiLower(*path);
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
  if (IsSystemRegistry(HiveFile_)) {
    for (const TChange &c : Journal_) {
      if (c.What == TChange::CreateKey) SystemCreateKey(c.Path);
      if (c.What == TChange::DeleteKey) SystemDeleteKey(c.Path);
      if (c.What == TChange::SetValue) SystemSetValue(c.Path, c.Value);
      if (c.What == TChange::DeleteValue) SystemDeleteValue(c.Path, c.Value.Name);
    }
    Journal_.clear();
    Hive_ = ReadSystemRegistry();
    return;
  }
  const std::string dir = DirOf(HiveFile_);
  if (!files::ForceDirectories(dir)) {
    throw Exception("TRegistry.Flush: cannot create " + dir + ": " + ErrnoText(errno) + ".");
  }
  THiveLock lock(HiveFile_ + ".lock");
  // Another instance may have saved since this one read the hive: replay onto its state.
  THive merged = LoadHiveForSave(HiveFile_);
  for (const TChange &c : Journal_) Apply(merged, c);
  ReplaceFile(HiveFile_, merged.Serialize());
  Hive_ = std::move(merged);
  Journal_.clear();
}

} // namespace sonquarry::registry
