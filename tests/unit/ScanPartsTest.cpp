#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include "TestSupport.h"
#include "config/Configuration.h"
#include "draw/Overlays.h"
#include "roi/RoiSelection.h"
#include "events/EventJson.h"
#include "scan/EventLog.h"
#include "scan/Progress.h"
#include "roi/Region.h"
#include "scan/ScanApp.h"
#include "scan/ScanOptions.h"
#include "scan/Summary.h"
#include "draw/Timecode.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

// ---- Timecodes

TEST(Timecode, IsHoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(formatTimecode(0), "00:00:00.000");
    EXPECT_EQ(formatTimecode(1234.4), "00:00:01.234");
    EXPECT_EQ(formatTimecode(1234.5), "00:00:01.235");  // to the nearest
    EXPECT_EQ(formatTimecode(59999.6), "00:01:00.000");
    EXPECT_EQ(formatTimecode(3723004), "01:02:03.004");
    EXPECT_EQ(formatTimecode(100.0 * 3600 * 1000 + 5), "100:00:00.005");
    EXPECT_EQ(formatTimecode(-20), "00:00:00.000");
    EXPECT_EQ(formatTimecode(std::nan("")), "00:00:00.000");
    EXPECT_EQ(formatClockTime(3723004), "01:02:03");
}

// ---- Regions

struct RegionText {
    const char* text;
    bool valid;
};

class RegionParsing : public ::testing::TestWithParam<RegionText> {};

TEST_P(RegionParsing, AcceptsFourIntegersWithAPositiveSize) {
    std::string error;
    EXPECT_EQ(parseRegion(GetParam().text, error).has_value(), GetParam().valid) << GetParam().text;
    EXPECT_EQ(error.empty(), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Texts, RegionParsing,
                         ::testing::Values(RegionText{"10,20,30,40", true}, RegionText{"-5,-5,10,10", true},
                                           RegionText{" 1, 2, 3, 4", true}, RegionText{"1,2,3", false},
                                           RegionText{"1,2,3,4,5", false}, RegionText{"1,2,0,4", false},
                                           RegionText{"1,2,3,-4", false}, RegionText{"a,2,3,4", false},
                                           RegionText{"1.5,2,3,4", false}, RegionText{"", false},
                                           RegionText{"1,2,3,99999999999", false}));

TEST(RegionMask, IsTheUnionClippedToTheFrame) {
    const cv::Size frame(100, 80);
    const cv::Mat mask =
        regionMask({cv::Rect(-10, -10, 30, 30), cv::Rect(10, 10, 20, 20), cv::Rect(90, 70, 50, 50)}, frame);
    EXPECT_EQ(mask.size(), frame);
    EXPECT_EQ(cv::countNonZero(mask), 20 * 20 + 20 * 20 - 10 * 10 + 10 * 10);  // overlap once, corner clipped
    EXPECT_EQ(mask.at<uchar>(0, 0), 255);
    EXPECT_EQ(mask.at<uchar>(29, 29), 255);
    EXPECT_EQ(mask.at<uchar>(30, 30), 0);
    EXPECT_EQ(mask.at<uchar>(79, 99), 255);
    EXPECT_EQ(cv::countNonZero(regionMask({}, frame)), 100 * 80);
}

TEST(RegionMask, RectanglesWhollyOutsideAreFound) {
    const cv::Size frame(100, 80);
    EXPECT_FALSE(regionOutsideFrame({cv::Rect(99, 79, 5, 5), cv::Rect(-4, -4, 5, 5)}, frame));
    EXPECT_EQ(regionOutsideFrame({cv::Rect(0, 0, 5, 5), cv::Rect(100, 0, 5, 5)}, frame),
              cv::Rect(100, 0, 5, 5));
    EXPECT_EQ(regionOutsideFrame({cv::Rect(-5, 0, 5, 5)}, frame), cv::Rect(-5, 0, 5, 5));
    EXPECT_TRUE(regionOutsideFrame({cv::Rect(INT_MAX - 1, 0, 5, 5)}, frame));
}

TEST(RegionOutline, OfARectangleIsTheLiveOverlay) {
    const cv::Size size(64, 48);
    RoiSelection selection;
    selection.x0 = 10;
    selection.y0 = 5;
    selection.x1 = 40;
    selection.y1 = 30;
    cv::Mat live = cv::Mat::zeros(size, CV_8UC3);
    drawRoiOverlay(live, selection);
    cv::Mat scan = cv::Mat::zeros(size, CV_8UC3);
    drawRegionOutline(scan, regionOutline(regionMask({selectionRect(selection)}, size)));
    EXPECT_EQ(cv::norm(live, scan, cv::NORM_INF), 0.0);
    EXPECT_GT(cv::countNonZero(scan.reshape(1)), 0);
}

TEST(RegionOutline, OfAUnionFollowsItsBorderOnly) {
    const cv::Size size(64, 48);
    cv::Mat frame = cv::Mat::zeros(size, CV_8UC3);
    drawRegionOutline(frame,
                      regionOutline(regionMask({cv::Rect(5, 5, 20, 20), cv::Rect(15, 15, 20, 20)}, size)));
    cv::Mat gray;
    cv::cvtColor(frame, gray, cv::COLOR_BGR2GRAY);
    EXPECT_GT(gray.at<uchar>(5, 5), 0);    // a corner of the union
    EXPECT_EQ(gray.at<uchar>(15, 24), 0);  // inside the union: the overlap is not outlined
    EXPECT_GT(gray.at<uchar>(34, 34), 0);
}

// ---- JSON lines

EventRecord sampleRecord() {
    EventRecord r;
    r.number = 3;
    r.startFrame = 44;
    r.endFrame = 794;
    r.startMs = 4400.0;
    r.endMs = 3723004.4;
    r.activeFrames = 556;
    r.maxObjects = 7;
    r.bbox = cv::Rect(1, 2, 300, 400);
    return r;
}

TEST(EventJsonLine, HasTheFieldsInOrderWithTimecodes) {
    const std::string line = eventJsonLine(EventTimes::MediaTime, sampleRecord(), "dir/cam 1.avi");
    EXPECT_EQ(
        line,
        "{\"file\":\"dir/cam 1.avi\",\"event\":3,\"start_frame\":44,\"end_frame\":794,\"start_ms\":4400,"
        "\"end_ms\":3723004,\"start\":\"00:00:04.400\",\"end\":\"01:02:03.004\",\"active_frames\":556,"
        "\"max_objects\":7,\"bbox\":[1,2,300,400]}");
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(EventJsonLine, EscapesAndKeepsOddFileNamesParseable) {
    const std::string quoted = eventJsonLine(EventTimes::MediaTime, sampleRecord(), "a\"b\\c\n.avi");
    EXPECT_EQ(nlohmann::json::parse(quoted)["file"], "a\"b\\c\n.avi");
    const std::string notUtf8 = eventJsonLine(EventTimes::MediaTime, sampleRecord(), std::string("caf\xe9.avi"));
    EXPECT_NO_THROW(nlohmann::json::parse(notUtf8));
}

TEST(EventLog, AppendsLinesAndNamesAFileItCannotCreate) {
    const test::TempFolder temp;
    const fs::path& dir = temp.path();
    EventLog log;
    ASSERT_TRUE(log.open((dir / "x.events.jsonl").string()));
    EXPECT_TRUE(log.append("{\"a\":1}"));
    EXPECT_TRUE(log.append("{\"a\":2}"));
    EXPECT_EQ(test::readFile(dir / "x.events.jsonl"), "{\"a\":1}\n{\"a\":2}\n");  // flushed line by line
    EXPECT_TRUE(log.close());

    EventLog missing;
    const std::string path = (dir / "no-such-folder" / "y.events.jsonl").string();
    EXPECT_FALSE(missing.open(path));
    EXPECT_NE(missing.failure().find(path), std::string::npos) << missing.failure();
}

TEST(EventLog, AFullDiskIsReported) {
    TARVOLEN_REQUIRE(fs::exists("/dev/full"), "no /dev/full");
    EventLog log;
    ASSERT_TRUE(log.open("/dev/full"));
    EXPECT_FALSE(log.append(std::string(100000, 'x')));
    EXPECT_NE(log.failure().find("/dev/full"), std::string::npos);
}

// ---- Summary and progress

TEST(Summary, ListsEventsThenTheTotals) {
    FileSummary s;
    s.file = "clip.avi";
    s.fps = 10;
    s.events = {SummaryRow{1, 1500, 4500, 31, 2}, SummaryRow{2, 61000, 62000, 11, 5}};
    s.framesScanned = 1000;
    s.elapsedSeconds = 2.0;
    const std::string text = summaryText(s);
    EXPECT_NE(text.find("clip.avi\n"), std::string::npos);
    EXPECT_NE(text.find("      1  00:00:01.500  00:00:04.500       3.1 s      2\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("      2  00:01:01.000  00:01:02.000       1.1 s      5\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("1000 frames scanned, 2 events, 500.0 frames/s, 50.0x real time"), std::string::npos)
        << text;
    s.events.clear();
    s.interrupted = true;
    EXPECT_NE(summaryText(s).find("no events"), std::string::npos);
    EXPECT_NE(summaryText(s).find("(interrupted), 0 events"), std::string::npos);
}

TEST(Progress, ShowsBarPercentRateTimeLeftAndEvents) {
    EXPECT_EQ(progressLine(ProgressState{400, 800, 2.0, 3}),
              "[############------------]  50%  400/800  200.0 fps  0:02 left  3 events");
    EXPECT_EQ(progressLine(ProgressState{400, 0, 2.0, 1}), "400 frames  200.0 fps  1 event");
    EXPECT_EQ(progressLine(ProgressState{900, 800, 1.0, 0}).substr(0, 31), "[########################] 100%");
}

TEST(Progress, RedrawsOneLineInPlace) {
    std::ostringstream out;
    ProgressReporter reporter(out, true);
    reporter.update(ProgressState{1000, 0, 1.0, 0});
    reporter.clear();
    const std::string text = out.str();
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.front(), '\r');
    EXPECT_EQ(text.back(), '\r');
    std::ostringstream quiet;
    ProgressReporter off(quiet, false);
    off.update(ProgressState{1, 2, 1.0, 0});
    EXPECT_TRUE(quiet.str().empty());
}

// ---- Command line

ParsedCommandLine parse(std::vector<const char*> args) {
    args.insert(args.begin(), "tarvolen-scan");
    return parseCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(CommandLine, TakesEveryOption) {
    const ParsedCommandLine p = parse({"a.avi",          "b/c.mp4",
                                       "--set",          "num_frames=15",
                                       "--set",          "alpha_coeff=0.02",
                                       "--roi",          "1,2,3,4",
                                       "--roi",          "5,6,7,8",
                                       "--pre",          "0.5",
                                       "--post",         "3",
                                       "--min-event",    "1",
                                       "--quit-after",   "2",
                                       "-o",             "out",
                                       "--clips",        "--sheet",
                                       "--annotated",    "{stem}.ann.avi",
                                       "--mask",         "m_{stem}.avi",
                                       "--detect-width", "640",
                                       "--light-change", "37.5",
                                       "--quiet"});
    ASSERT_EQ(p.outcome, ParsedCommandLine::Run) << p.text;
    const ScanOptions& o = p.options;
    EXPECT_EQ(o.files, (std::vector<std::string>{"a.avi", "b/c.mp4"}));
    ASSERT_EQ(o.settings.size(), 2u);
    EXPECT_EQ(o.settings[0], (std::pair<std::string, std::string>{"num_frames", "15"}));
    EXPECT_EQ(o.regions, (std::vector<cv::Rect>{cv::Rect(1, 2, 3, 4), cv::Rect(5, 6, 7, 8)}));
    EXPECT_EQ(o.preSeconds, 0.5);
    EXPECT_EQ(o.postSeconds, 3.0);
    EXPECT_EQ(o.minEventSeconds, 1.0);
    EXPECT_EQ(o.quitAfter, 2);
    EXPECT_EQ(o.outputDir, "out");
    EXPECT_TRUE(o.clips && o.sheet && o.quiet && !o.progress);
    EXPECT_EQ(expandStem(o.annotatedPath, inputStem(o.files[1])), "c.ann.avi");
    EXPECT_EQ(expandStem(o.maskPath, "x"), "m_x.avi");
    EXPECT_EQ(o.detection.detectWidth, 640);
    EXPECT_EQ(o.detection.lightChangePercent, 37.5);
}

TEST(CommandLine, ClipFormatsAndVideoExtensions) {
    EXPECT_EQ(parse({"a.avi"}).options.clipFormat, "avi");
    for (const char* format : {"avi", "mp4", "copy"})
        EXPECT_EQ(parse({"a.avi", "--clips", "--clip-format", format}).options.clipFormat, format);
    const ParsedCommandLine p = parse({"a.avi", "--annotated", "x.MP4", "--mask", "{stem}.mask.mp4"});
    ASSERT_EQ(p.outcome, ParsedCommandLine::Run) << p.text;
}

TEST(CommandLine, HasTheDocumentedDefaults) {
    const ParsedCommandLine p = parse({"a.avi"});
    ASSERT_EQ(p.outcome, ParsedCommandLine::Run);
    EXPECT_EQ(p.options.preSeconds, 1.5);
    EXPECT_EQ(p.options.postSeconds, 2.0);
    EXPECT_EQ(p.options.minEventSeconds, 0.0);
    EXPECT_EQ(p.options.quitAfter, 0);
    EXPECT_EQ(p.options.outputDir, ".");
    EXPECT_FALSE(p.options.clips || p.options.sheet || p.options.quiet || p.options.progress);
}

TEST(CommandLine, HelpListsEveryOptionWithDefaults) {
    const ParsedCommandLine p = parse({"--help"});
    ASSERT_EQ(p.outcome, ParsedCommandLine::Help);
    for (const char* option :
         {"--config", "--set", "--roi", "--pre", "--post", "--min-event", "--quit-after", "--output-dir",
          "--clips", "--clip-format", "--sheet", "--annotated", "--mask", "--progress", "--quiet", "--detect-width",
          "--light-change"})
        EXPECT_NE(p.text.find(option), std::string::npos) << option;
    EXPECT_NE(p.text.find("=1.5"), std::string::npos);
    EXPECT_NE(p.text.find("=2"), std::string::npos);
}

struct BadCommandLine {
    const char* name;
    std::vector<const char*> args;
    const char* mentions;
};

class CommandLineErrors : public ::testing::TestWithParam<BadCommandLine> {};

TEST_P(CommandLineErrors, AreOneLineNamingTheProblem) {
    const ParsedCommandLine p = parse(GetParam().args);
    EXPECT_EQ(p.outcome, ParsedCommandLine::UsageError);
    EXPECT_EQ(p.text.find('\n'), std::string::npos);
    EXPECT_NE(p.text.find(GetParam().mentions), std::string::npos) << p.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineErrors,
    ::testing::Values(
        BadCommandLine{"no file", {}, "FILE"},
        BadCommandLine{"unknown option", {"a.avi", "--fast"}, "--fast"},
        BadCommandLine{"negative pre", {"a.avi", "--pre", "-1"}, "--pre"},
        BadCommandLine{"post not a number", {"a.avi", "--post", "soon"}, "--post"},
        BadCommandLine{"min-event too long", {"a.avi", "--min-event", "1e9"}, "--min-event"},
        BadCommandLine{"negative quit-after", {"a.avi", "--quit-after", "-2"}, "--quit-after"},
        BadCommandLine{"set without value", {"a.avi", "--set", "num_frames"}, "KEY=VALUE"},
        BadCommandLine{"region without size", {"a.avi", "--roi", "1,2,0,5"}, "--roi 1,2,0,5"},
        BadCommandLine{"region not numbers", {"a.avi", "--roi", "x"}, "--roi x"},
        BadCommandLine{"missing config", {"a.avi", "--config", "/no/such/Tarvolen.json"}, "--config"},
        BadCommandLine{"quiet and progress", {"a.avi", "--quiet", "--progress"}, "--quiet"},
        BadCommandLine{"same stem twice", {"a/x.avi", "b/x.mp4"}, "b/x.mp4 and a/x.avi"},
        BadCommandLine{
            "one annotated file for two inputs", {"a.avi", "b.avi", "--annotated", "out.avi"}, "{stem}"},
        BadCommandLine{"annotated over the input", {"d/a.avi", "--annotated", "d/./a.avi"}, "input"},
        BadCommandLine{"mask over the input", {"a.avi", "--mask", "{stem}.avi"}, "input"},
        BadCommandLine{
            "annotated and mask in one file", {"a.avi", "--mask", "m.avi", "--annotated", "m.avi"}, "both"},
        BadCommandLine{"unknown clip format", {"a.avi", "--clips", "--clip-format", "mkv"}, "--clip-format"},
        BadCommandLine{"clip format without clips", {"a.avi", "--clip-format", "mp4"}, "--clips"},
        BadCommandLine{"annotated as mov", {"a.avi", "--annotated", "out.mov"}, "out.mov: the video's name must end in .avi"},
        BadCommandLine{"mask without extension", {"a.avi", "--mask", "{stem}-mask"}, "{stem}-mask: the video's name"},
        BadCommandLine{"detect width below 16", {"a.avi", "--detect-width", "15"},
                       "--detect-width: 15 is neither 0 (frames as delivered) nor a whole width from 16 to 7680"},
        BadCommandLine{"detect width above 7680", {"a.avi", "--detect-width", "7681"}, "7681 is neither"},
        BadCommandLine{"detect width not whole", {"a.avi", "--detect-width", "640.5"}, "640.5 is neither"},
        BadCommandLine{"light change below 1", {"a.avi", "--light-change", "0.5"},
                       "--light-change: 0.5 is neither 0 (off) nor a percentage from 1 to 100"},
        BadCommandLine{"negative light change", {"a.avi", "--light-change", "-5"}, "--light-change"}),
    [](const ::testing::TestParamInfo<BadCommandLine>& testCase) {
        std::string name = testCase.param.name;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        return name;
    });

// ---- Detector settings

class DetectorSettingsTest : public test::TempFolderTest {
protected:
    void writeConfig(const std::string& path, int numThreads, double deviation) {
        std::ofstream(path)
            << "{\"Config_Params\": {\"video_source_init_string\": \"0\", \"min_object_width\": 3,"
               " \"max_object_width\": 64, \"min_object_height\": 2, \"max_object_height\": 64,"
               " \"object_detection_criterion\": 2, \"pixel_deviation\": "
            << deviation << ", \"alpha_coeff\": 0.01, \"num_threads\": " << numThreads
            << ", \"num_frames\": 30}}";
    }
    const test::InFolder inFolder{dir};  // the default Tarvolen.json is looked up here
};

TEST_F(DetectorSettingsTest, DefaultsUseEveryCore) {
    ScanOptions options;
    DetectorParameters settings;
    ASSERT_EQ(loadDetectorSettings(options, settings), "");
    EXPECT_EQ(settings.get(DetectorParameters::kNumFrames), 30);
    EXPECT_GE(settings.get(DetectorParameters::kNumThreads), 1);
    EXPECT_EQ(settings.get(DetectorParameters::kPixelDeviation), 10.0);
}

TEST_F(DetectorSettingsTest, TheWorkingFoldersFileThenSetOverride) {
    writeConfig("Tarvolen.json", 1, 12.5);
    ScanOptions options;
    options.settings = {{"pixel_deviation", "20"}, {"num_frames", "7.9"}, {"num_threads", "true"}};
    DetectorParameters settings;
    ASSERT_EQ(loadDetectorSettings(options, settings), "");
    EXPECT_EQ(settings.get(DetectorParameters::kMinObjectWidth), 3);     // from the file
    EXPECT_EQ(settings.get(DetectorParameters::kPixelDeviation), 20.0);  // --set wins
    EXPECT_EQ(settings.get(DetectorParameters::kNumFrames), 7);          // truncated as in the file
    EXPECT_EQ(settings.get(DetectorParameters::kNumThreads), 1);
}

TEST_F(DetectorSettingsTest, ConfigOptionWinsOverTheWorkingFolder) {
    writeConfig("Tarvolen.json", 1, 12.5);
    writeConfig("other.json", 2, 30);
    ScanOptions options;
    options.configPath = "other.json";
    DetectorParameters settings;
    ASSERT_EQ(loadDetectorSettings(options, settings), "");
    EXPECT_EQ(settings.get(DetectorParameters::kPixelDeviation), 30.0);
}

TEST_F(DetectorSettingsTest, AnUnreadableFileIsAnError) {
    std::ofstream("Tarvolen.json") << "{\"Config_Params\": {";
    ScanOptions options;
    DetectorParameters settings;
    EXPECT_NE(loadDetectorSettings(options, settings).find("Tarvolen.json"), std::string::npos);
}

struct BadSetting {
    const char* key;
    const char* value;
    const char* problem;
};

class BadSettings : public ::testing::TestWithParam<BadSetting> {};

TEST_P(BadSettings, AreRefusedNamingTheKeyAndChangeNothing) {
    DetectorParameters detector;
    const BadSetting& b = GetParam();
    EXPECT_EQ(applySetting(detector, b.key, b.value), b.problem);
    for (int code = 1; code <= 9; ++code) EXPECT_EQ(detector.get(code), DetectorParameters().get(code));

    ScanOptions options;
    options.settings = {{b.key, b.value}};
    DetectorParameters settings;
    const std::string message = loadDetectorSettings(options, settings);
    EXPECT_NE(message.find(std::string(b.key) + ": "), std::string::npos) << message;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadSettings,
    ::testing::Values(BadSetting{"pixel_deviaton", "10", "not a detector setting"},
                      BadSetting{"video_source_init_string", "\"0\"", "not a detector setting"},
                      BadSetting{"pixel_deviation", "\"10\"", "wrong type: a number is expected"},
                      BadSetting{"pixel_deviation", "true", "wrong type: a number is expected"},
                      BadSetting{"num_frames", "\"30\"", "wrong type: a number or true/false is expected"},
                      BadSetting{"num_frames", "[1]", "wrong type: a number or true/false is expected"},
                      BadSetting{"alpha_coeff", "abc", "not a JSON value"},
                      BadSetting{"alpha_coeff", "", "not a JSON value"},
                      BadSetting{"alpha_coeff", "2", "out of range"},
                      BadSetting{"min_object_width", "0.5", "out of range"},
                      BadSetting{"num_threads", "33", "out of range"},
                      BadSetting{"num_frames", "0", "out of range"}));

TEST(ApplySetting, UsesTheFilesNarrowing) {
    DetectorParameters detector;
    EXPECT_EQ(applySetting(detector, "num_threads", "4.9"), "");
    EXPECT_EQ(detector.get(DetectorParameters::kNumThreads), 4);
    EXPECT_EQ(applySetting(detector, "num_frames", "true"), "");
    EXPECT_EQ(detector.get(DetectorParameters::kNumFrames), 1);
    EXPECT_EQ(applySetting(detector, "min_object_width", "8192.9"), "");
    EXPECT_EQ(detector.get(DetectorParameters::kMinObjectWidth), 8192);
    EXPECT_EQ(applySetting(detector, "alpha_coeff", " 0.5 "), "");
    EXPECT_FLOAT_EQ(detector.get(DetectorParameters::kAlphaCoeff), 0.5f);
}

// Values that arrive typed (the Python module's arguments) are taken as the
// JSON values they stand for; NaN, which no JSON text holds, is refused.
TEST(ApplySettingValue, TakesTypedValuesAsTheFileWould) {
    DetectorParameters detector;
    EXPECT_EQ(applySettingValue(detector, "num_frames", SettingValue(true)), SettingFault::None);
    EXPECT_EQ(applySettingValue(detector, "num_threads", SettingValue(std::int64_t{3})), SettingFault::None);
    EXPECT_EQ(applySettingValue(detector, "min_object_width", SettingValue(std::int64_t{1} << 40)),
              SettingFault::OutOfRange);
    EXPECT_EQ(applySettingValue(detector, "pixel_deviation", SettingValue(true)), SettingFault::WrongType);
    EXPECT_EQ(applySettingValue(detector, "num_frames", SettingValue(std::nan(""))), SettingFault::OutOfRange);
    EXPECT_EQ(applySettingValue(detector, "alpha_coeff", SettingValue(std::nan(""))), SettingFault::OutOfRange);
    EXPECT_EQ(applySettingValue(detector, "bogus", SettingValue(1.0)), SettingFault::UnknownKey);
    EXPECT_EQ(detector.num_frames, 1);
    EXPECT_EQ(detector.num_threads, 3);
    EXPECT_EQ(detector.min_object_width, DetectorParameters().min_object_width);
}

}  // namespace
}  // namespace tarvolen
