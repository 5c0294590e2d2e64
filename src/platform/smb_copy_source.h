#pragma once
// Files read over SMB for the copier.

#include "platform/file_copier.h"

#include <memory>

namespace sonquarry {

// A source that reads the files through the process-wide network provider (SMB, by the copying
// thread's worker process); one per copy, used from the copying thread only.
std::unique_ptr<ICopySource> MakeSmbCopySource();

} // namespace sonquarry
