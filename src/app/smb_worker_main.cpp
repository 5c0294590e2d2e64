// sonquarry-smb-worker: started by the programs, one per thread that uses SMB.
#include "platform/smb/worker/smb_worker.h"

int main(int argc, char **argv) { return sonquarry::smb::worker::SmbWorkerMain(argc, argv); }
