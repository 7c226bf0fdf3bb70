#include "app/FrameLoop.h"
#include <iostream>

#include "platform/ExitStatus.h"
#include "platform/ProgramGuard.h"

int main() { return tarvolen::runReportingEscapes(tarvolen::runTarvolen, std::cout, tarvolen::kExitStatus); }
