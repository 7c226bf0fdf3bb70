#include "platform/ProgramGuard.h"

#include <exception>
#include <new>

#include <opencv2/core.hpp>

namespace tarvolen {
namespace {

const char* const kOutOfMemory = "Out of memory";

}  // namespace

std::string describeCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kOutOfMemory;
    } catch (const cv::Exception& e) {
        return e.code == cv::Error::StsNoMem ? std::string(kOutOfMemory) : "OpenCV error: " + e.err;
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

int runReportingEscapes(const std::function<int()>& program, std::ostream& out, int failureStatus,
                        const std::string& prefix) {
    try {
        return program();
    } catch (...) {
        out << prefix << describeCurrentException() << std::endl;
    }
    return failureStatus;
}

}  // namespace tarvolen
