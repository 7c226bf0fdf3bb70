#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace tarvolen
