// Running the checkerwarp command from the tests, as a person runs it.
#pragma once

#include <string>
#include <vector>

namespace cwtest {

struct CommandRun {
    int status;  // the exit status, or -1 when a signal ended it
    std::string out, err;
    double seconds = 0;       // wall time
    long peak_memory_kb = 0;  // largest resident size
};

std::string shellQuote(const std::string& s);

// The built command with these arguments; standard input from `stdin_path`
// (empty: /dev/null).
CommandRun run(const std::vector<std::string>& args, const std::string& stdin_path = "");

// ffmpeg and ffprobe are on the PATH.
bool haveFfmpeg();

// A shell command's exit status (-1 when a signal ended it).
int shell(const std::string& command);

// One line on standard error, starting with the program's name.
void expectOneLineError(const CommandRun& r, int status, const std::string& contains);

}  // namespace cwtest
