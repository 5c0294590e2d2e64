#pragma once
// What the programs search through: the SMB provider, and the discoverers that may join
// computers to its neighbourhood. The one place that picks the concrete pieces.

#include <memory>

#include "engine/network.h"
#include "platform/smb/smb_provider.h"

namespace sonquarry {

std::shared_ptr<TNetwork> MakeProgramNetwork(smb::SmbProviderOptions Options = {});

// The window's: a computer that refuses every identity the program has is asked for one in a
// dialog on the main thread, while the walk that met it waits.
std::shared_ptr<TNetwork> MakeWindowNetwork(smb::SmbProviderOptions Options = {});

} // namespace sonquarry
