// The nine tunable values of the detector, their defaults and their limits,
// and the one place where a value given as a double for a parameter code is
// checked and narrowed. Plain values: the configuration reader fills them
// without a Detector, and a Detector takes them whole.
#pragma once

namespace tarvolen {

struct DetectorParameters {
    // Parameter codes, as the setters and the configuration use them.
    enum Code : int {
        kMinObjectWidth = 1,
        kMinObjectHeight = 2,
        kMaxObjectWidth = 3,
        kMaxObjectHeight = 4,
        kObjectDetectionCriterion = 5,
        kPixelDeviation = 6,
        kAlphaCoeff = 7,
        kNumThreads = 8,
        kNumFrames = 9,
    };
    static constexpr int kFirstCode = kMinObjectWidth;
    static constexpr int kLastCode = kNumFrames;

    static constexpr int kMinObjectSide = 1;             // px, codes 1 to 4
    static constexpr int kMaxObjectSide = 8192;          // px, codes 1 to 4
    static constexpr int kMinDetectionCriterion = 1;     // tracks need a score above it
    static constexpr double kMinPixelDeviation = 0.0;    // gray levels
    static constexpr double kMaxPixelDeviation = 255.0;  // gray levels
    static constexpr double kMinAlpha = 0.0;
    static constexpr double kMaxAlpha = 1.0;
    static constexpr double kMinThreads = 0.0;  // 0: the OpenMP runtime's default team
    static constexpr double kMaxThreads = 32.0;
    static constexpr double kMinFramesPerWindow = 1.0;
    // The per-pixel sums are 32-bit and each frame adds at most 255, so a
    // longer window could wrap them: 255 * 16843009 == 2^32 - 1.
    static constexpr double kMaxFramesPerWindow = 16843009.0;

    int min_object_width = 2;    // px
    int min_object_height = 2;   // px
    int max_object_width = 64;   // px
    int max_object_height = 64;  // px
    int object_detection_criterion = 2;
    float pixel_deviation = 10.0f;  // gray levels
    float alpha_coeff = 0.01f;
    int num_threads = 1;
    int num_frames = 30;

    // Codes 1 to 5 are truncated toward zero to an int and then tested;
    // 6 to 9 are tested as given and then narrowed. Stores an accepted value
    // and returns true; a refused value (NaN and infinities included) or an
    // unknown code returns false and changes nothing.
    bool set(int code, double value);
    // The stored value; NaN for an unknown code.
    double get(int code) const;
    // Whether every field is a value that set() would accept for it.
    bool validate() const;
};

}  // namespace tarvolen
