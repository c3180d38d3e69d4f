// Rotation matrices, the double-precision range map, and the string and file helpers.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "math/kavri_matrix.h"
#include "util/kavri_utils.h"
#include "tests/test_support.h"

namespace {

TEST(Matrix, IdentityLeavesVectorsAlone) {
    matrix9 m;
    initMatrix(&m);
    vector3 v = {{3.5, -2, 1e10}};
    applyMatrixToVector(&v, &m);
    EXPECT_EQ(v.v[0], 3.5);
    EXPECT_EQ(v.v[1], -2);
    EXPECT_EQ(v.v[2], 1e10);
}

TEST(Matrix, RotationAboutZActsOnRowVectors) {
    matrix9 m;
    initMatrix(&m);
    rotateMatrixZ(&m, M_PI / 2);
    vector3 x = {{1, 0, 0}}, y = {{0, 1, 0}};
    applyMatrixToVector(&x, &m);
    applyMatrixToVector(&y, &m);
    EXPECT_NEAR(x.v[0], 0, 1e-15);
    EXPECT_NEAR(x.v[1], -1, 1e-15);
    EXPECT_NEAR(y.v[0], 1, 1e-15);
    EXPECT_NEAR(y.v[1], 0, 1e-15);
    EXPECT_EQ(x.v[2], 0);
}

TEST(Matrix, SuccessiveRotationsApplyInCallOrder) {
    const double a = 0.7, b = -1.9;
    matrix9 m;
    initMatrix(&m);
    rotateMatrixX(&m, a);
    rotateMatrixY(&m, b);
    matrix9 rx, ry;
    initMatrix(&rx);
    rotateMatrixX(&rx, a);
    initMatrix(&ry);
    rotateMatrixY(&ry, b);
    vector3 v = {{0.3, -1.2, 2.5}}, w = v;
    applyMatrixToVector(&v, &m);
    applyMatrixToVector(&w, &rx);
    applyMatrixToVector(&w, &ry);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(v.v[i], w.v[i], 1e-14);
}

TEST(Matrix, ProductWithItselfIsTheSquare) {
    matrix9 m = {{1, 2, 3, 4, 5, 6, 7, 8, 9}};
    applyMatrixToMatrix(&m, &m);
    const double square[9] = {30, 36, 42, 66, 81, 96, 102, 126, 150};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(m.m[i], square[i]);
}

TEST(Matrix, InfinitiesSpreadThroughTheZeroEntriesOfARotation) {
    matrix9 m;
    initMatrix(&m);
    m.m[0] = std::numeric_limits<double>::infinity();
    rotateMatrixX(&m, 0.5);
    EXPECT_TRUE(std::isinf(m.m[0]));
    EXPECT_TRUE(std::isnan(m.m[1])) << "inf meets the rotation's zero";
    EXPECT_TRUE(std::isnan(m.m[2]));
    EXPECT_FALSE(std::isnan(m.m[4])) << "other rows stay finite";
}

TEST(Matrix, DoubleMapRangeDividesTheSpansFirst) {
    EXPECT_EQ(mapRange(5.0, 0.0, 10.0, 100.0, 200.0), 150.0);
    EXPECT_EQ(mapRange(15.0, 0.0, 10.0, 100.0, 200.0), 250.0);
    EXPECT_EQ(mapRange(5.0, 10.0, 0.0, 0.0, 1.0), 0.5);
    EXPECT_EQ(mapRange(0.3, 0.0, 3.0, 0.0, 1.0), (1.0 / 3.0) * 0.3);
    EXPECT_TRUE(std::isinf(mapRange(1.0, 2.0, 2.0, 0.0, 1.0)));
    EXPECT_TRUE(std::isnan(mapRange(2.0, 2.0, 2.0, 0.0, 1.0)));
}

TEST(Strings, CrushNewlinesCollapsesBreaksAndIndentation) {
    char a[] = "a\r\n\r\n  b";
    crushNewlines(a);
    EXPECT_STREQ(a, "a\nb");
    char b[] = "  a \n\t\t c\rd";
    crushNewlines(b);
    EXPECT_STREQ(b, "  a \nc\nd");
    char empty[] = "";
    crushNewlines(empty);
    EXPECT_STREQ(empty, "");
}

TEST(Strings, StartsWith) {
    EXPECT_EQ(startsWith("checkerwarp", ""), 1);
    EXPECT_EQ(startsWith("checker", "checkerwarp"), 0);
    EXPECT_EQ(startsWith("checkerwarp", "check"), 1);
    EXPECT_EQ(startsWith("Checkerwarp", "check"), 0);
}

TEST(Strings, SplitKeepsEmptyItemsAndMultiCharacterDelimiters) {
    KvSplit s;
    splitString("a,b,,c", ",", &s);
    ASSERT_EQ(s.count, 4);
    EXPECT_STREQ(s.items[0], "a");
    EXPECT_STREQ(s.items[1], "b");
    EXPECT_STREQ(s.items[2], "");
    EXPECT_STREQ(s.items[3], "c");
    splitString("::", "::", &s);
    ASSERT_EQ(s.count, 2);
    EXPECT_STREQ(s.items[0], "");
    EXPECT_STREQ(s.items[1], "");
    splitString("", ",", &s);
    EXPECT_EQ(s.count, 1);
    EXPECT_STREQ(s.items[0], "");
    splitString("x,y", "", &s);
    EXPECT_EQ(s.count, 1) << "an empty delimiter gives the whole input";
    EXPECT_STREQ(s.items[0], "x,y");
}

TEST(Strings, SplitNeverWritesPastItsRecord) {
    auto s = std::make_unique<KvSplit>();
    const std::string text(10000, 'q');
    splitString(text.c_str(), ",", s.get());
    EXPECT_EQ(s->count, 1);
    EXPECT_EQ(std::strlen(s->items[0]), static_cast<size_t>(kKvSplitTextSize - 1));
    const std::string commas(10000, ',');
    splitString(commas.c_str(), ",", s.get());
    EXPECT_LE(s->count, kKvSplitMaxItems);
    EXPECT_LT(s->items[s->count - 1], s->text + kKvSplitTextSize);
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/cwfilesXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir).c_str()); }
    std::string write(const char* name, const std::string& content) {
        std::string path = dir + "/" + name;
        FILE* f = std::fopen(path.c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
        return path;
    }
    std::string dir;
};

TEST_F(Files, ReadFileGivesTheContentsZeroTerminated) {
    char* text = readFile(write("a.txt", "hello\nworld").c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "hello\nworld");
    freeAt(reinterpret_cast<void**>(&text));
    EXPECT_EQ(text, nullptr);
    char* empty = readFile(write("e.txt", "").c_str());
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty[0], 0);
    std::free(empty);
    EXPECT_EQ(readFile((dir + "/missing").c_str()), nullptr);
    EXPECT_EQ(readFile(dir.c_str()), nullptr) << "a folder opens but cannot be read";
}

TEST_F(Files, FileExistsMeansReadable) {
    const std::string path = write("b.txt", "x");
    EXPECT_EQ(fileExists(path.c_str()), 1);
    EXPECT_EQ(fileExists((dir + "/none").c_str()), 0);
    chmod(path.c_str(), 0);
    if (geteuid() != 0) {
        EXPECT_EQ(fileExists(path.c_str()), 0);  // root reads everything
    }
}

TEST(Memory, FreeAtAndClearMem) {
    void* p = nullptr;
    freeAt(&p);
    EXPECT_EQ(p, nullptr);
    freeAt(nullptr);
    char block[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    clearMem(block, 4);
    EXPECT_EQ(block[3], 0);
    EXPECT_EQ(block[4], 5);
    clearMem(block, 0);
    clearMem(block, -5);
    EXPECT_EQ(block[4], 5);
}

}  // namespace
