#include "host/module.h"

#include <dlfcn.h>

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

}  // namespace refhost
