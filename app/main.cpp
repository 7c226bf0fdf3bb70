#include "app/FrameLoop.h"
#include <iostream>

#include "platform/ExitStatus.h"
#include "platform/ProgramGuard.h"
#include "platform/Signals.h"

int main() {
    tarvolen::ignoreBrokenPipes();
    return tarvolen::runReportingEscapes(tarvolen::runTarvolen, std::cout, tarvolen::kExitStatus);
}
