#pragma once
// A TCP connection attempt with a time-out; nothing is sent or received.

#include <cstdint>

namespace sonquarry::net {

// True only when a TCP connection to Address:Port is established. Address is in host order, the
// first dotted group most significant. TimeOutMs > 0 bounds the attempt; 0 (or less) leaves it to
// the system's own connect time. Every failure gives false; never throws.
bool ProbeTcp(uint32_t Address, uint16_t Port, int TimeOutMs) noexcept;

// Whether a socket whose non-blocking connect was signalled did connect: no error pending, and a
// peer (whatever woke the wait). Socket is the system's descriptor (a SOCKET on Windows).
bool SocketConnected(uintptr_t Socket) noexcept;

} // namespace sonquarry::net
