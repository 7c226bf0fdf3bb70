// The key commands of the main loop.
#pragma once

namespace tarvolen {

enum class KeyCommand { None, Quit, ResetModel, ToggleRecording };

// Maps the exact value returned by cv::waitKey; only lower-case 'r' records.
constexpr KeyCommand keyCommand(int key) {
    switch (key) {
        case 27:
            return KeyCommand::Quit;
        case ' ':
            return KeyCommand::ResetModel;
        case 'r':
            return KeyCommand::ToggleRecording;
        default:
            return KeyCommand::None;
    }
}

}  // namespace tarvolen
