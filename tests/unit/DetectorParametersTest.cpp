#include <cctype>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "detector/Detector.h"

namespace tarvolen {
namespace {

struct SetterCase {
    int code;
    double value;
    bool accepted;
    double stored;  // value read back afterwards (the default when refused)
};

void PrintTo(const SetterCase& c, std::ostream* os) {
    *os << "code " << c.code << " value " << c.value << (c.accepted ? " accepted" : " refused");
}

class SetterTable : public ::testing::TestWithParam<SetterCase> {};

TEST_P(SetterTable, AcceptsOrRefusesAtTheBoundaries) {
    const SetterCase& c = GetParam();
    Detector detector;
    EXPECT_EQ(detector.setParameter(c.code, c.value), c.accepted);
    EXPECT_FLOAT_EQ(detector.getParameter(c.code), c.stored);
}

// The values alone narrow exactly as the Detector does, and whatever set()
// leaves behind passes validate().
TEST_P(SetterTable, TheValuesAloneAgreeWithTheDetector) {
    const SetterCase& c = GetParam();
    DetectorParameters values;
    EXPECT_EQ(values.set(c.code, c.value), c.accepted);
    EXPECT_FLOAT_EQ(values.get(c.code), c.stored);
    EXPECT_TRUE(values.validate());
}

const double kIntMaxPlusOne = 2147483648.0;

INSTANTIATE_TEST_SUITE_P(
    Codes, SetterTable,
    ::testing::Values(
        // Box sides: truncated first, then 1..8192.
        SetterCase{1, 0.5, false, 2}, SetterCase{1, 1.0, true, 1}, SetterCase{1, 8192.9, true, 8192},
        SetterCase{1, 8193, false, 2}, SetterCase{2, 0.99, false, 2}, SetterCase{2, 7.7, true, 7},
        SetterCase{3, -1, false, 64}, SetterCase{3, 8192, true, 8192}, SetterCase{4, 8193.5, false, 64},
        SetterCase{4, 1.5, true, 1},
        // Criterion: truncated, at least 1, no upper bound but must fit an int.
        SetterCase{5, 0.9, false, 2}, SetterCase{5, 1, true, 1}, SetterCase{5, 1000000, true, 1000000},
        SetterCase{5, kIntMaxPlusOne, false, 2}, SetterCase{5, 2147483647.5, true, 2147483647},
        // Doubles tested as they are.
        SetterCase{6, 255, true, 255}, SetterCase{6, 255.5, false, 10}, SetterCase{6, -0.1, false, 10},
        SetterCase{6, 0, true, 0}, SetterCase{7, 1, true, 1}, SetterCase{7, 1.01, false, 0.01f},
        SetterCase{7, 0, true, 0}, SetterCase{7, -0.001, false, 0.01f}, SetterCase{8, 0, true, 0},
        SetterCase{8, 0.9, true, 0}, SetterCase{8, 32, true, 32}, SetterCase{8, 32.5, false, 1},
        SetterCase{8, 33, false, 1}, SetterCase{9, 1, true, 1}, SetterCase{9, 1.5, true, 1},
        SetterCase{9, 0.99, false, 30}, SetterCase{9, 0, false, 30},
        // The per-pixel sums would wrap beyond this window length.
        SetterCase{9, 16843009, true, 16843009}, SetterCase{9, 16843010, false, 30},
        SetterCase{9, kIntMaxPlusOne, false, 30}));

TEST(SetterTableExtremes, UnknownCodesAndNaNChangeNothing) {
    Detector detector;
    EXPECT_FALSE(detector.setParameter(0, 5));
    EXPECT_FALSE(detector.setParameter(10, 5));
    EXPECT_TRUE(std::isnan(detector.getParameter(0)));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (int code = 1; code <= 9; ++code) {
        const double before = detector.getParameter(code);
        EXPECT_FALSE(detector.setParameter(code, nan)) << code;
        EXPECT_FALSE(detector.setParameter(code, inf)) << code;
        EXPECT_FALSE(detector.setParameter(code, -inf)) << code;
        EXPECT_EQ(detector.getParameter(code), before) << code;
    }
}

TEST(SetterTableExtremes, DefaultsMatchTheDocumentedExample) {
    const Detector detector;
    // By code: box sides, criterion, deviation, alpha (as stored, a float), threads, window.
    const double defaults[] = {2, 2, 64, 64, 2, 10.0, 0.01f, 1, 30};
    for (int code = 1; code <= 9; ++code) EXPECT_EQ(detector.getParameter(code), defaults[code - 1]) << code;
}

struct FieldCase {
    const char* what;
    std::function<void(DetectorParameters&)> change;
    bool valid;
};

void PrintTo(const FieldCase& c, std::ostream* os) { *os << c.what; }

class FieldValidation : public ::testing::TestWithParam<FieldCase> {};

TEST_P(FieldValidation, ValidateTestsEveryFieldsRange) {
    DetectorParameters values;
    GetParam().change(values);
    EXPECT_EQ(values.validate(), GetParam().valid);
}

// Detector::setParameters takes a valid set whole and refuses any other,
// keeping every value it had.
TEST_P(FieldValidation, SetParametersTakesOnlyAValidSet) {
    Detector detector;
    ASSERT_TRUE(detector.setParameter(Detector::kNumFrames, 7));
    const DetectorParameters before = detector.parameters();
    DetectorParameters values;
    values.alpha_coeff = 0.25f;  // a change that is always valid
    GetParam().change(values);
    EXPECT_EQ(detector.setParameters(values), GetParam().valid);
    const DetectorParameters& expected = GetParam().valid ? values : before;
    for (int code = DetectorParameters::kFirstCode; code <= DetectorParameters::kLastCode; ++code) {
        EXPECT_EQ(detector.getParameter(code), expected.get(code)) << "code " << code;
    }
}

using P = DetectorParameters;
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Fields, FieldValidation,
    ::testing::Values(
        FieldCase{"defaults", [](P&) {}, true},
        FieldCase{"widest boxes", [](P& p) { p.max_object_width = p.max_object_height = 8192; }, true},
        FieldCase{"min width 0", [](P& p) { p.min_object_width = 0; }, false},
        FieldCase{"min height 8193", [](P& p) { p.min_object_height = 8193; }, false},
        FieldCase{"max width -1", [](P& p) { p.max_object_width = -1; }, false},
        FieldCase{"max height 8193", [](P& p) { p.max_object_height = 8193; }, false},
        FieldCase{"criterion int max", [](P& p) { p.object_detection_criterion = 2147483647; }, true},
        FieldCase{"criterion 0", [](P& p) { p.object_detection_criterion = 0; }, false},
        FieldCase{"deviation 0, alpha 1",
                  [](P& p) {
                      p.pixel_deviation = 0.0f;
                      p.alpha_coeff = 1.0f;
                  },
                  true},
        FieldCase{"deviation 255.5", [](P& p) { p.pixel_deviation = 255.5f; }, false},
        FieldCase{"deviation NaN", [](P& p) { p.pixel_deviation = kNaN; }, false},
        FieldCase{"alpha negative", [](P& p) { p.alpha_coeff = -0.001f; }, false},
        FieldCase{"alpha infinite", [](P& p) { p.alpha_coeff = kInf; }, false},
        FieldCase{"threads 0 (the runtime's team)", [](P& p) { p.num_threads = 0; }, true},
        FieldCase{"threads 33", [](P& p) { p.num_threads = 33; }, false},
        FieldCase{"threads -1", [](P& p) { p.num_threads = -1; }, false},
        FieldCase{"longest window", [](P& p) { p.num_frames = 16843009; }, true},
        FieldCase{"window that wraps the sums", [](P& p) { p.num_frames = 16843010; }, false},
        FieldCase{"window 0", [](P& p) { p.num_frames = 0; }, false}),
    [](const ::testing::TestParamInfo<FieldCase>& testCase) {
        std::string name = testCase.param.what;
        for (char& ch : name) {
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        }
        return name;
    });

// Values given whole are the ones the model update runs with: a window of one
// frame ends on the first frame.
TEST(SetParameters, ReachTheNextFrame) {
    Detector detector;
    DetectorParameters values;
    values.num_frames = 1;
    ASSERT_TRUE(detector.setParameters(values));
    const unsigned char frame[4] = {10, 20, 30, 40};
    const std::uint64_t version = detector.eventMaskVersion();
    ASSERT_TRUE(detector.process(frame, 2, 2, nullptr));
    const std::uint64_t afterPrepare = version + 1;  // the first frame size
    EXPECT_GT(detector.eventMaskVersion(), afterPrepare);
}

}  // namespace
}  // namespace tarvolen
