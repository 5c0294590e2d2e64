#pragma once
// The one mapping of libsmbclient's errno values to a code and a log line, shared by the worker
// that meets them and the program that reports them.

#include <string>

#include "platform/net/net_provider.h"

namespace sonquarry::smb::wire {

// The error of Errno about Where ("smb://PC/share: access denied (errno 13)").
net::NetError SmbError(int Errno, const std::string &Where);

} // namespace sonquarry::smb::wire
