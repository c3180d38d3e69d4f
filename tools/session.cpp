#include "tools/session.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "tools/param_values.h"

namespace cwtool {

std::string defaultPluginPath() {
    return pluginPath("checkerwarp");
}

std::string pluginPath(const std::string& given) {
    // an effect's name alone: found as the command finds its own
    if (given.find('/') == std::string::npos && given.find('.') == std::string::npos)
        return refhost::findModule(given, refhost::fileOfCode(reinterpret_cast<void*>(&defaultPluginPath)));
    return given;
}

std::string pluginMessage(refhost::Host& host, PF_Err err) {
    std::string msg = host.returnMessage();
    return "the plug-in failed with error " + std::to_string(err) + (msg.empty() ? "" : ": " + msg);
}

bool openSession(const std::string& plugin_path, Session& session, std::string& error) {
    session.module = refhost::Module::load(plugin_path, error);
    if (!session.module) return false;
    session.host = std::make_unique<refhost::Host>(session.module->entry());
    const PF_Err err = session.host->start();
    if (err) {
        error = pluginMessage(*session.host, err);
        return false;
    }
    return true;
}

std::string aboutText(refhost::Host& host) {
    std::string text;
    host.about(text);
    for (char& c : text)
        if (c == '\r') c = '\n';
    return text;
}

// ---- listings ----

void listParams(const refhost::Host& host, std::ostream& out, bool json) {
    const std::vector<PF_ParamDef>& defs = host.registered();
    if (json) {
        // one definition a line, so that a listing reads and greps well
        out << "[\n";
        for (size_t p = 1; p < defs.size(); ++p) {
            nlohmann::ordered_json j = jsonOf(defs[p], p);
            const std::string hint = host.hint(defs[p].uu.id);
            if (!hint.empty()) j["hint"] = hint;
            out << "  " << oneLineJson(j) << (p + 1 < defs.size() ? "," : "") << "\n";
        }
        out << "]\n";
        return;
    }
    char line[512];
    std::snprintf(line, sizeof(line), "%3s %4s  %-26s %-13s %-17s %-17s %s\n", "pos", "id", "name", "type", "valid",
                  "slider", "default");
    out << line;
    int depth = 0;
    for (size_t p = 1; p < defs.size(); ++p) {
        const PF_ParamDef& d = defs[p];
        const ParamListing l = listingOf(d);
        if (d.param_type == PF_Param_GROUP_END && depth > 0) --depth;
        const std::string name = std::string(2 * static_cast<size_t>(depth), ' ') +
                                 (d.param_type == PF_Param_GROUP_END ? "(end of group)" : d.name);
        const std::string valid = l.valid_min.is_null() ? "" : l.valid_min.dump() + " .. " + l.valid_max.dump();
        const std::string slider = l.slider_min.is_null() ? "" : l.slider_min.dump() + " .. " + l.slider_max.dump();
        std::snprintf(line, sizeof(line), "%3zu %4d  %-26s %-13s %-17s %-17s %s", p, static_cast<int>(d.uu.id),
                      name.c_str(), typeName(d.param_type), valid.c_str(), slider.c_str(), l.dflt_text.c_str());
        out << line;
        if (!l.choices.empty()) {
            out << "  (";
            for (size_t i = 0; i < l.choices.size(); ++i) out << (i ? " | " : "") << i + 1 << " " << l.choices[i];
            out << ")";
        }
        out << "\n";
        const std::string hint = host.hint(d.uu.id);
        if (!hint.empty()) out << std::string(11 + 2 * static_cast<size_t>(depth), ' ') << hint << "\n";
        if (d.param_type == PF_Param_GROUP_START) ++depth;
    }
}

}  // namespace cwtool
