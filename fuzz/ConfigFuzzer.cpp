// libFuzzer target: the configuration reader on arbitrary file contents.
//
// Every input is read twice, through parseConfiguration() and through
// readConfiguration() on a temporary file, and both results are checked
// against an independent reading of the same bytes (nlohmann's SAX events,
// which give the first occurrence of each key directly):
//  - a refused file changes no parameter and leaves the source string alone;
//  - an accepted file sets the source to the file's string and every
//    parameter to the file's value as the setter narrows it, or keeps the
//    earlier value where the setter refuses it;
//  - the reader accepts exactly the files that the independent reading says
//    are complete and well typed.
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "config/Configuration.h"
#include "detector/DetectorParameters.h"

namespace {

using json = nlohmann::json;
using tarvolen::DetectorParameters;

// The ten keys of Config_Params in the order the reader takes them, with the
// setter code each numeric one goes to.
struct Key {
    const char* name;
    int code;  // 0 for the source string
    enum Type { kText, kReal, kCount } type;
};
constexpr std::array<Key, 10> kKeys{{
    {"video_source_init_string", 0, Key::kText},
    {"min_object_width", DetectorParameters::kMinObjectWidth, Key::kReal},
    {"max_object_width", DetectorParameters::kMaxObjectWidth, Key::kReal},
    {"min_object_height", DetectorParameters::kMinObjectHeight, Key::kReal},
    {"max_object_height", DetectorParameters::kMaxObjectHeight, Key::kReal},
    {"object_detection_criterion", DetectorParameters::kObjectDetectionCriterion, Key::kReal},
    {"pixel_deviation", DetectorParameters::kPixelDeviation, Key::kReal},
    {"alpha_coeff", DetectorParameters::kAlphaCoeff, Key::kReal},
    {"num_threads", DetectorParameters::kNumThreads, Key::kCount},
    {"num_frames", DetectorParameters::kNumFrames, Key::kCount},
}};

// One JSON value as far as the reader may use it.
struct Value {
    enum Kind { kString, kSigned, kUnsigned, kFloat, kBoolean, kOther } kind = kOther;
    std::string text;
    std::int64_t signedNumber = 0;
    std::uint64_t unsignedNumber = 0;
    double floatNumber = 0;
    bool boolean = false;
};

// Collects the first value of each of the ten keys inside the first
// "Config_Params" of the top-level object.
class FirstOccurrences : public nlohmann::json_sax<json> {
public:
    bool topIsObject = false;
    bool paramsSeen = false;
    bool paramsIsObject = false;
    std::array<std::optional<Value>, kKeys.size()> values;

    bool null() override { return scalar(Value{}); }
    bool boolean(bool b) override {
        Value v;
        v.kind = Value::kBoolean;
        v.boolean = b;
        return scalar(v);
    }
    bool number_integer(number_integer_t n) override {
        Value v;
        v.kind = Value::kSigned;
        v.signedNumber = n;
        return scalar(v);
    }
    bool number_unsigned(number_unsigned_t n) override {
        Value v;
        v.kind = Value::kUnsigned;
        v.unsignedNumber = n;
        return scalar(v);
    }
    bool number_float(number_float_t n, const string_t&) override {
        Value v;
        v.kind = Value::kFloat;
        v.floatNumber = n;
        return scalar(v);
    }
    bool string(string_t& s) override {
        Value v;
        v.kind = Value::kString;
        v.text = s;
        return scalar(v);
    }
    bool binary(binary_t&) override { return scalar(Value{}); }
    bool start_object(std::size_t) override {
        valueStarts(Value{}, true);
        ++depth;
        return true;
    }
    bool end_object() override {
        --depth;
        if (paramsOpen && depth == 1) paramsOpen = false;
        return true;
    }
    bool start_array(std::size_t) override {
        valueStarts(Value{}, false);
        ++depth;
        return true;
    }
    bool end_array() override {
        --depth;
        return true;
    }
    bool key(string_t& k) override {
        if (depth == 1 && k == "Config_Params" && !paramsSeen) {
            paramsSeen = true;
            awaitingParams = true;
        } else if (depth == 2 && paramsOpen) {
            pendingKey = -1;
            for (std::size_t i = 0; i < kKeys.size(); ++i) {
                if (k == kKeys[i].name && !values[i]) pendingKey = static_cast<int>(i);
            }
        }
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    bool scalar(const Value& v) {
        valueStarts(v, false);
        return true;
    }
    // Called for every value before its contents, at the depth that holds it.
    void valueStarts(const Value& v, bool isObject) {
        if (depth == 0) {
            topIsObject = isObject;
        } else if (depth == 1 && awaitingParams) {
            awaitingParams = false;
            paramsIsObject = paramsOpen = isObject;
        } else if (depth == 2 && paramsOpen && pendingKey >= 0) {
            values[static_cast<std::size_t>(pendingKey)] = v;
            pendingKey = -1;
        }
    }

    int depth = 0;  // containers open around the next event
    bool awaitingParams = false;
    bool paramsOpen = false;
    int pendingKey = -1;
};

// What a correct reader does with the bytes.
struct Expectation {
    bool accepted = false;
    std::string source;
    // The values handed to the setter, by key; none where the value cannot
    // reach the setter unrefused (an int-valued key outside the int range).
    std::array<std::optional<double>, kKeys.size()> handed;
};

// Keys 2 to 8: any JSON number, as a double.
std::optional<double> asReal(const Value& v) {
    switch (v.kind) {
        case Value::kSigned:
            return static_cast<double>(v.signedNumber);
        case Value::kUnsigned:
            return static_cast<double>(v.unsignedNumber);
        case Value::kFloat:
            return v.floatNumber;
        default:
            return std::nullopt;
    }
}

// Keys 9 and 10: a number truncated toward zero, or a boolean as 1 / 0. The
// bool result says whether the type is right; the value is empty when the
// count lies outside the int range, which the setter must never see wrapped.
bool asCount(const Value& v, std::optional<double>& handed) {
    constexpr double kIntMin = std::numeric_limits<int>::min();
    constexpr double kIntMax = std::numeric_limits<int>::max();
    double count = 0;
    switch (v.kind) {
        case Value::kBoolean:
            count = v.boolean ? 1 : 0;
            break;
        case Value::kSigned:
            if (v.signedNumber < std::numeric_limits<int>::min() ||
                v.signedNumber > std::numeric_limits<int>::max()) {
                handed.reset();
                return true;
            }
            count = static_cast<double>(v.signedNumber);
            break;
        case Value::kUnsigned:
            if (v.unsignedNumber > static_cast<std::uint64_t>(std::numeric_limits<int>::max())) {
                handed.reset();
                return true;
            }
            count = static_cast<double>(v.unsignedNumber);
            break;
        case Value::kFloat:
            count = std::trunc(v.floatNumber);
            if (!(count >= kIntMin && count <= kIntMax)) {
                handed.reset();
                return true;
            }
            break;
        default:
            return false;
    }
    handed = count;
    return true;
}

Expectation expect(std::string_view text) {
    Expectation e;
    // JSON has no place for a NUL byte; the parser would take one for the end.
    if (text.find('\0') != std::string_view::npos) return e;
    FirstOccurrences reading;
    if (!json::sax_parse(text.begin(), text.end(), &reading)) return e;
    if (!reading.topIsObject || !reading.paramsSeen || !reading.paramsIsObject) return e;
    for (std::size_t i = 0; i < kKeys.size(); ++i) {
        if (!reading.values[i]) return e;
        const Value& v = *reading.values[i];
        switch (kKeys[i].type) {
            case Key::kText:
                if (v.kind != Value::kString) return e;
                e.source = v.text;
                break;
            case Key::kReal:
                e.handed[i] = asReal(v);
                if (!e.handed[i]) return e;
                break;
            case Key::kCount:
                if (!asCount(v, e.handed[i])) return e;
                break;
        }
    }
    e.accepted = true;
    return e;
}

[[noreturn]] void violated(const char* what, int code = 0) {
    std::fprintf(stderr, "property violated: %s (code %d)\n", what, code);
    std::abort();
}

// Parameters that all differ from their defaults, so that a reader that
// reset or re-applied defaults would be caught.
void setStartValues(DetectorParameters& d) {
    const double start[] = {5, 6, 70, 80, 3, 20, 0.5, 2, 7};
    for (int code = 1; code <= 9; ++code) {
        if (!d.set(code, start[code - 1])) violated("start value refused", code);
    }
}

const char* const kStartSource = "source before the read";

void check(const Expectation& e, bool accepted, const tarvolen::Configuration& read) {
    const DetectorParameters& detector = read.detector;
    const std::string& source = read.videoSource;
    if (accepted != e.accepted)
        violated(accepted ? "accepted a file that must fail" : "refused a valid file");
    DetectorParameters reference;
    setStartValues(reference);
    if (e.accepted) {
        if (source != e.source) violated("source string differs from the file's");
        for (std::size_t i = 1; i < kKeys.size(); ++i) {
            if (e.handed[i]) reference.set(kKeys[i].code, *e.handed[i]);
        }
    } else if (source != kStartSource) {
        violated("a refused file changed the source string");
    }
    for (int code = 1; code <= 9; ++code) {
        const double got = detector.get(code);
        const double want = reference.get(code);
        if (!(got == want)) {
            std::fprintf(stderr, "parameter %d: %.17g, expected %.17g\n", code, got, want);
            violated(e.accepted ? "parameter is not the file's narrowed value"
                                : "a refused file changed a parameter",
                     code);
        }
    }
}

std::string temporaryFile;

void removeTemporaryFile() { std::remove(temporaryFile.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/tarvolen-config-fuzz-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd < 0) violated("cannot create a temporary file");
    close(fd);
    temporaryFile = pattern;
    std::atexit(removeTemporaryFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Expectation e = expect(text);

    tarvolen::Configuration fromBytes;
    setStartValues(fromBytes.detector);
    fromBytes.videoSource = kStartSource;
    check(e, tarvolen::parseConfiguration(text, fromBytes), fromBytes);

    std::FILE* f = std::fopen(temporaryFile.c_str(), "wb");
    if (f == nullptr || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        violated("cannot write the temporary file");
    }
    tarvolen::Configuration fromFile;
    setStartValues(fromFile.detector);
    fromFile.videoSource = kStartSource;
    check(e, tarvolen::readConfiguration(temporaryFile, fromFile), fromFile);
    return 0;
}
