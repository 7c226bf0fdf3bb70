// Letting the user pick the video file at start.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace tarvolen {

// Shows a file chooser titled "OPEN VIDEO FILE" (a desktop dialog when a
// display is available, else a prompt on the console), writes the chosen
// path to standard output on a line of its own and opens videoCapture on it.
// Returns whether videoCapture is open; false when the user cancelled.
bool openFileDialog();

// The console chooser: asks on `prompt`, reads one line from `in`. An empty
// line or the end of input cancels.
std::optional<std::string> promptForVideoFile(std::istream& in, std::ostream& prompt);

}  // namespace tarvolen
