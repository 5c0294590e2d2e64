#pragma once
// Thread hooks for the Samba libraries behind libsmbclient. Without them Samba keeps one talloc
// stack frame and its locks for the whole process, so two threads in the library at once corrupt
// each other. libsmbclient's own installer (smbc_thread_posix) is not exported by every build;
// the underlying smb_thread_set_functions of libsamba-util is, and takes a POSIX implementation.

namespace sonquarry::platform {

// Installs the POSIX thread hooks once, before the first libsmbclient context of the process is
// made. True when they are in place; false when the library offers no way to install them, in
// which case every call into the library must be serialised.
bool EnableSmbThreads();

} // namespace sonquarry::platform
