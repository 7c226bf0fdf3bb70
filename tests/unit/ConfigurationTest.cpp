#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "config/Configuration.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;
using Overrides = std::vector<std::pair<std::string, std::string>>;

const char* const kFile = "Tarvolen.json";

// The ten keys in file order with valid, non-default values.
const std::vector<std::pair<std::string, std::string>> kValidParams = {
    {"video_source_init_string", "\"clip.avi\""},
    {"min_object_width", "3"},
    {"max_object_width", "50"},
    {"min_object_height", "4"},
    {"max_object_height", "60"},
    {"object_detection_criterion", "5"},
    {"pixel_deviation", "12.5"},
    {"alpha_coeff", "0.05"},
    {"num_threads", "2"},
    {"num_frames", "10"},
};

// Config_Params with the valid values, each key replaced by its override
// (raw JSON text; an empty text leaves the key out).
std::string paramsText(const Overrides& overrides = {}) {
    std::map<std::string, std::string> values(kValidParams.begin(), kValidParams.end());
    for (const auto& [key, raw] : overrides) values[key] = raw;
    std::string text = "{";
    bool first = true;
    for (const auto& [key, unused] : kValidParams) {
        if (values[key].empty()) continue;
        text += (first ? "\n  \"" : ",\n  \"") + key + "\": " + values[key];
        first = false;
    }
    return text + "\n}";
}

std::string configText(const Overrides& overrides = {}) {
    return "{\"Config_Params\": " + paramsText(overrides) + "}\n";
}

// Each test reads kFile in a working folder of its own.
class ConfigurationFile : public test::TempFolderTest {
protected:
    void write(const std::string& content) { std::ofstream(kFile, std::ios::binary) << content; }

    bool read() { return readConfiguration(kFile, config); }

    void expectDefaults() const {
        const DetectorParameters fresh;
        for (int code = 1; code <= 9; ++code) {
            EXPECT_EQ(detector.get(code), fresh.get(code)) << "code " << code;
        }
    }

    const test::InFolder inFolder{dir};
    Configuration config;
    DetectorParameters& detector = config.detector;
    std::string& source = config.videoSource;
};

TEST_F(ConfigurationFile, CompleteFileSetsEverything) {
    write(configText());
    ASSERT_TRUE(read());
    EXPECT_EQ(source, "clip.avi");
    // By setter code: min width, min height, max width, max height, criterion,
    // deviation, alpha (stored as a float), threads, window.
    const double expected[] = {3, 4, 50, 60, 5, 12.5, 0.05f, 2, 10};
    for (int code = 1; code <= 9; ++code) EXPECT_EQ(detector.get(code), expected[code - 1]) << code;
}

TEST_F(ConfigurationFile, MissingFileFails) {
    EXPECT_FALSE(read());
    expectDefaults();
}

TEST_F(ConfigurationFile, DirectoryInPlaceOfTheFileFails) {
    fs::create_directory(kFile);
    EXPECT_FALSE(read());
    expectDefaults();
}

// The reference configuration shipped with the program: camera 0 and the
// detector's defaults.
TEST_F(ConfigurationFile, ShippedExampleHoldsTheDefaults) {
    fs::copy_file(TARVOLEN_EXAMPLE_CONFIG, kFile);
    ASSERT_TRUE(read());
    EXPECT_EQ(source, "0");
    expectDefaults();
}

struct BadFile {
    const char* why;
    std::string content;
};

void PrintTo(const BadFile& c, std::ostream* os) { *os << c.why; }

class BrokenConfiguration : public ConfigurationFile, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BrokenConfiguration, FailsAndAppliesNothing) {
    write(GetParam().content);
    source = "previous";
    EXPECT_FALSE(read());
    expectDefaults();
    EXPECT_EQ(source, "previous");
}

INSTANTIATE_TEST_SUITE_P(
    FailureTable, BrokenConfiguration,
    ::testing::Values(BadFile{"empty file", ""}, BadFile{"only white space", "  \n"},
                      BadFile{"missing comma", "{\"Config_Params\": {\"a\": 1 \"b\": 2}}"},
                      BadFile{"second document", configText() + configText()},
                      BadFile{"trailing garbage", configText() + "x"},
                      BadFile{"number too large for a double", configText({{"pixel_deviation", "1e999"}})},
                      BadFile{"top-level array", "[" + configText() + "]"},
                      BadFile{"lower-case c", "{\"config_Params\": " + paramsText() + "}"},
                      BadFile{"params not an object", "{\"Config_Params\": 5}"},
                      BadFile{"missing num_frames", configText({{"num_frames", ""}})},
                      BadFile{"missing source", configText({{"video_source_init_string", ""}})},
                      BadFile{"missing alpha", configText({{"alpha_coeff", ""}})},
                      BadFile{"numeric source", configText({{"video_source_init_string", "0"}})},
                      BadFile{"string deviation", configText({{"pixel_deviation", "\"10\""}})},
                      BadFile{"boolean deviation", configText({{"pixel_deviation", "false"}})},
                      BadFile{"true width", configText({{"min_object_width", "true"}})},
                      BadFile{"null criterion", configText({{"object_detection_criterion", "null"}})},
                      BadFile{"array height", configText({{"max_object_height", "[1]"}})},
                      BadFile{"object alpha", configText({{"alpha_coeff", "{}"}})},
                      BadFile{"string frames", configText({{"num_frames", "\"30\""}})},
                      BadFile{"null threads", configText({{"num_threads", "null"}})},
                      BadFile{"array threads", configText({{"num_threads", "[2]"}})},
                      BadFile{
                          "key case matters",
                          configText({{"num_frames", ""}, {"alpha_coeff", "0.05, \"Num_frames\": 30"}})}));

const std::string kNul(1, '\0');
const std::string kBom = "\xEF\xBB\xBF";

// JSON allows no NUL byte anywhere, but the parser stops at one as if the
// input ended there.
INSTANTIATE_TEST_SUITE_P(
    NulBytes, BrokenConfiguration,
    ::testing::Values(BadFile{"right after the value", configText() + kNul},
                      BadFile{"after the closing brace, before the newline",
                              "{\"Config_Params\": " + paramsText() + "}" + kNul + "\n"},
                      BadFile{"after trailing white space", configText() + "  \n" + kNul + "\n"},
                      BadFile{"before a second document", configText() + kNul + configText()},
                      BadFile{"before garbage", configText() + kNul + "garbage"},
                      BadFile{"after a byte-order mark and the value", kBom + configText() + kNul},
                      BadFile{"inside the source string",
                              configText({{"video_source_init_string", "\"clip" + kNul + ".avi\""}})},
                      BadFile{"ending a number", configText({{"num_frames", "10" + kNul}})},
                      BadFile{"the only byte", kNul}, BadFile{"many, only", std::string(64, '\0')},
                      BadFile{"before the value", kNul + configText()},
                      BadFile{"between the byte-order mark and the value", kBom + kNul + configText()}));

// After the value only JSON's white space is allowed: space, tab, CR, LF.
INSTANTIATE_TEST_SUITE_P(TrailingBytes, BrokenConfiguration,
                         ::testing::Values(BadFile{"form feed", configText() + "\f"},
                                           BadFile{"vertical tab", configText() + "\v"},
                                           BadFile{"no-break space", configText() + "\xC2\xA0"},
                                           BadFile{"a second byte-order mark", configText() + kBom},
                                           BadFile{"a byte-order mark before the value and another after it",
                                                   kBom + configText() + kBom},
                                           BadFile{"a stray 0xFF byte", configText() + "\xFF"},
                                           BadFile{"a comment", configText() + "// note"}));

TEST_F(ConfigurationFile, JsonWhiteSpaceAfterTheValueIsAccepted) {
    write(kBom + configText() + " \t\r\n \r\n\t");
    ASSERT_TRUE(read());
    EXPECT_EQ(source, "clip.avi");
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, ParsingTheBytesMatchesReadingTheFile) {
    const std::string text = kBom + configText({{"num_threads", "true"}, {"alpha_coeff", "2"}});
    write(text);
    ASSERT_TRUE(read());
    Configuration fromBytes;
    ASSERT_TRUE(parseConfiguration(text, fromBytes));
    EXPECT_EQ(fromBytes.videoSource, source);
    for (int code = 1; code <= 9; ++code) {
        EXPECT_EQ(fromBytes.detector.get(code), detector.get(code)) << "code " << code;
    }
    EXPECT_FALSE(parseConfiguration(text + kNul, fromBytes));
}

// A device that never ends, or a file far beyond any configuration's size,
// is refused after a bounded read instead of exhausting memory.
TEST_F(ConfigurationFile, EndlessDeviceIsRefused) {
    fs::create_symlink("/dev/zero", kFile);
    source = "previous";
    EXPECT_FALSE(read());
    expectDefaults();
    EXPECT_EQ(source, "previous");
}

// A FIFO nobody writes to would block the open for good.
TEST_F(ConfigurationFile, FifoIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(kFile, 0600), 0);
    source = "previous";
    EXPECT_FALSE(read());
    expectDefaults();
    EXPECT_EQ(source, "previous");
}

TEST_F(ConfigurationFile, OversizedFileIsRefused) {
    const std::size_t kPastTheBound = (16u << 20) + 1;  // bytes, one more than the reader takes
    const std::string text = configText();
    write(text + std::string(kPastTheBound - text.size(), ' '));
    EXPECT_FALSE(read());
    expectDefaults();
    write(text + std::string((1u << 20), ' '));  // a megabyte of padding is still fine
    EXPECT_TRUE(read());
}

struct IntCase {
    const char* raw;
    double threads;  // stored num_threads; 1 is the default
};

class ThreadCountValues : public ConfigurationFile, public ::testing::WithParamInterface<IntCase> {};

TEST_P(ThreadCountValues, AreNarrowedToAnInt) {
    write(configText({{"num_threads", GetParam().raw}}));
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumThreads), GetParam().threads);
}

INSTANTIATE_TEST_SUITE_P(Narrowing, ThreadCountValues,
                         ::testing::Values(IntCase{"4.9", 4}, IntCase{"true", 1}, IntCase{"false", 0},
                                           IntCase{"-0.5", 0}, IntCase{"32", 32}, IntCase{"33", 1},
                                           // Outside the int range: saturated, so the setter refuses
                                           // it instead of seeing a wrapped value such as 2.
                                           IntCase{"4294967298", 1}, IntCase{"-4294967294", 1},
                                           IntCase{"1e300", 1}, IntCase{"18446744073709551615", 1}));

TEST_F(ConfigurationFile, WindowLengthThatWouldWrapToThirtyIsRefused) {
    write(configText({{"num_frames", "4294967326"}}));  // 2^32 + 30
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 30);
    write(configText({{"num_frames", "30.0"}}));
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 30);
    write(configText({{"num_frames", "12.7"}}));
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 12);
}

TEST_F(ConfigurationFile, IntegerAndFloatingPointWidthsAgree) {
    write(configText({{"min_object_width", "10"}}));
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kMinObjectWidth), 10);
    Configuration other;
    write(configText({{"min_object_width", "10.0"}}));
    ASSERT_TRUE(readConfiguration(kFile, other));
    EXPECT_EQ(other.detector.get(DetectorParameters::kMinObjectWidth), 10);
}

TEST_F(ConfigurationFile, RefusedValueKeepsItsDefaultOnly) {
    write(configText({{"alpha_coeff", "2"}}));
    ASSERT_TRUE(read());
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kAlphaCoeff), 0.01f);
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kPixelDeviation), 12.5);
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

// The reader starts from the values it is given, not from the defaults: a
// refused value keeps the caller's, and a failed read keeps all of them.
TEST_F(ConfigurationFile, RefusedValueKeepsTheCallersValue) {
    ASSERT_TRUE(detector.set(DetectorParameters::kAlphaCoeff, 0.25));
    ASSERT_TRUE(detector.set(DetectorParameters::kNumThreads, 0));
    write(configText({{"alpha_coeff", "2"}, {"num_threads", "33"}}));
    ASSERT_TRUE(read());
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kAlphaCoeff), 0.25f);
    EXPECT_EQ(detector.get(DetectorParameters::kNumThreads), 0);
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, FailedReadKeepsTheCallersValues) {
    ASSERT_TRUE(detector.set(DetectorParameters::kNumFrames, 12));
    source = "previous";
    write(configText({{"num_threads", "\"2\""}}));
    EXPECT_FALSE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 12);
    EXPECT_EQ(source, "previous");
}

TEST_F(ConfigurationFile, ByteOrderMarkIsSkipped) {
    write("\xEF\xBB\xBF" + configText());
    ASSERT_TRUE(read());
    EXPECT_EQ(source, "clip.avi");
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, ExtraKeysChangeNothing) {
    write("{\"comment\": [1, 2], \"Config_Params\": " +
          paramsText({{"num_frames", "10, \"colour\": \"blue\", \"num_frame\": 99"}}) + ", \"x\": null}");
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, FirstOfDuplicateKeysCounts) {
    write(configText({{"pixel_deviation", "7, \"pixel_deviation\": 9"}}));
    ASSERT_TRUE(read());
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kPixelDeviation), 7.0);
}

TEST_F(ConfigurationFile, FirstDuplicateWinsEvenWhenTheLaterOneIsInvalid) {
    write(configText({{"num_frames", "10, \"num_frames\": \"oops\""}}));
    ASSERT_TRUE(read());
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, FirstOfDuplicateParameterObjectsCounts) {
    write("{\"Config_Params\": " + paramsText() + ", \"Config_Params\": " +
          paramsText({{"num_frames", "20"}, {"video_source_init_string", "\"other.avi\""}}) + "}");
    ASSERT_TRUE(read());
    EXPECT_EQ(source, "clip.avi");
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 10);
}

TEST_F(ConfigurationFile, DuplicatesInNestedObjectsDoNotLeakAcrossLevels) {
    // The same key names at several depths, and a discarded duplicate with an
    // object value, must not disturb the keys of Config_Params.
    write("{\"num_frames\": {\"num_frames\": 1, \"num_frames\": 2}, \"Config_Params\": " +
          paramsText({{"alpha_coeff", "0.05, \"alpha_coeff\": {\"num_threads\": 5}"}}) + "}");
    ASSERT_TRUE(read());
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kAlphaCoeff), 0.05f);
    EXPECT_EQ(detector.get(DetectorParameters::kNumThreads), 2);
}

}  // namespace
}  // namespace tarvolen
