// tarnwick-service: the per-user mount service, started on demand by the
// command line and the GUI.
#include "session/service.h"

int main() {
    return tw::service_main();
}
