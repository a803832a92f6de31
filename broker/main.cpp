#include "broker/install.h"

int main(int argc, char **argv) {
    return tw::broker_main(argc, argv);
}
