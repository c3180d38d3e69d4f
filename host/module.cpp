#include "host/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>

namespace refhost {

std::unique_ptr<Module> Module::load(const std::string& path, std::string& error) {
    dlerror();
    // a name without a slash is a file here, not a library on the loader's path
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        error = "cannot load plug-in module " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }
    void* entry = dlsym(handle, PF_ENTRY_POINT_NAME);
    if (!entry) {
        dlclose(handle);
        error = "plug-in module " + path + " has no " PF_ENTRY_POINT_NAME;
        return nullptr;
    }
    std::unique_ptr<Module> module(new Module());
    module->handle_ = handle;
    module->entry_ = reinterpret_cast<PF_EntryPointFunc>(entry);
    module->path_ = path;
    return module;
}

Module::~Module() {
    if (handle_) dlclose(handle_);
}

void* Module::symbol(const char* name) const {
    return dlsym(handle_, name);
}

std::string folderOf(const std::string& path) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    return folder.empty() ? "." : folder.string();
}

std::string fileOfCode(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) && info.dli_fname && std::string(info.dli_fname).find('/') != std::string::npos)
        return info.dli_fname;
    // (a program's own code is named by its path only through /proc)
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? "./unknown" : program.string();
}

std::string findModule(const std::string& effect, const std::string& caller) {
    const std::string folder = folderOf(caller);
    std::string variable;
    for (char c : effect) variable += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    variable += "_PLUGIN";
    if (const char* set = std::getenv(variable.c_str()); set && *set) return set;
    const std::string file = effect + ".so";
    std::string first;
    for (const char* place : {"/", "/../checkerwarp/", "/../lib/checkerwarp/", "/../", "/../../../../",
                              "/../../../../../lib/checkerwarp/"}) {
        const std::string candidate = folder + place + file;
        std::error_code ec;
        if (std::filesystem::equivalent(candidate, caller, ec)) continue;
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
        if (first.empty()) first = candidate;
    }
    return first;
}

}  // namespace refhost
