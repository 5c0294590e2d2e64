#pragma once
// IPv4 addresses as numbers, their dotted text, address ranges with ascending iteration, the
// connection probe and the local-address queries.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sonquarry {

// The port that a computer of IP mode must accept connections on (NetBIOS session service).
constexpr int NetBiosPort = 139;
// Default probe time-out in milliseconds.
constexpr int DefaultProbeTimeOut = 500;

// "a.b.c.d" of the four bytes, most significant first, without leading zeros.
std::string IPToStr(uint32_t Address);

// Parses a dotted address; missing groups at the end count as 0. Throws Exception
// "StrIP: wrong IP-address '<Text>'." on a malformed text.
uint32_t StrIP(const std::string &Text);

class TIPRange;

// "nn" of "a.b.c.d/nn": a whole number from 0 to 32, else -1.
int IPPrefixLength(const std::string &Text);

// The network of Address with a prefix of Bits (0 to 32) bits: its first to its last address.
TIPRange IPBlock(uint32_t Address, int Bits);

class TIPRange {
public:
  TIPRange() = default;
  TIPRange(uint32_t A, uint32_t B, int32_t ATag = 0) : Tag(ATag) { SetRange(A, B); }

  // Stores the smaller end as From and the larger as To.
  void SetRange(uint32_t A, uint32_t B) {
    From_ = A < B ? A : B;
    To_ = A < B ? B : A;
  }
  uint32_t From() const { return From_; }
  uint32_t To() const { return To_; }

  // "From" alone for a one-address range, else "From - To".
  std::string DisplayText() const;

  // The owner's value (the settings keep the enabled mark here); the iteration ignores it.
  int32_t Tag = 0;

private:
  uint32_t From_ = 0;
  uint32_t To_ = 0;
};

// A list of ranges handing out every address of their union once, ascending.
class TIPList {
public:
  TIPRange &Add(uint32_t From, uint32_t To, int32_t Tag = 0);
  void Delete(size_t Index);
  void Clear();
  size_t Count() const { return Ranges_.size(); }
  TIPRange &operator[](size_t Index) { return Ranges_.at(Index); }
  const TIPRange &operator[](size_t Index) const { return Ranges_.at(Index); }
  std::vector<TIPRange>::const_iterator begin() const { return Ranges_.begin(); }
  std::vector<TIPRange>::const_iterator end() const { return Ranges_.end(); }

  // The next NextAddress starts again from the lowest address.
  void Reset() { Restart_ = true; }
  // False when the ranges hold no further address; stays false until Reset.
  bool NextAddress(uint32_t &Address);

  uint32_t Current() const { return Current_; }

private:
  std::vector<TIPRange> Ranges_;
  uint32_t Current_ = 0;
  // A new list starts from its lowest address without a Reset, so 0.0.0.0 is not skipped.
  bool Restart_ = true;
};

// True when a TCP connection to Host (dotted address or name) on Port is established within
// TimeOut ms; 0 leaves the attempt to the system's own connect time. Every failure is false.
bool ProbeHost(const std::string &Host, int Port, int TimeOut);

// The local computer's address, a non-loopback one preferred; 0 when there is none.
uint32_t GetLocalIP();
// "a.b.c." of GetLocalIP, "0.0.0." when there is no address.
std::string GetLocalSubnet();

// True only on Windows XP (5.1) with "Service Pack 2".
bool IsXPSP2();
bool IsXPSP2Version(int Major, int Minor, const std::string &ServicePack);

} // namespace sonquarry
