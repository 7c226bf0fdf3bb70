#include "watch/WebServer.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "watch/WebAuth.h"
#include "watch/WebConnections.h"
#include "watch/WebFiles.h"
#include "watch/WebPage.h"
#include "watch/WebStreamHub.h"

namespace tarvolen {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMaxStreamFps = 30.0;
constexpr double kMinStreamFps = 0.1;
constexpr int kMinStreamWidth = 16;
constexpr int kMaxStreamWidth = 7680;
// How long a stream's writer waits for a frame before it lets the library
// look at the connection and the shutdown again.
constexpr std::chrono::milliseconds kViewerPoll{250};
constexpr std::size_t kFileChunkBytes = 64 * 1024;
constexpr std::size_t kDefaultEventLimit = 50;
const char kBoundary[] = "tarvolenframe";
// Prometheus' text exposition format.
const char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

const httplib::Headers kSecurityHeaders = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Content-Security-Policy",
     "default-src 'self'; img-src 'self'; media-src 'self'; object-src 'none'; base-uri 'none'; "
     "form-action 'none'; frame-ancestors 'none'"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};

void plain(httplib::Response& res, int status, const std::string& text) {
    res.status = status;
    res.set_content(text + "\n", "text/plain; charset=utf-8");
}

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool parseCount(const std::string& text, std::size_t& value) {
    double number = 0;
    if (!parseNumber(text, number) || number < 0 || number != std::floor(number)) return false;
    value = static_cast<std::size_t>(std::min(number, 1e9));
    return true;
}

struct Viewer {
    Clock::duration interval;
    int width = 0;
    std::uint64_t lastSequence = 0;
    Clock::time_point nextDue = Clock::now();
};

std::string partHeader(std::size_t bytes) {
    return std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
           std::to_string(bytes) + "\r\n\r\n";
}

}  // namespace

struct WebServer::Parts {
    Parts(WebSettings webSettings, WebSources webSources, WebLimits webLimits)
        : settings(std::move(webSettings)), sources(std::move(webSources)), limits(webLimits), http(limits) {}

    httplib::Server::HandlerResponse screen(const httplib::Request& req, httplib::Response& res);
    void routes();
    void status(httplib::Response& res);
    void events(const httplib::Request& req, httplib::Response& res);
    void snapshot(httplib::Response& res);
    void stream(const httplib::Request& req, httplib::Response& res);
    bool sendFrame(Viewer& viewer, httplib::DataSink& sink);
    void file(const httplib::Request& req, httplib::Response& res, EventFileKind kind);

    const WebSettings settings;
    const WebSources sources;
    const WebLimits limits;
    WebStreamHub hub;
    CappedHttpServer http;
    std::atomic<int> streams{0};
    bool started = false;
};

// Before any route: only GET and HEAD, and only with the token.
httplib::Server::HandlerResponse WebServer::Parts::screen(const httplib::Request& req, httplib::Response& res) {
    if (req.method != "GET" && req.method != "HEAD") {
        res.set_header("Allow", "GET, HEAD");
        plain(res, 405, "only GET and HEAD");
        return httplib::Server::HandlerResponse::Handled;
    }
    AuthRequest asked{req.path, req.get_header_value("Authorization"), req.get_header_value("Cookie"),
                      req.has_param("token"), req.get_param_value("token")};
    switch (decideAuth(settings.token, asked)) {
        case AuthDecision::Allow:
            return httplib::Server::HandlerResponse::Unhandled;
        case AuthDecision::SetCookieAndRedirect:
            res.set_header("Set-Cookie", tokenCookie(settings.token));
            res.set_redirect("/", 303);
            return httplib::Server::HandlerResponse::Handled;
        case AuthDecision::Deny:
            break;
    }
    res.set_header("WWW-Authenticate", "Bearer");
    plain(res, 401, "a token is needed");
    return httplib::Server::HandlerResponse::Handled;
}

void WebServer::Parts::routes() {
    http.set_default_headers(kSecurityHeaders);
    // What the Keep-Alive header announces; the connections keep to it.
    http.set_keep_alive_max_count(static_cast<std::size_t>(limits.keepAliveMaxCount));
    http.set_keep_alive_timeout(std::max<time_t>(1, std::chrono::duration_cast<std::chrono::seconds>(
                                                         limits.keepAliveTimeout).count()));
    http.set_pre_routing_handler([this](const auto& req, auto& res) { return screen(req, res); });
    // The library would otherwise put the exception's text in a header.
    http.set_exception_handler([](const auto&, auto& res, std::exception_ptr) { plain(res, 500, "internal error"); });
    http.Get("/", [this](const auto&, auto& res) {
        res.set_content(webPageHtml(sources.cameraName), "text/html; charset=utf-8");
    });
    http.Get("/app.js", [](const auto&, auto& res) { res.set_content(webPageScript(), "text/javascript; charset=utf-8"); });
    http.Get("/app.css", [](const auto&, auto& res) { res.set_content(webPageStyle(), "text/css; charset=utf-8"); });
    http.Get("/healthz", [](const auto&, auto& res) { plain(res, 200, "ok"); });
    http.Get("/api/status", [this](const auto&, auto& res) { status(res); });
    http.Get("/metrics", [this](const auto&, auto& res) {
        if (!sources.metrics) return plain(res, 404, "not found");
        res.set_content(sources.metrics(), kMetricsType);
    });
    http.Get("/api/events", [this](const auto& req, auto& res) { events(req, res); });
    http.Get("/snapshot.jpg", [this](const auto&, auto& res) { snapshot(res); });
    http.Get("/stream.mjpg", [this](const auto& req, auto& res) { stream(req, res); });
    http.Get(R"(/clips/(.*))", [this](const auto& req, auto& res) { file(req, res, EventFileKind::Clip); });
    http.Get(R"(/snapshots/(.*))", [this](const auto& req, auto& res) { file(req, res, EventFileKind::Snapshot); });
    http.Get(R"(/boxes/(.*))", [this](const auto& req, auto& res) { file(req, res, EventFileKind::Boxes); });
}

void WebServer::Parts::status(httplib::Response& res) {
    const nlohmann::json object = sources.status ? sources.status() : nlohmann::json::object();
    res.set_content(object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void WebServer::Parts::events(const httplib::Request& req, httplib::Response& res) {
    EventQuery query;
    query.limit = kDefaultEventLimit;
    if (req.has_param("since")) {
        // An unescaped "+" of the offset arrives as a space.
        std::string since = req.get_param_value("since");
        std::replace(since.begin(), since.end(), ' ', '+');
        query.sinceMs = parseIsoTime(since);
        if (!query.sinceMs) return plain(res, 400, "since must be an ISO 8601 time, e.g. 2024-03-05T09:07:03+01:00");
    }
    if (req.has_param("limit") && !parseCount(req.get_param_value("limit"), query.limit)) {
        return plain(res, 400, "limit must be a whole number");
    }
    const nlohmann::ordered_json list = recentEvents(sources.eventLog, sources.eventFolder, query);
    res.set_content(list.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace), "application/json");
}

void WebServer::Parts::snapshot(httplib::Response& res) {
    const WebStreamHub::Picture picture = hub.latest(0);
    if (!picture.jpeg) return plain(res, 503, "no frame yet");
    res.set_content(*picture.jpeg, "image/jpeg");
}

void WebServer::Parts::stream(const httplib::Request& req, httplib::Response& res) {
    double fps = kMaxStreamFps;
    double width = 0;
    if (req.has_param("fps") && (!parseNumber(req.get_param_value("fps"), fps) || fps <= 0)) {
        return plain(res, 400, "fps must be a number above 0");
    }
    if (req.has_param("width") && (!parseNumber(req.get_param_value("width"), width) || width < 1)) {
        return plain(res, 400, "width must be a number of pixels");
    }
    if (++streams > limits.maxStreams) {
        --streams;
        return plain(res, 503, "too many streams");
    }
    auto viewer = std::make_shared<Viewer>();
    fps = std::clamp(fps, kMinStreamFps, kMaxStreamFps);
    viewer->interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    viewer->width = width > 0 ? static_cast<int>(std::clamp(width, double(kMinStreamWidth), double(kMaxStreamWidth))) : 0;
    res.status = 200;  // a live stream has no byte ranges
    res.set_chunked_content_provider(
        std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
        [this, viewer](std::size_t, httplib::DataSink& sink) { return sendFrame(*viewer, sink); },
        [this](bool) { --streams; });
}

// One frame to one viewer when it is due; true without writing when none is
// yet (the library then checks the connection and calls again).
bool WebServer::Parts::sendFrame(Viewer& viewer, httplib::DataSink& sink) {
    const Clock::time_point now = Clock::now();
    if (hub.waitForFrame(viewer.lastSequence, viewer.nextDue, now + kViewerPoll) == 0) return !hub.stopped();
    const WebStreamHub::Picture picture = hub.encoded(viewer.width, viewer.lastSequence);
    if (!picture.jpeg || picture.sequence <= viewer.lastSequence) return true;
    viewer.lastSequence = picture.sequence;
    viewer.nextDue += viewer.interval;
    if (viewer.nextDue < now) viewer.nextDue = now;
    const std::string header = partHeader(picture.jpeg->size());
    return sink.write(header.data(), header.size()) && sink.write(picture.jpeg->data(), picture.jpeg->size()) &&
           sink.write("\r\n", 2);
}

void WebServer::Parts::file(const httplib::Request& req, httplib::Response& res, EventFileKind kind) {
    const std::string name = req.matches[1];
    const std::shared_ptr<OpenFile> opened = openEventFile(sources.eventFolder, name, kind);
    if (!opened) return plain(res, 404, "not found");
    if (!rangesSatisfiable(req.ranges, opened->size())) {
        res.set_header("Content-Range", "bytes */" + std::to_string(opened->size()));
        return plain(res, 416, "range not satisfiable");
    }
    res.set_header("Accept-Ranges", "bytes");
    res.set_content_provider(static_cast<std::size_t>(opened->size()), eventFileContentType(name),
                             [opened](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 std::string chunk(std::min(length, kFileChunkBytes), '\0');
                                 const ssize_t got = opened->readAt(chunk.data(), chunk.size(), offset);
                                 return got > 0 && sink.write(chunk.data(), static_cast<std::size_t>(got));
                             });
}

WebServer::WebServer(WebSettings settings, WebSources sources, WebLimits limits)
    : parts(std::make_unique<Parts>(std::move(settings), std::move(sources), limits)) {}

WebServer::~WebServer() { stop(); }

bool WebServer::start(std::string& error) {
    if (parts->settings.listen.empty() || parts->started) return true;
    error = checkWebSettings(parts->settings);
    if (!error.empty()) return false;
    ListenAddress address;
    if (!parseListen(parts->settings.listen, address, error)) return false;
    if (!parts->http.open(address, error)) return false;
    parts->routes();
    parts->http.run();
    parts->started = true;
    return true;
}

void WebServer::stop() {
    parts->hub.stop();
    parts->http.shutdownAll();
}

void WebServer::publishFrame(const cv::Mat& annotated) { parts->hub.publish(annotated); }

bool WebServer::wantsFrames() const { return parts->hub.wanted(WebStreamHub::Clock::now()); }

int WebServer::port() const { return parts->started ? parts->http.boundPort() : 0; }

std::uint64_t WebServer::encodes() const { return parts->hub.encodes(); }

}  // namespace tarvolen
