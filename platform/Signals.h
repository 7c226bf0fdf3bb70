// Ending the program cleanly on SIGINT (Ctrl+C), SIGTERM and SIGHUP, and
// never on SIGPIPE.
#pragma once

namespace tarvolen {

// Makes a write to a pipe or socket whose reader has gone fail with EPIPE
// instead of ending the process. Called first thing by every program: a
// display connection killed mid-event, a web client or MQTT broker that
// went away, a closed standard output must each be met as a failed write,
// so that open clips are finished and their log lines written.
void ignoreBrokenPipes();

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
