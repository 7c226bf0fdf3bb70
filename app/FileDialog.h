// Letting the user pick the video file at start.
#pragma once

#include <string>

namespace tarvolen {

// Shows a desktop file chooser titled "OPEN VIDEO FILE", writes the chosen
// path to standard output on a line of its own and opens videoCapture on it.
// Returns whether videoCapture is open; false when the user cancelled or no
// display can show the chooser.
bool openFileDialog(std::string* chosen = nullptr);

}  // namespace tarvolen
