#include <cmath>
#include <vector>

#include <gtest/gtest.h>

#include "detector/MixtureModel.h"

namespace tarvolen {
namespace {

constexpr float kAlpha = 0.01f;
constexpr float kFloor = 100.0f;  // pixel deviation 10

// A pixel that has seen `value` for `updates` model updates.
PixelModel steadyPixel(float value, int updates = 10, float alpha = kAlpha, float floor = kFloor) {
    PixelModel model{};
    for (int i = 0; i < updates; ++i) model = updatePixel(model, value, alpha, floor).model;
    return model;
}

bool recordIsFinite(const PixelModel& model) {
    for (const MixtureComponent& c : model.components) {
        if (!std::isfinite(c.weight) || !std::isfinite(c.mean) || !std::isfinite(c.variance) ||
            !std::isfinite(c.rankKey)) {
            return false;
        }
    }
    return true;
}

TEST(PixelUpdate, FirstUpdateCreatesOneFullWeightComponentAndNoEvent) {
    for (float v : {0.0f, 64.0f, 255.0f}) {
        const PixelUpdate r = updatePixel(PixelModel{}, v, kAlpha, kFloor);
        EXPECT_FALSE(r.event);
        EXPECT_EQ(r.model.initialised, 1);
        EXPECT_FLOAT_EQ(r.model.components[0].weight, 1.0f);
        EXPECT_EQ(r.model.components[0].mean, v);
        EXPECT_EQ(r.model.components[0].variance, kFloor);
        for (int k = 1; k < kComponentsPerPixel; ++k) EXPECT_EQ(r.model.components[k].weight, 0.0f);
    }
}

TEST(PixelUpdate, SteadyValueKeepsOneComponentAtTheFloor) {
    const PixelModel model = steadyPixel(100.0f, 200);
    EXPECT_NEAR(model.components[0].weight, 1.0f, 1e-5f);
    EXPECT_EQ(model.components[0].variance, kFloor);
    EXPECT_EQ(model.components[0].mean, 100.0f);
    for (int k = 1; k < kComponentsPerPixel; ++k) EXPECT_EQ(model.components[k].weight, 0.0f);
}

struct MatchCase {
    float value;
    bool event;
};

class StrictMatch : public ::testing::TestWithParam<MatchCase> {};

// 2.5 standard deviations of 10 around 100: 75 and 125 lie exactly on the
// boundary and must not match.
TEST_P(StrictMatch, AtTwoAndAHalfSigma) {
    const PixelModel model = steadyPixel(100.0f);
    EXPECT_EQ(updatePixel(model, GetParam().value, kAlpha, kFloor).event, GetParam().event);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, StrictMatch,
                         ::testing::Values(MatchCase{124, false}, MatchCase{125, true}, MatchCase{76, false},
                                           MatchCase{75, true}, MatchCase{100, false}, MatchCase{0, true}));

TEST(PixelUpdate, StepChangeIsAnEventForExactly35Updates) {
    PixelModel model = steadyPixel(100.0f, 50);
    std::vector<bool> events;
    for (int i = 0; i < 60; ++i) {
        const PixelUpdate r = updatePixel(model, 200.0f, kAlpha, kFloor);
        model = r.model;
        events.push_back(r.event);
    }
    for (int i = 0; i < 35; ++i) EXPECT_TRUE(events[i]) << "update " << i + 1;
    for (int i = 35; i < 60; ++i) EXPECT_FALSE(events[i]) << "update " << i + 1;
}

TEST(PixelUpdate, NewComponentEntersAtRankOneWithAlphaShare) {
    const PixelModel model = steadyPixel(100.0f);
    const PixelUpdate r = updatePixel(model, 200.0f, kAlpha, kFloor);
    EXPECT_EQ(r.model.components[1].mean, 200.0f);
    EXPECT_FLOAT_EQ(r.model.components[1].weight, kAlpha / (1.0f + kAlpha));
    EXPECT_FLOAT_EQ(r.model.components[0].weight, 1.0f / (1.0f + kAlpha));
    // The replacement takes the widest variance seen, never below the floor.
    EXPECT_EQ(r.model.components[1].variance, kFloor);
}

TEST(PixelUpdate, ZeroDeviationNeverMatchesAndNeverFlagsAnEvent) {
    PixelModel model{};
    const float values[] = {10, 10, 200, 10, 90, 255, 0, 0, 0, 128, 3};
    for (float v : values) {
        const PixelUpdate r = updatePixel(model, v, kAlpha, 0.0f);
        EXPECT_FALSE(r.event) << v;
        // The replaced component rises to the top.
        EXPECT_EQ(r.model.components[0].mean, v);
        model = r.model;
    }
}

// Five light components add up to less than the background share even
// after a new value replaces the last one: the background set takes all five,
// so the new value, ranked last, is no event. With heavier components the
// first three exceed the share and the same value, ranked last, is one.
TEST(PixelUpdate, LightBackgroundSetTakesAllFiveComponents) {
    const auto fiveComponents = [](float weight) {
        PixelModel model{};
        model.initialised = 1;
        for (int k = 0; k < kComponentsPerPixel; ++k) model.components[k] = {weight, 50.0f * k, 1.0f, weight};
        return model;
    };
    constexpr int kLastRank = kComponentsPerPixel - 1;
    const PixelUpdate light = updatePixel(fiveComponents(0.1f), 250.0f, kAlpha, 1.0f);
    ASSERT_EQ(kComponentsPerPixel, 5);
    EXPECT_EQ(light.model.components[kLastRank].mean, 250.0f) << "the new value is ranked last";
    EXPECT_FALSE(light.event);
    const PixelUpdate heavy = updatePixel(fiveComponents(0.2f), 250.0f, kAlpha, 1.0f);
    EXPECT_EQ(heavy.model.components[kLastRank].mean, 250.0f);
    EXPECT_TRUE(heavy.event);
}

TEST(PixelUpdate, WeightsStayNormalisedAndTheSteadyValueKeepsRankZero) {
    PixelModel model = steadyPixel(100.0f, 20);
    for (float v : {200.0f, 30.0f, 160.0f, 240.0f, 5.0f, 200.0f, 200.0f}) {
        model = updatePixel(model, v, kAlpha, kFloor).model;
    }
    float total = 0.0f;
    for (const MixtureComponent& c : model.components) total += c.weight;
    EXPECT_NEAR(total, 1.0f, 1e-3f);
    EXPECT_EQ(model.components[0].mean, 100.0f);
}

// A learning rate of 0 freezes the model: nothing may turn into NaN or
// infinity, and a frozen pixel never reports an event.
TEST(PixelUpdate, ZeroLearningRateStaysFiniteAndQuiet) {
    PixelModel model{};
    for (float v : {100.0f, 100.0f, 250.0f, 0.0f, 100.0f, 180.0f, 30.0f, 30.0f}) {
        const PixelUpdate r = updatePixel(model, v, 0.0f, kFloor);
        EXPECT_TRUE(recordIsFinite(r.model)) << v;
        EXPECT_FALSE(r.event) << v;
        model = r.model;
    }
    // Also from a model that learnt before the rate dropped to 0.
    model = steadyPixel(100.0f);
    for (float v : {250.0f, 0.0f, 17.0f, 99.0f, 250.0f, 128.0f}) {
        const PixelUpdate r = updatePixel(model, v, 0.0f, kFloor);
        EXPECT_TRUE(recordIsFinite(r.model)) << v;
        model = r.model;
    }
}

TEST(Bands, CoverEveryRowOnceForAnyThreadCount) {
    for (int height : {1, 2, 3, 7, 100, 576}) {
        for (int threads : {1, 2, 3, 5, 32}) {
            EXPECT_EQ(bandBegin(0, threads, height), 0);
            EXPECT_EQ(bandBegin(threads, threads, height), height);
            for (int t = 0; t < threads; ++t) {
                EXPECT_LE(bandBegin(t, threads, height), bandBegin(t + 1, threads, height));
            }
        }
    }
}

}  // namespace
}  // namespace tarvolen
