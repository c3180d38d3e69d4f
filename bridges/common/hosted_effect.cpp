#include "bridges/common/hosted_effect.h"

#include "host/reference_host.h"

namespace kvbridge {

std::unique_ptr<HostedEffect> learnEffect(const std::string& effect, const void* code, std::string& error) {
    const std::string path = refhost::findModule(effect, refhost::fileOfCode(code));
    auto learnt = std::make_unique<HostedEffect>();
    learnt->module = refhost::Module::load(path, error);
    if (!learnt->module) return nullptr;
    refhost::Host host(learnt->module->entry());
    if (const PF_Err err = host.start()) {
        error = "the effect module " + path + " failed to start (error " + std::to_string(err) + ")";
        return nullptr;
    }
    learnt->registered = host.registered();
    learnt->covers_output = host.coversOutput();
    for (const PF_ParamDef& def : learnt->registered) {
        std::string hint = host.hint(def.uu.id);
        if (!hint.empty()) learnt->hints[def.uu.id] = std::move(hint);
    }
    const A_u_long v = host.pluginVersion();
    learnt->major = static_cast<int>((v >> 19) & 0x7);
    learnt->minor = static_cast<int>((v >> 15) & 0xF);
    // the summary, else the description from the About text:
    // "name, version\r\rdescription\r\r..."
    learnt->explanation = host.summary();
    std::string about;
    host.about(about);
    const size_t start = about.find("\r\r");
    if (learnt->explanation.empty() && start != std::string::npos)
        learnt->explanation = about.substr(start + 2, about.find('\r', start + 2) - start - 2);
    return learnt;
}

}  // namespace kvbridge
