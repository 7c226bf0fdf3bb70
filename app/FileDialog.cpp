#include "app/FileDialog.h"

#include <iostream>
#include <optional>
#include <string>

#include <QFile>
#include <QFileDialog>

#include "app/Display.h"
#include "app/ProgramState.h"
#include "media/VideoSource.h"
#include "platform/SourcePath.h"

namespace tarvolen {
namespace {

const char* const kDialogTitle = "OPEN VIDEO FILE";

std::optional<std::string> chooseWithDesktopDialog() {
    if (!startGui()) return std::nullopt;
    const QString path = QFileDialog::getOpenFileName(nullptr, QString::fromUtf8(kDialogTitle));
    if (path.isEmpty()) return std::nullopt;
    return QFile::encodeName(path).toStdString();
}

}  // namespace

bool openFileDialog(std::string* chosen) {
    const std::optional<std::string> path = chooseWithDesktopDialog();
    if (!path) return false;
    if (chosen != nullptr) *chosen = *path;
    std::cout << *path << std::endl;
    // A FIFO or device picked in the chooser could block the open for good.
    if (!mayOpenSourcePath(*path)) return false;
    return openVideoFile(*path, videoCapture);
}

}  // namespace tarvolen
