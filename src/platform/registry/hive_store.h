#pragma once
// Where a registry object keeps its keys, internal to the registry room: the hive file's reads,
// lock and state, and, on Windows, the system's own registry for the current user.

#include <optional>
#include <string>

#include "platform/registry/registry.h"

namespace sonquarry::registry {

// Reads the whole file; nothing when it does not exist; raises on other failures.
std::optional<std::string> ReadWholeFile(const std::string &Path);
// Size and modification time of a file, as text that changes when the file does; "" without one.
std::string FileState(const std::string &Path);

// The exclusive lock of a hive's save, held while the object lives; raises when it cannot be
// taken.
class THiveLock {
public:
  explicit THiveLock(const std::string &LockFile);
  ~THiveLock();
  THiveLock(const THiveLock &) = delete;
  THiveLock &operator=(const THiveLock &) = delete;

private:
  int Fd_ = -1;
};

// What the default registry object works on: the hive file of the current user on Linux, the
// system's registry on Windows (a name that no file has).
std::string DefaultHiveFile();
bool IsSystemRegistry(const std::string &HiveFile);

// The system's registry (Windows): the keys below SystemSubtree of the current user, read as a
// hive; a change written at once. Raise on failure; never called elsewhere.
inline constexpr const char *SystemSubtree = "HKEY_CURRENT_USER\\Software\\Vantrell Software";
THive ReadSystemRegistry();
void SystemCreateKey(const std::string &Path);
void SystemDeleteKey(const std::string &Path);
void SystemSetValue(const std::string &Path, const TRegValue &Value);
void SystemDeleteValue(const std::string &Path, const std::string &Name);

} // namespace sonquarry::registry
