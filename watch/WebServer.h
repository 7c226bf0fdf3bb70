// The web view of the watcher: the live annotated picture, the source's
// state, the events with their snapshots, clips and boxes, and a read-only
// JSON API, served on threads of its own.
//
//   /                 the page (with /app.js and /app.css)
//   /stream.mjpg      multipart/x-mixed-replace JPEGs; ?fps=F&width=W lower them
//   /snapshot.jpg     the latest annotated frame (503 before the first)
//   /api/status       the watcher's status object
//   /api/events       the log's events, newest first (?since=ISO&limit=N)
//   /clips/NAME, /snapshots/NAME, /boxes/NAME   the event folder's files, byte ranges too
//   /healthz          "ok"
//   /metrics          the watcher's figures for Prometheus (with a metrics source)
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "watch/WebSettings.h"

namespace tarvolen {

struct WebSources {
    // The status object; called on a server thread, so it must be safe to
    // call while the loop runs.
    std::function<nlohmann::json()> status;
    std::string eventFolder;
    // The event log's path.
    std::string eventLog;
    // The page's title; empty: the program's name alone.
    std::string cameraName;
    // The metrics in Prometheus' text format, on a server thread like
    // `status`; empty: no /metrics.
    std::function<std::string()> metrics;
};

class WebServer {
public:
    WebServer(WebSettings settings, WebSources sources, WebLimits limits = WebLimits());
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Checks the settings, binds and starts serving. False with `error` set
    // to one line when the settings are refused or the address cannot be
    // used. With an empty `listen` nothing is started and it returns true.
    bool start(std::string& error);
    // Ends every connection and joins the threads; idempotent.
    void stop();

    // For every annotated frame: keeps a reference to its pixels (do not
    // draw into them afterwards), never waits and never encodes.
    void publishFrame(const cv::Mat& annotated);
    // Whether a viewer asked for a picture lately.
    bool wantsFrames() const;

    // The port listened on (0 when not started).
    int port() const;
    // JPEG encodes of the live picture so far.
    std::uint64_t encodes() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts;
};

}  // namespace tarvolen
