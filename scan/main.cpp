// tarvolen-scan: finds the events in video files, as fast as they decode.
#include <iostream>

#include "platform/OpenMpWaitPolicy.h"
#include "platform/ProgramGuard.h"
#include "platform/Signals.h"
#include "scan/ScanApp.h"

int main(int argc, char** argv) {
    tarvolen::ignoreBrokenPipes();
    tarvolen::preferSleepingOpenMpThreads(argv);
    return tarvolen::runReportingEscapes([&] { return tarvolen::runScan(argc, argv, std::cout, std::cerr); },
                                         std::cerr, tarvolen::kExitFailed, "tarvolen-scan: ");
}
