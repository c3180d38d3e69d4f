// The 8x8 font and the text routines.
#include <cstdio>
#include <cstring>
#include <string>

#include "graphics/font8x8.h"
#include "graphics/kavri_text.h"
#include "tests/test_support.h"

using cwtest::GuardedWorld;

namespace {

// Every non-blank glyph, row bytes top to bottom.
const struct {
    int code;
    const char* rows;
} kGlyphs[] = {
    {33, "08 08 08 08 08 00 08 00"},
    {34, "14 14 00 00 00 00 00 00"},
    {35, "14 14 7F 14 7F 14 14 00"},
    {36, "08 1E 28 1C 0A 3C 08 00"},
    {37, "00 32 34 08 16 26 00 00"},
    {38, "18 28 10 28 46 44 3A 00"},
    {39, "08 08 00 00 00 00 00 00"},
    {40, "04 08 10 10 10 08 04 00"},
    {41, "10 08 04 04 04 08 10 00"},
    {42, "08 49 2A 1C 2A 49 08 00"},
    {43, "08 08 08 7F 08 08 08 00"},
    {44, "00 00 00 00 0C 0C 04 08"},
    {45, "00 00 00 7F 00 00 00 00"},
    {46, "00 00 00 00 00 0C 0C 00"},
    {47, "01 02 04 08 10 20 40 00"},
    {48, "1C 22 22 2A 22 22 1C 00"},
    {49, "08 18 08 08 08 08 1C 00"},
    {50, "1C 22 02 04 08 10 3E 00"},
    {51, "1C 22 02 0C 02 22 1C 00"},
    {52, "0C 14 24 3E 04 04 0E 00"},
    {53, "3E 20 20 3C 02 22 1C 00"},
    {54, "1C 22 20 3C 22 22 1C 00"},
    {55, "3E 02 04 08 10 10 10 00"},
    {56, "1C 22 22 1C 22 22 1C 00"},
    {57, "1C 22 22 1E 02 22 1C 00"},
    {58, "00 0C 0C 00 0C 0C 00 00"},
    {59, "00 0C 0C 00 0C 0C 04 08"},
    {60, "04 08 10 20 10 08 04 00"},
    {61, "00 00 7F 00 7F 00 00 00"},
    {62, "20 10 08 04 08 10 20 00"},
    {63, "1C 22 02 04 08 00 08 00"},
    {64, "1C 22 2E 2A 2E 20 1C 00"},
    {65, "1C 22 22 3E 22 22 22 00"},
    {66, "3C 22 22 3C 22 22 3C 00"},
    {67, "1C 22 20 20 20 22 1C 00"},
    {68, "3C 22 22 22 22 22 3C 00"},
    {69, "3E 20 20 3C 20 20 3E 00"},
    {70, "3E 20 20 3E 20 20 20 00"},
    {71, "1C 22 20 2E 22 22 1C 00"},
    {72, "22 22 22 3E 22 22 22 00"},
    {73, "1C 08 08 08 08 08 1C 00"},
    {74, "0E 04 04 04 24 24 18 00"},
    {75, "22 22 24 38 24 22 22 00"},
    {76, "10 10 10 10 10 10 1E 00"},
    {77, "41 63 55 49 41 41 41 00"},
    {78, "22 32 2A 2A 26 22 22 00"},
    {79, "1C 22 22 22 22 22 1C 00"},
    {80, "1C 12 12 1C 10 10 10 00"},
    {81, "1C 22 22 22 22 22 1C 06"},
    {82, "3C 22 22 3C 28 24 22 00"},
    {83, "1C 22 20 1C 02 22 1C 00"},
    {84, "3E 08 08 08 08 08 08 00"},
    {85, "22 22 22 22 22 22 1C 00"},
    {86, "22 22 22 14 14 08 08 00"},
    {87, "41 41 41 2A 2A 14 14 00"},
    {88, "22 22 14 08 14 22 22 00"},
    {89, "22 22 14 08 08 08 08 00"},
    {90, "3E 02 04 08 10 20 3E 00"},
    {91, "1C 10 10 10 10 10 1C 00"},
    {92, "40 20 10 08 04 02 01 00"},
    {93, "1C 04 04 04 04 04 1C 00"},
    {94, "08 14 22 00 00 00 00 00"},
    {95, "00 00 00 00 00 00 00 7F"},
    {96, "10 08 00 00 00 00 00 00"},
    {97, "00 1C 02 1E 22 22 1D 00"},
    {98, "10 10 1C 12 12 12 2C 00"},
    {99, "00 00 1C 20 20 20 1C 00"},
    {100, "02 02 0E 12 12 12 0D 00"},
    {101, "00 00 1C 22 3E 20 1C 00"},
    {102, "0C 12 10 38 10 10 10 00"},
    {103, "00 00 1D 22 22 1E 02 1C"},
    {104, "20 20 2C 32 22 22 22 00"},
    {105, "00 08 00 08 08 08 08 00"},
    {106, "00 08 00 08 08 08 08 30"},
    {107, "20 20 24 28 30 28 24 00"},
    {108, "18 08 08 08 08 08 08 00"},
    {109, "00 00 B6 49 49 41 41 00"},
    {110, "00 00 2C 12 12 12 12 00"},
    {111, "00 00 1C 22 22 22 1C 00"},
    {112, "00 00 2C 12 12 1C 10 10"},
    {113, "00 00 1A 24 24 1C 04 04"},
    {114, "00 00 2C 30 20 20 20 00"},
    {115, "00 00 1C 20 18 04 38 00"},
    {116, "00 08 1C 08 08 08 08 00"},
    {117, "00 00 24 24 24 24 1A 00"},
    {118, "00 00 22 22 22 14 08 00"},
    {119, "00 00 41 41 49 55 22 00"},
    {120, "00 00 22 14 08 14 22 00"},
    {121, "00 00 12 12 12 0E 02 1C"},
    {122, "00 00 3C 04 08 10 3C 00"},
    {123, "0C 10 10 20 10 10 0C 00"},
    {124, "08 08 08 08 08 08 08 00"},
    {125, "30 08 08 04 08 08 30 00"},
    {126, "00 00 30 49 06 00 00 00"},
};

const PF_Pixel kInk = {255, 10, 200, 30};
const PF_Pixel kCell = {255, 0, 0, 0};
const PF_Pixel kPaper = {17, 17, 17, 17};

TEST(Font, EveryGlyphMatchesItsTable) {
    bool listed[128] = {};
    for (const auto& g : kGlyphs) {
        listed[g.code] = true;
        unsigned bytes[8];
        ASSERT_EQ(std::sscanf(g.rows, "%x %x %x %x %x %x %x %x", &bytes[0], &bytes[1], &bytes[2], &bytes[3],
                              &bytes[4], &bytes[5], &bytes[6], &bytes[7]),
                  8);
        for (int r = 0; r < 8; ++r) EXPECT_EQ(font8x8[g.code * 8 + r], bytes[r]) << "code " << g.code << " row " << r;
    }
    int blank = 0;
    for (int c = 0; c < 128; ++c) {
        if (listed[c]) continue;
        ++blank;
        for (int r = 0; r < 8; ++r) EXPECT_EQ(font8x8[c * 8 + r], 0) << "code " << c;
    }
    EXPECT_EQ(blank, 34) << "codes 0 to 32 and 127 are blank";
}

TEST(Font, GlyphsLeaveTheGapColumnAndRowExceptWhereTheyMay) {
    for (int c = 33; c < 127; ++c) {
        const bool descender = std::strchr(",;Qgjpqy_", c) != nullptr;
        if (!descender) {
            EXPECT_EQ(font8x8[c * 8 + 7], 0) << char(c);
        }
        for (int r = 0; r < 8; ++r) {
            if (c != 'm') {
                EXPECT_EQ(font8x8[c * 8 + r] & 0x80, 0) << char(c);
            }
        }
    }
    EXPECT_EQ(font8x8['m' * 8 + 2], 0xB6);
}

class Text : public ::testing::Test {
protected:
    void SetUp() override { world.fill(kPaper); }
    // True when the cell at (x, y) shows glyph g exactly.
    bool cellShows(int x, int y, int g) {
        for (int r = 0; r < 8; ++r)
            for (int k = 0; k < 8; ++k) {
                const PF_Pixel want = (font8x8[g * 8 + r] & (0x80 >> k)) ? ink : kCell;
                if (!(world.at(x + k, y + r) == want)) return false;
            }
        return true;
    }
    bool untouched() {
        for (int y = 0; y < world.height(); ++y)
            for (int x = 0; x < world.width(); ++x)
                if (!(world.at(x, y) == kPaper)) return false;
        return world.intact();
    }
    PF_Pixel ink = kInk;
    GuardedWorld world{40, 32};
};

TEST_F(Text, DrawCharPaintsAnOpaqueCell) {
    drawChar(&world.def(), &ink, 4, 4, 'A');
    EXPECT_TRUE(cellShows(4, 4, 'A'));
    EXPECT_EQ(world.at(3, 4), kPaper);
    EXPECT_EQ(world.at(12, 4), kPaper);
    for (int c : {32, 9, 10, 0, 127}) {
        drawChar(&world.def(), &ink, 20, 20, c);
        EXPECT_TRUE(cellShows(20, 20, 0)) << c << ": a blank black block";
    }
}

TEST_F(Text, CodesOutsideTheTableDrawTheQuestionMark) {
    for (int c : {200, -1, 128, 100000}) {
        world.fill(kPaper);
        drawChar(&world.def(), &ink, 0, 0, c);
        EXPECT_TRUE(cellShows(0, 0, '?')) << c;
    }
    draws(&world.def(), &ink, 8, 8, "\xE9");
    EXPECT_TRUE(cellShows(8, 8, '?'));
}

TEST_F(Text, CellsAreClippedAtEveryEdge) {
    drawChar(&world.def(), &ink, -3, 0, 'H');
    for (int k = 3; k < 8; ++k)
        for (int r = 0; r < 8; ++r)
            EXPECT_EQ(world.at(k - 3, r), (font8x8['H' * 8 + r] & (0x80 >> k)) ? kInk : kCell);
    EXPECT_EQ(world.at(5, 0), kPaper);
    world.fill(kPaper);
    drawChar(&world.def(), &ink, 0, world.height() - 2, 'H');
    EXPECT_EQ(world.at(2, world.height() - 1), (font8x8['H' * 8 + 1] & 0x20) ? kInk : kCell);
    EXPECT_TRUE(world.intact());
    world.fill(kPaper);
    drawChar(&world.def(), &ink, world.width(), 0, 'H');
    drawChar(&world.def(), &ink, 0, -8, 'H');
    drawChar(&world.def(), &ink, INT32_MIN, INT32_MAX, 'H');
    draws(&world.def(), &ink, INT32_MAX - 4, 0, "far away");
    EXPECT_TRUE(untouched());
    draws(&world.def(), &ink, 0, 0, "a text much longer than the world is wide");
    EXPECT_TRUE(cellShows(32, 0, 'x'));
    EXPECT_TRUE(world.intact()) << "cut at the right edge, not wrapped";
    EXPECT_EQ(world.at(0, 8), kPaper);
}

TEST_F(Text, AlphaZeroInkStaysTransparentInsideAnOpaqueCell) {
    PF_Pixel clear_ink = {0, 1, 2, 3};
    drawChar(&world.def(), &clear_ink, 0, 0, '+');
    EXPECT_EQ(world.at(4, 3), clear_ink);
    EXPECT_EQ(world.at(0, 0), kCell);
}

TEST_F(Text, StringsBreakLinesOnLineFeedAndCarriageReturn) {
    draws(&world.def(), &ink, 0, 0, "A\r\nB");
    EXPECT_TRUE(cellShows(0, 0, 'A'));
    EXPECT_TRUE(cellShows(0, 16, 'B'));
    EXPECT_EQ(world.at(0, 8), kPaper);
    world.fill(kPaper);
    draws(&world.def(), &ink, 8, 0, "\nxy");
    EXPECT_TRUE(cellShows(8, 8, 'x'));
    EXPECT_TRUE(cellShows(16, 8, 'y'));
    world.fill(kPaper);
    draws(&world.def(), &ink, 0, 0, "");
    drawf(&world.def(), &ink, 0, 0, "%s", "");
    EXPECT_TRUE(untouched());
}

TEST_F(Text, FormattedTextDrawsAsTheSameString) {
    GuardedWorld other(40, 32);
    other.fill(kPaper);
    drawf(&world.def(), &ink, 1, 2, "%d:%s", 42, "ok");
    draws(&other.def(), &ink, 1, 2, "42:ok");
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 40; ++x) ASSERT_EQ(world.at(x, y), other.at(x, y));
    std::string longer(20000, 'x');
    drawf(&world.def(), &ink, 0, 0, "%s", longer.c_str());
    EXPECT_TRUE(world.intact()) << "longer text is cut to the buffer";
}

TEST_F(Text, TextBlockGathersAndDrawsItsText) {
    KvText block;
    PF_Pixel colour = kInk;
    clearText(&block, nullptr, &world.def(), &colour, 0, 0);
    drawText(&block);
    EXPECT_TRUE(untouched());
    printText(&block, "a");
    printText(&block, "b\n");
    printText(&block, "%c", 'c');
    colour = PF_Pixel{255, 1, 1, 1};
    drawText(&block);
    ink = colour;
    EXPECT_TRUE(cellShows(0, 0, 'a')) << "the colour is read when drawing";
    EXPECT_TRUE(cellShows(8, 0, 'b'));
    EXPECT_TRUE(cellShows(0, 8, 'c'));
    GuardedWorld second(16, 16);
    clearText(&block, nullptr, &second.def(), &colour, 8, 8);
    EXPECT_STREQ(block.text, "");
    EXPECT_EQ(block.world, &second.def());
}

TEST(TextBlock, AppendsStopPastTheLimitAndNeverOverflow) {
    KvText block;
    clearText(&block, nullptr, nullptr, nullptr, 0, 0);
    std::string chunk(1000, 'q');
    for (int i = 0; i < 10; ++i) printText(&block, "%s", chunk.c_str());
    printText(&block, "%s", std::string(800, 'r').c_str());
    EXPECT_EQ(std::strlen(block.text), 10800u);
    printText(&block, "s");
    EXPECT_EQ(std::strlen(block.text), 10801u) << "exactly 10,800 still accepts";
    printText(&block, "t");
    EXPECT_EQ(std::strlen(block.text), 10801u) << "10,801 accepts none";
    clearText(&block, nullptr, nullptr, nullptr, 0, 0);
    printText(&block, "%s", std::string(5000, 'z').c_str());
    EXPECT_EQ(std::strlen(block.text), 1199u) << "one append is cut to its bound";
}

}  // namespace
