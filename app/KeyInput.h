// The operator's commands as the Qt application sees them: every key press
// with the text it typed, and every request to close one of the windows.
#pragma once

#include <string>
#include <vector>

#include <QObject>

#include "app/Keys.h"

class QEvent;
class QKeyEvent;

namespace tarvolen {

// The command a key press gives: the one for the text it typed, none while
// Ctrl, Alt or Meta is held (those combinations are not commands).
KeyCommand keyCommandForEvent(const QKeyEvent& press);

// An event filter on the application that queues commands in the order they
// happen, for the loop to act on once per pass. cv::waitKey cannot serve:
// it reports only the last key of a poll, and letters lower-cased, so 'R'
// would record. A close request of one of the given windows (the window
// manager's close button, WM_DELETE_WINDOW) is queued as Quit and refused,
// so that the window stays until the program takes its windows down.
class KeyInput : public QObject {
public:
    // Installs the filter on the running application.
    explicit KeyInput(std::vector<std::string> windowTitles);
    ~KeyInput() override;

    KeyInput(const KeyInput&) = delete;
    KeyInput& operator=(const KeyInput&) = delete;

    // The commands queued since the last call, oldest first.
    std::vector<KeyCommand> take();
    // Whether a Quit is waiting in the queue.
    bool quitPending() const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    bool isOwnWindow(const QObject& watched) const;

    std::vector<std::string> titles;
    std::vector<KeyCommand> queue;
};

}  // namespace tarvolen
