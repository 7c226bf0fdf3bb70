#include "platform/OpenMpWaitPolicy.h"

#include <unistd.h>

#include <cstdlib>

namespace tarvolen {

void preferSleepingOpenMpThreads(char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") || std::getenv("GOMP_SPINCOUNT")) return;
    if (setenv("OMP_WAIT_POLICY", "PASSIVE", 0) != 0) return;
    execv("/proc/self/exe", argv);  // returns only on failure: then run as we are
}

}  // namespace tarvolen
