#pragma once
// What the programs search through: the SMB provider, and the discoverers that may join
// computers to its neighbourhood. The one place that picks the concrete pieces.

#include <memory>

#include "engine/network.h"

namespace sonquarry {

std::shared_ptr<TNetwork> MakeProgramNetwork();

} // namespace sonquarry
