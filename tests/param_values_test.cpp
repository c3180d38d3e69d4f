// Parameter values as the command reads and writes them: one description per
// type for parsing, text and listings.
#include "tests/test_support.h"
#include "tools/param_values.h"

namespace {

TEST(SetValues, AValuePastTheSinglePrecisionBoundIsHandedOverAsTheBound) {
    auto host = cwtest::startedHost();
    std::string error;
    const int across = host->positionOfName("squares across"), scale = host->positionOfName("x scale");
    ASSERT_TRUE(cwtool::applySetting(*host, "squares across=255.00000001", error)) << error;
    EXPECT_EQ(host->param(across).u.fs_d.value, 255.0);
    ASSERT_TRUE(cwtool::applySetting(*host, "x scale=0.1", error)) << error;
    EXPECT_EQ(host->param(scale).u.fs_d.value, static_cast<double>(0.1f)) << "the bound as stored";
    ASSERT_TRUE(cwtool::applySetting(*host, "x scale=33.3", error)) << error;
    EXPECT_EQ(host->param(scale).u.fs_d.value, 33.3) << "inside the range a value is kept to the last digit";
    EXPECT_FALSE(cwtool::applySetting(*host, "x scale=1000.001", error));
}

TEST(SetValues, EveryValueReadsBackFromItsTextForm) {
    auto host = cwtest::startedHost();
    const char* settings[] = {"squares across=17.25", "center=30.5,-2", "background color=#0a14ff", "background fill=tile",
                              "x scale=33.3", "brick offset=-90.125", "wibble angle=720", "stamp params=on",
                              "brick rows=vertical"};
    std::string error;
    for (const char* s : settings) ASSERT_TRUE(cwtool::applySetting(*host, s, error)) << error;
    for (size_t p = 1; p < host->definitions().size(); ++p) {
        const PF_ParamDef& def = host->definitions()[p];
        if (def.param_type == PF_Param_GROUP_START || def.param_type == PF_Param_GROUP_END) continue;
        const std::string text = cwtool::valueText(def);
        PF_ParamDef back;
        ASSERT_TRUE(cwtool::parseValue(def, text, back, error)) << def.name << ": " << text << ": " << error;
        EXPECT_EQ(std::memcmp(&back.u, &def.u, sizeof(def.u)), 0) << def.name << " as " << text;
    }
    EXPECT_EQ(cwtool::valueText(host->param(host->positionOfName("background fill"))), "tile");
    EXPECT_EQ(cwtool::valueText(host->param(host->positionOfName("center"))), "30.5,-2");
    EXPECT_EQ(cwtool::valueText(host->param(host->positionOfName("background color"))), "#0a14ff");
    EXPECT_EQ(cwtool::valueText(host->param(host->positionOfName("x scale"))), "33.3");
}

TEST(SetValues, TheJsonListingIsWrittenByTheLibraryOneDefinitionALine) {
    auto host = cwtest::startedHost();
    const int p = host->positionOfName("background fill");
    const nlohmann::ordered_json j = cwtool::jsonOf(host->registered()[static_cast<size_t>(p)], static_cast<size_t>(p));
    EXPECT_EQ(j["choices"].size(), 4u);
    EXPECT_EQ(cwtool::oneLineJson(j).find('\n'), std::string::npos);
    EXPECT_EQ(nlohmann::ordered_json::parse(cwtool::oneLineJson(j)), j) << "the line is JSON that reads back";
    PF_ParamDef odd = host->registered()[1];
    std::strcpy(odd.name, "a \"quoted\"\tname");
    EXPECT_EQ(nlohmann::json::parse(cwtool::oneLineJson(cwtool::jsonOf(odd, 1)))["name"], "a \"quoted\"\tname");
}

}  // namespace
