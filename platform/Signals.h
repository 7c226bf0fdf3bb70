// Ending the program cleanly on SIGINT (Ctrl+C), SIGTERM and SIGHUP.
#pragma once

namespace tarvolen {

// Installs handlers for SIGINT, SIGTERM and SIGHUP that only record the
// request: the frame loop ends at its next check as if ESC had been pressed,
// so an open recording is finished. A second one of these signals, while the
// program is still finishing, ends it at once with exit status 255.
void installQuitSignals();

// Whether one of those signals has arrived since installQuitSignals().
bool quitRequested();

// The signal number that arrived first; 0 when none did.
int quitSignal();

}  // namespace tarvolen
