// kavri_editor_files MODULE FOLDER: the editors' descriptions of an effect,
// written from what its module registers, the way the frei0r filter offers
// it: a Kdenlive effect description (FOLDER/kdenlive/frei0r_NAME.xml) and a
// Shotcut filter UI (FOLDER/shotcut/NAME/meta.qml and ui.qml). Parameters go
// by their frei0r names in the frei0r order, numbers keyframable in the units
// the command uses (the factor alone maps frei0r's [0, 1] onto them: ranges
// are mapped from 0), choices as lists showing their texts, colours as colour
// pickers, checkboxes, points as two numbers in percent of the frame.
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bridges/frei0r/bridge_params.h"
#include "host/module.h"
#include "host/reference_host.h"

namespace {

struct Number {
    double factor = 1, low = 0, high = 1;
    int decimals = 2;
    std::string suffix;
};

// How an editor shows a frei0r number: the factor from [0, 1] to the
// parameter's units, the range in those units, the decimals and the unit.
Number numberOf(const PF_ParamDef& d) {
    Number n;
    switch (d.param_type) {
    case PF_Param_FLOAT_SLIDER:
        n.low = d.u.fs_d.valid_min, n.high = d.u.fs_d.valid_max;
        if (d.u.fs_d.display_flags & PF_ValueDisplayFlag_PERCENT) n.suffix = "%";
        break;
    case PF_Param_SLIDER: n.low = d.u.sd.valid_min, n.high = d.u.sd.valid_max, n.decimals = 0; break;
    case PF_Param_FIX_SLIDER: n.low = d.u.fd.valid_min / 65536.0, n.high = d.u.fd.valid_max / 65536.0; break;
    case PF_Param_ANGLE: n.low = 0, n.high = 360, n.decimals = 1, n.suffix = "°"; break;
    case PF_Param_POINT: n.low = 0, n.high = 100, n.suffix = "%"; break;
    default: break;
    }
    n.factor = n.high - (n.low > 0 ? 0 : n.low);
    return n;
}

// A bound or factor as people write it (from floats: 0.1, not 0.100000001).
std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", v);
    return text;
}

// A default in frei0r's [0, 1], with the digits MLT keeps and more.
std::string fraction(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.9g", v);
    return text;
}

std::string xmlEscaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

std::string qmlQuoted(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out + "'";
}

std::string capitalised(std::string s) {
    if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
    return s;
}

std::string colourText(const PF_Pixel& p) {
    char text[16];
    std::snprintf(text, sizeof(text), "#%02x%02x%02x", p.red, p.green, p.blue);
    return text;
}

// The frei0r default of a parameter, as MLT reports it.
std::string defaultOf(const f0rbridge::BridgeParam& p, const PF_ParamDef& d) {
    if (p.type == F0R_PARAM_COLOR) return colourText(d.u.cd.value);
    if (p.type == F0R_PARAM_STRING) return std::to_string(d.u.pd.value);
    if (d.param_type == PF_Param_POINT) return fraction(f0rbridge::pointDefaultFraction(d, p.coordinate));
    f0rbridge::BridgeValue v;
    std::string text;
    f0rbridge::bridgeValueOf(d, 0, v, text);
    return fraction(v.number);
}

struct Effect {
    std::string name, summary;
    std::vector<PF_ParamDef> registered;
    std::vector<f0rbridge::BridgeParam> params;
    std::vector<std::string> hints;  // by frei0r parameter
};

// The numbers' entries, comma-separated: what `of` makes of each.
template <typename Of>
std::string numbersJoined(const Effect& e, Of of) {
    std::string out;
    for (const auto& p : e.params)
        if (p.type == F0R_PARAM_DOUBLE) out += (out.empty() ? "" : ", ") + of(p);
    return out;
}

std::string quotedName(const f0rbridge::BridgeParam& p) {
    return qmlQuoted(p.name);
}

std::string kdenliveXml(const Effect& e) {
    std::ostringstream x;
    x << "<!DOCTYPE kpartgui>\n"
      << "<!-- written by kavri_editor_files from what the " << e.name << " module registers -->\n"
      << "<effect tag=\"frei0r." << e.name << "\" id=\"frei0r." << e.name << "\">\n"
      << "  <name>" << xmlEscaped(capitalised(e.name)) << "</name>\n"
      << "  <description>" << xmlEscaped(e.summary) << "</description>\n"
      << "  <author>kavri effect framework</author>\n";
    for (size_t i = 0; i < e.params.size(); ++i) {
        const f0rbridge::BridgeParam& p = e.params[i];
        const PF_ParamDef& d = e.registered[static_cast<size_t>(p.position)];
        const std::string name = xmlEscaped(p.name), dflt = xmlEscaped(defaultOf(p, d));
        x << "  <parameter name=\"" << name << "\" default=\"" << dflt << "\"";
        if (p.type == F0R_PARAM_DOUBLE) {
            const Number n = numberOf(d);
            x << " type=\"animated\" factor=\"" << number(n.factor) << "\" min=\"" << number(n.low) << "\" max=\""
              << number(n.high) << "\" decimals=\"" << n.decimals << "\"";
            if (!n.suffix.empty()) x << " suffix=\"" << xmlEscaped(n.suffix) << "\"";
        } else if (p.type == F0R_PARAM_BOOL) {
            x << " type=\"bool\" min=\"0\" max=\"1\"";
        } else if (p.type == F0R_PARAM_COLOR) {
            x << " type=\"color\" alpha=\"0\"";
        } else {  // a popup: its choices by number (which never hold a ';'), shown by their texts
            const std::vector<std::string> choices = refhost::popupChoices(d);
            std::string numbers, texts;
            for (size_t c = 0; c < choices.size(); ++c) {
                numbers += (c ? ";" : "") + std::to_string(c + 1);
                texts += (c ? "," : "") + choices[c];
            }
            x << " type=\"list\" paramlist=\"" << numbers << "\">\n    <paramlistdisplay>" << xmlEscaped(texts)
              << "</paramlistdisplay";
        }
        x << ">\n    <name>" << xmlEscaped(capitalised(p.name)) << "</name>\n";
        if (!e.hints[i].empty()) x << "    <comment>" << xmlEscaped(e.hints[i]) << "</comment>\n";
        x << "  </parameter>\n";
    }
    x << "</effect>\n";
    return x.str();
}

std::string shotcutMeta(const Effect& e) {
    std::ostringstream q;
    q << "// written by kavri_editor_files from what the " << e.name << " module registers\n"
      << "import QtQuick 2.0\nimport org.shotcut.qml 1.0\n\n"
      << "Metadata {\n    type: Metadata.Filter\n    name: " << qmlQuoted(capitalised(e.name)) << "\n"
      << "    mlt_service: " << qmlQuoted("frei0r." + e.name) << "\n    qml: 'ui.qml'\n"
      << "    keywords: " << qmlQuoted(e.summary) << "\n"
      << "    keyframes {\n        allowAnimateIn: true\n        allowAnimateOut: true\n        simpleProperties: ["
      << numbersJoined(e, quotedName) << "]\n        parameters: [\n";
    bool first = true;
    for (const auto& p : e.params) {
        if (p.type != F0R_PARAM_DOUBLE) continue;
        q << (first ? "" : ",\n") << "            Parameter {\n                name: " << qmlQuoted(capitalised(p.name))
          << "\n                property: " << qmlQuoted(p.name)
          << "\n                isCurve: true\n                minimum: 0\n"
          << "                maximum: 1\n            }";
        first = false;
    }
    q << "\n        ]\n    }\n}\n";
    return q.str();
}

// The UI: one row a parameter, over Shotcut's own controls. It never sets the
// filter's threads property (strips of a frame would each get a grid).
std::string shotcutUi(const Effect& e) {
    std::ostringstream q;
    q << "// written by kavri_editor_files from what the " << e.name << " module registers\n"
      << "import QtQuick 2.0\nimport QtQuick.Controls 2.12\nimport QtQuick.Layouts 1.12\n"
      << "import Shotcut.Controls 1.0 as Shotcut\n\n"
      << "Shotcut.KeyframableFilter {\n    width: 350\n    height: 50 + 30 * " << e.params.size() << "\n"
      << "    keyframableParameters: [" << numbersJoined(e, quotedName);
    const std::string defaults = numbersJoined(
        e, [&e](const f0rbridge::BridgeParam& p) { return defaultOf(p, e.registered[static_cast<size_t>(p.position)]); });
    q << "]\n    startValues: [" << defaults << "]\n    middleValues: [" << defaults << "]\n    endValues: [" << defaults
      << "]\n\n"
      << "    GridLayout {\n        columns: 3\n        anchors.fill: parent\n        anchors.margins: 8\n";
    for (size_t i = 0; i < e.params.size(); ++i) {
        const f0rbridge::BridgeParam& p = e.params[i];
        const PF_ParamDef& d = e.registered[static_cast<size_t>(p.position)];
        const std::string prop = qmlQuoted(p.name);
        q << "\n        Label {\n            text: " << qmlQuoted(capitalised(p.name) + ":")
          << "\n            Layout.alignment: Qt.AlignRight\n";
        if (!e.hints[i].empty()) q << "            Shotcut.HoverTip { text: " << qmlQuoted(e.hints[i]) << " }\n";
        q << "        }\n";
        if (p.type == F0R_PARAM_DOUBLE) {
            const Number n = numberOf(d);
            q << "        Shotcut.SliderSpinner {\n            id: control" << i << "\n            minimumValue: " << number(n.low)
              << "\n            maximumValue: " << number(n.high) << "\n            decimals: " << n.decimals
              << "\n            suffix: " << qmlQuoted(n.suffix.empty() ? "" : " " + n.suffix)
              << "\n            onValueChanged: updateFilter(" << prop << ", value / " << number(n.factor) << ", keys" << i
              << ", getPosition())\n        }\n"
              << "        Shotcut.KeyframesButton {\n            id: keys" << i
              << "\n            onToggled: toggleKeyframes(checked, " << prop << ", control" << i << ".value / "
              << number(n.factor) << ")\n        }\n";
        } else if (p.type == F0R_PARAM_BOOL) {
            q << "        CheckBox {\n            id: control" << i << "\n"
              << "            onClicked: filter.set(" << prop << ", checked ? 1 : 0)\n        }\n"
              << "        Item { width: 1 }\n";
        } else if (p.type == F0R_PARAM_COLOR) {
            q << "        Shotcut.ColorPicker {\n            id: control" << i << "\n"
              << "            onValueChanged: filter.set(" << prop << ", value)\n        }\n"
              << "        Item { width: 1 }\n";
        } else {
            std::string model;
            const std::vector<std::string> choices = refhost::popupChoices(d);
            for (size_t c = 0; c < choices.size(); ++c) model += (c ? ", " : "") + qmlQuoted(choices[c]);
            q << "        Shotcut.ComboBox {\n            id: control" << i << "\n            model: [" << model << "]\n"
              << "            onActivated: filter.set(" << prop << ", index + 1)\n        }\n"
              << "        Item { width: 1 }\n";
        }
    }
    q << "\n        Item { Layout.fillHeight: true }\n    }\n\n"
      << "    Component.onCompleted: {\n        if (filter.isNew) {\n";
    for (const auto& p : e.params) {
        const PF_ParamDef& d = e.registered[static_cast<size_t>(p.position)];
        q << "            filter.set(" << qmlQuoted(p.name) << ", " << qmlQuoted(defaultOf(p, d)) << ")\n";
    }
    q << "        }\n";
    // the controls take the filter's values (a new filter's defaults, a saved one's own)
    for (size_t i = 0; i < e.params.size(); ++i) {
        const f0rbridge::BridgeParam& p = e.params[i];
        const std::string prop = qmlQuoted(p.name), control = "        control" + std::to_string(i);
        if (p.type == F0R_PARAM_DOUBLE) {
            // (rounded to the decimals shown: 6 saved digits of 12 / 255 give 11.99999)
            const Number n = numberOf(e.registered[static_cast<size_t>(p.position)]);
            const std::string scale = number(std::pow(10.0, n.decimals));
            q << control << ".value = Math.round(filter.getDouble(" << prop << ", getPosition()) * " << number(n.factor)
              << " * " << scale << ") / " << scale << "\n";
        }
        else if (p.type == F0R_PARAM_BOOL)
            q << control << ".checked = filter.get(" << prop << ") === '1'\n";
        else if (p.type == F0R_PARAM_COLOR)
            q << control << ".value = filter.get(" << prop << ")\n";
        else
            q << control << ".currentIndex = Math.max(0, parseInt(filter.get(" << prop << ")) - 1)\n";
    }
    q << "        blockUpdate = false\n    }\n}\n";
    return q.str();
}

bool writeFile(const std::filesystem::path& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kavri_editor_files MODULE.so FOLDER\n");
        return 2;
    }
    std::string error;
    auto module = refhost::Module::load(argv[1], error);
    if (!module) {
        std::fprintf(stderr, "kavri_editor_files: %s\n", error.c_str());
        return 1;
    }
    refhost::Host host(module->entry());
    if (const PF_Err err = host.start()) {
        std::fprintf(stderr, "kavri_editor_files: %s failed to start (error %d)\n", argv[1], static_cast<int>(err));
        return 1;
    }
    Effect e;
    e.name = std::filesystem::path(argv[1]).stem().string();
    e.summary = host.summary();
    e.registered = host.registered();
    e.params = f0rbridge::bridgeParams(e.registered);
    for (const auto& p : e.params) e.hints.push_back(host.hint(e.registered[static_cast<size_t>(p.position)].uu.id));
    const std::filesystem::path folder = argv[2];
    if (!writeFile(folder / "kdenlive" / ("frei0r_" + e.name + ".xml"), kdenliveXml(e)) ||
        !writeFile(folder / "shotcut" / e.name / "meta.qml", shotcutMeta(e)) ||
        !writeFile(folder / "shotcut" / e.name / "ui.qml", shotcutUi(e))) {
        std::fprintf(stderr, "kavri_editor_files: cannot write into %s\n", argv[2]);
        return 1;
    }
    return 0;
}
