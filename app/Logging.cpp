#include "app/Logging.h"

#include <cstdlib>

#include <opencv2/core/utils/logger.hpp>

namespace tarvolen {
namespace {

bool userSet(const char* variable) {
    const char* value = std::getenv(variable);
    return value != nullptr && *value != '\0';
}

QtMessageHandler qtDefaultHandler = nullptr;

void filterQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (keepsQtMessage(type) && qtDefaultHandler != nullptr) qtDefaultHandler(type, context, message);
}

}  // namespace

bool keepsQtMessage(QtMsgType type) { return type == QtCriticalMsg || type == QtFatalMsg; }

void quietenLibraries() {
    if (!userSet("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (!userSet("QT_LOGGING_RULES")) qtDefaultHandler = qInstallMessageHandler(filterQtMessage);
}

QuietOpenCvLog::QuietOpenCvLog() : previousLevel(cv::utils::logging::getLogLevel()) {
    if (!userSet("OPENCV_LOG_LEVEL")) cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

QuietOpenCvLog::~QuietOpenCvLog() {
    cv::utils::logging::setLogLevel(static_cast<cv::utils::logging::LogLevel>(previousLevel));
}

}  // namespace tarvolen
