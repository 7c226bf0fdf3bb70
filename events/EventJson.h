// The one JSON form of an event record, as every event log writes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

#include "events/EventRecorder.h"

namespace tarvolen {

// How an event's times are told.
enum class EventTimes {
    // A live source: times are milliseconds since the epoch, written as local
    // ISO 8601 times; `file` is the clip's file name.
    WallClock,
    // A video file: times are the frames' presentation times, written in
    // whole milliseconds and as timecodes, with the event's number; `file` is
    // the video as given.
    MediaTime,
};

// One line of JSON, without the newline, in a fixed key order:
//   WallClock: file, start, end, start_frame, end_frame, active_frames,
//              max_objects, bbox [x, y, w, h]
//   MediaTime: file, event, start_frame, end_frame, start_ms, end_ms, start,
//              end, [clip_start_ms, clip_end_ms,] active_frames, max_objects,
//              bbox
// A WallClock line then adds clip_start (a copied clip's first frame, which
// may come before the event's) and clip_stream (which of a camera's two
// streams it was copied from) when the record has them. An interrupted
// event's line has file, start, end, [clip_start,] and "interrupted": true.
// For WallClock `file` defaults to the file name of the record's clip. Names
// that are not UTF-8 are kept readable rather than refused.
std::string eventJsonLine(EventTimes times, const EventRecord& event, const std::string& file = std::string());

// The object that eventJsonLine() writes, for callers that hand the event on
// as a value of their own (the Python module's dicts) rather than as text.
nlohmann::ordered_json eventJson(EventTimes times, const EventRecord& event,
                                 const std::string& file = std::string());

// What is known of a live event when it opens, as one line of JSON: "file"
// (its clip's file name), "start" (the local time of its first frame, as in
// the log line) and "start_frame".
std::string eventStartJsonLine(const std::string& clipPath, double startMs, std::int64_t startFrame);

// Local ISO 8601 time with milliseconds and the offset from UTC,
// "2024-03-05T09:07:03.045+01:00".
std::string isoLocalTime(std::chrono::system_clock::time_point time);

// Milliseconds since the epoch as a time point, and as local calendar time.
std::chrono::system_clock::time_point fromEpochMs(double ms);
std::tm localTimeOf(std::chrono::system_clock::time_point time);

}  // namespace tarvolen
