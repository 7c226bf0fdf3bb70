#include "scan/python/PythonScan.h"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "events/EventJson.h"
#include "scan/ScanApp.h"
#include "scan/ScanOptions.h"
#include "scan/Scanner.h"
#include "scan/python/PythonValues.h"

namespace py = pybind11;

namespace tarvolen {
namespace {

using Clock = std::chrono::steady_clock;

// How often a scan on Python's main thread lets Python's signal handlers run
// (Ctrl+C): often enough to answer at once, rarely enough to cost nothing.
constexpr std::chrono::milliseconds kSignalCheckInterval{100};

const char* const kProgramPrefix = "tarvolen-scan: ";

// The command line's option names as the keyword arguments that stand for
// them, so that a message names what the caller wrote. Its messages start
// with the option they are about.
const std::pair<const char*, const char*> kArgumentNames[] = {
    {"--pre", "pre"},     {"--post", "post"}, {"--min-event", "min_event"},     {"--roi", "roi"},
    {"--start", "start"}, {"--end", "end"},   {"--region-file", "region_file"},
};

std::string withArgumentName(std::string text) {
    for (const auto& [option, argument] : kArgumentNames) {
        const std::size_t length = std::strlen(option);
        const bool named = text.compare(0, length, option) == 0 &&
                           (text.size() == length || text[length] == ' ' || text[length] == ':');
        if (named) return text.replace(0, length, argument);
    }
    return text;
}

// A path back as Python spells it (os.fsdecode).
py::object pythonPath(const std::string& path) {
    return py::module_::import("os").attr("fsdecode")(py::bytes(path));
}

[[noreturn]] void raiseOsError(const py::tuple& arguments) {
    PyErr_SetObject(PyExc_OSError, arguments.ptr());
    throw py::error_already_set();
}

// A file that is not there: ENOENT, so that OSError's constructor makes
// it the FileNotFoundError that open() raises.
[[noreturn]] void raiseFileNotFound(const std::string& path) {
    raiseOsError(py::make_tuple(ENOENT, std::strerror(ENOENT), pythonPath(path)));
}

std::string typeName(const py::handle& value) { return py::str(py::type::of(value).attr("__name__")); }

// A path as the file system takes it: str (undecodable names included),
// bytes or os.PathLike.
std::string fileSystemPath(const py::handle& path, const char* argument) {
    try {
        const py::bytes encoded = py::module_::import("os").attr("fsencode")(path);
        return encoded;
    } catch (const py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        throw py::type_error(std::string(argument) + " must be a path (str, bytes or os.PathLike), not " +
                             typeName(path));
    }
}

// A number that the command line reads back as exactly the same double;
// fixed-point for times, which take no exponent.
std::string numberText(double value, bool fixedPoint) {
    char text[512];
    const auto result = fixedPoint ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
                                   : std::to_chars(text, text + sizeof text, value);
    if (result.ec != std::errc()) return "nan";  // refused by the command line, as it should be
    return std::string(text, result.ptr);
}

bool isRealNumber(const py::handle& value) {
    return !PyBool_Check(value.ptr()) &&
           (PyIndex_Check(value.ptr()) || PyFloat_Check(value.ptr()) || py::hasattr(value, "__float__"));
}

double realNumber(const py::handle& value, const char* argument) {
    if (isRealNumber(value)) {
        const double real = PyFloat_AsDouble(value.ptr());
        // The command line's range checks let NaN through.
        if (std::isnan(real)) throw py::value_error(std::string(argument) + ": not a number (got nan)");
        if (!(real == -1.0 && PyErr_Occurred())) return real;
        PyErr_Clear();
    }
    throw py::type_error(std::string(argument) + " must be a number of seconds, not " + typeName(value));
}

// A time as --start and --end take it: seconds as a number, or text
// (seconds or HH:MM:SS[.mmm]).
std::string timeText(const py::handle& value, const char* argument) {
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (isRealNumber(value)) return numberText(realNumber(value, argument), true);
    throw py::type_error(std::string(argument) +
                         " must be seconds (a number) or a time as text (\"HH:MM:SS.mmm\"), not " +
                         typeName(value));
}

bool isWholeNumber(const py::handle& value) {
    return !PyBool_Check(value.ptr()) && PyIndex_Check(value.ptr());
}

// roi: one rectangle (x, y, width, height) or a sequence of them, each as
// --roi X,Y,W,H.
std::vector<std::string> roiTexts(const py::handle& roi) {
    const char* const expected =
        "roi must be (x, y, width, height) in whole pixels, or a list of such rectangles";
    const auto rectangleText = [&](const py::handle& rectangle) {
        if (!py::isinstance<py::sequence>(rectangle) || py::isinstance<py::str>(rectangle) ||
            py::len(rectangle) != 4)
            throw py::type_error(std::string(expected) + ", not " + std::string(py::repr(rectangle)));
        std::string text;
        for (const py::handle& field : py::reinterpret_borrow<py::sequence>(rectangle)) {
            if (!isWholeNumber(field))
                throw py::type_error(std::string(expected) + ", not " + std::string(py::repr(rectangle)));
            // Checked by the command line's own reading, range included.
            text += (text.empty() ? "" : ",") +
                    std::string(py::str(py::int_(py::reinterpret_borrow<py::object>(field))));
        }
        return text;
    };
    if (!py::isinstance<py::sequence>(roi) || py::isinstance<py::str>(roi))
        throw py::type_error(std::string(expected) + ", not " + std::string(py::repr(roi)));
    const auto items = py::reinterpret_borrow<py::sequence>(roi);
    if (py::len(items) == 0) return {};  // no rectangle: the whole frame, as without --roi
    const bool single = py::len(items) == 4 && !py::isinstance<py::sequence>(items[0]);
    if (single) return {rectangleText(roi)};
    std::vector<std::string> texts;
    for (const py::handle& rectangle : items) texts.push_back(rectangleText(rectangle));
    return texts;
}

struct ScanArguments {
    std::string path;
    py::object settings;
    py::object pre, post, minEvent, roi, regionFile, start, end;
};

// The scan's options from the arguments, through the command line's own
// parser, so that every check and default is the tool's.
ScanOptions scanOptions(const ScanArguments& a) {
    std::vector<std::string> args{"tarvolen-scan",
                                  "--pre",
                                  numberText(realNumber(a.pre, "pre"), false),
                                  "--post",
                                  numberText(realNumber(a.post, "post"), false),
                                  "--min-event",
                                  numberText(realNumber(a.minEvent, "min_event"), false)};
    if (!a.roi.is_none()) {
        for (const std::string& rectangle : roiTexts(a.roi)) args.insert(args.end(), {"--roi", rectangle});
    }
    if (!a.regionFile.is_none()) {
        const std::string regionFile = fileSystemPath(a.regionFile, "region_file");
        std::error_code ec;
        if (!std::filesystem::exists(regionFile, ec)) raiseFileNotFound(regionFile);
        args.insert(args.end(), {"--region-file", regionFile});
    }
    if (!a.start.is_none()) args.insert(args.end(), {"--start", timeText(a.start, "start")});
    if (!a.end.is_none()) args.insert(args.end(), {"--end", timeText(a.end, "end")});
    args.insert(args.end(), {"--", a.path});
    std::vector<const char*> argv;
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    ParsedCommandLine parsed = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (parsed.outcome != ParsedCommandLine::Run) throw py::value_error(withArgumentName(parsed.text));
    if (const std::string outside = checkRegionsAgainstFiles(parsed.options); !outside.empty())
        throw py::value_error(withArgumentName(outside));
    return std::move(parsed.options);
}

// Ctrl+C during a scan: Python runs its signal handlers only when asked, so
// a scan on the main thread asks now and then; the KeyboardInterrupt they
// raise ends the scan and is raised again once it has stopped.
class PythonInterrupt {
public:
    PythonInterrupt()
        : caller(std::this_thread::get_id()),
          onMainThread(py::module_::import("threading")
                           .attr("current_thread")()
                           .is(py::module_::import("threading").attr("main_thread")())) {}

    // Called without the interpreter lock, by the scan's threads.
    bool operator()() {
        if (raised.load()) return true;
        if (!onMainThread || std::this_thread::get_id() != caller) return false;
        const Clock::time_point now = Clock::now();
        if (now - lastAsked < kSignalCheckInterval) return false;
        lastAsked = now;
        const py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0) {
            error.emplace();  // takes the raised exception
            raised.store(true);
        }
        return raised.load();
    }

    // With the interpreter lock held.
    [[noreturn]] void raise() {
        if (error) throw *error;
        PyErr_SetNone(PyExc_KeyboardInterrupt);
        throw py::error_already_set();
    }

private:
    const std::thread::id caller;
    const bool onMainThread;
    std::atomic<bool> raised{false};
    Clock::time_point lastAsked = Clock::now();
    std::optional<py::error_already_set> error;
};

// The scan's lines on its error stream, without the program's name.
std::vector<std::string> messageLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(kProgramPrefix, 0) == 0) line.erase(0, std::strlen(kProgramPrefix));
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

// A file that is there but cannot be scanned: the scan's own line, which
// names it.
[[noreturn]] void raiseUnreadable(const std::string& path, const std::string& message) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) raiseFileNotFound(path);
    PyErr_SetObject(PyExc_OSError, pythonText(message).ptr());
    throw py::error_already_set();
}

py::list scanForPython(const ScanArguments& arguments) {
    const ScanOptions options = scanOptions(arguments);
    DetectorParameters detector = defaultScanDetector();
    if (!arguments.settings.is_none()) {
        if (!py::isinstance<py::dict>(arguments.settings) && !py::hasattr(arguments.settings, "keys"))
            throw py::type_error("settings must be a dict of detector settings, not " +
                                 typeName(arguments.settings));
        applyPythonSettings(detector, py::dict(arguments.settings));
    }
    quietenScanLibraries();

    const std::string& file = options.files.front();
    std::ostringstream summary;  // the tool's table: not wanted here
    std::ostringstream messages;
    std::vector<nlohmann::ordered_json> events;
    PythonInterrupt interrupt;
    ScanContext context{
        options,
        detector,
        [&interrupt] { return interrupt(); },
        summary,
        messages,
        false,
        [&](const EventRecord& record) { events.push_back(eventJson(EventTimes::MediaTime, record, file)); },
        false};
    FileOutcome outcome;
    {
        const py::gil_scoped_release released;
        outcome = scanFile(file, context);
    }
    const std::vector<std::string> lines = messageLines(messages.str());
    const std::string message = lines.empty() ? file + ": cannot be scanned" : lines.front();
    switch (outcome) {
        case FileOutcome::Interrupted:
            interrupt.raise();
        case FileOutcome::InputFailed:
        case FileOutcome::OutputFailed:
            raiseUnreadable(file, message);
        case FileOutcome::Scanned:
            break;
    }
    for (const std::string& line : lines) {
        if (PyErr_WarnEx(PyExc_RuntimeWarning, line.c_str(), 1) != 0) throw py::error_already_set();
    }
    py::list list;
    for (const nlohmann::ordered_json& event : events) list.append(pythonValue(event));
    return list;
}

}  // namespace

void bindScan(py::module_& module) {
    module.def(
        "scan",
        [](const py::object& path, const py::object& settings, const py::object& pre, const py::object& post,
           const py::object& minEvent, const py::object& roi, const py::object& regionFile,
           const py::object& start, const py::object& end) {
            return scanForPython(ScanArguments{fileSystemPath(path, "path"), settings, pre, post, minEvent,
                                               roi, regionFile, start, end});
        },
        py::arg("path"), py::arg("settings") = py::none(), py::arg("pre") = 1.5, py::arg("post") = 2.0,
        py::arg("min_event") = 0.0, py::arg("roi") = py::none(), py::arg("region_file") = py::none(),
        py::arg("start") = py::none(), py::arg("end") = py::none(), R"doc(
Scans one video file for events, exactly as tarvolen-scan does, and returns
them: a list of dicts with the keys and values of tarvolen-scan's JSON lines
(file, event, start_frame, end_frame, start_ms, end_ms, start, end,
active_frames, max_objects, bbox). Nothing is written.

path: the video file (str, bytes or os.PathLike); "file" in each event is it
as given. settings: a dict of detector settings (the keys of Detector),
applied over the defaults with num_threads at the number of cores; no
Tarvolen.json is read. pre, post: seconds kept before and after an event's
frames with objects; min_event: the shortest run of such frames that makes an
event. roi: a rectangle (x, y, width, height) or a list of them; region_file:
a JSON file of include and exclude polygons. start, end: scan only the frames
at or after start and before end (seconds, or "HH:MM:SS.mmm"); frame numbers
and times stay the whole file's.

Bad arguments raise ValueError (TypeError for a type); a file that cannot be
read raises OSError naming it (FileNotFoundError when it is not there).
Damaged stretches that were read past are told as RuntimeWarning. The scan
runs without the interpreter lock; Ctrl+C stops it with KeyboardInterrupt.
)doc");
}

}  // namespace tarvolen
