#pragma once
// A TCP connection attempt with a time-out; nothing is sent or received.

#include <cstdint>

namespace sonquarry::net {

// True only when a TCP connection to Address:Port is established. Address is in host order, the
// first dotted group most significant. TimeOutMs > 0 bounds the attempt; 0 (or less) leaves it to
// the system's own connect time. Every failure gives false; never throws.
bool ProbeTcp(uint32_t Address, uint16_t Port, int TimeOutMs) noexcept;

} // namespace sonquarry::net
