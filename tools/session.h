// A plug-in session of the checkerwarp command: the module found and started
// through the reference host, its About text and its parameter listings.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"

namespace cwtool {

enum Status { kOk = 0, kFailed = 1, kUsage = 2 };

// The plug-in loaded and started the way the host application starts it.
struct Session {
    std::unique_ptr<refhost::Module> module;
    std::unique_ptr<refhost::Host> host;
};

// The module beside this program, else where it is installed.
std::string defaultPluginPath();
// The module a --plugin value names: a path as given, or an effect's name
// alone ("pixelate"), found beside the command as its own module is.
std::string pluginPath(const std::string& given);

// Loads the module and sends global, parameter and sequence setup.
bool openSession(const std::string& plugin_path, Session& session, std::string& error);

// The About text with its carriage returns as line breaks.
std::string aboutText(refhost::Host& host);

// Every registered parameter in host order, as text or as a JSON array.
void listParams(const refhost::Host& host, std::ostream& out, bool json);

// What the plug-in said when a command failed: its error and message.
std::string pluginMessage(refhost::Host& host, PF_Err err);

}  // namespace cwtool
