#include <memory>

#include <gtest/gtest.h>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QWindow>

#include "app/KeyInput.h"

namespace tarvolen {
namespace {

TEST(KeyText, OnlyTheTypedCharacterCounts) {
    EXPECT_EQ(keyCommandForText("r"), KeyCommand::ToggleRecording);
    EXPECT_EQ(keyCommandForText(" "), KeyCommand::ResetModel);
    EXPECT_EQ(keyCommandForText("\x1b"), KeyCommand::Quit);
    for (const char* other : {"R", "", "rr", "q", "\x12", "\xc3\xa9"})
        EXPECT_EQ(keyCommandForText(other), KeyCommand::None) << other;
}

// Key and close events as Qt delivers them to the windows, on Qt's minimal
// platform (no display needed; unlike the offscreen one it frees what it
// allocates, which the leak checker would report).
class KeyInputFilter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        qputenv("QT_QPA_PLATFORM", "minimal");
        static int argc = 1;
        static char name[] = "tests";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QGuiApplication>(argc, argv);
    }
    static void TearDownTestSuite() { app.reset(); }

    void SetUp() override {
        input.setTitle("INPUT VIDEO");
        mask.setTitle("EVENT MASK");
        other.setTitle("OPEN VIDEO FILE");
    }

    static void press(QObject& to, Qt::Key key, const QString& text, Qt::KeyboardModifiers mods = {}) {
        QKeyEvent event(QEvent::KeyPress, key, mods, text);
        QCoreApplication::sendEvent(&to, &event);
    }

    struct Window : QWindow {
        void keyPressEvent(QKeyEvent*) override { ++pressesSeen; }
        int pressesSeen = 0;
    };

    static std::unique_ptr<QGuiApplication> app;
    Window input, mask, other;
    KeyInput keys{{"INPUT VIDEO", "EVENT MASK"}};
};

std::unique_ptr<QGuiApplication> KeyInputFilter::app;

using Commands = std::vector<KeyCommand>;

TEST_F(KeyInputFilter, LowerCaseRTogglesAndShiftRDoesNothing) {
    press(input, Qt::Key_R, "R", Qt::ShiftModifier);
    EXPECT_EQ(keys.take(), Commands{});
    press(input, Qt::Key_R, "r");
    EXPECT_EQ(keys.take(), Commands{KeyCommand::ToggleRecording});
    // Caps Lock: the text is "R" without Shift.
    press(input, Qt::Key_R, "R");
    EXPECT_EQ(keys.take(), Commands{});
}

TEST_F(KeyInputFilter, EveryPressIsKeptInOrder) {
    press(input, Qt::Key_R, "r");
    press(mask, Qt::Key_R, "r");
    press(input, Qt::Key_Space, " ");
    press(input, Qt::Key_Escape, "\x1b");
    press(input, Qt::Key_R, "r");
    EXPECT_EQ(keys.take(), (Commands{KeyCommand::ToggleRecording, KeyCommand::ToggleRecording,
                                     KeyCommand::ResetModel, KeyCommand::Quit, KeyCommand::ToggleRecording}));
    EXPECT_EQ(keys.take(), Commands{}) << "taking empties the queue";
}

TEST_F(KeyInputFilter, APressPassedOnToTheFocusWidgetCountsOnce) {
    // Qt hands the same event to the native window, then to the widget.
    QObject widget;
    QKeyEvent event(QEvent::KeyPress, Qt::Key_R, Qt::NoModifier, "r");
    QCoreApplication::sendEvent(&input, &event);
    QCoreApplication::sendEvent(&widget, &event);
    EXPECT_EQ(keys.take(), Commands{KeyCommand::ToggleRecording});
}

TEST_F(KeyInputFilter, ChordsReleasesAndOtherWindowsDoNothing) {
    press(input, Qt::Key_R, "\x12", Qt::ControlModifier);
    press(input, Qt::Key_R, "r", Qt::AltModifier);
    press(input, Qt::Key_Escape, "\x1b", Qt::ControlModifier);
    press(other, Qt::Key_R, "r");
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_R, Qt::NoModifier, "r");
    QCoreApplication::sendEvent(&input, &release);
    EXPECT_EQ(keys.take(), Commands{});
}

TEST_F(KeyInputFilter, EscapeWithoutTextQuits) {
    press(input, Qt::Key_Escape, "");
    EXPECT_EQ(keys.take(), Commands{KeyCommand::Quit});
}

TEST_F(KeyInputFilter, KeysStillReachTheWindows) {
    press(input, Qt::Key_R, "r");
    press(input, Qt::Key_R, "R", Qt::ShiftModifier);
    EXPECT_EQ(input.pressesSeen, 2) << "the filter must not swallow key presses";
}

TEST_F(KeyInputFilter, ClosingEitherWindowQueuesQuitAndIsRefused) {
    for (Window* window : {&input, &mask}) {
        window->create();
        press(*window, Qt::Key_Space, " ");
        QCloseEvent close;
        QCoreApplication::sendEvent(window, &close);
        EXPECT_FALSE(close.isAccepted()) << "the window stays until the program takes it down";
        EXPECT_NE(window->handle(), nullptr);
        EXPECT_TRUE(keys.quitPending());
        EXPECT_TRUE(keys.quitPending()) << "looking does not take";
        EXPECT_EQ(keys.take(), (Commands{KeyCommand::ResetModel, KeyCommand::Quit}));
        EXPECT_FALSE(keys.quitPending());
    }
}

TEST_F(KeyInputFilter, OtherWindowsCloseNormally) {
    other.create();
    QCloseEvent close;
    QCoreApplication::sendEvent(&other, &close);
    EXPECT_TRUE(close.isAccepted());
    EXPECT_FALSE(keys.quitPending());
}

}  // namespace
}  // namespace tarvolen
