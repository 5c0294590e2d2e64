#pragma once
// What the sweep's event loop (tcp_sweep.cpp, the same on every system) asks of the system:
// non-blocking connects, and a wait for those in flight that a taker can cut short. One file per
// system: epoll and an eventfd on Linux (tcp_sweep_io.cpp), WSAPoll on Windows.

#include <cstdint>
#include <functional>
#include <memory>

namespace sonquarry::net {

class TSweepIo {
public:
  enum class TStart : uint8_t {
    Connected,   // at once; nothing stays open
    Pending,     // watched under its id until Close
    Failed,      // refused, unreachable: settled already
    NoDescriptor // the system has no socket to spare
  };

  TSweepIo();
  ~TSweepIo(); // closes what is still open
  TSweepIo(const TSweepIo &) = delete;
  TSweepIo &operator=(const TSweepIo &) = delete;

  // False when the system gave no way to wait.
  bool Ready() const;
  // Id is never 0.
  TStart Connect(uint32_t Address, uint16_t Port, uint64_t Id);
  void Close(uint64_t Id);
  // Waits at most Ms (less than 0: until an attempt settles or Wake) and tells each settled
  // attempt that is still open at that moment. False when the wait itself failed.
  bool Wait(int Ms, const std::function<void(uint64_t Id, bool Connected)> &Settled);
  // Ends a Wait soon; from any thread.
  void Wake();

private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
};

} // namespace sonquarry::net
