// Registration of the description rows and the framework's debug group.
#include <cstring>
#include <string>
#include <vector>

#include "effect/kavri_squares.h"
#include "framework/kavri_ae_effect_framework.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::plugin;
using cwtest::startedHost;

namespace {

const PF_ParamDef& at(refhost::Host& host, int position) {
    return host.definitions().at(static_cast<size_t>(position));
}

TEST(ParamSetup, SquaresRowsThenTheDebugGroupInHostOrder) {
    auto host = startedHost();
    EXPECT_EQ(host->outData().num_params, 0) << "out_data is the sequence setup's by now";
    refhost::Host fresh(plugin().entry());
    ASSERT_EQ(fresh.globalSetup(), PF_Err_NONE);
    ASSERT_EQ(fresh.paramsSetup(), PF_Err_NONE);
    EXPECT_EQ(fresh.outData().num_params, 32);
    const std::vector<int> ids = {1, 2, 3, 16, 4, 17, 6, 7, 8, 9, 10, 11, 12, 13, 14, 24,
                                  21, 22, 23, 18, 19, 20, 15, 97, 99, 95, 98, 94, 93, 92, 96};
    const std::vector<std::string> names = {
        "squares across", "center", "background color", "background fill", "squares color", "squares fill",
        "futz", "x scale", "y scale", "brick rows", "brick offset", "x offset", "y offset", "wibble angle",
        "wibble max", "wibble influence", "horizontal min", "horizontal max", "horizontal influence",
        "vertical min", "vertical max", "vertical influence", "", "debug", "stamp params",
        "stamp params color", "stamp params point", "stamp time", "stamp time color", "stamp time point", ""};
    ASSERT_EQ(fresh.definitions().size(), 32u);
    for (size_t i = 0; i < ids.size(); ++i) {
        const PF_ParamDef& d = at(fresh, static_cast<int>(i + 1));
        EXPECT_EQ(d.uu.id, ids[i]) << "position " << i + 1;
        EXPECT_EQ(std::string(d.name), names[i]) << "position " << i + 1;
        EXPECT_EQ(d.flags, d.uu.id == 96 ? 0 : PF_ParamFlag_START_COLLAPSED) << d.name;
    }
    auto* g = static_cast<kavri_ae_filter_context_global*>(*fresh.inData().global_data);
    EXPECT_EQ(g->count, 32);
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(g->index_of_position[i + 1], ids[i]);
        EXPECT_EQ(g->position_of_index[ids[i]], static_cast<int>(i + 1));
    }
    EXPECT_EQ(g->position_of_index[5], 0);
}

TEST(ParamSetup, SquaresDefinitionsCarryTheirRangesAndDefaults) {
    refhost::Host host(plugin().entry());
    ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
    ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
    const PF_ParamDef& across = at(host, 1);
    EXPECT_EQ(across.param_type, PF_Param_FLOAT_SLIDER);
    EXPECT_EQ(across.u.fs_d.valid_min, 1.0f);
    EXPECT_EQ(across.u.fs_d.valid_max, 255.0f);
    EXPECT_EQ(across.u.fs_d.slider_min, 1.0f);
    EXPECT_EQ(across.u.fs_d.slider_max, 255.0f);
    EXPECT_EQ(across.u.fs_d.value, 12.0);
    EXPECT_EQ(across.u.fs_d.dephault, 12.0f);
    EXPECT_EQ(across.u.fs_d.precision, 3);
    EXPECT_EQ(across.u.fs_d.display_flags, 0);
    EXPECT_EQ(across.u.fs_d.curve_tolerance, 0.05f);

    const PF_ParamDef& xscale = at(host, 8);
    EXPECT_EQ(xscale.u.fs_d.valid_min, 0.1f);
    EXPECT_EQ(xscale.u.fs_d.valid_max, 1000.0f);
    EXPECT_EQ(xscale.u.fs_d.value, 100.0);
    EXPECT_EQ(xscale.u.fs_d.display_flags, PF_ValueDisplayFlag_PERCENT);

    const PF_ParamDef& center = at(host, 2);
    EXPECT_EQ(center.param_type, PF_Param_POINT);
    EXPECT_EQ(center.u.td.x_dephault, 50 * 65536);
    EXPECT_EQ(center.u.td.y_dephault, 50 * 65536);
    EXPECT_EQ(center.u.td.restrict_bounds, 0);

    struct Colour {
        int position;
        uint8_t r, g, b;
    };
    for (Colour c : {Colour{3, 0, 0, 0}, Colour{5, 255, 255, 255}, Colour{16, 85, 85, 85}, Colour{19, 0, 0, 255},
                     Colour{22, 127, 128, 0}}) {
        const PF_ParamDef& d = at(host, c.position);
        EXPECT_EQ(d.param_type, PF_Param_COLOR);
        const PF_Pixel expected = {255, c.r, c.g, c.b};
        EXPECT_TRUE(d.u.cd.value == expected) << d.name;
        EXPECT_TRUE(d.u.cd.dephault == expected) << d.name;
    }

    struct Popup {
        int position, choices;
        const char* names;
    };
    for (Popup p : {Popup{4, 4, "color|tile|source (tinted)|knockout"}, Popup{6, 4, "color|tile|none|knockout"},
                    Popup{10, 2, "horizontal|vertical"}}) {
        const PF_ParamDef& d = at(host, p.position);
        EXPECT_EQ(d.param_type, PF_Param_POPUP);
        EXPECT_EQ(d.u.pd.num_choices, p.choices);
        EXPECT_EQ(d.u.pd.dephault, 1);
        EXPECT_EQ(d.u.pd.value, 1);
        EXPECT_STREQ(d.u.pd.u.namesptr, p.names);
    }
    for (int position : {11, 12, 13, 14}) {
        EXPECT_EQ(at(host, position).param_type, PF_Param_ANGLE);
        EXPECT_EQ(at(host, position).u.ad.value, 0);
    }
    EXPECT_EQ(at(host, 15).u.fs_d.valid_max, 10.0f);
    EXPECT_EQ(at(host, 18).u.fs_d.value, 1.0);
    EXPECT_EQ(at(host, 7).param_type, PF_Param_GROUP_START);
    EXPECT_EQ(at(host, 23).param_type, PF_Param_GROUP_END);
}

TEST(ParamSetup, DebugGroupControlsHaveTheirDefaults) {
    refhost::Host host(plugin().entry());
    ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
    ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
    EXPECT_EQ(at(host, 24).param_type, PF_Param_GROUP_START);
    for (int position : {25, 28}) {
        const PF_ParamDef& d = at(host, position);
        EXPECT_EQ(d.param_type, PF_Param_CHECKBOX);
        EXPECT_EQ(d.u.bd.value, 0);
        EXPECT_EQ(d.u.bd.dephault, 0);
        EXPECT_STREQ(d.u.bd.u.nameptr, "");
    }
    for (int position : {26, 29}) {
        const PF_Pixel expected = {255, 255, 240, 255};
        EXPECT_TRUE(at(host, position).u.cd.value == expected);
    }
    EXPECT_EQ(at(host, 27).u.td.x_value, 20 * 65536);
    EXPECT_EQ(at(host, 27).u.td.y_value, 30 * 65536);
    EXPECT_EQ(at(host, 30).u.td.x_value, 20 * 65536);
    EXPECT_EQ(at(host, 30).u.td.y_value, 20 * 65536);
    EXPECT_EQ(at(host, 31).param_type, PF_Param_GROUP_END);
    EXPECT_STREQ(at(host, 31).name, "");
}

TEST(ParamSetup, AddParamFailureIsReturnedAndStopsRegistration) {
    for (int n : {1, 5, 23, 24, 31}) {
        refhost::Host host(plugin().entry());
        ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
        refhost::testing::failures(host).fail_add_param_at = n;
        refhost::testing::failures(host).add_param_error = PF_Err_INVALID_CALLBACK;
        EXPECT_EQ(host.paramsSetup(), PF_Err_INVALID_CALLBACK) << n;
        EXPECT_EQ(host.outData().num_params, 0) << "num_params is not written";
        EXPECT_EQ(refhost::testing::counters(host).add_param_calls, n) << "nothing is registered after the failure";
        auto* g = static_cast<kavri_ae_filter_context_global*>(*host.inData().global_data);
        EXPECT_EQ(g->count, n) << "the positions before the failure stay recorded";
    }
}

// Registration driven directly with descriptions of our own.
class DirectSetup : public ::testing::Test {
protected:
    void SetUp() override {
        PF_OutData o{};
        ASSERT_EQ(nr_ae_global_setup(&g_d, &host.inData(), &o), PF_Err_NONE);
        host.inData().global_data = o.global_data;
        host.resetRegistered();
        description = g_d;
        std::memset(description.sliders, 0, sizeof(description.sliders));
        std::memset(description.hints, 0, sizeof(description.hints));
    }
    void TearDown() override {
        PF_OutData o{};
        nr_ae_global_setdown(&g_d, &host.inData(), &o);
    }
    PF_Err setup() {
        host.resetRegistered();
        out = PF_OutData{};
        return nr_ae_param_setup(&description, &host.inData(), &out);
    }
    kavri_ae_filter_context_global* global() {
        return static_cast<kavri_ae_filter_context_global*>(*host.inData().global_data);
    }
    const PF_ParamDef& reg(int position) { return host.registered().at(static_cast<size_t>(position)); }
    void row(int r, int32_t type, int32_t index, const char* name, float min = 0, float max = 0, float dflt = 0) {
        description.sliders[r] = {type, index, name, nullptr, min, max, min, max, dflt, 0};
    }

    refhost::Host host{nullptr};
    ns_ae_description description{};
    PF_OutData out{};
};

TEST_F(DirectSetup, NoRowsRegistersOnlyTheDebugGroup) {
    ASSERT_EQ(setup(), PF_Err_NONE);
    EXPECT_EQ(out.num_params, 9);
    EXPECT_EQ(global()->count, 9);
    EXPECT_EQ(reg(1).uu.id, 97);
}

TEST_F(DirectSetup, TablesRecordEveryPosition) {
    row(0, PF_Param_SLIDER, 1, "a");
    row(1, PF_Param_SLIDER, 2, "b");
    row(2, PF_Param_SLIDER, 3, "c");
    row(3, PF_Param_SLIDER, 16, "d");
    EXPECT_EQ(ourNewParamId(global(), 0), 0) << "count starts at 0 before any setup";
    ASSERT_EQ(setup(), PF_Err_NONE);
    const int expected[] = {0, 1, 2, 3, 16};
    for (int p = 0; p < 5; ++p) EXPECT_EQ(global()->index_of_position[p], expected[p]);
    EXPECT_EQ(global()->position_of_index[16], 4);
    EXPECT_EQ(global()->position_of_index[5], 0);
}

TEST_F(DirectSetup, RowsAbove99JoinTheDebugGroup) {
    row(0, PF_Param_SLIDER, 100, "late");
    row(1, PF_Param_SLIDER, 1, "early");
    ASSERT_EQ(setup(), PF_Err_NONE);
    EXPECT_EQ(out.num_params, 11);
    EXPECT_EQ(reg(1).uu.id, 1);
    EXPECT_EQ(reg(8).uu.id, 92) << "stamp time point";
    EXPECT_EQ(reg(9).uu.id, 100);
    EXPECT_EQ(reg(10).uu.id, 96);
}

// The framework's indices are refused with a message, not dropped in silence.
TEST_F(DirectSetup, RowsAtTheFrameworksIndicesAreRefused) {
    for (int32_t index : {90, 91, 95, 99}) {
        row(0, PF_Param_SLIDER, 1, "early");
        row(1, PF_Param_SLIDER, index, "hidden");
        EXPECT_EQ(setup(), PF_Err_INVALID_INDEX) << index;
        EXPECT_STREQ(out.return_msg, "stable indices 90 to 99 are the framework's: hidden");
        EXPECT_EQ(host.registered().size(), 1u) << "nothing registered";
    }
}

TEST_F(DirectSetup, WithoutTheDebugGroupRowsAbove99FollowTheOthers) {
    description.framework_flags |= NS_AE_NO_DEBUG_GROUP;
    row(0, PF_Param_SLIDER, 100, "late");
    row(1, PF_Param_SLIDER, 1, "early");
    ASSERT_EQ(setup(), PF_Err_NONE);
    EXPECT_EQ(out.num_params, 3);
    EXPECT_EQ(reg(1).uu.id, 1);
    EXPECT_EQ(reg(2).uu.id, 100);
    EXPECT_EQ(global()->position_of_index[kNsAeStampParams], 0) << "unregistered: reads the input layer";
}

TEST_F(DirectSetup, EachTypeConvertsItsRow) {
    row(0, PF_Param_COLOR, 1, "blue", 0, 0, 16711680);
    row(1, PF_Param_COLOR, 2, "olive", 0, 0, 32895);
    row(2, PF_Param_POINT, 3, "pt", 12.7f, 50);
    row(3, PF_Param_FIX_SLIDER, 4, "fixed", 0.5f, 2, 1.25f);
    row(4, PF_Param_ANGLE, 7, "angle", 0, 0, 45);
    row(5, PF_Param_POPUP, 8, "popup", 0, 4, 1);
    row(6, 9, 9, "odd type", -3.7f, 10.9f, 4.5f);
    row(7, PF_Param_CHECKBOX, 10, "box", 0, 0, 1);
    row(8, PF_Param_PATH, 11, "path");
    row(9, PF_Param_LAYER, 12, "layer", 0, 0, -1);
    description.sliders[7].choices = "label";
    ASSERT_EQ(setup(), PF_Err_NONE);
    EXPECT_EQ(reg(1).u.cd.value.red, 0);
    EXPECT_EQ(reg(1).u.cd.value.blue, 255);
    EXPECT_EQ(reg(1).u.cd.value.alpha, 255);
    EXPECT_EQ(reg(2).u.cd.value.red, 127);
    EXPECT_EQ(reg(2).u.cd.value.green, 128);
    EXPECT_EQ(reg(2).u.cd.value.blue, 0);
    EXPECT_EQ(reg(3).u.td.x_dephault, 12 * 65536) << "fractional percent is cut";
    EXPECT_EQ(reg(3).u.td.y_value, 50 * 65536);
    EXPECT_EQ(reg(4).u.fd.valid_min, 32768);
    EXPECT_EQ(reg(4).u.fd.slider_max, 2 * 65536);
    EXPECT_EQ(reg(4).u.fd.value, 81920);
    EXPECT_EQ(reg(4).u.fd.precision, 2);
    EXPECT_EQ(reg(5).u.ad.value, 45 * 65536);
    EXPECT_EQ(reg(6).u.pd.num_choices, 4);
    EXPECT_EQ(reg(6).u.pd.dephault, 1);
    EXPECT_EQ(reg(7).param_type, PF_Param_SLIDER);
    EXPECT_EQ(reg(7).u.sd.valid_min, -3);
    EXPECT_EQ(reg(7).u.sd.slider_max, 10);
    EXPECT_EQ(reg(7).u.sd.value, 4);
    EXPECT_EQ(reg(8).u.bd.value, 1);
    EXPECT_STREQ(reg(8).u.bd.u.nameptr, "label");
    EXPECT_EQ(reg(9).param_type, PF_Param_PATH);
    EXPECT_STREQ(reg(9).name, "path");
    EXPECT_EQ(reg(10).u.ld.dephault, -1);
}

TEST_F(DirectSetup, DescriptionsBreakingTheLimitsAreRefusedBeforeRegistering) {
    row(0, PF_Param_SLIDER, 120, "too far");
    EXPECT_EQ(setup(), PF_Err_INVALID_INDEX);
    EXPECT_EQ(refhost::testing::counters(host).add_param_calls, 0);
    EXPECT_NE(std::string(out.return_msg).find("too far"), std::string::npos);
    row(0, PF_Param_SLIDER, 0, "input's index");
    EXPECT_EQ(setup(), PF_Err_INVALID_INDEX);
    row(0, PF_Param_SLIDER, -4, "negative");
    EXPECT_EQ(setup(), PF_Err_INVALID_INDEX);
    row(0, PF_Param_SLIDER, 3, "a name of thirty-two characters!");
    EXPECT_EQ(setup(), PF_Err_INTERNAL_STRUCT_DAMAGED);
    row(0, PF_Param_SLIDER, 3, "a name of thirty-one characters");
    row(1, PF_Param_SLIDER, 3, "twin");
    EXPECT_EQ(setup(), PF_Err_INVALID_INDEX);
    EXPECT_EQ(refhost::testing::counters(host).add_param_calls, 0);
    row(1, PF_Param_SLIDER, 4, "twin");
    EXPECT_EQ(setup(), PF_Err_NONE);
}

TEST(ParamSetup, ShowableParamsAreTheEffectsOwnControls) {
    EXPECT_TRUE(showableParam(1, PF_Param_FLOAT_SLIDER));
    EXPECT_TRUE(showableParam(89, PF_Param_POPUP));
    EXPECT_FALSE(showableParam(90, PF_Param_SLIDER));
    EXPECT_FALSE(showableParam(100, PF_Param_SLIDER));
    EXPECT_FALSE(showableParam(6, PF_Param_GROUP_START));
    EXPECT_FALSE(showableParam(15, PF_Param_GROUP_END));
}

}  // namespace
