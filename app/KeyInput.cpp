#include "app/KeyInput.h"

#include <algorithm>

#include <QCoreApplication>
#include <QKeyEvent>
#include <QWindow>

namespace tarvolen {

KeyCommand keyCommandForEvent(const QKeyEvent& press) {
    const Qt::KeyboardModifiers chords = Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier;
    if (press.modifiers() & chords) return KeyCommand::None;
    // Not every platform gives Escape a text.
    if (press.key() == Qt::Key_Escape) return KeyCommand::Quit;
    return keyCommandForText(press.text().toStdString());
}

KeyInput::KeyInput(std::vector<std::string> windowTitles) : titles(std::move(windowTitles)) {
    QCoreApplication::instance()->installEventFilter(this);
}

KeyInput::~KeyInput() {
    if (QCoreApplication* app = QCoreApplication::instance()) app->removeEventFilter(this);
}

std::vector<KeyCommand> KeyInput::take() {
    std::vector<KeyCommand> taken;
    taken.swap(queue);
    return taken;
}

bool KeyInput::quitPending() const {
    return std::find(queue.begin(), queue.end(), KeyCommand::Quit) != queue.end();
}

// Qt hands one key press first to the native window and then to the widget
// with the focus, each time through this filter; counting it at the window
// alone counts it once.
bool KeyInput::isOwnWindow(const QObject& watched) const {
    if (!watched.isWindowType()) return false;
    const std::string title = static_cast<const QWindow&>(watched).title().toStdString();
    return std::find(titles.begin(), titles.end(), title) != titles.end();
}

bool KeyInput::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type != QEvent::KeyPress && type != QEvent::Close) || !isOwnWindow(*watched)) return false;
    if (type == QEvent::Close) {
        queue.push_back(KeyCommand::Quit);
        event->ignore();
        return true;
    }
    const KeyCommand command = keyCommandForEvent(static_cast<const QKeyEvent&>(*event));
    if (command != KeyCommand::None) queue.push_back(command);
    return false;
}

}  // namespace tarvolen
