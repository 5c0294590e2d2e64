#pragma once
// sonquarry-smb-worker: serves one program thread's SMB calls over the socket pair it was given
// (see smb_wire.h), with one single-threaded libsmbclient client. It ends at the end of the
// socket, on a broken frame, and with its parent (PR_SET_PDEATHSIG, and a check of the parent's
// pid for a parent that died before that was set). It never dumps core.
//
// "--spawner N --program PID" makes it the spawner instead: started once by a program, it forks a
// ready worker on each request over the socket N (a SOCK_SEQPACKET pair), before libsmbclient is
// set up, so each worker makes its own context, as the program's child, with the same limits. A
// forked worker's first bytes on its socket are its pid.

namespace sonquarry::smb::worker {

// The worker's main: "--fd N --parent PID" (N is wire::WorkerFd), or the spawner's. Returns the
// exit status.
int SmbWorkerMain(int argc, char **argv);

} // namespace sonquarry::smb::worker
