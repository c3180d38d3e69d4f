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

// The folder a path is in: "." for a bare name, "/" for a file at the root.
std::string folderOf(const std::string& path);

// The file of the program or library that holds the code at `address` (a
// function of its own).
std::string fileOfCode(const void* address);

// Where the module of the effect `effect` is, for the program or bridge
// `caller` (its file), as the command and every bridge look for it: the
// environment variable EFFECT_PLUGIN (the name in upper case,
// CHECKERWARP_PLUGIN) when it is set; else the first that exists, other than
// the caller itself, of EFFECT.so beside the caller (the build),
// ../checkerwarp/EFFECT.so (a bridge installed in lib/frei0r-1/),
// ../lib/checkerwarp/EFFECT.so (a program installed in bin/), ../EFFECT.so
// (a bridge in the build's frei0r/), and from an OpenFX bundle's binary folder
// (NAME.ofx.bundle/Contents/Linux-x86-64/) ../../../../EFFECT.so (the build's
// ofx/) and ../../../../../lib/checkerwarp/EFFECT.so (PREFIX/OFX/Plugins/); else the first of those places, so that
// the message names where it was looked for first.
std::string findModule(const std::string& effect, const std::string& caller);

}  // namespace refhost
