#include "tools/subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace cwtool {

bool dieWithParent(pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    return getppid() == parent;  // it may have ended before the request was made
}

std::string describeExit(int status) {
    if (WIFSIGNALED(status)) {
        const int s = WTERMSIG(status);
        const char* name = strsignal(s);
        return "killed by signal " + std::to_string(s) + (name ? std::string(" (") + name + ")" : "");
    }
    if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
    return "ended";
}

Subprocess::~Subprocess() {
    kill();
}

bool Subprocess::start(const std::vector<std::string>& argv, Pipe pipe, std::string& error, int pass_fd) {
    kill();
    name_ = argv.at(0);
    auto fail = [&](int err) {
        error = "cannot start " + name_ + ": " + std::strerror(err);
        return false;
    };
    errors_ = memfd_create("checkerwarp-tool-errors", MFD_CLOEXEC);
    if (errors_ < 0) return fail(errno);
    int pipe_fds[2] = {-1, -1};
    if (pipe != Pipe::kNone && pipe2(pipe_fds, O_CLOEXEC) != 0) return fail(errno);
    // frames cross in large pieces: a megabyte a wakeup instead of 64 KiB
    // (where the system allows it; the default size serves otherwise)
    if (pipe != Pipe::kNone) (void)fcntl(pipe_fds[0], F_SETPIPE_SZ, 1 << 20);
    int exec_status[2];  // tells the parent why exec failed
    if (pipe2(exec_status, O_CLOEXEC) != 0) {
        const int err = errno;
        if (pipe_fds[0] >= 0) ::close(pipe_fds[0]), ::close(pipe_fds[1]);
        return fail(err);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int child_in = pipe == Pipe::kToChild ? pipe_fds[0] : -1;
    const int child_out = pipe == Pipe::kFromChild ? pipe_fds[1] : -1;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // only async-signal-safe calls from here to exec
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        signal(SIGPIPE, SIG_DFL);
        int in = child_in >= 0 ? child_in : open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (pass_fd == 0 || pass_fd == 1 || pass_fd == 2) pass_fd = fcntl(pass_fd, F_DUPFD_CLOEXEC, 10);
        if (in >= 0) dup2(in, 0);
        if (child_out >= 0) dup2(child_out, 1);
        dup2(errors_, 2);
        if (pass_fd == 3)
            fcntl(3, F_SETFD, 0);
        else if (pass_fd >= 0)
            dup2(pass_fd, 3);
        execvp(args[0], args.data());
        const int err = errno;
        (void)!write(exec_status[1], &err, sizeof(err));
        _exit(127);
    }
    const int fork_errno = errno;
    ::close(exec_status[1]);
    if (child_in >= 0) ::close(child_in);
    if (child_out >= 0) ::close(child_out);
    fd_ = pipe == Pipe::kToChild ? pipe_fds[1] : pipe == Pipe::kFromChild ? pipe_fds[0] : -1;
    if (pid_ < 0) {
        ::close(exec_status[0]);
        kill();
        return fail(fork_errno);
    }
    int exec_errno = 0;
    ssize_t got;
    while ((got = ::read(exec_status[0], &exec_errno, sizeof(exec_errno))) < 0 && errno == EINTR) {
    }
    ::close(exec_status[0]);
    if (got == static_cast<ssize_t>(sizeof(exec_errno))) {
        kill();
        if (exec_errno == ENOENT) {
            error = name_ + " is not installed: install it with 'apt-get install ffmpeg'";
            return false;
        }
        return fail(exec_errno);
    }
    // a reader that goes away must not end this program
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool Subprocess::finish(std::string& error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    int status = 0;
    if (pid_ > 0)
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    pid_ = -1;
    std::string said;
    if (errors_ >= 0) {
        char buffer[4096];
        ssize_t got;
        lseek(errors_, 0, SEEK_SET);
        while ((got = ::read(errors_, buffer, sizeof(buffer))) > 0) said.append(buffer, static_cast<size_t>(got));
        ::close(errors_);
        errors_ = -1;
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    // its last line that says something
    std::string last;
    size_t end = said.size();
    while (last.empty() && end > 0) {
        const size_t start = said.rfind('\n', end - 1);
        const size_t from = start == std::string::npos ? 0 : start + 1;
        last = said.substr(from, end - from);
        if (last.find_first_not_of(" \r\t") == std::string::npos) last.clear();
        end = start == std::string::npos ? 0 : start;
    }
    error = name_ + " failed" + (last.empty() ? " (" + describeExit(status) + ")" : ": " + last);
    return false;
}

void Subprocess::kill() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    pid_ = -1;
    if (errors_ >= 0) ::close(errors_);
    errors_ = -1;
}

bool programOutput(const std::vector<std::string>& argv, std::string& out, std::string& error) {
    Subprocess tool;
    if (!tool.start(argv, Subprocess::Pipe::kFromChild, error)) return false;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(tool.fd(), buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))
        if (got > 0) out.append(buffer, static_cast<size_t>(got));
    return tool.finish(error);
}

bool readAll(int fd, void* data, size_t n) {
    char* p = static_cast<char*>(data);
    while (n > 0) {
        const ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t put = ::write(fd, p, n);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        p += put;
        n -= static_cast<size_t>(put);
    }
    return true;
}

}  // namespace cwtool
