#pragma once
// Finding computers by WS-Discovery, as current Windows does for the "Network" folder: a
// multicast Probe for devices on each local IPv4 interface, answers collected for a bounded time,
// then a metadata Get (SOAP over HTTP) to each device that answered, which gives its computer
// name and workgroup or domain.
//
// What is sent: the Probe (twice, as the protocol asks for UDP), a Resolve for an answer that
// carries no transport address (wsdd's do not), and one Get to an address of the device, and
// only when that address is the one that answered. Answers that are malformed, too large, not
// ours, or name a computer in a way no computer is named are refused with a log line.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sonquarry::wsd {

// One computer that WS-Discovery found.
struct WsdComputer {
  std::string Name;      // as the computer reports it
  std::string Workgroup; // its workgroup or domain; "" when it has joined none
  uint32_t Address = 0;  // the IPv4 address that answered, host order
};

struct WsdOptions {
  // How long answers to the Probe are collected.
  int ProbeWaitMs = 1000;
  // How much longer an answer to a Resolve sent near the end of that time is waited for.
  int ResolveWaitMs = 500;
  // Each metadata Get, connection included.
  int GetTimeOutMs = 800;
  // The local IPv4 addresses (host order) whose interfaces are probed; empty: every interface
  // that is up, multicast-capable and not loopback.
  std::vector<uint32_t> Interfaces;
  // Where refusals and failures are told; empty: Diagnostic().
  std::function<void(const std::string &)> Log;
  // Devices beyond this many are left out (with one log line).
  std::size_t MaxDevices = 256;
};

// Probes, resolves and asks every device that answered; returns the computers in the order
// their metadata arrived, each endpoint once. Takes at most about ProbeWaitMs + ResolveWaitMs +
// GetTimeOutMs. Never throws.
std::vector<WsdComputer> DiscoverComputers(const WsdOptions &Options = {});

// ---- the parsers (wsd_parse.cpp; pure, also fuzzed)

constexpr std::size_t WsdMaxDatagram = 32767; // the protocol's largest UDP envelope
constexpr std::size_t WsdMaxMetadata = 256 * 1024;

// One answer to a Probe or a Resolve.
struct WsdMatch {
  std::string Endpoint;            // the device's endpoint address, "urn:uuid:..."
  std::vector<std::string> XAddrs; // its transport addresses, as given
};

struct WsdAnswer {
  bool Resolve = false;  // a ResolveMatches; else a ProbeMatches
  std::string RelatesTo; // the message id it answers
  std::vector<WsdMatch> Matches;
};

// Parses a ProbeMatches or ResolveMatches datagram. False, with the reason in Why, for anything
// else or anything malformed.
bool ParseWsdAnswer(std::string_view Datagram, WsdAnswer &Out, std::string &Why);

// Parses the response to a metadata Get: the computer's name and workgroup or domain.
bool ParseWsdMetadata(std::string_view Body, WsdComputer &Out, std::string &Why);

// Parses the text of a pub:Computer element: "NAME/Workgroup:WG", "NAME/Domain:DOM" or
// "NAME/NotJoined".
bool ParseWsdComputerText(std::string_view Text, WsdComputer &Out, std::string &Why);

// The first of XAddrs that is a plain http URL to the dotted address Address (host order), the
// one that answered; "" when there is none.
std::string WsdUsableXAddr(const std::vector<std::string> &XAddrs, uint32_t Address);

} // namespace sonquarry::wsd
