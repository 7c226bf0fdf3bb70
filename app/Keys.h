// The key commands of the main loop.
#pragma once

#include <string_view>

namespace tarvolen {

enum class KeyCommand { None, Quit, ResetModel, ToggleRecording };

// Maps a character code (the value cv::waitKey would report); only lower-case
// 'r' records.
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

// Maps the text a key press typed (UTF-8). Shift+R types "R" and does
// nothing; keys that type nothing or more than one character do nothing.
constexpr KeyCommand keyCommandForText(std::string_view typed) {
    return typed.size() == 1 ? keyCommand(static_cast<unsigned char>(typed[0])) : KeyCommand::None;
}

}  // namespace tarvolen
