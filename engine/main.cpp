// tarnwick-engine: performs one container operation for a front-end and
// reports it as JSON event lines on standard output.
#include "engine/engine.h"

int main(int argc, char **argv) {
    return tw::engine_main(argc, argv);
}
