// What the libraries may print on the terminal: the operator should see the
// program's own lines, and real errors, but not the libraries' chatter.
#pragma once

#include <QtGlobal>

namespace tarvolen {

// Lowers OpenCV's log to errors and has Qt drop its debug, info and warning
// messages (notices such as the one about XDG_RUNTIME_DIR, X protocol
// errors of windows going away), keeping critical and fatal ones. A log
// level the user set through OPENCV_LOG_LEVEL or QT_LOGGING_RULES is left
// alone. Call once, before the Qt application is made.
void quietenLibraries();

// Whether a Qt message of this type reaches standard error.
bool keepsQtMessage(QtMsgType type);

// While one lives, OpenCV logs nothing at all (unless the user set
// OPENCV_LOG_LEVEL). For opening the source: every back end that cannot
// open it reports its failure, some as errors, and the program says in one
// line of its own what failed.
class QuietOpenCvLog {
public:
    QuietOpenCvLog();
    ~QuietOpenCvLog();

    QuietOpenCvLog(const QuietOpenCvLog&) = delete;
    QuietOpenCvLog& operator=(const QuietOpenCvLog&) = delete;

private:
    int previousLevel;
};

}  // namespace tarvolen
