#include "scan/python/PythonDetector.h"

#include <pybind11/numpy.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "detector/Detector.h"
#include "platform/MemoryLimits.h"
#include "scan/python/PythonValues.h"

namespace py = pybind11;

namespace tarvolen {
namespace {

constexpr int kBgrChannels = 3;
// Bytes per pixel held besides the detector's buffers: the copies of the
// frame (up to 3 bytes, BGR), its gray conversion and the region.
constexpr std::size_t kCopyBytesPerPixel = 5;

// The result type of Detector.objects: a named tuple (x, y, width, height,
// score), made once when the module loads and kept alive by it.
py::handle objectType;

// A frame too large for this machine's memory: MemoryError with the
// reason, as the programs word it.
struct FrameTooLarge : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string describe(const py::array& array) {
    return std::string(py::str(array.dtype())) + " array of shape " +
           std::string(py::str(array.attr("shape")));
}

bool isUint8(const py::array& array) { return array.dtype().kind() == 'u' && array.dtype().itemsize() == 1; }

// A contiguous copy of `array` (any strides, also negative ones): the
// detector works on it without the interpreter lock, and the caller's array
// may change meanwhile without harm.
cv::Mat contiguousCopy(const py::array& array, int rows, int cols, int type) {
    cv::Mat copy(rows, cols, type);
    std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
    std::vector<py::ssize_t> strides(shape.size(), 1);
    for (std::size_t i = shape.size() - 1; i > 0; --i) strides[i - 1] = strides[i] * shape[i];
    // A view of the copy's bytes (the base keeps NumPy from taking a copy of
    // its own); NumPy fills it from whatever layout the array has.
    const py::array view(array.dtype(), shape, strides, copy.data, py::none());
    py::module_::import("numpy").attr("copyto")(view, array);
    return copy;
}

class PythonDetector {
public:
    explicit PythonDetector(const py::kwargs& settings) {
        DetectorParameters parameters;
        applyPythonSettings(parameters, settings);
        detector.setParameters(parameters);
    }

    void process(const py::object& frameObject, const py::object& roiObject);
    py::object eventMask();
    py::list objects();
    void reset();
    py::dict settings();

private:
    // Runs `work` on the detector with the interpreter lock released, so that
    // other threads run meanwhile, and with the detector to itself: it
    // takes calls from one thread at a time. The lock is never waited for
    // while the interpreter lock is held, so the two cannot deadlock.
    template <class Work>
    auto withDetector(Work work) {
        py::gil_scoped_release released;
        const std::lock_guard<std::mutex> lock(mutex);
        return work();
    }

    void checkFits(int width, int height);

    std::mutex mutex;
    Detector detector;
    // The last frame size found to fit in memory, width << 32 | height: the
    // limits are read again only when the size changes.
    std::atomic<std::uint64_t> fittingSize{0};
};

// Refuses a frame whose copies and the detector's buffers would not fit in
// the memory left, before anything is copied or allocated.
void PythonDetector::checkFits(int width, int height) {
    const std::uint64_t size = static_cast<std::uint64_t>(width) << 32 | static_cast<std::uint32_t>(height);
    if (size == fittingSize.load()) return;
    if (const std::optional<std::string> refusal = frameSizeRefusal(
            width, height, Detector::bufferBytesPerPixel() + kCopyBytesPerPixel, currentMemoryLimits()))
        throw FrameTooLarge(*refusal);
    fittingSize.store(size);
}

void PythonDetector::process(const py::object& frameObject, const py::object& roiObject) {
    const char* const expected =
        "frame must be a 2-D uint8 array (gray) or an (H, W, 3) uint8 array (BGR) of at least 1 x 1";
    if (!py::isinstance<py::array>(frameObject))
        throw py::value_error(std::string(expected) + ", not " +
                              std::string(py::str(py::type::of(frameObject).attr("__name__"))));
    const auto frame = py::reinterpret_borrow<py::array>(frameObject);
    const bool colour = frame.ndim() == 3 && frame.shape(2) == kBgrChannels;
    if (!isUint8(frame) || !(frame.ndim() == 2 || colour) || frame.shape(0) < 1 || frame.shape(1) < 1)
        throw py::value_error(std::string(expected) + ", not a " + describe(frame));
    if (frame.shape(0) > INT_MAX || frame.shape(1) > INT_MAX)
        throw py::value_error("frame of " + describe(frame) + " is larger than the detector takes");
    const int height = static_cast<int>(frame.shape(0));
    const int width = static_cast<int>(frame.shape(1));

    checkFits(width, height);

    cv::Mat roi;
    if (!roiObject.is_none()) {
        const std::string shape = "(" + std::to_string(height) + ", " + std::to_string(width) + ")";
        const std::string roiExpected =
            "roi must be a " + shape + " uint8 array like the frame (non-zero inside)";
        if (!py::isinstance<py::array>(roiObject))
            throw py::value_error(roiExpected + ", not " +
                                  std::string(py::str(py::type::of(roiObject).attr("__name__"))));
        const auto mask = py::reinterpret_borrow<py::array>(roiObject);
        if (!isUint8(mask) || mask.ndim() != 2 || mask.shape(0) != height || mask.shape(1) != width)
            throw py::value_error(roiExpected + ", not a " + describe(mask));
        roi = contiguousCopy(mask, height, width, CV_8UC1);
    }
    const cv::Mat pixels = contiguousCopy(frame, height, width, colour ? CV_8UC3 : CV_8UC1);

    withDetector([&] {
        cv::Mat gray = pixels;
        // As the programs convert their frames, from contiguous BGR.
        if (colour) cv::cvtColor(pixels, gray, cv::COLOR_BGR2GRAY);
        detector.process(gray.data, width, height, roi.empty() ? nullptr : roi.data);
    });
}

void PythonDetector::reset() {
    withDetector([this] { detector.reset(); });
}

py::dict PythonDetector::settings() {
    return settingsDict(withDetector([this] { return detector.parameters(); }));
}

py::object PythonDetector::eventMask() {
    auto mask = std::make_unique<cv::Mat>();
    const bool copied = withDetector([&] {
        if (detector.frameWidth() < 1) return false;
        mask->create(detector.frameHeight(), detector.frameWidth(), CV_8UC1);
        return detector.copyEventMask(mask->data);
    });
    if (!copied) return py::none();
    // The array owns the copy: the capsule frees it with the array.
    const std::vector<py::ssize_t> shape{mask->rows, mask->cols};
    unsigned char* const data = mask->data;
    const py::capsule owner(mask.get(), [](void* m) { delete static_cast<cv::Mat*>(m); });
    mask.release();
    return py::array_t<std::uint8_t>(shape, data, owner);
}

py::list PythonDetector::objects() {
    const std::vector<ObjectTrack> confirmed =
        withDetector([this] { return detector.getConfirmedObjects(); });
    py::list list;
    for (const ObjectTrack& t : confirmed)
        list.append(objectType(t.box.x, t.box.y, t.box.width, t.box.height, t.score));
    return list;
}

}  // namespace

void bindDetector(py::module_& module) {
    const py::object type =
        py::module_::import("collections")
            .attr("namedtuple")("Object", py::make_tuple("x", "y", "width", "height", "score"),
                                py::arg("module") = "tarvolen");
    type.attr("__doc__") =
        "A confirmed object: its latest box (x, y, width, height in pixels) and its persistence score.";
    module.attr("Object") = type;
    objectType = type;

    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const FrameTooLarge& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });

    py::class_<PythonDetector>(module, "Detector", R"doc(
The event detector: a per-pixel Gaussian-mixture model of a gray video stream,
an event mask of the pixels the model cannot explain, and scored tracks of the
compact event regions that persist.

Detector(**settings) takes the nine detector settings of Tarvolen.json as
keyword arguments (min_object_width, max_object_width, min_object_height,
max_object_height, object_detection_criterion, pixel_deviation, alpha_coeff,
num_threads, num_frames), checked as tarvolen-scan --set checks them: an
unknown key or a value out of range raises ValueError, a value of the wrong
type TypeError. Settings not given keep their defaults (num_threads 1).

Feed every frame to process(); event_mask and objects then give the result of
the latest averaging window of num_frames frames. Each Detector works on its
own: detectors on several threads run at once.
)doc")
        .def(py::init<const py::kwargs&>())
        .def("process", &PythonDetector::process, py::arg("frame"), py::arg("roi") = py::none(), R"doc(
Feeds one frame.

frame: a 2-D uint8 array (gray) or an (H, W, 3) uint8 array in BGR order (as
OpenCV reads video), converted to gray as the programs convert their frames;
any strides (slices, views). roi: None for the whole frame, or an (H, W) uint8
mask, 255 (any non-zero value) inside: events outside it are cleared.

A frame of another size than the one before starts the model and the
averaging window afresh (the tracks are kept). Anything but such arrays
raises ValueError; a frame too large for the memory left raises MemoryError.
The work runs without the interpreter lock.
)doc")
        .def_property_readonly("event_mask", &PythonDetector::eventMask, R"doc(
The event mask of the latest averaging window: an (H, W) uint8 array, 255 for
event pixels and 0 elsewhere, a copy. None before the first frame.
)doc")
        .def_property_readonly("objects", &PythonDetector::objects, R"doc(
The confirmed objects (tracks scoring above object_detection_criterion) as a
list of tarvolen.Object named tuples (x, y, width, height, score), in track
order.
)doc")
        .def("reset", &PythonDetector::reset, R"doc(
Forgets the model, the event mask, the current averaging window and all
tracks; the settings and the frame size stay.
)doc")
        .def_property_readonly("settings", &PythonDetector::settings, R"doc(
The nine settings as a dict in Tarvolen.json's order (a new dict each time).
)doc");
}

}  // namespace tarvolen
