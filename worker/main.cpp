// tarnwick-worker: serves one container as a loopback iSCSI disk.
#include "worker/worker.h"

int main(int argc, char **argv) {
    return tw::worker_main(argc, argv);
}
