#pragma once
// Where the tests find the source tree (the test network's script) and the build tree (the
// programs). Compiled in one generated file, so that no other file's compile command names a
// folder and a compiler cache serves a fresh clone elsewhere.

#include <string>

namespace sonquarry::testing {

std::string SourceDir();
std::string BinaryDir();
inline std::string TestnetTool() { return SourceDir() + "/tests/testnet/testnet.sh"; }

} // namespace sonquarry::testing
