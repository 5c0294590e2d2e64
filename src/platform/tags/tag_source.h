#pragma once
// Where a tag reader's bytes come from: ranges of one file (in the worker beside it, or in
// memory), with a budget of bytes and time that a lying or hostile file cannot stretch.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/net/net_provider.h"

namespace sonquarry::tags {

class IRangeSource {
public:
  virtual ~IRangeSource() = default;
  virtual int64_t Size() const = 0;
  // At most N bytes from Offset: how many (fewer only at the end), -1 on a failure.
  virtual long ReadAt(int64_t Offset, char *To, std::size_t N) = 0;
};

class TMemoryRangeSource final : public IRangeSource {
public:
  explicit TMemoryRangeSource(std::span<const uint8_t> Bytes) : B_(Bytes) {}
  int64_t Size() const override { return int64_t(B_.size()); }
  long ReadAt(int64_t Offset, char *To, std::size_t N) override;

private:
  std::span<const uint8_t> B_;
};

using TTagLimits = net::TagBudget;

} // namespace sonquarry::tags
