#pragma once
// The one mapping of libsmbclient's errno values to a code and a log line, shared by the worker
// that meets them and the program that reports them.

#include <string>

#include "platform/net/net_provider.h"

namespace sonquarry::smb::wire {

// The error of Errno about Where ("smb://PC/share: access denied (errno 13)").
net::NetError SmbError(int Errno, const std::string &Where);
// The same for the listing of the directory UncDir. libsmbclient's EINVAL there stands for the
// server's refusal of the name, for a name in the listing that the library refuses, or for a
// connection that broke; Answers: the server still answers on the share.
net::NetError SmbListingError(int Errno, const std::string &UncDir, bool Answers);

} // namespace sonquarry::smb::wire
