// tarvolen-watch: records every event of a camera, stream or file, unattended.
#include <iostream>

#include "platform/OpenMpWaitPolicy.h"
#include "platform/ProgramGuard.h"
#include "platform/Signals.h"
#include "watch/WatchApp.h"

int main(int argc, char** argv) {
    tarvolen::ignoreBrokenPipes();
    tarvolen::preferSleepingOpenMpThreads(argv);
    return tarvolen::runReportingEscapes([&] { return tarvolen::runWatch(argc, argv, std::cout, std::cerr); },
                                         std::cerr, tarvolen::kWatchFailed, "tarvolen-watch: ");
}
