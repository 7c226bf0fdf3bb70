// How the configured source string is interpreted.
#pragma once

#include <optional>
#include <string>

namespace tarvolen {

enum class SourceKind {
    FileDialog,  // exactly "open file dialog": the user picks a file
    FilePath,    // longer than four characters: a video file path
    Camera,      // four characters or fewer: a camera index
};

inline const char* const kFileDialogSource = "open file dialog";

SourceKind classifySource(const std::string& source);

// The camera index of a short source string, read like strtol: leading white
// space, optional sign, digits up to the first non-digit. Empty when the
// string does not start with a number.
std::optional<int> cameraIndex(const std::string& source);

// The rate frames are counted at when a video reports none that is usable.
inline constexpr double kFallbackFps = 30.0;

// `reportedFps` when it lies in (low, high], else kFallbackFps (also for NaN).
double frameRateWithin(double reportedFps, double low, double high);

// The rate a file is played at: its reported rate, or 30 when that is 1 or
// less, 60 or more, or not a number.
double playbackFrameRate(double reportedFps);

}  // namespace tarvolen
