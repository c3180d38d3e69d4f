// The render driver: stamps, the debug text, suites and the effect's handle.
#include <sys/time.h>

#include <cstring>
#include <cctype>
#include <string>

#include "framework/kavri_ae_effect_framework.h"
#include "graphics/font8x8.h"
#include "host/host_testing.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

// The plug-in's clock, counted: the test program exports it so that the loaded
// module reads the time through it.
static int g_clock_reads = 0;
extern "C" __attribute__((visibility("default"))) int gettimeofday(struct timeval* tv, void*) {
    ++g_clock_reads;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tv->tv_sec = ts.tv_sec;
    tv->tv_usec = ts.tv_nsec / 1000;
    return 0;
}

namespace {

const PF_Pixel kStampInk = {255, 255, 240, 255};

// Reads back text drawn with the 8x8 font: the character whose cell matches, or
// '\0' where no cell in `ink` is drawn.
std::string readText(GuardedWorld& w, int x, int y, int cells, PF_Pixel ink = kStampInk) {
    std::string s;
    for (int i = 0; i < cells; ++i) {
        char found = 0;
        for (int g = 32; g < 127 && !found; ++g) {
            bool match = true;
            for (int r = 0; r < 8 && match; ++r)
                for (int k = 0; k < 8 && match; ++k) {
                    const PF_Pixel want = (font8x8[g * 8 + r] & (0x80 >> k)) ? ink : PF_Pixel{255, 0, 0, 0};
                    match = w.at(x + 8 * i + k, y + r) == want;
                }
            if (match) found = static_cast<char>(g);
        }
        s += found ? found : '\0';
    }
    return s;
}

class RenderDriver : public ::testing::Test {
protected:
    void SetUp() override {
        host = cwtest::startedHost();
        cwtest::setPopup(*host, "squares fill", 3);  // background only, dark blue
        cwtest::setColor(*host, "background color", 0, 0, 50);
    }
    PF_Err render() {
        in.fill(PF_Pixel{255, 40, 40, 40});
        out.fill(PF_Pixel{0, 0, 0, 0});
        PF_Err err = host->render(in.def(), out.def());
        EXPECT_TRUE(out.intact());
        return err;
    }
    kavri_ae_filter_context* context() { return static_cast<kavri_ae_filter_context*>(*host->inData().sequence_data); }
    std::unique_ptr<refhost::Host> host;
    GuardedWorld in{400, 300}, out{400, 300};
};

TEST_F(RenderDriver, ParameterStampListsHeaderNamesIndicesAndValues) {
    cwtest::setCheckbox(*host, "stamp params", true);
    cwtest::setPopup(*host, "background fill", 2);
    std::strcpy(context()->debug_text, "hello\n\tworld\x01\xC3");
    ASSERT_EQ(render(), PF_Err_NONE);
    // default point: 20 % and 30 % of 400 x 300
    const int x = 80, y = 90;
    auto line = [&](int cells_in, int row, const std::string& text) {
        EXPECT_EQ(readText(out, x + 8 * cells_in, y + 8 + 8 * row, static_cast<int>(text.size())), text);
        EXPECT_EQ(readText(out, x + 8 * cells_in - 8, y + 8 + 8 * row, 1), std::string(1, '\0'))
            << text << ": nothing left of the right-aligned name";
    };
    EXPECT_EQ(readText(out, x, y, 33), "checkerwarp 0x04000000 0x00000000");
    // "horizontal influence" is the longest name (20): "squares across" starts 6 cells in
    line(6, 0, "squares across[ 1]:   12.000");
    line(14, 1, "center[ 2]: 200.0,150.0");
    line(4, 2, "background color[ 3]: 00 00 32");
    line(5, 3, "background fill[16]: 2");
    line(13, 6, "x scale[ 7]:  100.000");
    line(8, 9, "brick offset[10]:    0.000");
    line(0, 17, "horizontal influence[23]: 00 00 ff");
    line(2, 20, "vertical influence[20]: 7f 80 00");
    // 21 listed parameters, then the debug text; control bytes take no room
    EXPECT_EQ(readText(out, x, y + 8 + 21 * 8, 5), "hello");
    EXPECT_EQ(readText(out, x, y + 16 + 21 * 8, 5), "world");
    EXPECT_EQ(readText(out, x + 40, y + 16 + 21 * 8, 1), std::string(1, '\0'));
    EXPECT_EQ(readText(out, x, y + 8 + 23 * 8, 1), std::string(1, '\0')) << "nothing after the log";
    EXPECT_STREQ(context()->debug_text, "") << "the log is emptied after every render";
}

TEST_F(RenderDriver, TimeStampShowsMilliseconds) {
    cwtest::setCheckbox(*host, "stamp time", true);
    cwtest::setColor(*host, "stamp time color", 0, 255, 0);
    g_clock_reads = 0;
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(g_clock_reads, 2);
    const std::string text = readText(out, 80, 60, 10, PF_Pixel{255, 0, 255, 0});
    // "%8.2fms": eight characters, right-aligned, two decimals, then "ms"
    ASSERT_EQ(text.size(), 10u);
    const size_t digits = text.find_first_not_of(' ');
    ASSERT_NE(digits, std::string::npos) << text;
    EXPECT_EQ(text.substr(8), "ms") << text;
    EXPECT_EQ(text[5], '.') << text;
    for (size_t i = digits; i < 8; ++i) {
        if (i != 5) {
            EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(text[i]))) << text;
        }
    }
}

TEST_F(RenderDriver, WithBothStampsOffNothingIsDrawnAndTheClockIsNotRead) {
    g_clock_reads = 0;
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(g_clock_reads, 0);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x) ASSERT_EQ(out.at(x, y), (PF_Pixel{255, 0, 0, 50}));
    EXPECT_EQ(refhost::testing::outstandingSuites(*host), 0);
}

TEST_F(RenderDriver, WithoutTheIterationSuiteTheFilterIsNotCalled) {
    for (int variant = 0; variant < 2; ++variant) {
        auto h = cwtest::startedHost();
        if (variant == 0) refhost::testing::failures(*h).withheld_suites.insert(kPFIterate8Suite);
        if (variant == 1) refhost::testing::failures(*h).no_basic_suite = true;
        cwtest::setCheckbox(*h, "stamp params", true);
        out.fill(PF_Pixel{0, 0, 0, 0});
        EXPECT_EQ(h->render(in.def(), out.def()), PF_Err_BAD_CALLBACK_PARAM);
        EXPECT_EQ(h->returnMessage(), "could not acquire Could not load kPFIterate8Suite");
        EXPECT_TRUE(h->outData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE);
        EXPECT_EQ(out.at(1, 1), (PF_Pixel{0, 0, 0, 0})) << "no background was laid";
        EXPECT_EQ(readText(out, 80, 90, 11), "checkerwarp") << "the stamps are still drawn";
        EXPECT_EQ(refhost::testing::outstandingSuites(*h), 0);
    }
}

TEST_F(RenderDriver, TheEffectsHandleIsLockedOnlyAroundTheFilter) {
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::counters(*host).handle_locks, 0);
    context()->user_handle = refhost::testing::newHandle(*host, 32);
    ASSERT_EQ(render(), PF_Err_NONE);
    EXPECT_EQ(refhost::testing::counters(*host).handle_locks, 1);
    EXPECT_EQ(refhost::testing::counters(*host).handle_unlocks, 1);
}

TEST(DebugText, AppendsBoundedAndClearsThroughTheCurrentInstance) {
    auto* saved = gSequenceContext;
    gSequenceContext = nullptr;
    EXPECT_EQ(nr_ae_dprint("%s", "nowhere"), 0) << "no current instance: nothing is written";
    nr_ae_dprint(nullptr);
    auto context = std::make_unique<kavri_ae_filter_context>();
    gSequenceContext = context.get();
    nr_ae_dprint("a=%d", 5);
    nr_ae_dprint("\n");
    EXPECT_STREQ(context->debug_text, "a=5\n");
    const std::string chunk(1000, 'x');
    for (int i = 0; i < 9; ++i) nr_ae_dprint("%s", chunk.c_str());
    EXPECT_EQ(std::strlen(context->debug_text), 9004u);
    nr_ae_dprint("more");
    EXPECT_EQ(std::strlen(context->debug_text), 9004u) << "past the limit appends change nothing";
    context->debug_text[8800] = 0;
    nr_ae_dprint("%s", std::string(5000, 'y').c_str());
    EXPECT_EQ(std::strlen(context->debug_text), static_cast<size_t>(kNsAeDebugTextSize - 1))
        << "one append is bounded to the room left";
    nr_ae_dprint(nullptr);
    EXPECT_STREQ(context->debug_text, "");
    gSequenceContext = saved;
}

}  // namespace
