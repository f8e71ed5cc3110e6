// The entry on POSIX systems.
#include "app/run.h"

int main(int argc, char** argv) {
    return qorv::runCommand(argc, argv);
}
