// tarnwick: the command line. Runs one operation through the client library
// and prints its outcome as text or JSON.
#include "cli/cli.h"

int main(int argc, char **argv) {
    return tw::cli_main(argc, argv);
}
