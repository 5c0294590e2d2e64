#pragma once
// The worker program's two roles, as its main starts them: a worker serving one socket, and the
// spawner that forks ready workers (spares) for a program. Internal to the worker program.

#include <sys/types.h>

namespace sonquarry::smb::worker {

constexpr int ExitEnd = 0, ExitUsage = 2, ExitProtocol = 3, ExitOrphan = 4;

// What every worker and the spawner set before anything else: no core, not dumpable, the memory
// limit, the signals.
void Confine();
// Gone with Parent, even when it is killed; false when it has gone already.
bool Tethered(pid_t Parent);
// Serves the program on Fd until the socket ends; the exit status.
int RunWorker(int Fd);

// The spawner on its control socket Ctl, for the program Program; the exit status.
int Spawner(int argc, char **argv, int Ctl, pid_t Program);

} // namespace sonquarry::smb::worker
