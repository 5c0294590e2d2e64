#pragma once
// Files read over SMB for the copier.

#include "platform/file_copier.h"

#include <memory>

namespace sonquarry {

// A source that reads smb:// files; one per copy, used from the copying thread only. Null when
// this build has no way to read SMB files.
std::unique_ptr<ICopySource> MakeSmbCopySource();

} // namespace sonquarry
