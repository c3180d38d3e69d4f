// The editors' descriptions written at build time from each module's
// registration: every frei0r parameter by name in a Kdenlive description and a
// Shotcut UI, numbers keyframable with a factor and no offset, every choice's
// text, colours and checkboxes as such, and no threads property.
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "bridges/frei0r/bridge_params.h"
#include "tests/test_support.h"

namespace {

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string editorsFolder() {
    return std::string(CHECKERWARP_BUILD_DIR) + "/editors";
}

TEST(EditorDescriptions, KdenliveFindsEveryParameterByNameWithKeyframesAndChoices) {
    for (const std::string& effect : cwtest::effectNames()) {
        SCOPED_TRACE(effect);
        const std::string xml = fileText(editorsFolder() + "/kdenlive/frei0r_" + effect + ".xml");
        ASSERT_FALSE(xml.empty());
        EXPECT_NE(xml.find("<effect tag=\"frei0r." + effect + "\""), std::string::npos);
        EXPECT_EQ(xml.find("offset=\""), std::string::npos) << "Kdenlive ignores offset on keyframed numbers";
        auto host = cwtest::startedHost(cwtest::module(effect));
        const std::vector<PF_ParamDef>& registered = host->registered();
        int numbers = 0;
        for (const auto& p : f0rbridge::bridgeParams(registered)) {
            const std::regex row("<parameter name=\"" + p.name + "\"([^>]*)>");
            std::smatch m;
            ASSERT_TRUE(std::regex_search(xml, m, row)) << p.name;
            const std::string attributes = m[1];
            if (p.type == F0R_PARAM_DOUBLE) {
                EXPECT_NE(attributes.find("type=\"animated\""), std::string::npos) << p.name;
                EXPECT_NE(attributes.find("factor=\""), std::string::npos) << p.name;
                ++numbers;
            }
            if (p.type == F0R_PARAM_COLOR) {
                EXPECT_NE(attributes.find("type=\"color\""), std::string::npos) << p.name;
            }
            if (p.type == F0R_PARAM_BOOL) {
                EXPECT_NE(attributes.find("type=\"bool\""), std::string::npos) << p.name;
            }
            if (p.type == F0R_PARAM_STRING) {
                EXPECT_NE(attributes.find("type=\"list\""), std::string::npos) << p.name;
                for (const std::string& choice : refhost::popupChoices(registered[static_cast<size_t>(p.position)]))
                    EXPECT_NE(xml.find(choice), std::string::npos) << p.name << ": " << choice;
            }
        }
        EXPECT_GT(numbers, 0);
    }
    // in the command's units: 12 squares across shows as 12 with the factor alone
    const std::string xml = fileText(editorsFolder() + "/kdenlive/frei0r_checkerwarp.xml");
    EXPECT_NE(xml.find("<parameter name=\"squares across\" default=\"0.0470588235\" type=\"animated\" factor=\"255\" "
                       "min=\"1\" max=\"255\""),
              std::string::npos);
    EXPECT_NE(xml.find("<paramlistdisplay>color,tile,source (tinted),knockout</paramlistdisplay>"), std::string::npos);
    EXPECT_LT(xml.find("\"vertical influence\""), xml.find("\"stamp params\"")) << "the debug group last";
}

TEST(EditorDescriptions, ShotcutUiNamesEveryParameterAndNeverSetsThreads) {
    for (const std::string& effect : cwtest::effectNames()) {
        SCOPED_TRACE(effect);
        const std::string meta = fileText(editorsFolder() + "/shotcut/" + effect + "/meta.qml");
        const std::string ui = fileText(editorsFolder() + "/shotcut/" + effect + "/ui.qml");
        EXPECT_NE(meta.find("mlt_service: 'frei0r." + effect + "'"), std::string::npos);
        EXPECT_EQ(ui.find("threads"), std::string::npos);
        auto host = cwtest::startedHost(cwtest::module(effect));
        for (const auto& p : f0rbridge::bridgeParams(host->registered())) {
            EXPECT_NE(ui.find("filter.set('" + p.name + "'"), std::string::npos) << p.name;
            if (p.type == F0R_PARAM_DOUBLE) {
                EXPECT_NE(meta.find("property: '" + p.name + "'"), std::string::npos) << p.name;
            }
        }
    }
}

}  // namespace
