// tarvolen-scan: finds the events in video files, as fast as they decode.
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "platform/ProgramGuard.h"
#include "scan/ScanApp.h"

namespace {

// The detector's OpenMP threads would otherwise spin for milliseconds after
// every model update, taking the core the decoding thread needs. libgomp
// reads its wait policy when it is loaded, before main, so the program runs
// itself again with the policy set, unless the user chose one.
void preferSleepingOpenMpThreads(char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") || std::getenv("GOMP_SPINCOUNT")) return;
    if (setenv("OMP_WAIT_POLICY", "PASSIVE", 0) != 0) return;
    execv("/proc/self/exe", argv);  // returns only on failure: then run as we are
}

}  // namespace

int main(int argc, char** argv) {
    preferSleepingOpenMpThreads(argv);
    return tarvolen::runReportingEscapes([&] { return tarvolen::runScan(argc, argv, std::cout, std::cerr); },
                                         std::cerr, tarvolen::kExitFailed, "tarvolen-scan: ");
}
