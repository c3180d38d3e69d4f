#include "tools/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "host/module.h"

namespace cwtool {

namespace {

// ---- temporary names removed on SIGINT, SIGTERM, SIGHUP and SIGQUIT ----

// A handler may only read plain memory, so the names live in fixed slots.
constexpr int kTempSlots = 16;
constexpr size_t kTempPathMax = 4096;
char g_temp_paths[kTempSlots][kTempPathMax];
std::atomic<bool> g_temp_used[kTempSlots];

void removeTempsAndDie(int signal_number) {
    for (int i = 0; i < kTempSlots; ++i)
        if (g_temp_used[i].load()) unlink(g_temp_paths[i]);
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

int registerTemp(const std::string& path) {
    static const bool installed = [] {
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
            struct sigaction action {};
            action.sa_handler = removeTempsAndDie;
            sigemptyset(&action.sa_mask);
            sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
    if (path.size() >= kTempPathMax) return -1;
    for (int i = 0; i < kTempSlots; ++i) {
        if (g_temp_used[i].load()) continue;
        std::memcpy(g_temp_paths[i], path.c_str(), path.size() + 1);
        g_temp_used[i].store(true);
        return i;
    }
    return -1;
}

void unregisterTemp(const std::string& path) {
    for (int i = 0; i < kTempSlots; ++i)
        if (g_temp_used[i].load() && path == g_temp_paths[i]) g_temp_used[i].store(false);
}

// ---- paths ----

// The path a chain of symbolic links ends at (which may not exist yet); false
// with errno set when the chain loops or cannot be read.
bool followLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        std::string link(static_cast<size_t>(st.st_size > 0 ? st.st_size : 4095) + 1, '\0');
        const ssize_t n = readlink(path.c_str(), &link[0], link.size());
        if (n < 0) return false;
        link.resize(static_cast<size_t>(n));
        path = !link.empty() && link[0] == '/' ? link : refhost::folderOf(path) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// A short name in `folder` nobody uses, so a long output name still fits.
std::string scratchName(const std::string& folder) {
    static std::mt19937_64 random{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof(name), ".checkerwarp-%012llx",
                  static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull));
    return folder + "/" + name;
}

// Gives the unnamed file `fd` the name `path`.
bool nameUnnamed(int fd, const std::string& path) {
    if (linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0) return true;
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    return linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() {
    if (file_ && !is_stdout_) std::fclose(file_);
    file_ = nullptr;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        unregisterTemp(temp_);
        temp_.clear();
    }
}

bool OutputFile::open(const std::string& path, std::string& error) {
    discard();
    path_ = path;
    target_.clear();
    is_stdout_ = path == "-";
    if (is_stdout_) {
        file_ = stdout;
        return true;
    }
    auto fail = [&](int err) {
        error = "cannot write " + path + ": " + std::strerror(err);
        return false;
    };
    std::string target;
    if (!followLinks(path, target)) return fail(errno);
    struct stat st;
    const bool exists = stat(target.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) return fail(errno);
    if (exists && S_ISDIR(st.st_mode)) return fail(EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // a device, a FIFO, a terminal: written as it is, never replaced
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) return fail(errno);
        file_ = fdopen(fd, "wb");
        if (!file_) {
            const int err = errno;
            close(fd);
            return fail(err);
        }
        return true;
    }
    // a file the user may not write is not replaced behind their back, as cp and ffmpeg refuse to
    if (exists && access(target.c_str(), W_OK) != 0) {
        error = "cannot write " + path + ": it is read-only to you (" + std::strerror(errno) +
                "); remove it or make it writable first";
        return false;
    }
    return openReplacement(target, exists ? &st : nullptr, error);
}

bool OutputFile::openReplacement(const std::string& target, const struct ::stat* existing, std::string& error) {
    const std::string folder = refhost::folderOf(target);
    int fd = unnamed_files_ ? ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666) : -1;
    if (fd < 0 && (!unnamed_files_ || errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        // no unnamed files here: a temporary name, removed if anything goes wrong
        for (int tries = 0; tries < 100 && fd < 0; ++tries) {
            std::string name = scratchName(folder);
            fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd >= 0) {
                temp_ = name;
                registerTemp(temp_);
            } else if (errno != EEXIST) {
                break;
            }
        }
    }
    if (fd < 0) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    if (existing) {
        // the replacement is the same file to its owner: same owner, same mode
        if (fchown(fd, existing->st_uid, existing->st_gid) != 0) {
            // only root may give a file away; others keep their own
        }
        fchmod(fd, existing->st_mode & 07777);
    }
    file_ = fdopen(fd, "wb");
    if (!file_) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        close(fd);
        discard();
        return false;
    }
    target_ = target;
    return true;
}

bool OutputFile::commit(std::string& error) {
    if (!file_) {
        error = "cannot write " + path_ + ": not open";
        return false;
    }
    auto fail = [&](int err) {
        error = "cannot write " + path_ + ": " + std::strerror(err);
        discard();
        return false;
    };
    if (std::fflush(file_) != 0) return fail(errno);
    if (is_stdout_) {
        file_ = nullptr;
        return true;
    }
    const int fd = fileno(file_);
    if (target_.empty()) {
        // written directly
        const int err = std::fclose(file_) == 0 ? 0 : errno;
        file_ = nullptr;
        return err ? fail(err) : true;
    }
    if (fsync(fd) != 0) return fail(errno);
    if (temp_.empty()) {
        // name the unnamed file beside the target, then swap it in whole
        std::string name;
        bool named = false;
        for (int tries = 0; tries < 100 && !named; ++tries) {
            name = scratchName(refhost::folderOf(target_));
            named = nameUnnamed(fd, name);
            if (!named && errno != EEXIST) return fail(errno);
        }
        if (!named) return fail(EEXIST);
        temp_ = name;
        registerTemp(temp_);
    }
    if (std::fclose(file_) != 0) {
        file_ = nullptr;
        return fail(errno);
    }
    file_ = nullptr;
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) return fail(errno);
    unregisterTemp(temp_);
    temp_.clear();
    return true;
}

}  // namespace cwtool
