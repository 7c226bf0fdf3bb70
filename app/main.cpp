#include "app/FrameLoop.h"
#include "app/StartupChecks.h"

int main() { return tarvolen::runReportingEscapes(tarvolen::runTarvolen); }
