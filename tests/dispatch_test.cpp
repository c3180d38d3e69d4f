// The entry point's command table and the records it manages.
#include <cstring>

#include "framework/kavri_ae_effect_framework.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::plugin;
using cwtest::startedHost;

namespace {

kavri_ae_filter_context** moduleSequenceContext() {
    return static_cast<kavri_ae_filter_context**>(plugin().symbol("gSequenceContext"));
}

template <typename T>
T* record(PF_Handle h) {
    return static_cast<T*>(*h);
}

TEST(Dispatch, AboutNamesTheEffectVersionAndBuild) {
    refhost::Host host(plugin().entry());
    std::string text;
    ASSERT_EQ(host.about(text), PF_Err_NONE);
    EXPECT_EQ(text.rfind("checkerwarp, v1.4 build 383 2011.02.02-20:14:23\r\r"
                         "an interesting and simple form of modulation\r\r",
                         0),
              0u)
        << text;
    EXPECT_LT(text.size(), 256u);
    EXPECT_GT(text.size(), 100u) << "the credit block follows the header";
}

TEST(Dispatch, GlobalSetupReportsVersionFlagsAndAZeroedRecord) {
    refhost::Host host(plugin().entry());
    ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
    EXPECT_EQ(host.outData().my_version, 0x000A0000u);
    EXPECT_EQ(host.outData().out_flags, 0x04000000u);
    // the description's 0, and the framework's word that it renders on threads
    EXPECT_EQ(host.outData().out_flags2, 0x08000000u);
    ASSERT_NE(host.inData().global_data, nullptr);
    auto* g = record<kavri_ae_filter_context_global>(host.inData().global_data);
    kavri_ae_filter_context_global zero{};
    EXPECT_EQ(std::memcmp(g, &zero, sizeof(zero)), 0);
    ASSERT_EQ(host.globalSetdown(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::liveHandles(host), 0u);
}

TEST(Dispatch, VersionNumbersAreCutToTheirFields) {
    ns_ae_description d = g_d;
    d.minor = 17;
    d.major = 9;
    d.build = 0x3FF;
    d.out_flags = 0;
    refhost::Host host(nullptr);
    PF_OutData out{};
    ASSERT_EQ(nr_ae_global_setup(&d, &host.inData(), &out), PF_Err_NONE);
    EXPECT_EQ(out.my_version, (1u << 15) | (1u << 19) | 0x1FFu);
    EXPECT_EQ(out.out_flags, 0x04000000u) << "the update-params-UI flag is always added";
    host.inData().global_data = out.global_data;
    nr_ae_global_setdown(&d, &host.inData(), &out);
    EXPECT_EQ(refhost::testing::liveHandles(host), 0u);
}

TEST(Dispatch, DynamicFlagsAreTheDescriptionsUnchanged) {
    ns_ae_description d = g_d;
    d.out_flags = 0x10;
    d.out_flags2 = 0x7;
    PF_OutData out{};
    ASSERT_EQ(nr_ae_query_dynamic_flags(&d, &out), PF_Err_NONE);
    EXPECT_EQ(out.out_flags, 0x10u);
    EXPECT_EQ(out.out_flags2, 0x7u);

    refhost::Host host(plugin().entry());
    ASSERT_EQ(host.queryDynamicFlags(), PF_Err_NONE);
    EXPECT_EQ(host.outData().out_flags, 0x04000000u);
}

TEST(Dispatch, UnknownCommandsReturnZeroAndTouchNothing) {
    auto host = startedHost();
    for (PF_Cmd cmd : {2, 7, 9, 12, 13, 15, 16, 17, 19, 25, 1000, -1}) {
        PF_OutData out;
        std::memset(&out, 0xCD, sizeof(out));
        PF_OutData before = out;
        EXPECT_EQ(host->sendWith(cmd, out), PF_Err_NONE) << cmd;
        EXPECT_EQ(std::memcmp(&out, &before, sizeof(out)), 0) << cmd;
    }
}

TEST(Dispatch, SequenceContextIsRestoredAfterEveryCall) {
    auto host = startedHost();
    kavri_ae_filter_context** current = moduleSequenceContext();
    ASSERT_NE(current, nullptr);
    auto* marker = reinterpret_cast<kavri_ae_filter_context*>(0x1234);
    *current = marker;
    refhost::World in = cwtest::solidWorld(8, 8, PF_Pixel{255, 10, 20, 30});
    refhost::World out = cwtest::solidWorld(8, 8, PF_Pixel{0, 0, 0, 0});
    EXPECT_EQ(host->render(in.def(), out.def()), PF_Err_NONE);
    EXPECT_EQ(*current, marker);
    EXPECT_EQ(host->updateParamsUI(), PF_Err_NONE);
    EXPECT_EQ(*current, marker);
    PF_Handle seq = host->inData().sequence_data;
    host->inData().sequence_data = nullptr;
    EXPECT_EQ(host->send(PF_Cmd_FRAME_SETUP), PF_Err_NONE);
    EXPECT_EQ(*current, marker);
    host->inData().sequence_data = seq;
    EXPECT_EQ(host->sequenceSetdown(), PF_Err_NONE);
    EXPECT_EQ(*current, marker);
    *current = nullptr;
}

TEST(Dispatch, ResetupGivesAFreshZeroedRecord) {
    auto host = startedHost();
    auto* old = record<kavri_ae_filter_context>(host->inData().sequence_data);
    std::strcpy(old->debug_text, "left over");
    old->user_handle = nullptr;
    PF_Handle old_handle = host->inData().sequence_data;
    PF_OutData out{};
    ASSERT_EQ(host->sendWith(PF_Cmd_SEQUENCE_RESETUP, out), PF_Err_NONE);
    ASSERT_NE(out.sequence_data, nullptr);
    EXPECT_NE(out.sequence_data, old_handle);
    auto* fresh = record<kavri_ae_filter_context>(out.sequence_data);
    kavri_ae_filter_context zero{};
    EXPECT_EQ(std::memcmp(fresh, &zero, sizeof(zero)), 0);
    EXPECT_STREQ(old->debug_text, "left over") << "the old record is neither read nor disposed";
    host->inData().sequence_data = out.sequence_data;
    refhost::testing::disposeHandle(*host, old_handle);
}

TEST(Dispatch, SequenceSetdownDisposesTheEffectsHandle) {
    auto host = startedHost();
    auto* context = record<kavri_ae_filter_context>(host->inData().sequence_data);
    context->user_handle = refhost::testing::newHandle(*host, 64);
    EXPECT_EQ(refhost::testing::liveHandles(*host), 3u);
    ASSERT_EQ(host->sequenceSetdown(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::liveHandles(*host), 1u) << "only the global handle is left";
    ASSERT_EQ(host->globalSetdown(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::liveHandles(*host), 0u);
}

TEST(Dispatch, FrameSetupDoesNothingUnlessTheDescriptionAsks) {
    auto host = startedHost();
    auto* context = record<kavri_ae_filter_context>(host->inData().sequence_data);
    PF_OutData out{};
    ASSERT_EQ(nr_ae_frame_setup_outer(&g_d, &host->inData(), &out, host->paramArray(nullptr)), PF_Err_NONE);
    EXPECT_EQ(context->global, nullptr) << "bit 3 clear: no mapping";
    EXPECT_EQ(context->params[1], nullptr);

    ns_ae_description d = g_d;
    d.framework_flags |= NS_AE_FRAME_SETUP_HOOK;
    PF_ParamDef** params = host->paramArray(nullptr);
    ASSERT_EQ(nr_ae_frame_setup_outer(&d, &host->inData(), &out, params), PF_Err_NONE);
    EXPECT_EQ(context->params[1], params[1]);
    EXPECT_EQ(context->params[5], params[0]) << "an index without a row maps to the input layer";
    ASSERT_EQ(nr_ae_frame_setup_outer(&d, &host->inData(), &out, nullptr), PF_Err_NONE);
    EXPECT_NE(context->global, nullptr);
}

TEST(Dispatch, HandleAllocationFailureIsOutOfMemory) {
    {
        refhost::Host host(plugin().entry());
        refhost::testing::failures(host).fail_handle_alloc_at = 1;
        EXPECT_EQ(host.globalSetup(), PF_Err_OUT_OF_MEMORY);
        EXPECT_FALSE(host.hasGlobal());
        EXPECT_EQ(host.outData().global_data, nullptr);
    }
    {
        refhost::Host host(plugin().entry());
        refhost::testing::failures(host).fail_handle_alloc_at = 2;
        ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
        ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
        EXPECT_EQ(host.sequenceSetup(), PF_Err_OUT_OF_MEMORY);
        EXPECT_FALSE(host.hasSequence());
        EXPECT_EQ(host.outData().sequence_data, nullptr);
    }
}

TEST(Dispatch, LifecycleRunsOnThePlatformHandlesWithoutHostCallbacks) {
    refhost::Host host(plugin().entry());
    refhost::testing::failures(host).no_handle_callbacks = true;
    ASSERT_EQ(host.start(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::counters(host).handle_allocations, 0);
    refhost::World in = cwtest::solidWorld(16, 9, PF_Pixel{255, 200, 100, 50});
    refhost::World out = cwtest::solidWorld(16, 9, PF_Pixel{0, 0, 0, 0});
    EXPECT_EQ(host.render(in.def(), out.def()), PF_Err_NONE);
    EXPECT_EQ(host.sequenceResetup(), PF_Err_NONE);
    EXPECT_EQ(host.sequenceSetdown(), PF_Err_NONE);
    EXPECT_EQ(host.globalSetdown(), PF_Err_NONE);
}

TEST(Dispatch, MissingRecordsAreRefusedNotFollowed) {
    refhost::Host host(plugin().entry());
    ASSERT_EQ(host.globalSetup(), PF_Err_NONE);
    ASSERT_EQ(host.paramsSetup(), PF_Err_NONE);
    refhost::World in = cwtest::solidWorld(4, 4, PF_Pixel{255, 1, 2, 3});
    refhost::World out = cwtest::solidWorld(4, 4, PF_Pixel{0, 0, 0, 0});
    EXPECT_EQ(host.render(in.def(), out.def()), PF_Err_INTERNAL_STRUCT_DAMAGED) << "no sequence record";
    EXPECT_EQ(host.send(PF_Cmd_RENDER, nullptr, &out.def()), PF_Err_BAD_CALLBACK_PARAM) << "no parameters";
    EXPECT_EQ(host.send(PF_Cmd_UPDATE_PARAMS_UI), PF_Err_BAD_CALLBACK_PARAM);
}

}  // namespace
