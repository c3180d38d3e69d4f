// Writing a description: the row builders fill the record exactly as the rows
// were written by hand, the hints and summary reach a host that asks for them,
// the About text holds the effect's own words within the host's buffer, and an
// effect may leave out the debug group.
#include <cstring>
#include <string>

#include "framework/kavri_ae_effect_framework.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

namespace {

void expectSameRow(const ns_ae_slider& built, const ns_ae_slider& by_hand) {
    EXPECT_EQ(built.type, by_hand.type);
    EXPECT_EQ(built.index, by_hand.index);
    EXPECT_STREQ(built.name, by_hand.name);
    EXPECT_EQ(built.choices, by_hand.choices);
    const float built_numbers[] = {built.slider_min, built.slider_max, built.min, built.max, built.default_value,
                                   built.display_flags};
    const float hand_numbers[] = {by_hand.slider_min, by_hand.slider_max, by_hand.min, by_hand.max,
                                  by_hand.default_value, by_hand.display_flags};
    EXPECT_EQ(std::memcmp(built_numbers, hand_numbers, sizeof(hand_numbers)), 0) << by_hand.name;
}

TEST(RowBuilders, FillTheRecordAsRowsWrittenByHand) {
    static const char kChoices[] = "color|tile|none|knockout";
    static const char kLabel[] = "on";
    // a colour given as 0xRRGGBB is kept as 0xBBGGRR: orange 255, 128, 0 is 0x0080FF
    expectSameRow(colorRow(1, "c", 0xFF8000, nullptr).slider, {PF_Param_COLOR, 1, "c", nullptr, 0, 0, 0, 0, 33023, 0});
    expectSameRow(colorRow(1, "c", 255, 128, 0, nullptr).slider,
                  {PF_Param_COLOR, 1, "c", nullptr, 0, 0, 0, 0, 33023, 0});
    expectSameRow(colorRow(2, "v", 0x7F8000, nullptr).slider, {PF_Param_COLOR, 2, "v", nullptr, 0, 0, 0, 0, 32895, 0});
    expectSameRow(popupRow(3, "p", kChoices, 2, nullptr).slider, {PF_Param_POPUP, 3, "p", kChoices, 0, 4, 0, 4, 2, 0});
    expectSameRow(floatSliderRow(4, "f", 0.1f, 1000, 100, nullptr).percent().slider,
                  {PF_Param_FLOAT_SLIDER, 4, "f", nullptr, 0.1f, 1000, 0.1f, 1000, 100, 1});
    expectSameRow(floatSliderRow(4, "f", 0, 4096, 16, nullptr).dragRange(1, 64).slider,
                  {PF_Param_FLOAT_SLIDER, 4, "f", nullptr, 1, 64, 0, 4096, 16, 0});
    expectSameRow(pointRow(5, "pt", 12.7f, 50, nullptr).slider,
                  {PF_Param_POINT, 5, "pt", nullptr, 12.7f, 50, 12.7f, 50, 0, 0});
    expectSameRow(angleRow(6, "a", 45, nullptr).slider,
                  {PF_Param_ANGLE, 6, "a", nullptr, 2147483648.0f, 2147483648.0f, 2147483648.0f, 2147483648.0f, 45, 0});
    expectSameRow(checkboxRow(7, "b", kLabel, true, nullptr).slider,
                  {PF_Param_CHECKBOX, 7, "b", kLabel, 0, 0, 0, 0, 1, 0});
    expectSameRow(sliderRow(8, "s", -3, 10, 4, nullptr).slider, {PF_Param_SLIDER, 8, "s", nullptr, -3, 10, -3, 10, 4, 0});
    expectSameRow(fixedSliderRow(9, "x", 0.5f, 2, 1.25f, nullptr).slider,
                  {PF_Param_FIX_SLIDER, 9, "x", nullptr, 0.5f, 2, 0.5f, 2, 1.25f, 0});
    expectSameRow(layerRow(10, "l", -1, nullptr).slider, {PF_Param_LAYER, 10, "l", nullptr, 0, 0, 0, 0, -1, 0});
    expectSameRow(groupEndRow(11).slider, {PF_Param_GROUP_END, 11, "", nullptr, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(popupChoiceCount("one"), 1);
}

constexpr ns_ae_effect kSmall = {"small", "a test effect", nullptr, nullptr, 1, 2, 3, 0, 0,
                                 NS_AE_FILTER_AT_RENDER | NS_AE_NO_DEBUG_GROUP, 0, 0};
constexpr ns_ae_row kSmallRows[] = {
    floatSliderRow(100, "late", 0, 1, 0, "registered second"),
    checkboxRow(1, "early", "", false, nullptr),
};
constexpr ns_ae_description kSmallDescription = nr_ae_describe(kSmall, kSmallRows);

TEST(RowBuilders, DescribePutsEachHintBesideItsRowAndEndsTheRows) {
    EXPECT_STREQ(kSmallDescription.name, "small");
    EXPECT_EQ(kSmallDescription.bugfix, 3);
    EXPECT_STREQ(kSmallDescription.sliders[0].name, "late");
    EXPECT_STREQ(kSmallDescription.hints[0], "registered second");
    EXPECT_EQ(kSmallDescription.hints[1], nullptr);
    EXPECT_EQ(kSmallDescription.sliders[2].name, nullptr) << "the terminating row";
    EXPECT_TRUE(kSmallDescription.framework_flags & NS_AE_NO_DEBUG_GROUP);
}

TEST(Description, HintsAndSummaryReachTheHost) {
    auto host = cwtest::startedHost();
    EXPECT_EQ(host->summary(), "squares modulated by the colour beneath them");
    EXPECT_EQ(host->hint(1), "how many cells fit across the layer's width");
    EXPECT_EQ(host->hint(kNsAeStampParams), "draws every parameter's value on the picture");
    EXPECT_EQ(host->hint(6), "") << "a group has none";
    EXPECT_EQ(refhost::testing::outstandingSuites(*host), 0);
}

TEST(Description, AHostWithoutTheSuiteRegistersTheSame) {
    refhost::Host host(cwtest::plugin().entry());
    refhost::testing::failures(host).withheld_suites.insert(kKavriDescriptionSuite);
    ASSERT_EQ(host.start(), PF_Err_NONE);
    EXPECT_EQ(host.registered().size(), 32u);
    EXPECT_EQ(host.summary(), "");
    EXPECT_EQ(host.hint(1), "");
    EXPECT_EQ(host.returnMessage(), "") << "nothing to tell the user";
}

// About driven directly, with descriptions of our own.
std::string aboutOf(const ns_ae_description& d) {
    refhost::Host host(nullptr);
    PF_OutData out{};
    EXPECT_EQ(nr_ae_about(&d, &host.inData(), &out), PF_Err_NONE);
    return std::string(out.return_msg, strnlen(out.return_msg, sizeof(out.return_msg)));
}

TEST(Description, AboutEndsWithTheEffectsSummaryAndCredits) {
    ns_ae_description d = g_d;
    d.summary = nullptr;
    d.credits = nullptr;
    const std::string bare = aboutOf(d);
    EXPECT_EQ(bare.substr(bare.size() - 24), "\r\rkavri effect framework") << "no empty lines for missing words";
    d.summary = "one line";
    EXPECT_EQ(aboutOf(d), bare + "\rone line");
    d.credits = "by us\rfor you";
    EXPECT_EQ(aboutOf(d), bare + "\rone line\rby us\rfor you");
    d.summary = nullptr;
    EXPECT_EQ(aboutOf(d), bare + "\rby us\rfor you");
    d.summary = "%s%n";  // words, never a format
    EXPECT_EQ(aboutOf(d), bare + "\r%s%n\rby us\rfor you");
}

TEST(Description, AboutOfLongWordsStaysInsideTheHostsBuffer) {
    const std::string long_text(400, 'w');
    ns_ae_description d = g_d;
    d.name = long_text.c_str();
    d.description = long_text.c_str();
    d.summary = long_text.c_str();
    d.credits = long_text.c_str();
    const std::string text = aboutOf(d);
    EXPECT_EQ(text.size(), 255u) << "filled to the last byte before the terminator";
    EXPECT_EQ(text.rfind(std::string(60, 'w') + ", v1.4 build 383 2011.02.02-20:14:23\r\r" + std::string(100, 'w') + "\r\r", 0),
              0u)
        << "the name and description are held short";
    EXPECT_NE(text.find("kavri effect framework\rwww"), std::string::npos) << "the summary gets what is left";
    d.name = d.description = "x";
    d.summary = "short";
    const std::string with_credits = aboutOf(d);
    EXPECT_EQ(with_credits.size(), 255u);
    EXPECT_NE(with_credits.find("\rshort\rwww"), std::string::npos) << "then the credits";
}

TEST(Description, WithoutTheDebugGroupRendersAndUpdatesNoStamps) {
    refhost::Host host(cwtest::module("tint").entry());
    ASSERT_EQ(host.start(), PF_Err_NONE);
    ASSERT_EQ(host.registered().size(), 3u) << "the input layer and the two rows";
    EXPECT_EQ(host.positionOfName("stamp params"), -1);
    refhost::World in = cwtest::solidWorld(4, 4, PF_Pixel{255, 200, 100, 50});
    refhost::World out = cwtest::solidWorld(4, 4, PF_Pixel{0, 0, 0, 0});
    ASSERT_EQ(host.renderFrame(in.def(), out.def()), PF_Err_NONE);
    EXPECT_EQ(out.at(3, 3), (PF_Pixel{255, 200, 75, 25})) << "tint's worked pixel, no stamp over it";
    EXPECT_EQ(refhost::testing::counters(host).update_param_ui_calls, 0) << "no debug controls to grey out";
}

}  // namespace
