// Exit statuses shared by the programs.
#pragma once

namespace tarvolen {

// The live program's status on every path (255 to the shell); also what a
// second quit signal ends any of the programs with, at once.
inline constexpr int kExitStatus = -1;

}  // namespace tarvolen
