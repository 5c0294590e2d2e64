#pragma once
// Connection attempts to many addresses at once: one event-loop thread keeps a bounded number of
// non-blocking connects in flight and walks the addresses ahead of whoever asks for a result.
// Nothing is sent or received; a connection is closed as soon as it is established.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace sonquarry::net {

class TTcpSweep {
public:
  // Hands out the addresses to try, ascending, host order; false when there are no more. Called
  // on the sweep's own thread only.
  using TNextAddress = std::function<bool(uint32_t &Address)>;

  struct TOptions {
    std::vector<uint16_t> Ports; // tried side by side; one accepted connection is enough
    int TimeOutMs = 500;         // > 0 bounds each attempt; 0 or less: the system's connect time
    int MaxInFlight = 0;         // sockets open at once; 0: what the descriptor limit leaves
    int Reserve = 64;            // descriptors kept free for the rest of the process
    size_t Window = 4096;        // results kept ready ahead of the takers, at most
  };

  TTcpSweep(TOptions Options, TNextAddress Next);
  ~TTcpSweep();
  TTcpSweep(const TTcpSweep &) = delete;
  TTcpSweep &operator=(const TTcpSweep &) = delete;

  // Whether Address accepted a connection on one of the ports within the time-out. Waits for its
  // attempt, and starts it at once when the sweep has not reached it yet. False once stopped.
  // Without an event loop (the system refused one) the attempt is made here, port after port.
  bool Result(uint32_t Address);
  // Closes every attempt in flight and ends the loop before it returns; Result gives false from
  // now on. Safe from any thread, more than once.
  void Stop();

  // The bound on sockets in flight; it shrinks when the system runs out of descriptors.
  int InFlightLimit() const;
  // The most sockets that were in flight at once.
  int PeakInFlight() const;

  // Sockets the descriptor limit allows beside what is open now and Reserve; at least a quarter
  // of what is free, at least 1, at most 1024.
  static int DescriptorBudget(int Reserve);

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

} // namespace sonquarry::net
