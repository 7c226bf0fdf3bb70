// The web view's parts that decide what is served and to whom: the listen
// check, the token, the file-name filter, byte ranges, the event list and
// the live picture's encoding.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "TestSupport.h"
#include "watch/WebAuth.h"
#include "watch/WebFiles.h"
#include "watch/WebPage.h"
#include "watch/WebSettings.h"
#include "watch/WebStreamHub.h"

namespace tarvolen {
namespace {

namespace fs = std::filesystem;

const std::string kToken = "0123456789abcdef";  // 16 characters

// --- settings -----------------------------------------------------------

struct SettingsCase {
    std::string listen;
    std::string token;
    std::string problemPart;  // empty: accepted
};

class WebSettingsCheck : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(WebSettingsCheck, AcceptsOrNamesTheProblem) {
    const SettingsCase& c = GetParam();
    const std::string problem = checkWebSettings({c.listen, c.token});
    if (c.problemPart.empty()) {
        EXPECT_EQ(problem, "") << c.listen;
    } else {
        EXPECT_NE(problem.find(c.problemPart), std::string::npos) << c.listen << " gave: " << problem;
        EXPECT_EQ(problem.find('\n'), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listen, WebSettingsCheck,
    ::testing::Values(SettingsCase{"", "", ""}, SettingsCase{"127.0.0.1:8080", "", ""},
                      SettingsCase{"127.4.5.6:1", "", ""}, SettingsCase{"localhost:65535", "", ""},
                      SettingsCase{"[::1]:8080", "", ""}, SettingsCase{"0.0.0.0:8080", kToken, ""},
                      SettingsCase{"192.168.1.20:80", kToken + "x", ""},
                      SettingsCase{"0.0.0.0:8080", "", "at least 16"},
                      SettingsCase{"0.0.0.0:8080", kToken.substr(1), "at least 16"},
                      SettingsCase{"[::]:8080", "", "at least 16"},
                      SettingsCase{"camera-host:8080", "short", "at least 16"},
                      SettingsCase{"128.0.0.1:8080", "", "at least 16"},
                      SettingsCase{"8080", "", "host:port"}, SettingsCase{"127.0.0.1:0", "", "host:port"},
                      SettingsCase{"127.0.0.1:65536", "", "host:port"}, SettingsCase{"127.0.0.1:", "", "host:port"},
                      SettingsCase{":8080", "", "host:port"}, SettingsCase{"::1:8080", "", "host:port"},
                      SettingsCase{"[::1]", "", "host:port"}, SettingsCase{"[127.0.0.1]:80", "", "host:port"},
                      SettingsCase{"http://127.0.0.1:80", "", "host:port"},
                      SettingsCase{"127.0.0.1:80 ", "", "host:port"}, SettingsCase{"127.0.0.1:+80", "", "host:port"},
                      SettingsCase{"127.0.0.1:8080", "with space in it!", "visible ASCII"},
                      SettingsCase{"127.0.0.1:8080", "semi;colon;token;x", "visible ASCII"}));

TEST(WebSettings, SplitsHostAndPortAndUnbracketsIPv6) {
    ListenAddress address;
    std::string problem;
    ASSERT_TRUE(parseListen("[::1]:8081", address, problem));
    EXPECT_EQ(address.host, "::1");
    EXPECT_EQ(address.port, 8081);
    ASSERT_TRUE(parseListen("0.0.0.0:80", address, problem));
    EXPECT_EQ(address.host, "0.0.0.0");
    EXPECT_EQ(address.port, 80);
    EXPECT_TRUE(isLoopbackHost("127.255.255.254"));
    EXPECT_FALSE(isLoopbackHost("::ffff:10.0.0.1"));
    EXPECT_FALSE(isLoopbackHost("localhost.example.com"));
}

// --- token --------------------------------------------------------------

struct AuthCase {
    std::string name;
    AuthRequest request;
    AuthDecision expected;
};

class WebAuthDecision : public ::testing::TestWithParam<AuthCase> {};

TEST_P(WebAuthDecision, FollowsTheToken) {
    EXPECT_EQ(decideAuth(kToken, GetParam().request), GetParam().expected) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(
    Requests, WebAuthDecision,
    ::testing::Values(
        AuthCase{"nothing", {"/api/status", "", "", false, ""}, AuthDecision::Deny},
        AuthCase{"bearer", {"/api/status", "Bearer " + kToken, "", false, ""}, AuthDecision::Allow},
        AuthCase{"wrong bearer", {"/api/status", "Bearer " + kToken + "0", "", false, ""}, AuthDecision::Deny},
        AuthCase{"prefix of the token", {"/", "Bearer " + kToken.substr(0, 15), "", false, ""}, AuthDecision::Deny},
        AuthCase{"basic scheme", {"/", "Basic " + kToken, "", false, ""}, AuthDecision::Deny},
        AuthCase{"cookie", {"/stream.mjpg", "", "a=1; token=" + kToken + "; b=2", false, ""}, AuthDecision::Allow},
        AuthCase{"cookie of another name", {"/", "", "xtoken=" + kToken, false, ""}, AuthDecision::Deny},
        AuthCase{"query on the page", {"/", "", "", true, kToken}, AuthDecision::SetCookieAndRedirect},
        AuthCase{"wrong query on the page", {"/", "", "token=" + kToken, true, "nope"}, AuthDecision::Deny},
        AuthCase{"query elsewhere", {"/api/status", "", "", true, kToken}, AuthDecision::Deny}),
    [](const auto& testCase) {
        std::string name = testCase.param.name;
        for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(WebAuth, NoTokenLetsEveryoneInAndTokensCompareWhole) {
    EXPECT_EQ(decideAuth("", {"/", "", "", false, ""}), AuthDecision::Allow);
    EXPECT_TRUE(tokensEqual(kToken, kToken));
    EXPECT_FALSE(tokensEqual(kToken, kToken + kToken));
    EXPECT_FALSE(tokensEqual(kToken, ""));
    EXPECT_FALSE(tokensEqual("", ""));
    const std::string cookie = tokenCookie(kToken);
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookieValue(" token=" + kToken + " ;x=y", "token"), kToken);
}

// --- file names ---------------------------------------------------------

class RefusedClipName : public ::testing::TestWithParam<std::string> {};

TEST_P(RefusedClipName, IsNoEventFile) {
    EXPECT_FALSE(isEventFileName(GetParam(), EventFileKind::Clip));
    EXPECT_FALSE(isEventFileName(GetParam(), EventFileKind::Snapshot));
    EXPECT_FALSE(isEventFileName(GetParam(), EventFileKind::Boxes));
}

// Names as they reach the filter, after the one URL decoding the server does.
INSTANTIATE_TEST_SUITE_P(
    Tricks, RefusedClipName,
    ::testing::Values("", "..", "../events.jsonl", "../event_1.avi", "event_1.avi/..", "event_..avi",
                      "event_1/.avi", "event_1%2f.avi", "%2e%2e%2fevent_1.avi", "event_1%2eavi",
                      std::string("event_1.avi\0.jpg", 16), std::string("event_1\0.avi", 12), "/etc/passwd",
                      "/tmp/event_1.avi", "event_1\\..\\x.avi", "..\\event_1.avi", "event_1.AVI", "event_.avi",
                      "xevent_1.avi", "event_1 .avi", "event_1.avi ", "event_1.avi.", "event_1.webm",
                      "event_a.avi", "event_1.avi%00.jpg", "%252e%252e%252fevent_1.avi", "event_1.jpg/x",
                      "event_1.json", "event_1..boxes.json", "event_1.mp4.boxes.json", "event_.boxes.json",
                      "event_1%2eboxes.json", "../event_1.boxes.json", std::string("event_1\0.boxes.json", 19)));

TEST(EventFileName, KnowsClipsFromSnapshots) {
    EXPECT_TRUE(isEventFileName("event_05_03_2024_09_07_03.avi", EventFileKind::Clip));
    EXPECT_TRUE(isEventFileName("event_05_03_2024_09_07_03_2.mp4", EventFileKind::Clip));
    EXPECT_TRUE(isEventFileName("event_05_03_2024_09_07_03.jpg", EventFileKind::Snapshot));
    EXPECT_FALSE(isEventFileName("event_05_03_2024_09_07_03.jpg", EventFileKind::Clip));
    EXPECT_FALSE(isEventFileName("event_05_03_2024_09_07_03.mp4", EventFileKind::Snapshot));
    EXPECT_TRUE(isEventFileName("event_05_03_2024_09_07_03.mkv", EventFileKind::Clip));
    EXPECT_TRUE(isEventFileName("event_05_03_2024_09_07_03_2.boxes.json", EventFileKind::Boxes));
    EXPECT_EQ(eventFileContentType("event_1.avi"), "video/x-msvideo");
    EXPECT_EQ(eventFileContentType("event_1.mp4"), "video/mp4");
    EXPECT_EQ(eventFileContentType("event_1.mkv"), "video/x-matroska");
    EXPECT_EQ(eventFileContentType("event_1.jpg"), "image/jpeg");
    EXPECT_EQ(eventFileContentType("event_1.boxes.json"), "application/json");
}

class EventFolder : public test::TempFolderTest {
protected:
    void write(const std::string& name, const std::string& bytes) { test::writeFile(dir / name, bytes); }

    const std::string folder = dir.string();
};

TEST_F(EventFolder, OpensOnlyRegularFilesByTheirOwnName) {
    write("event_1.avi", "0123456789");
    write("secret.txt", "do not serve");
    fs::create_symlink(folder + "/event_1.avi", folder + "/event_2.avi");
    fs::create_symlink("/etc/passwd", folder + "/event_3.avi");
    fs::create_symlink(folder + "/secret.txt", folder + "/event_4.jpg");
    fs::create_directory(folder + "/event_5.avi");
    ASSERT_EQ(::mkfifo((folder + "/event_6.mp4").c_str(), 0600), 0);

    const auto clip = openEventFile(folder, "event_1.avi", EventFileKind::Clip);
    ASSERT_TRUE(clip);
    EXPECT_EQ(clip->size(), 10u);
    char bytes[4] = {};
    EXPECT_EQ(clip->readAt(bytes, 4, 6), 4);
    EXPECT_EQ(std::string(bytes, 4), "6789");
    EXPECT_EQ(clip->readAt(bytes, 4, 8), 2);

    EXPECT_FALSE(openEventFile(folder, "event_2.avi", EventFileKind::Clip)) << "a link to a clip";
    EXPECT_FALSE(openEventFile(folder, "event_3.avi", EventFileKind::Clip)) << "a link out of the folder";
    EXPECT_FALSE(openEventFile(folder, "event_4.jpg", EventFileKind::Snapshot)) << "a link to another file";
    EXPECT_FALSE(openEventFile(folder, "event_5.avi", EventFileKind::Clip)) << "a folder";
    EXPECT_FALSE(openEventFile(folder, "event_6.mp4", EventFileKind::Clip)) << "a FIFO";
    EXPECT_FALSE(openEventFile(folder, "event_7.avi", EventFileKind::Clip)) << "nothing";
    EXPECT_FALSE(openEventFile(folder, "../" + fs::path(folder).filename().string() + "/event_1.avi",
                               EventFileKind::Clip));
    EXPECT_FALSE(openEventFile(folder, "event_1.avi", EventFileKind::Snapshot));
}

// --- byte ranges --------------------------------------------------------

TEST(ByteRangeCheck, RefusesWhatSelectsNoByte) {
    const std::uint64_t size = 100;
    EXPECT_TRUE(rangesSatisfiable({}, size));
    EXPECT_TRUE(rangesSatisfiable({{0, 0}}, size));
    EXPECT_TRUE(rangesSatisfiable({{10, 19}, {90, -1}}, size));
    EXPECT_TRUE(rangesSatisfiable({{99, 500}}, size)) << "an end past the file is cut";
    EXPECT_TRUE(rangesSatisfiable({{-1, 500}}, size)) << "a suffix longer than the file is the file";
    EXPECT_FALSE(rangesSatisfiable({{100, -1}}, size));
    EXPECT_FALSE(rangesSatisfiable({{100, 200}}, size));
    EXPECT_FALSE(rangesSatisfiable({{20, 10}}, size));
    EXPECT_FALSE(rangesSatisfiable({{-1, 0}}, size));
    EXPECT_FALSE(rangesSatisfiable({{-1, -1}}, size));
    EXPECT_FALSE(rangesSatisfiable({{0, 0}}, 0));
    EXPECT_FALSE(rangesSatisfiable(ByteRanges(kMaxRanges + 1, {0, 1}), size)) << "too many ranges";
}

// --- times and the event list -------------------------------------------

TEST(IsoTime, ReadsTheLogsTimesWithTheirOffsets) {
    EXPECT_EQ(parseIsoTime("1970-01-01T00:00:00Z"), 0);
    EXPECT_EQ(parseIsoTime("2024-03-05T09:07:03.120+01:00"), 1709626023120);
    EXPECT_EQ(parseIsoTime("2024-03-05T03:07:03.12-05:00"), 1709626023120);
    EXPECT_EQ(parseIsoTime("2024-03-05T08:07:03.120"), 1709626023120);
    for (const char* bad : {"", "garbage", "2024-13-05T09:07:03Z", "2024-03-05 09:07:03", "2024-03-05T09:07:03+0100",
                            "2024-03-05T09:07:03.Z", "2024-03-05T09:07:03+01:00x"}) {
        EXPECT_FALSE(parseIsoTime(bad)) << bad;
    }
}

std::string logLine(int n) {
    char start[40];
    std::snprintf(start, sizeof start, "2024-03-05T09:%02d:%02d.000+01:00", n / 60, n % 60);
    char file[40];
    std::snprintf(file, sizeof file, "event_05_03_2024_09_%02d_%02d.avi", n / 60, n % 60);
    return std::string("{\"file\":\"") + file + "\",\"start\":\"" + start + "\",\"end\":\"" + start +
           "\",\"max_objects\":" + std::to_string(n) + "}";
}

TEST_F(EventFolder, ListsTheNewestEventsFirstFromTheLogsEnd) {
    std::string log;
    for (int n = 0; n < 3000; ++n) {  // some 300 KB: several blocks from the end
        log += logLine(n) + "\n";
        if (n == 1500) log += "not json\n{\"half\":\n";
    }
    log += "{\"file\":\"event_half";  // being written
    write("events.jsonl", log);
    write("event_05_03_2024_09_49_58.jpg", "jpeg");
    write("event_05_03_2024_09_49_59.boxes.json", "{}");

    const auto three = recentEvents(folder + "/events.jsonl", folder, {std::nullopt, 3});
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(three[0]["max_objects"], 2999);
    EXPECT_EQ(three[1]["max_objects"], 2998);
    EXPECT_EQ(three[2]["max_objects"], 2997);
    EXPECT_TRUE(three[0]["snapshot"].is_null());
    EXPECT_EQ(three[1]["snapshot"], "event_05_03_2024_09_49_58.jpg");
    EXPECT_EQ(three[0]["boxes"], "event_05_03_2024_09_49_59.boxes.json");
    EXPECT_TRUE(three[1]["boxes"].is_null());
    EXPECT_EQ(three[0].begin().key(), "file") << "the log's key order is kept";

    const auto since = recentEvents(folder + "/events.jsonl", folder,
                                    {parseIsoTime("2024-03-05T09:49:55+01:00"), 50});
    ASSERT_EQ(since.size(), 4u) << "2999 down to 2996, all later than 49:55 (= 2995)";
    EXPECT_EQ(since[3]["max_objects"], 2996);

    const auto across = recentEvents(folder + "/events.jsonl", folder, {std::nullopt, kMaxEventsListed + 10});
    EXPECT_EQ(across.size(), kMaxEventsListed);
    EXPECT_EQ(across.back()["max_objects"], 3000 - static_cast<int>(kMaxEventsListed));

    const auto everything = recentEvents(folder + "/events.jsonl", folder,
                                         {parseIsoTime("2024-03-05T08:00:00+01:00"), kMaxEventsListed});
    EXPECT_EQ(everything.size(), kMaxEventsListed);
    EXPECT_TRUE(recentEvents(folder + "/missing.jsonl", folder, {}).empty());
}

TEST_F(EventFolder, SkipsWhatIsNotAnEventAndReadsALogOfOneBlock) {
    write("events.jsonl", "[1,2]\n\n" + logLine(7) + "\n\"text\"\n" + logLine(8) + "\n");
    const auto events = recentEvents(folder + "/events.jsonl", folder, {std::nullopt, 10});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["max_objects"], 8);
    EXPECT_EQ(events[1]["max_objects"], 7);
}

// --- the live picture ---------------------------------------------------

cv::Mat picture(int value) { return cv::Mat(120, 160, CV_8UC3, cv::Scalar(value, value, value)); }

TEST(WebPage, IsTitledWithTheCameraNameShownAsText) {
    const std::string page = webPageHtml("<script>\"Gate\" & 'yard'</script>");
    EXPECT_NE(page.find("<title>&lt;script&gt;&quot;Gate&quot; &amp; &#39;yard&#39;&lt;/script&gt; \u2013 Tarvolen watch</title>"),
              std::string::npos);
    EXPECT_EQ(page.find("<script>\""), std::string::npos);
    EXPECT_NE(webPageHtml("").find("<title>Tarvolen watch</title>"), std::string::npos);
}

TEST(WebStreamHub, EncodesEachFrameOnceForEveryViewerOfAWidth) {
    WebStreamHub hub;
    EXPECT_FALSE(hub.latest(0).jpeg) << "nothing before the first frame";
    hub.publish(picture(40));
    EXPECT_EQ(hub.encodes(), 0u) << "publishing encodes nothing";
    const auto first = hub.latest(0);
    const auto second = hub.latest(0);
    ASSERT_TRUE(first.jpeg);
    EXPECT_EQ(first.jpeg, second.jpeg);
    EXPECT_EQ(hub.encodes(), 1u);
    const cv::Mat decoded = cv::imdecode(cv::Mat(1, static_cast<int>(first.jpeg->size()), CV_8U,
                                                 const_cast<char*>(first.jpeg->data())),
                                         cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.size(), cv::Size(160, 120));

    const auto small = hub.latest(80);
    const cv::Mat smallDecoded = cv::imdecode(
        cv::Mat(1, static_cast<int>(small.jpeg->size()), CV_8U, const_cast<char*>(small.jpeg->data())),
        cv::IMREAD_COLOR);
    EXPECT_EQ(smallDecoded.size(), cv::Size(80, 60));
    EXPECT_EQ(hub.latest(1000).jpeg, first.jpeg) << "a width past the frame's is the full frame";
    EXPECT_EQ(hub.encodes(), 2u);

    hub.publish(picture(200));
    const auto next = hub.latest(0);
    EXPECT_GT(next.sequence, first.sequence);
    EXPECT_NE(next.jpeg, first.jpeg);
    EXPECT_EQ(hub.encodes(), 3u);
}

// Viewers that waited while a frame was encoded take that one, newer than
// what they have, rather than each encoding the frame published meanwhile.
TEST(WebStreamHub, ViewersShareAnEncodeThatIsNewerThanTheirLastFrame) {
    WebStreamHub hub;
    hub.publish(picture(10));
    const auto first = hub.encoded(0, 0);
    EXPECT_EQ(first.sequence, 1u);
    hub.publish(picture(20));
    const auto shared = hub.encoded(0, 0);
    EXPECT_EQ(shared.sequence, 1u) << "newer than what this viewer had";
    EXPECT_EQ(shared.jpeg, first.jpeg);
    EXPECT_EQ(hub.encodes(), 1u);
    const auto next = hub.encoded(0, 1);
    EXPECT_EQ(next.sequence, 2u) << "a viewer that has frame 1 gets the newest";
    EXPECT_EQ(hub.encodes(), 2u);
    EXPECT_EQ(hub.latest(0).jpeg, next.jpeg);
    EXPECT_EQ(hub.encodes(), 2u);
}

TEST(WebStreamHub, WaitsForANewerFrameAndWakesOnStop) {
    using Clock = WebStreamHub::Clock;
    WebStreamHub hub;
    EXPECT_EQ(hub.waitForFrame(0, Clock::now(), Clock::now()), 0u) << "no frame yet, no waiting";
    hub.publish(picture(1));
    EXPECT_EQ(hub.waitForFrame(0, Clock::now(), Clock::now()), 1u);
    EXPECT_EQ(hub.waitForFrame(1, Clock::now(), Clock::now()), 0u) << "nothing newer than 1";

    auto waiting = std::async(std::launch::async, [&] {
        return hub.waitForFrame(1, Clock::now(), Clock::now() + std::chrono::minutes(1));
    });
    hub.publish(picture(2));
    EXPECT_EQ(waiting.get(), 2u);

    auto stopped = std::async(std::launch::async, [&] {
        return hub.waitForFrame(2, Clock::now(), Clock::now() + std::chrono::minutes(1));
    });
    hub.stop();
    ASSERT_EQ(stopped.wait_for(test::scaled(std::chrono::seconds(5))), std::future_status::ready);
    EXPECT_EQ(stopped.get(), 0u);
}

}  // namespace
}  // namespace tarvolen
