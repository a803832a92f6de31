#include "initiator/service.h"

int main(int argc, char **argv) {
    return tw::initiator_main(argc, argv);
}
