#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "TestSupport.h"
#include "config/Configuration.h"
#include "config/EventRecordingSettings.h"

namespace tarvolen {
namespace {

const char* const kParams = R"("Config_Params": {"video_source_init_string": "0"})";

// A configuration document whose Event_Recording object is `section` (raw
// JSON text).
std::string withSection(const std::string& section) {
    return std::string("{") + kParams + ", \"Event_Recording\": " + section + "}";
}

std::string parse(const std::string& text, EventRecordingSettings& settings) {
    return parseEventRecordingSettings(text, settings);
}

TEST(EventRecordingSettings, AbsentObjectLeavesRecordingOff) {
    EventRecordingSettings settings;
    EXPECT_EQ(parse(std::string("{") + kParams + "}", settings), "");
    EXPECT_FALSE(settings.enabled);
}

struct Accepted {
    const char* section;  // the Event_Recording value
    EventRecordingSettings expected;
};

class AcceptedSection : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedSection, GivesTheseSettings) {
    EventRecordingSettings settings;
    ASSERT_EQ(parse(withSection(GetParam().section), settings), "");
    const EventRecordingSettings& expected = GetParam().expected;
    EXPECT_EQ(settings.enabled, expected.enabled);
    EXPECT_EQ(settings.folder, expected.folder);
    EXPECT_EQ(settings.preSeconds, expected.preSeconds);
    EXPECT_EQ(settings.postSeconds, expected.postSeconds);
    EXPECT_EQ(settings.minEventSeconds, expected.minEventSeconds);
    EXPECT_EQ(settings.log, expected.log);
    EXPECT_EQ(settings.format, expected.format);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AcceptedSection,
    ::testing::Values(
        // Keys left out take their defaults: 2 s before, 5 s after, no minimum, events.jsonl.
        Accepted{R"({"enabled": true, "folder": "events"})", {true, "events", 2.0, 5.0, 0.0, "events.jsonl"}},
        Accepted{R"({"enabled": true, "folder": "/var/clips", "pre_seconds": 0.5, "post_seconds": 12,
                     "min_event_seconds": 1.25, "log": "log.txt"})",
                 {true, "/var/clips", 0.5, 12.0, 1.25, "log.txt"}},
        // The limits of each range are accepted.
        Accepted{R"({"enabled": true, "folder": "f", "pre_seconds": 30, "post_seconds": 300,
                     "min_event_seconds": 86400})",
                 {true, "f", 30.0, 300.0, 86400.0, "events.jsonl"}},
        Accepted{R"({"enabled": true, "folder": "f", "pre_seconds": 0, "post_seconds": 0.0,
                     "min_event_seconds": 0})",
                 {true, "f", 0.0, 0.0, 0.0, "events.jsonl"}},
        // Switched off, no folder is needed.
        Accepted{R"({"enabled": false})", {false, "", 2.0, 5.0, 0.0, "events.jsonl"}},
        Accepted{R"({"enabled": false, "folder": "f", "post_seconds": 1})",
                 {false, "f", 2.0, 1.0, 0.0, "events.jsonl"}},
        // Motion-JPEG unless H.264 is asked for.
        Accepted{R"({"enabled": true, "folder": "f", "format": "mp4"})",
                 {true, "f", 2.0, 5.0, 0.0, "events.jsonl", "mp4"}},
        Accepted{R"({"enabled": true, "folder": "f", "format": "avi"})",
                 {true, "f", 2.0, 5.0, 0.0, "events.jsonl", "avi"}}));

TEST(EventRecordingSettings, TheFirstOfTwoObjectsCounts) {
    EventRecordingSettings settings;
    EXPECT_EQ(parse(std::string("{") + kParams +
                        R"(, "Event_Recording": {"enabled": true, "folder": "a"},
                             "Event_Recording": {"enabled": "no"}})",
                    settings),
              "");
    EXPECT_EQ(settings.folder, "a");
}

TEST(EventRecordingSettings, ANulByteMakesTheTextNoDocument) {
    EventRecordingSettings settings;
    const std::string valid = withSection(R"({"enabled": true, "folder": "a"})");
    EXPECT_EQ(parse(valid + std::string(1, '\0') + "{", settings),
              "the configuration is not one JSON document");
    EXPECT_FALSE(settings.enabled);
}

TEST(EventRecordingSettings, AByteOrderMarkIsSkipped) {
    EventRecordingSettings settings;
    EXPECT_EQ(parse("\xEF\xBB\xBF" + withSection(R"({"enabled": true, "folder": "a"})"), settings), "");
    EXPECT_TRUE(settings.enabled);
}

struct Refused {
    const char* section;  // the Event_Recording value
    const char* message;  // the whole line
};

class RefusedSection : public ::testing::TestWithParam<Refused> {};

TEST_P(RefusedSection, NamesTheKeyAndChangesNothing) {
    EventRecordingSettings settings;
    settings.folder = "untouched";
    EXPECT_EQ(parse(withSection(GetParam().section), settings), GetParam().message);
    EXPECT_FALSE(settings.enabled);
    EXPECT_EQ(settings.folder, "untouched");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedSection,
    ::testing::Values(
        Refused{"5", "Event_Recording must be an object (got 5)"},
        Refused{"[true]", "Event_Recording must be an object (got [true])"},
        Refused{"null", "Event_Recording must be an object (got null)"},
        Refused{R"({"enabled": true, "folder": "f", "pre": 1})",
                "Event_Recording has an unknown key \"pre\""},
        Refused{R"({"Enabled": true})", "Event_Recording has an unknown key \"Enabled\""},
        Refused{R"({"folder": "f"})", "Event_Recording.enabled is missing"},
        Refused{R"({"enabled": "yes", "folder": "f"})",
                "Event_Recording.enabled must be true or false (got \"yes\")"},
        Refused{R"({"enabled": 1, "folder": "f"})", "Event_Recording.enabled must be true or false (got 1)"},
        Refused{R"({"enabled": true})", "Event_Recording.folder is missing"},
        Refused{R"({"enabled": true, "folder": 7})",
                "Event_Recording.folder must be the path of a folder (got 7)"},
        Refused{R"({"enabled": true, "folder": ""})",
                "Event_Recording.folder must be the path of a folder (got \"\")"},
        Refused{R"({"enabled": true, "folder": "a\u0000b"})",
                "Event_Recording.folder must be the path of a folder (got \"a\\u0000b\")"},
        Refused{R"({"enabled": true, "folder": "f", "pre_seconds": -1})",
                "Event_Recording.pre_seconds must be a number from 0 to 30 (got -1)"},
        Refused{R"({"enabled": true, "folder": "f", "pre_seconds": 30.5})",
                "Event_Recording.pre_seconds must be a number from 0 to 30 (got 30.5)"},
        Refused{R"({"enabled": true, "folder": "f", "pre_seconds": "2"})",
                "Event_Recording.pre_seconds must be a number from 0 to 30 (got \"2\")"},
        Refused{R"({"enabled": true, "folder": "f", "pre_seconds": true})",
                "Event_Recording.pre_seconds must be a number from 0 to 30 (got true)"},
        Refused{R"({"enabled": true, "folder": "f", "post_seconds": 300.01})",
                "Event_Recording.post_seconds must be a number from 0 to 300 (got 300.01)"},
        Refused{R"({"enabled": true, "folder": "f", "post_seconds": null})",
                "Event_Recording.post_seconds must be a number from 0 to 300 (got null)"},
        Refused{R"({"enabled": true, "folder": "f", "min_event_seconds": -0.5})",
                "Event_Recording.min_event_seconds must be a number from 0 to 86400 (got -0.5)"},
        Refused{R"({"enabled": true, "folder": "f", "min_event_seconds": 1e6})",
                "Event_Recording.min_event_seconds must be a number from 0 to 86400 (got 1000000.0)"},
        Refused{R"({"enabled": true, "folder": "f", "log": "logs/events.jsonl"})",
                "Event_Recording.log must be a plain file name (no folder) (got \"logs/events.jsonl\")"},
        Refused{R"({"enabled": true, "folder": "f", "log": ".."})",
                "Event_Recording.log must be a plain file name (no folder) (got \"..\")"},
        Refused{R"({"enabled": true, "folder": "f", "log": ""})",
                "Event_Recording.log must be a plain file name (no folder) (got \"\")"},
        Refused{R"({"enabled": true, "folder": "f", "log": ["a"]})",
                "Event_Recording.log must be a plain file name (no folder) (got [\"a\"])"},
        // Switched off, the object is still checked: the mistake shows when it
        // is written, not on the day it is switched on.
        Refused{R"({"enabled": false, "pre_seconds": 45})",
                "Event_Recording.pre_seconds must be a number from 0 to 30 (got 45)"},
        Refused{R"({"enabled": true, "folder": "f", "format": "MP4"})",
                "Event_Recording.format must be \"avi\", \"mp4\" or \"copy\" (got \"MP4\")"},
        Refused{R"({"enabled": true, "folder": "f", "format": "mkv"})",
                "Event_Recording.format must be \"avi\", \"mp4\" or \"copy\" (got \"mkv\")"},
        Refused{R"({"enabled": false, "format": 4})",
                "Event_Recording.format must be \"avi\", \"mp4\" or \"copy\" (got 4)"},
        Refused{R"({"enabled": false, "folder": "f", "colour": 1})",
                "Event_Recording has an unknown key \"colour\""}));

TEST(EventRecordingSettings, ALongRefusedValueIsShortenedToOneLine) {
    EventRecordingSettings settings;
    const std::string message =
        parse(withSection(R"({"enabled": true, "folder": "f", "log": "a/)" + std::string(200, 'x') + "\"}"),
              settings);
    EXPECT_LT(message.size(), 120u) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos);
    EXPECT_EQ(message.rfind("Event_Recording.log must be a plain file name", 0), 0u) << message;
}

TEST(EventRecordingSettings, TheFileReaderNamesTheFile) {
    const test::TempFolder temp;
    const std::filesystem::path file = temp.path() / "events.json";
    test::writeFile(file, withSection(R"({"enabled": true, "folder": "f", "post_seconds": -2})"));
    EventRecordingSettings settings;
    EXPECT_EQ(readEventRecordingSettings(file.string(), settings),
              file.string() + ": Event_Recording.post_seconds must be a number from 0 to 300 (got -2)");
    test::writeFile(file, withSection(R"({"enabled": true, "folder": "clips"})"));
    EXPECT_EQ(readEventRecordingSettings(file.string(), settings), "");
    EXPECT_EQ(settings.folder, "clips");
    std::filesystem::remove(file);
    EXPECT_EQ(readEventRecordingSettings(file.string(), settings), file.string() + ": cannot be read");
}

TEST(EventRecordingSettings, TheShippedExampleIsAValidConfigurationWithTheDefaults) {
    Configuration config;
    ASSERT_TRUE(readConfiguration(TARVOLEN_EVENTS_EXAMPLE_CONFIG, config));
    EventRecordingSettings settings;
    ASSERT_EQ(readEventRecordingSettings(TARVOLEN_EVENTS_EXAMPLE_CONFIG, settings), "");
    const EventRecordingSettings defaults;
    EXPECT_TRUE(settings.enabled);
    EXPECT_EQ(settings.folder, "events");
    EXPECT_EQ(settings.preSeconds, defaults.preSeconds);
    EXPECT_EQ(settings.postSeconds, defaults.postSeconds);
    EXPECT_EQ(settings.minEventSeconds, defaults.minEventSeconds);
    EXPECT_EQ(settings.log, defaults.log);
}

TEST(EventRecordingSettings, HooksSnapshotsAndRetentionDefaultToNothing) {
    EventRecordingSettings settings;
    ASSERT_EQ(parse(withSection(R"({"enabled": true, "folder": "f"})"), settings), "");
    EXPECT_EQ(settings.onEventStart, "");
    EXPECT_EQ(settings.onEventEnd, "");
    EXPECT_EQ(settings.hookTimeoutSeconds, 30.0);
    EXPECT_FALSE(settings.snapshot);
    EXPECT_EQ(settings.maxFolderMb, 0.0);
    EXPECT_EQ(settings.maxAgeDays, 0.0);
}

TEST(EventRecordingSettings, HooksSnapshotsAndRetentionAreRead) {
    EventRecordingSettings settings;
    ASSERT_EQ(parse(withSection(R"({"enabled": true, "folder": "f",
                                   "on_event_start": "notify-send \"$TARVOLEN_CLIP\"",
                                   "on_event_end": "cp \"$TARVOLEN_CLIP\" /backup/", "hook_timeout_seconds": 3600,
                                   "snapshot": true, "max_folder_mb": 500.5, "max_age_days": 36500})"),
                    settings),
              "");
    EXPECT_EQ(settings.onEventStart, "notify-send \"$TARVOLEN_CLIP\"");
    EXPECT_EQ(settings.onEventEnd, "cp \"$TARVOLEN_CLIP\" /backup/");
    EXPECT_EQ(settings.hookTimeoutSeconds, 3600.0);
    EXPECT_TRUE(settings.snapshot);
    EXPECT_EQ(settings.maxFolderMb, 500.5);
    EXPECT_EQ(settings.maxAgeDays, 36500.0);
    ASSERT_EQ(parse(withSection(R"({"enabled": true, "folder": "f", "hook_timeout_seconds": 0.05,
                                   "max_folder_mb": 0, "max_age_days": 0})"),
                    settings),
              "");
    EXPECT_EQ(settings.hookTimeoutSeconds, 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    HooksSnapshotsRetention, RefusedSection,
    ::testing::Values(
        Refused{R"({"enabled": true, "folder": "f", "on_event_start": 5})",
                "Event_Recording.on_event_start must be a shell command as a string (\"\" for none) (got 5)"},
        Refused{R"({"enabled": true, "folder": "f", "on_event_end": ["sh", "x"]})",
                "Event_Recording.on_event_end must be a shell command as a string (\"\" for none) (got [\"sh\",\"x\"])"},
        Refused{R"({"enabled": false, "on_event_end": "a\u0000b"})",
                "Event_Recording.on_event_end must be a shell command as a string (\"\" for none) (got \"a\\u0000b\")"},
        Refused{R"({"enabled": true, "folder": "f", "hook_timeout_seconds": 0})",
                "Event_Recording.hook_timeout_seconds must be a number above 0, at most 3600 (got 0)"},
        Refused{R"({"enabled": true, "folder": "f", "hook_timeout_seconds": 3601})",
                "Event_Recording.hook_timeout_seconds must be a number above 0, at most 3600 (got 3601)"},
        Refused{R"({"enabled": true, "folder": "f", "hook_timeout_seconds": "30"})",
                "Event_Recording.hook_timeout_seconds must be a number above 0, at most 3600 (got \"30\")"},
        Refused{R"({"enabled": true, "folder": "f", "snapshot": 1})",
                "Event_Recording.snapshot must be true or false (got 1)"},
        Refused{R"({"enabled": true, "folder": "f", "snapshot": "true"})",
                "Event_Recording.snapshot must be true or false (got \"true\")"},
        Refused{R"({"enabled": true, "folder": "f", "max_folder_mb": -1})",
                "Event_Recording.max_folder_mb must be a number from 0 (no cap) to 100000000 (got -1)"},
        Refused{R"({"enabled": true, "folder": "f", "max_folder_mb": 1e9})",
                "Event_Recording.max_folder_mb must be a number from 0 (no cap) to 100000000 (got 1000000000.0)"},
        Refused{R"({"enabled": true, "folder": "f", "max_folder_mb": false})",
                "Event_Recording.max_folder_mb must be a number from 0 (no cap) to 100000000 (got false)"},
        Refused{R"({"enabled": true, "folder": "f", "max_age_days": -0.5})",
                "Event_Recording.max_age_days must be a number from 0 (no limit) to 36500 (got -0.5)"},
        Refused{R"({"enabled": true, "folder": "f", "max_age_days": "7"})",
                "Event_Recording.max_age_days must be a number from 0 (no limit) to 36500 (got \"7\")"},
        Refused{R"({"enabled": true, "folder": "f", "on_event_begin": "x"})",
                "Event_Recording has an unknown key \"on_event_begin\""}));

TEST(EventRecordingSettings, TheReferenceConfigurationHasItOff) {
    EventRecordingSettings settings;
    EXPECT_EQ(readEventRecordingSettings(TARVOLEN_EXAMPLE_CONFIG, settings), "");
    EXPECT_FALSE(settings.enabled);
}

}  // namespace
}  // namespace tarvolen
