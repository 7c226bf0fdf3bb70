#include "app/FileDialog.h"

#include <cstdlib>
#include <iostream>

#include <QApplication>
#include <QFile>
#include <QFileDialog>

#include "app/ProgramState.h"

namespace tarvolen {
namespace {

const char* const kDialogTitle = "OPEN VIDEO FILE";

bool displayAvailable() {
    for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

std::optional<std::string> chooseWithDesktopDialog() {
    // HighGUI's Qt windows reuse an existing application object, so the one
    // made here lives on for the rest of the run.
    static int argc = 1;
    static char programName[] = "tarvolen";
    static char* argv[] = {programName, nullptr};
    if (QApplication::instance() == nullptr) new QApplication(argc, argv);
    const QString path = QFileDialog::getOpenFileName(nullptr, QString::fromUtf8(kDialogTitle));
    if (path.isEmpty()) return std::nullopt;
    return QFile::encodeName(path).toStdString();
}

}  // namespace

std::optional<std::string> promptForVideoFile(std::istream& in, std::ostream& prompt) {
    prompt << kDialogTitle << " - path of the video file (empty line cancels): " << std::flush;
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return std::nullopt;
    return line;
}

bool openFileDialog() {
    const std::optional<std::string> path =
        displayAvailable() ? chooseWithDesktopDialog() : promptForVideoFile(std::cin, std::cerr);
    if (!path) return false;
    std::cout << *path << std::endl;
    videoCapture.open(*path, cv::CAP_ANY);
    return videoCapture.isOpened();
}

}  // namespace tarvolen
