#pragma once
// The network that scans and copies use: one provider for the whole process, chosen here, where
// the engine puts the platform's pieces together (SMB, with WS-Discovery around it when asked).

#include <memory>

#include "platform/net/net_provider.h"

namespace sonquarry {

// The process-wide provider: the SMB one unless another was installed.
std::shared_ptr<net::INetProvider> NetProvider();
// Installs P (nullptr restores the SMB provider with its default configuration).
void SetNetProvider(std::shared_ptr<net::INetProvider> P);

// P with WS-Discovery around it when On, without when not (a wrapping of P looked through).
std::shared_ptr<net::INetProvider> WithWsDiscovery(std::shared_ptr<net::INetProvider> P, bool On);
// Installs the process-wide provider for a scan: WithWsDiscovery of the installed one.
void UseWsDiscovery(bool On);

// Tells through platform::Diagnostic what the SMB provider in P (WS-Discovery's wrapping looked
// through) will refuse of its configuration; nothing for another provider.
void CheckNetworkSetup(const std::shared_ptr<net::INetProvider> &P);

// Caps the connections per server and the helpers in all of the SMB provider in P (looked
// through WS-Discovery's wrapping) for a scan of Threads threads; nothing for another provider.
void SetWalkLimits(const std::shared_ptr<net::INetProvider> &P, int ServerConnections, int Threads);

// True when P (WS-Discovery's wrapping looked through) is the SMB provider and its worker program
// is not where an installation puts it: a search would end at once and find nothing.
bool SmbWorkerMissing(const std::shared_ptr<net::INetProvider> &P);

} // namespace sonquarry
