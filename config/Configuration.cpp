#include "config/Configuration.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/ConfigurationDocument.h"
#include "platform/WholeFile.h"

namespace tarvolen {
namespace {

using json = nlohmann::json;

const char* const kParamsKey = "Config_Params";
const char* const kSourceKey = "video_source_init_string";

struct DoubleSetting {
    const char* key;
    int code;
};

// In the order the file's values are read.
const DoubleSetting kDoubleSettings[] = {
    {"min_object_width", DetectorParameters::kMinObjectWidth},
    {"max_object_width", DetectorParameters::kMaxObjectWidth},
    {"min_object_height", DetectorParameters::kMinObjectHeight},
    {"max_object_height", DetectorParameters::kMaxObjectHeight},
    {"object_detection_criterion", DetectorParameters::kObjectDetectionCriterion},
    {"pixel_deviation", DetectorParameters::kPixelDeviation},
    {"alpha_coeff", DetectorParameters::kAlphaCoeff},
};

}  // namespace

// nlohmann::json keeps the last of duplicate keys; the first one must win,
// so later duplicates are dropped while parsing. Keys are tracked per nesting
// depth; every object start clears the set for its own keys.
json parseKeepingFirstKeys(std::string_view text) {
    std::vector<std::set<std::string>> keysAtDepth;
    const json::parser_callback_t keepFirst = [&keysAtDepth](int depth, json::parse_event_t event,
                                                             json& parsed) {
        const std::size_t d = static_cast<std::size_t>(depth);
        if (event == json::parse_event_t::object_start) {
            if (keysAtDepth.size() < d + 2) keysAtDepth.resize(d + 2);
            keysAtDepth[d + 1].clear();
        } else if (event == json::parse_event_t::key) {
            if (keysAtDepth.size() < d + 1) keysAtDepth.resize(d + 1);
            return keysAtDepth[d].insert(parsed.get<std::string>()).second;
        }
        return true;
    };
    return json::parse(text.begin(), text.end(), keepFirst);
}

namespace {

// Booleans count as 1 / 0, floating-point values are truncated toward zero,
// and anything outside the int range saturates (so that the setter refuses
// it rather than seeing a wrapped value). Other types throw.
int readSaturatedInt(const json& value) {
    constexpr std::int64_t kMin = INT_MIN;
    constexpr std::int64_t kMax = INT_MAX;
    switch (value.type()) {
        case json::value_t::boolean:
            return value.get<bool>() ? 1 : 0;
        case json::value_t::number_integer:
            return static_cast<int>(std::clamp<std::int64_t>(value.get<std::int64_t>(), kMin, kMax));
        case json::value_t::number_unsigned:
            return static_cast<int>(std::min<std::uint64_t>(value.get<std::uint64_t>(), kMax));
        case json::value_t::number_float: {
            const double truncated = std::trunc(value.get<double>());
            // Only a typed value (not JSON text) can be NaN: refused as out of range.
            if (std::isnan(truncated)) return INT_MIN;
            return static_cast<int>(
                std::clamp(truncated, static_cast<double>(kMin), static_cast<double>(kMax)));
        }
        default:
            return value.get<int>();  // throws the library's type error
    }
}

}  // namespace

std::vector<std::pair<std::string, double>> detectorSettings(const DetectorParameters& parameters) {
    std::vector<std::pair<std::string, double>> settings;
    for (const DoubleSetting& setting : kDoubleSettings)
        settings.emplace_back(setting.key, parameters.get(setting.code));
    settings.emplace_back("num_threads", parameters.get(DetectorParameters::kNumThreads));
    settings.emplace_back("num_frames", parameters.get(DetectorParameters::kNumFrames));
    return settings;
}

bool parseConfiguration(std::string_view text, Configuration& config) {
    // The JSON library takes a NUL byte for the end of its input, so a value
    // followed by NUL and anything at all would pass. JSON allows no NUL byte
    // anywhere (inside strings control characters must be escaped), so one
    // anywhere in the text makes it invalid.
    if (text.find('\0') != std::string_view::npos) return false;
    try {
        const json document = parseKeepingFirstKeys(text);
        if (!document.is_object()) return false;
        const json& params = document.at(kParamsKey);
        if (!params.is_object()) return false;

        std::string source = params.at(kSourceKey).get<std::string>();
        double values[std::size(kDoubleSettings)];
        for (std::size_t i = 0; i < std::size(kDoubleSettings); ++i) {
            values[i] = params.at(kDoubleSettings[i].key).get<double>();
        }
        const int numThreads = readSaturatedInt(params.at("num_threads"));
        const int numFrames = readSaturatedInt(params.at("num_frames"));

        // Only a complete, well-typed file changes anything; the setter's
        // results are not examined: a refused value keeps what was there.
        DetectorParameters& detector = config.detector;
        for (std::size_t i = 0; i < std::size(kDoubleSettings); ++i) {
            detector.set(kDoubleSettings[i].code, values[i]);
        }
        detector.set(DetectorParameters::kNumThreads, numThreads);
        detector.set(DetectorParameters::kNumFrames, numFrames);
        config.videoSource = std::move(source);
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool readConfiguration(const std::string& fileName, Configuration& config) {
    std::string text;
    return readWholeFile(fileName, text) && parseConfiguration(text, config);
}

namespace {

// Where a setting's key leads: one of the double settings, or the code of
// an int one; neither for a key that names no setting.
struct SettingTarget {
    const DoubleSetting* doubleSetting = nullptr;
    int intCode = 0;
    bool known() const { return doubleSetting != nullptr || intCode != 0; }
};

SettingTarget settingTarget(const std::string& key) {
    SettingTarget target;
    for (const DoubleSetting& setting : kDoubleSettings) {
        if (key == setting.key) target.doubleSetting = &setting;
    }
    if (key == "num_threads") target.intCode = DetectorParameters::kNumThreads;
    if (key == "num_frames") target.intCode = DetectorParameters::kNumFrames;
    return target;
}

// The one place where a detector setting is checked, whatever form its
// value arrived in.
SettingFault applyJsonSetting(DetectorParameters& parameters, const SettingTarget& target,
                              const json& value) {
    if (!target.known()) return SettingFault::UnknownKey;
    bool accepted = false;
    try {
        accepted = target.doubleSetting ? parameters.set(target.doubleSetting->code, value.get<double>())
                                        : parameters.set(target.intCode, readSaturatedInt(value));
    } catch (const std::exception&) {
        return SettingFault::WrongType;
    }
    return accepted ? SettingFault::None : SettingFault::OutOfRange;
}

}  // namespace

bool isDetectorSetting(const std::string& key) { return settingTarget(key).known(); }

std::string settingFaultText(SettingFault fault, const std::string& key) {
    const bool intSetting = settingTarget(key).intCode != 0;
    switch (fault) {
        case SettingFault::None:
            return {};
        case SettingFault::UnknownKey:
            return "not a detector setting";
        case SettingFault::NotJson:
            return "not a JSON value";
        case SettingFault::WrongType:
            return intSetting ? "wrong type: a number or true/false is expected"
                              : "wrong type: a number is expected";
        case SettingFault::OutOfRange:
            return "out of range";
    }
    return {};
}

std::string applySetting(DetectorParameters& parameters, const std::string& key,
                         const std::string& valueText) {
    const SettingTarget target = settingTarget(key);
    if (!target.known()) return settingFaultText(SettingFault::UnknownKey, key);
    json value;
    try {
        value = json::parse(valueText);
    } catch (const std::exception&) {
        return settingFaultText(SettingFault::NotJson, key);
    }
    return settingFaultText(applyJsonSetting(parameters, target, value), key);
}

SettingFault applySettingValue(DetectorParameters& parameters, const std::string& key,
                               const SettingValue& value) {
    const json asJson = std::visit([](auto v) { return json(v); }, value);
    return applyJsonSetting(parameters, settingTarget(key), asJson);
}

}  // namespace tarvolen
