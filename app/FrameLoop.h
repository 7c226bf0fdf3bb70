#pragma once

namespace tarvolen {

// The whole life of the program: configuration, source, windows and the
// frame loop until ESC. Returns -1 on every path.
int runTarvolen();

}  // namespace tarvolen
