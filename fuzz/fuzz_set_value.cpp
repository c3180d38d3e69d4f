// Any text as a --set value for any parameter (or as a whole NAME=VALUE).
#include <memory>
#include <string>

#include "framework/kavri_ae_effect_framework.h"
#include "tools/param_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<refhost::Host> host = [] {
        auto h = std::make_unique<refhost::Host>(&EntryPointFunc);
        h->start();
        return h;
    }();
    if (size == 0) return 0;
    std::string assignment;
    const size_t count = host->definitions().size();
    if (data[0] % 8 == 0) {
        assignment.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    } else {
        assignment = std::string(host->definitions()[1 + data[0] % (count - 1)].name) + "=" +
                     std::string(reinterpret_cast<const char*>(data + 1), size - 1);
    }
    std::string error;
    cwtool::applySetting(*host, assignment, error);
    return 0;
}
