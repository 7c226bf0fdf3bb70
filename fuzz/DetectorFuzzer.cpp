// libFuzzer target: the Detector's public API driven by arbitrary call
// sequences.
//
// The input is read front to back as a list of operations (see Op below):
// setParameter with any code and any double (NaN, infinities, huge, negative,
// boundaries), process on small frames of changing size with changing or null
// region masks, invalid process calls, reset and copyEventMask. After every
// operation the target checks what the public contract promises:
//  - setParameter accepts exactly the documented ranges, stores the narrowed
//    value, and a refused call changes nothing;
//  - process refuses a null frame or a size below 1 x 1 and then changes
//    nothing; otherwise it returns true and takes the frame size;
//  - the event mask holds only 0 and 255, is all 0 until the first update
//    after a new size or a reset, and, after an update with a region mask,
//    has no event where that mask is 0;
//  - reset empties the tracks and the mask and keeps parameters and size;
//  - the confirmed objects are exactly the tracks scoring above the
//    criterion, in track order.
// The number of process calls per averaging window is followed from the
// outside (a shadow counter), so the target knows which call ran an update.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "detector/Detector.h"

namespace {

using tarvolen::Detector;
using tarvolen::ObjectTrack;

constexpr int kMaxSide = 48;           // px; small frames keep every run fast
constexpr int kMaxOperations = 1024;   // per input; setParameter calls are cheap
constexpr int kMaxProcessCalls = 200;  // per input
constexpr int kMaxBurst = 24;          // frames of one moving-square burst
constexpr int kBurstSide = 32;         // px, a burst before any frame

[[noreturn]] void violated(const char* what, double detail = 0) {
    std::fprintf(stderr, "property violated: %s (%.17g)\n", what, detail);
    std::abort();
}

// Reads the input front to back; zeros once it is used up.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}
    bool exhausted() const { return pos >= size; }
    std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
    std::uint32_t u32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
        return v;
    }
    double rawDouble() {
        std::uint64_t bits = (static_cast<std::uint64_t>(u32()) << 32) | u32();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // Copies up to n bytes; returns how many were left.
    std::size_t bytes(std::uint8_t* out, std::size_t n) {
        const std::size_t take = std::min(n, size - std::min(pos, size));
        if (take > 0) std::memcpy(out, data + pos, take);
        pos += take;
        return take;
    }

private:
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
};

// Small deterministic noise for frames and masks.
class Noise {
public:
    explicit Noise(std::uint32_t seed) : state(seed * 2654435761u + 1u) {}
    std::uint8_t next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(state >> 24);
    }

private:
    std::uint32_t state;
};

// The documented parameter table: accepted ranges and stored values.
std::optional<double> storedValue(int code, double v) {
    const auto truncatedIn = [v](double low, double high) -> std::optional<double> {
        if (!(v > static_cast<double>(std::numeric_limits<int>::min()) - 1.0 &&
              v < static_cast<double>(std::numeric_limits<int>::max()) + 1.0)) {
            return std::nullopt;
        }
        const double t = std::trunc(v);
        if (t < low || t > high) return std::nullopt;
        return t;
    };
    switch (code) {
        case Detector::kMinObjectWidth:
        case Detector::kMinObjectHeight:
        case Detector::kMaxObjectWidth:
        case Detector::kMaxObjectHeight:
            return truncatedIn(1, 8192);
        case Detector::kObjectDetectionCriterion:
            return truncatedIn(1, std::numeric_limits<int>::max());
        case Detector::kPixelDeviation:
            if (!(v >= 0 && v <= 255)) return std::nullopt;
            return static_cast<float>(v);
        case Detector::kAlphaCoeff:
            if (!(v >= 0 && v <= 1)) return std::nullopt;
            return static_cast<float>(v);
        case Detector::kNumThreads:
            if (!(v >= 0 && v <= 32)) return std::nullopt;
            return std::trunc(v);
        case Detector::kNumFrames:
            // The upper bound keeps 32-bit window sums from wrapping:
            // 255 * 16843009 == 2^32 - 1.
            if (!(v >= 1 && v <= 16843009)) return std::nullopt;
            return std::trunc(v);
        default:
            return std::nullopt;
    }
}

using Parameters = std::array<double, 9>;

Parameters parameters(const Detector& d) {
    Parameters p;
    for (int code = 1; code <= 9; ++code) p[code - 1] = d.getParameter(code);
    return p;
}

bool sameTracks(const std::vector<ObjectTrack>& a, const std::vector<ObjectTrack>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].box != b[i].box || a[i].score != b[i].score) return false;
    }
    return true;
}

// Everything observable, for "changes nothing" checks.
struct Snapshot {
    Parameters params;
    int width, height;
    std::vector<std::uint8_t> mask;
    std::vector<ObjectTrack> tracks;
    bool operator==(const Snapshot& o) const {
        return params == o.params && width == o.width && height == o.height && mask == o.mask &&
               sameTracks(tracks, o.tracks);
    }
};

class Driver {
public:
    explicit Driver(Input& in) : in(in) {}

    void run() {
        checkUnsized();
        for (int op = 0; op < kMaxOperations && !in.exhausted() && processCalls < kMaxProcessCalls; ++op) {
            step();
            checkConfirmedObjects();
        }
    }

private:
    enum Op {
        kProcessSameSize,
        kProcessNewSize,
        kInvalidProcess,
        kSetParameter,
        kReset,
        kNullCopy,
        kBurst,
        kCount
    };

    void step() {
        switch (in.byte() % kCount) {
            case kProcessSameSize:
                processFrame(width > 0 ? width : 16, height > 0 ? height : 16);
                break;
            case kProcessNewSize: {
                const int w = 1 + in.byte() % kMaxSide;
                processFrame(w, 1 + in.byte() % kMaxSide);
                break;
            }
            case kInvalidProcess:
                invalidProcess();
                break;
            case kSetParameter:
                setParameter();
                break;
            case kReset:
                reset();
                break;
            case kNullCopy:
                if (detector.copyEventMask(nullptr)) violated("copyEventMask(nullptr) returned true");
                break;
            case kBurst:
                burst();
                break;
        }
    }

    Snapshot snapshot() const {
        Snapshot s{
            parameters(detector), detector.frameWidth(), detector.frameHeight(), {}, detector.getTracks()};
        if (s.width > 0 && s.height > 0) {
            s.mask.assign(static_cast<std::size_t>(s.width) * static_cast<std::size_t>(s.height), 0xA5);
            if (!detector.copyEventMask(s.mask.data())) violated("copyEventMask failed on a sized detector");
        }
        return s;
    }

    void checkUnsized() {
        std::uint8_t probe = 0x5A;
        if (detector.copyEventMask(&probe) || probe != 0x5A) violated("copyEventMask before the first frame");
        if (detector.frameWidth() != 0 || detector.frameHeight() != 0)
            violated("size before the first frame");
    }

    // Fills a frame: a constant level, the input's bytes, a square on a
    // background, or noise.
    void makeFrame(std::vector<std::uint8_t>& frame, int w, int h) {
        frame.resize(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        switch (in.byte() % 4) {
            case 0:
                std::fill(frame.begin(), frame.end(), in.byte());
                break;
            case 1: {
                const std::size_t got = in.bytes(frame.data(), std::min<std::size_t>(frame.size(), 256));
                for (std::size_t i = got; i < frame.size(); ++i) frame[i] = got > 0 ? frame[i % got] : 0;
                break;
            }
            case 2: {
                const std::uint8_t background = in.byte(), level = in.byte();
                drawSquare(frame, w, h, background, level, in.byte() % w, in.byte() % h, 1 + in.byte() % 16);
                break;
            }
            default: {
                Noise noise(in.u32());
                for (std::uint8_t& p : frame) p = noise.next();
                break;
            }
        }
    }

    static void drawSquare(std::vector<std::uint8_t>& frame, int w, int h, std::uint8_t background,
                           std::uint8_t level, int x, int y, int side) {
        std::fill(frame.begin(), frame.end(), background);
        for (int r = y; r < std::min(h, y + side); ++r) {
            for (int c = x; c < std::min(w, x + side); ++c)
                frame[static_cast<std::size_t>(r) * w + c] = level;
        }
    }

    // A region mask: none, all inside, a rectangle, or scattered non-zero
    // bytes (any non-zero value counts as inside).
    std::optional<std::vector<std::uint8_t>> makeRoi(int w, int h) {
        const std::size_t n = static_cast<std::size_t>(w) * static_cast<std::size_t>(h);
        switch (in.byte() % 4) {
            case 0:
                return std::nullopt;
            case 1:
                return std::vector<std::uint8_t>(n, 255);
            case 2: {
                std::vector<std::uint8_t> roi(n, 0);
                const int x0 = in.byte() % w, y0 = in.byte() % h;
                const int x1 = x0 + in.byte() % (w - x0 + 1), y1 = y0 + in.byte() % (h - y0 + 1);
                for (int r = y0; r < y1; ++r)
                    std::fill_n(&roi[static_cast<std::size_t>(r) * w + x0], x1 - x0, 255);
                return roi;
            }
            default: {
                std::vector<std::uint8_t> roi(n);
                Noise noise(in.u32());
                for (std::uint8_t& b : roi) b = (noise.next() & 1) ? noise.next() | 1 : 0;
                return roi;
            }
        }
    }

    void processFrame(int w, int h) {
        std::vector<std::uint8_t> frame;
        makeFrame(frame, w, h);
        const auto roi = makeRoi(w, h);
        process(frame, w, h, roi);
    }

    // Frames of a square moving over a steady background, enough of them for
    // several model updates, tracks and confirmations.
    void burst() {
        const int w = width > 0 ? width : kBurstSide, h = height > 0 ? height : kBurstSide;
        const int frames = 1 + in.byte() % kMaxBurst;
        const std::uint8_t background = in.byte(), level = in.byte();
        const int side = 1 + in.byte() % 16, dx = in.byte() % 5 - 2, dy = in.byte() % 5 - 2;
        int x = in.byte() % w, y = in.byte() % h;
        const auto roi = makeRoi(w, h);
        std::vector<std::uint8_t> frame(static_cast<std::size_t>(w) * static_cast<std::size_t>(h));
        for (int i = 0; i < frames && processCalls < kMaxProcessCalls; ++i) {
            drawSquare(frame, w, h, background, level, x, y, side);
            process(frame, w, h, roi);
            x = (x + dx + w) % w;
            y = (y + dy + h) % h;
        }
    }

    void process(const std::vector<std::uint8_t>& frame, int w, int h,
                 const std::optional<std::vector<std::uint8_t>>& roi) {
        ++processCalls;
        const Parameters before = parameters(detector);
        if (!detector.process(frame.data(), w, h, roi ? roi->data() : nullptr)) {
            violated("process refused a valid frame");
        }
        if (detector.frameWidth() != w || detector.frameHeight() != h) violated("frame size not taken");
        if (parameters(detector) != before) violated("process changed a parameter");
        followWindow(w, h, roi);
        checkMask();
    }

    // The shadow of the averaging window: which calls run a model update, and
    // what the mask may then hold.
    void followWindow(int w, int h, const std::optional<std::vector<std::uint8_t>>& roi) {
        if (w != width || h != height) {
            width = w;
            height = h;
            restartModel();
        }
        if (++windowCalls < static_cast<int>(detector.getParameter(Detector::kNumFrames))) return;
        windowCalls = 0;
        // The first update of a fresh model finds no event anywhere.
        maskMustBeEmpty = modelFresh;
        modelFresh = false;
        updateRoi = roi;
    }

    void restartModel() {
        windowCalls = 0;
        modelFresh = true;
        maskMustBeEmpty = true;
        updateRoi.reset();
    }

    void checkMask() const {
        const Snapshot s = snapshot();
        for (std::size_t i = 0; i < s.mask.size(); ++i) {
            const std::uint8_t m = s.mask[i];
            if (m != 0 && m != 255) violated("event mask byte neither 0 nor 255", m);
            if (m == 0) continue;
            if (maskMustBeEmpty)
                violated("event before the first update of a fresh model", static_cast<double>(i));
            if (updateRoi && (*updateRoi)[i] == 0)
                violated("event outside the region", static_cast<double>(i));
        }
    }

    void invalidProcess() {
        const Snapshot before = snapshot();
        const std::uint8_t kind = in.byte() % 4;
        const int sizes[] = {0, -1, std::numeric_limits<int>::min(), -static_cast<int>(in.byte())};
        const int bad = sizes[in.byte() % 4];
        std::vector<std::uint8_t> frame(kMaxSide * kMaxSide, in.byte());
        bool result = true;
        switch (kind) {
            case 0:
                result =
                    detector.process(nullptr, 1 + in.byte() % kMaxSide, 1 + in.byte() % kMaxSide, nullptr);
                break;
            case 1:
                result = detector.process(frame.data(), bad, 1 + in.byte() % kMaxSide, nullptr);
                break;
            case 2:
                result = detector.process(frame.data(), 1 + in.byte() % kMaxSide, bad, frame.data());
                break;
            default:
                result = detector.process(frame.data(), bad, bad, nullptr);
                break;
        }
        if (result) violated("process accepted an invalid call", kind);
        if (!(snapshot() == before)) violated("a refused process call changed something", kind);
    }

    double parameterValue() {
        static const double kSpecial[] = {
            std::numeric_limits<double>::quiet_NaN(),
            -std::numeric_limits<double>::quiet_NaN(),
            std::numeric_limits<double>::infinity(),
            -std::numeric_limits<double>::infinity(),
            std::numeric_limits<double>::max(),
            std::numeric_limits<double>::lowest(),
            std::numeric_limits<double>::denorm_min(),
            -0.0,
            1e300,
            -1e300,
            2147483647.0,
            2147483647.5,
            2147483648.0,
            -2147483648.0,
            -2147483648.5,
            -2147483649.0,
            4294967296.0 + 30,
            16843009.0,
            16843009.5,
            16843010.0,
            8192.9,
            8193.0,
            255.0,
            255.5,
            1.01,
            0.999,
            0.5,
            -0.1,
            32.5,
            33.0,
        };
        const std::uint8_t choice = in.byte();
        if (choice < std::size(kSpecial)) return kSpecial[choice];
        if (choice < 200) return static_cast<double>(choice % 40) - 2;  // small values, window lengths
        if (choice < 230) return (choice - 200) / 29.0;                 // 0 .. 1
        return in.rawDouble();
    }

    void setParameter() {
        const std::uint8_t c = in.byte();
        const int code = c < 240 ? c % 12 - 1 : static_cast<int>(in.u32());
        const double value = parameterValue();
        const Snapshot before = snapshot();
        const bool accepted = detector.setParameter(code, value);
        const std::optional<double> expected = storedValue(code, value);
        if (accepted != expected.has_value()) {
            std::fprintf(stderr, "code %d value %.17g\n", code, value);
            violated(accepted ? "setParameter accepted a value out of range"
                              : "setParameter refused a valid value",
                     code);
        }
        Snapshot after = snapshot();
        if (accepted) {
            if (!(after.params[code - 1] == *expected))
                violated("stored value is not the narrowed one", code);
            after.params[code - 1] = before.params[code - 1];
        }
        if (!(after == before))
            violated(accepted ? "setParameter changed more than its parameter"
                              : "a refused setParameter changed something",
                     code);
        if (!accepted && !std::isnan(detector.getParameter(code)) && (code < 1 || code > 9)) {
            violated("getParameter of an unknown code is not NaN", code);
        }
    }

    void reset() {
        const Snapshot before = snapshot();
        detector.reset();
        const Snapshot after = snapshot();
        if (after.params != before.params || after.width != before.width || after.height != before.height) {
            violated("reset changed a parameter or the frame size");
        }
        if (!detector.getTracks().empty()) violated("tracks left after reset");
        if (width > 0) restartModel();
        windowCalls = 0;
        checkMask();
        if (width == 0) checkUnsized();
    }

    void checkConfirmedObjects() const {
        const std::vector<ObjectTrack> confirmed = detector.getConfirmedObjects();
        const double criterion = detector.getParameter(Detector::kObjectDetectionCriterion);
        std::vector<ObjectTrack> expected;
        for (const ObjectTrack& t : detector.getTracks()) {
            if (t.score > criterion) expected.push_back(t);
        }
        for (const ObjectTrack& t : confirmed) {
            if (!(t.score > criterion)) violated("a confirmed object does not exceed the criterion", t.score);
        }
        if (!sameTracks(confirmed, expected))
            violated("confirmed objects are not the tracks above the criterion");
    }

    Input& in;
    Detector detector;
    int width = 0, height = 0;  // the frame size the detector should hold
    int windowCalls = 0;        // process calls in the current averaging window
    bool modelFresh = true;     // no model update since the last resize or reset
    bool maskMustBeEmpty = true;
    std::optional<std::vector<std::uint8_t>> updateRoi;  // region of the last update
    int processCalls = 0;
};

}  // namespace

// The OpenMP runtime keeps its worker threads' records for the life of the
// process; the leak checker must not count them against an input.
extern "C" const char* __lsan_default_suppressions() { return "leak:libomp.so\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Up to 32 requested threads on a small machine: let idle ones sleep
    // rather than spin.
    setenv("OMP_WAIT_POLICY", "passive", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Driver(in).run();
    return 0;
}
