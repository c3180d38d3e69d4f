// A plug-in module loaded by path, with its entry point resolved.
#pragma once

#include <memory>
#include <string>

#include "platform/ae_effect.h"

namespace refhost {

class Module {
public:
    // Loads the module and resolves its entry point; null with a message on failure.
    static std::unique_ptr<Module> load(const std::string& path, std::string& error);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    PF_EntryPointFunc entry() const { return entry_; }
    void* symbol(const char* name) const;
    const std::string& path() const { return path_; }

private:
    Module() = default;
    void* handle_ = nullptr;
    PF_EntryPointFunc entry_ = nullptr;
    std::string path_;
};

}  // namespace refhost
