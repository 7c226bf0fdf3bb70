// How the detector's OpenMP threads wait between model updates.
#pragma once

namespace tarvolen {

// The detector's OpenMP threads would otherwise spin for milliseconds after
// every model update, taking the core the decoding thread needs. libgomp
// reads its wait policy when it is loaded, before main, so the program runs
// itself again (argv as main got it) with the policy set, unless the user
// chose one. Returns only when the program goes on as it is.
void preferSleepingOpenMpThreads(char** argv);

}  // namespace tarvolen
