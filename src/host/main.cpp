// QVLJOBCTL: the job controller's executable.
#include "host/program_entry.h"

int main(int argc, char** argv) {
    return ProgramMain(argc, argv);
}
