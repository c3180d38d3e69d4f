// Other programs the command runs (ffmpeg, ffprobe) and its own worker
// processes: every child dies with the command, whatever ends it (a kill, a
// closed terminal), so none goes on writing after it; what a tool says on
// standard error is kept in memory, never in a file of its own.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cwtool {

class Subprocess {
public:
    enum class Pipe { kNone, kToChild, kFromChild };

    Subprocess() = default;
    ~Subprocess();  // a child still running is killed
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    // Starts argv[0] from PATH with a pipe to its standard input (kToChild) or
    // from its standard output (kFromChild); `pass_fd`, when not -1, is open in
    // the child as descriptor 3. False with a message in `error`.
    bool start(const std::vector<std::string>& argv, Pipe pipe, std::string& error, int pass_fd = -1);
    int fd() const { return fd_; }
    // Closes the pipe and waits; false with "NAME failed: its last error line".
    bool finish(std::string& error);
    // Ends it at once (a render that failed or was interrupted).
    void kill();

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int errors_ = -1;  // an in-memory file its standard error goes to
    std::string name_;
};

// What a program writes to standard output, whole; false with a message.
bool programOutput(const std::vector<std::string>& argv, std::string& out, std::string& error);

// For a forked child: it is killed when `parent` ends; false when the parent
// has ended already.
bool dieWithParent(pid_t parent);

// "killed by signal 9 (Killed)", "exited with status 3": a waitpid status.
std::string describeExit(int status);

// Reads exactly n bytes; writes exactly n bytes (false on a closed pipe or an error).
bool readAll(int fd, void* data, size_t n);
bool writeAll(int fd, const void* data, size_t n);

}  // namespace cwtool
