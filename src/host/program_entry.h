// The program's entry: what the command line makes of this process (installer, remover,
// console run, or a service handed to the dispatcher), and the console's stop handler.
#pragma once

#include <cstdint>

constexpr char kUsageProgramName[] = "QVLJOBCTRL";
constexpr char kProgramName[] = "qvljobctl";  // as -version names it

// The whole program. Exit status: 0 after a successful install or remove and after a console
// run ended by Ctrl+C or Ctrl+Break; 1 when an install or remove failed; for a console run
// that failed, the configuration result (10, 11, 12) or the run's failure code; for -status
// its own values (status_command.h); -metrics and -version 0.
int ProgramMain(int argc, char** argv);

// Ctrl+C and Ctrl+Break: print "Stopping ..." and signal the stop; true. Any other
// console event is left to the system (false).
bool ConsoleControlHandler(std::uint32_t eventType);
