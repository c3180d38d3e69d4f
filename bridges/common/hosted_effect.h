// The effect a bridge hosts, learnt once when the bridge is loaded: its module
// found and loaded as the command and every bridge find it, started the way
// the host application starts it, and what it registered and said of itself.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/module.h"
#include "platform/ae_effect.h"

namespace kvbridge {

struct HostedEffect {
    std::unique_ptr<refhost::Module> module;
    std::vector<PF_ParamDef> registered;  // in host order, position 0 the input layer
    std::map<A_long, std::string> hints;  // by identity (uu.id), where the effect gave one
    std::string explanation;              // its summary, else the description from its About text
    int major = 0, minor = 0;             // its version
    bool covers_output = false;           // its render writes every output pixel: no clear needed

    std::string hint(A_long id) const {
        const auto h = hints.find(id);
        return h == hints.end() ? std::string() : h->second;
    }
};

// Learns the effect `effect` for the bridge whose code holds `code` (a
// function of the bridge's own, so that the module is looked for beside it);
// null with the reason in `error` when the module cannot be found, loaded or
// started.
std::unique_ptr<HostedEffect> learnEffect(const std::string& effect, const void* code, std::string& error);

}  // namespace kvbridge
