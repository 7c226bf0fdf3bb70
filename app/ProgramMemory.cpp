#include "app/ProgramMemory.h"

#include "detector/Detector.h"
#include "media/FrameReader.h"
#include "media/VideoFileWriter.h"

namespace tarvolen {
namespace {

// The loop's own images besides the frame it shows: gray frame, event mask
// and region mask, one byte each.
constexpr std::size_t kLoopImageBytesPerPixel = 3;
// What the two windows keep of the images they show: an RGB copy of each.
constexpr std::size_t kWindowBytesPerPixel = 8;

}  // namespace

std::size_t programBytesPerPixel() {
    return Detector::bufferBytesPerPixel() + kLoopImageBytesPerPixel +
           FrameReader::bufferBytesPerPixel(kLiveFileQueueFrames) + VideoFileWriter::bufferBytesPerPixel() +
           kWindowBytesPerPixel;
}

}  // namespace tarvolen
