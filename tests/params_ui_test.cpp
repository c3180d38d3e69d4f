// Suite access and the parameter UI update.
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

namespace {

int flagsOf(refhost::Host& host, const char* name) {
    return host.param(host.positionOfName(name)).ui_flags;
}

TEST(ParamsUI, DebugControlsFollowTheirCheckboxes) {
    auto host = cwtest::startedHost();
    cwtest::setCheckbox(*host, "stamp params", true);
    host->param(host->positionOfName("stamp params point")).ui_flags = PF_PUI_DISABLED | PF_PUI_INVISIBLE;
    host->param(host->positionOfName("stamp time color")).ui_flags = PF_PUI_CONTROL;
    ASSERT_EQ(host->updateParamsUI(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::counters(*host).update_param_ui_calls, 4);
    EXPECT_EQ(flagsOf(*host, "stamp params point"), PF_PUI_INVISIBLE) << "other bits stay as the host had them";
    EXPECT_EQ(flagsOf(*host, "stamp params color"), 0);
    EXPECT_EQ(flagsOf(*host, "stamp time point"), PF_PUI_DISABLED);
    EXPECT_EQ(flagsOf(*host, "stamp time color"), PF_PUI_CONTROL | PF_PUI_DISABLED);
    EXPECT_EQ(flagsOf(*host, "stamp params"), 0) << "checkboxes are never disabled";
    EXPECT_EQ(flagsOf(*host, "squares across"), 0);
    EXPECT_EQ(refhost::testing::outstandingSuites(*host), 0);

    cwtest::setCheckbox(*host, "stamp params", false);
    cwtest::setCheckbox(*host, "stamp time", true);
    ASSERT_EQ(host->updateParamsUI(), PF_Err_NONE);
    EXPECT_EQ(flagsOf(*host, "stamp params point"), PF_PUI_INVISIBLE | PF_PUI_DISABLED);
    EXPECT_EQ(flagsOf(*host, "stamp time point"), 0);
    EXPECT_EQ(flagsOf(*host, "stamp time color"), PF_PUI_CONTROL);
}

TEST(ParamsUI, WithoutTheParamUtilsSuiteTheHooksResultStands) {
    auto host = cwtest::startedHost();
    refhost::testing::failures(*host).withheld_suites.insert(kPFParamUtilsSuite);
    EXPECT_EQ(host->updateParamsUI(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::counters(*host).update_param_ui_calls, 0);
    EXPECT_EQ(host->returnMessage(), "could not acquire kPFParamUtilsSuite");
    EXPECT_TRUE(host->outData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    auto bare = cwtest::startedHost();
    refhost::testing::failures(*bare).no_basic_suite = true;
    EXPECT_EQ(bare->updateParamsUI(), PF_Err_NONE);
    EXPECT_EQ(bare->returnMessage(), "could not acquire kPFParamUtilsSuite");
}

TEST(ParamsUI, UpdateParameterHandsTheDefinitionToTheHost) {
    auto host = cwtest::startedHost();
    auto* context = getInstanceContext(&host->inData(), host->paramArray(nullptr));
    PF_ParamDef def = *context->params[1];
    def.ui_flags = PF_PUI_INVISIBLE;
    PF_OutData out{};
    EXPECT_EQ(nr_ae_update_parameter(&host->inData(), &out, context, 1, &def), PF_Err_NONE);
    EXPECT_EQ(host->param(1).ui_flags, PF_PUI_INVISIBLE);
    refhost::testing::failures(*host).withheld_suites.insert(kPFParamUtilsSuite);
    EXPECT_EQ(nr_ae_update_parameter(&host->inData(), &out, context, 1, &def), PF_Err_BAD_CALLBACK_PARAM);
}

TEST(Suites, FailuresLeaveAMessageAndTheBadCallbackError) {
    refhost::Host host(nullptr);
    PF_OutData out{};
    const void* suite = &out;
    refhost::testing::failures(host).withheld_suites.insert("X");
    EXPECT_EQ(nr_ae_acquire_suite(&host.inData(), &out, "X", 1, nullptr, &suite), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_EQ(suite, nullptr);
    EXPECT_STREQ(out.return_msg, "could not acquire (suite)");
    EXPECT_EQ(out.out_flags, PF_OutFlag_DISPLAY_ERROR_MESSAGE);
    EXPECT_EQ(nr_ae_acquire_suite(&host.inData(), &out, kPFIterate8Suite, 1, "iter", &suite), PF_Err_NONE);
    EXPECT_NE(suite, nullptr);
    EXPECT_EQ(nr_ae_release_suite(&host.inData(), &out, kPFIterate8Suite, 1, "iter"), PF_Err_NONE);
    EXPECT_EQ(nr_ae_acquire_suite(&host.inData(), &out, kPFIterate8Suite, 2, "iter v2", &suite), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_STREQ(out.return_msg, "could not acquire iter v2");
    refhost::testing::failures(host).no_basic_suite = true;
    PF_InData& in = host.inData();
    EXPECT_EQ(nr_ae_release_suite(&in, &out, "X", 1, "mine"), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_STREQ(out.return_msg, "could not release mine");
    EXPECT_EQ(nr_ae_release_suite(&in, &out, "X", 1, nullptr), PF_Err_BAD_CALLBACK_PARAM);
    EXPECT_STREQ(out.return_msg, "could not release Not able to release AEFX Suite.");
}

}  // namespace
