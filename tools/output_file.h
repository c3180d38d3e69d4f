// An output file that only ever appears complete.
//
// A regular file (new, or replaced) is written without a name (O_TMPFILE) in
// the folder it goes to and given its name only when complete, so a failure,
// a signal or a kill leaves nothing behind; where the file system cannot make
// unnamed files, a short temporary name is used and removed on failure and on
// SIGINT, SIGTERM, SIGHUP (a closed terminal) or SIGQUIT. A symbolic link is followed and its target replaced; a
// replaced file keeps its mode and owner. Anything else at the path (a device,
// a FIFO, /dev/stdout) is written to directly, and "-" is standard output. An
// existing file the user may not write is refused, not replaced.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace cwtool {

class OutputFile {
public:
    // `unnamed_files` false takes the temporary name even where the file system
    // could make the file without one.
    explicit OutputFile(bool unnamed_files = true) : unnamed_files_(unnamed_files) {}
    // An output not committed is discarded.
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Opens `path` for writing; false with "cannot write PATH: why" in `error`.
    bool open(const std::string& path, std::string& error);
    FILE* stream() const { return file_; }
    // Flushes the data to disk and puts the file at its path.
    bool commit(std::string& error);

private:
    bool openReplacement(const std::string& target, const struct ::stat* existing, std::string& error);
    void discard();

    std::string path_;    // as given, for messages
    std::string target_;  // the regular file that takes the data; empty when written directly
    std::string temp_;    // the temporary name, where unnamed files cannot be made
    FILE* file_ = nullptr;
    bool is_stdout_ = false;
    bool unnamed_files_ = true;
};

}  // namespace cwtool
