#include "tools/media.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <vector>

#include "tools/output_file.h"
#include "tools/png_io.h"

extern char** environ;

namespace cwtool {

// ---- patterns ----

namespace {

// The pattern's one conversion: where it starts and ends, and its zero padding.
struct Conversion {
    size_t start = 0, end = 0;
    int width = 0;
};

bool findConversion(const std::string& pattern, Conversion& c) {
    int found = 0;
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] != '%') continue;
        if (i + 1 < pattern.size() && pattern[i + 1] == '%') {
            ++i;  // a literal %
            continue;
        }
        size_t j = i + 1;
        int width = 0;
        if (j < pattern.size() && pattern[j] == '0') {
            ++j;
            while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') width = width * 10 + (pattern[j++] - '0');
        }
        if (j >= pattern.size() || pattern[j] != 'd' || width > 18) return false;
        c = {i, j + 1, width};
        ++found;
        i = j;
    }
    return found == 1;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        out += s[i];
        if (s[i] == '%' && i + 1 < s.size() && s[i + 1] == '%') ++i;
    }
    return out;
}

}  // namespace

bool isPattern(const std::string& path) {
    Conversion c;
    return findConversion(path, c);
}

std::string patternPath(const std::string& pattern, int64_t number) {
    Conversion c;
    if (!findConversion(pattern, c)) return pattern;
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%0*lld", c.width, static_cast<long long>(number));
    return unescape(pattern.substr(0, c.start)) + digits + unescape(pattern.substr(c.end));
}

static std::string extensionOf(const std::string& path) {
    const size_t dot = path.rfind('.'), slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string ext = path.substr(dot + 1);
    for (char& ch : ext) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ext;
}

MediaKind inputKind(const std::string& path) {
    if (isPattern(path)) return MediaKind::kSequence;
    if (path == "-" || extensionOf(path) == "png") return MediaKind::kPng;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return MediaKind::kPng;
    // a file named otherwise: a PNG by its first bytes
    unsigned char head[8] = {};
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        const size_t got = std::fread(head, 1, sizeof(head), f);
        std::fclose(f);
        static const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        if (got == sizeof(head) && std::memcmp(head, kPngSignature, sizeof(head)) == 0) return MediaKind::kPng;
    }
    return MediaKind::kVideo;
}

static bool isVideoExtension(const std::string& ext) {
    return ext == "mp4" || ext == "mov" || ext == "mkv" || ext == "webm" || ext == "gif";
}

MediaKind outputKind(const std::string& path) {
    if (isPattern(path)) return MediaKind::kSequence;
    return isVideoExtension(extensionOf(path)) ? MediaKind::kVideo : MediaKind::kPng;
}

// ---- ffmpeg and ffprobe ----

Tool::~Tool() {
    kill();
}

bool Tool::start(const std::vector<std::string>& argv, bool write, std::string& error) {
    name_ = argv[0];
    char errors[] = "/tmp/checkerwarp-tool-XXXXXX";
    const int err_fd = mkstemp(errors);
    if (err_fd < 0) {
        error = "cannot start " + name_ + ": " + std::strerror(errno);
        return false;
    }
    errors_ = errors;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        error = "cannot start " + name_ + ": " + std::strerror(errno);
        ::close(err_fd);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, write ? pipe_fds[0] : pipe_fds[1], write ? 0 : 1);
    if (!write) posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err_fd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err_fd);
    ::close(write ? pipe_fds[0] : pipe_fds[1]);
    fd_ = write ? pipe_fds[1] : pipe_fds[0];
    if (rc != 0) {
        pid_ = -1;
        ::close(fd_);
        fd_ = -1;
        error = rc == ENOENT ? name_ + " is not installed: install it with 'apt-get install ffmpeg'"
                             : "cannot start " + name_ + ": " + std::strerror(rc);
        return false;
    }
    // a reader that goes away must not end this program
    signal(SIGPIPE, SIG_IGN);
    return true;
}

bool Tool::finish(std::string& error) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    std::ifstream in(errors_);
    std::string line, last;
    while (std::getline(in, line))
        if (!line.empty()) last = line;
    if (!errors_.empty()) unlink(errors_.c_str());
    errors_.clear();
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = name_ + " failed" + (last.empty() ? "" : ": " + last);
    return false;
}

void Tool::kill() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    if (!errors_.empty()) unlink(errors_.c_str());
    errors_.clear();
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

// What a tool writes to standard output, whole.
static bool toolOutput(const std::vector<std::string>& argv, std::string& out, std::string& error) {
    Tool tool;
    if (!tool.start(argv, false, error)) return false;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(tool.fd(), buffer, sizeof(buffer))) > 0) out.append(buffer, static_cast<size_t>(got));
    return tool.finish(error);
}

// ---- probing ----

static bool probeSequence(const std::string& pattern, Source& s, std::string& error) {
    const size_t slash = pattern.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : pattern.substr(0, slash == 0 ? 1 : slash);
    const std::string name_pattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    Conversion c;
    if (!findConversion(name_pattern, c)) {
        error = "the frame number of " + pattern + " must be in its file name";
        return false;
    }
    const std::string prefix = unescape(name_pattern.substr(0, c.start)), suffix = unescape(name_pattern.substr(c.end));
    std::set<int64_t> numbers;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
                continue;
            const std::string digits = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
            if (digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
            const int64_t n = std::stoll(digits);
            if (patternPath(name_pattern, n) == name) numbers.insert(n);
        }
        closedir(d);
    }
    if (numbers.empty()) {
        error = "no frames match " + pattern;
        return false;
    }
    s.first = *numbers.begin();
    s.last = *numbers.rbegin();
    if (static_cast<int64_t>(numbers.size()) != s.last - s.first + 1) {
        int64_t missing = s.first;
        while (numbers.count(missing)) ++missing;
        error = "frame " + std::to_string(missing) + " of " + pattern + " is missing (" + patternPath(pattern, missing) +
                "); the sequence runs from " + std::to_string(s.first) + " to " + std::to_string(s.last);
        return false;
    }
    // every frame's size from its header, so a sequence of mixed sizes is refused
    // before anything is rendered
    for (int64_t n = s.first; n <= s.last; ++n) {
        const std::string file = patternPath(pattern, n);
        unsigned char head[24] = {};
        FILE* f = std::fopen(file.c_str(), "rb");
        const size_t got = f ? std::fread(head, 1, sizeof(head), f) : 0;
        if (f) std::fclose(f);
        static const unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        if (got != sizeof(head) || std::memcmp(head, kSignature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0) {
            error = file + " is not a PNG file";
            return false;
        }
        auto big32 = [&](int at) {
            return static_cast<int32_t>((uint32_t{head[at]} << 24) | (uint32_t{head[at + 1]} << 16) |
                                        (uint32_t{head[at + 2]} << 8) | head[at + 3]);
        };
        const int32_t w = big32(16), h = big32(20);
        if (n == s.first) {
            s.width = w;
            s.height = h;
        } else if (w != s.width || h != s.height) {
            error = "the frames of " + pattern + " differ in size: " + file + " is " + std::to_string(w) + " x " +
                    std::to_string(h) + ", " + patternPath(pattern, s.first) + " is " + std::to_string(s.width) + " x " +
                    std::to_string(s.height);
            return false;
        }
    }
    return true;
}

static bool probeVideo(const std::string& path, Source& s, std::string& error) {
    std::string out;
    if (access(path.c_str(), R_OK) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!toolOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                     "stream=width,height,r_frame_rate,nb_frames", "-of", "default=noprint_wrappers=1", path},
                    out, error)) {
        error = "cannot read " + path + " as a video: " + error;
        return false;
    }
    std::istringstream lines(out);
    std::string line, frames;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "width") s.width = std::atoi(value.c_str());
        if (key == "height") s.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") s.has_rate = parseFrameRate(value, s.rate);
        if (key == "nb_frames") frames = value;
    }
    if (s.width <= 0 || s.height <= 0) {
        error = "cannot read " + path + " as a video: it has no video stream";
        return false;
    }
    s.first = 0;
    s.last_known = !frames.empty() && frames.find_first_not_of("0123456789") == std::string::npos;
    s.last = s.last_known ? std::stoll(frames) - 1 : INT64_MAX;
    std::string audio;
    std::string ignored;
    if (toolOutput({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of", "csv=p=0",
                    path},
                   audio, ignored))
        s.has_audio = audio.find_first_of("0123456789") != std::string::npos;
    return true;
}

bool probeSource(const std::string& path, Source& s, std::string& error) {
    s = Source{};
    s.path = path;
    s.kind = inputKind(path);
    if (s.kind == MediaKind::kSequence) return probeSequence(path, s, error);
    if (s.kind == MediaKind::kVideo) return probeVideo(path, s, error);
    return true;  // a still: read whole by the caller
}

// ---- video in ----

bool VideoReader::open(const Source& source, std::string& error) {
    path_ = source.path;
    return tool_.start({"ffmpeg", "-v", "error", "-nostdin", "-i", source.path, "-map", "0:v:0", "-f", "rawvideo",
                        "-pix_fmt", "argb", "-"},
                       false, error);
}

bool VideoReader::next(refhost::World& world, std::string& error) {
    error.clear();
    for (int32_t y = 0; y < world.height(); ++y) {
        if (readAll(tool_.fd(), world.row(y), static_cast<size_t>(world.width()) * 4)) continue;
        if (y > 0) {
            error = "cannot read " + path_ + ": its last frame is cut short";
            return false;
        }
        std::string why;
        if (!tool_.finish(why)) error = "cannot read " + path_ + ": " + why;
        return false;
    }
    return true;
}

void VideoReader::close() {
    tool_.kill();
}

// ---- video out ----

VideoWriter::~VideoWriter() {
    if (!open_) return;
    tool_.kill();
    unlink(temp_.c_str());
    forgetOnSignal(temp_);
}

bool VideoWriter::open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
                       const Source* audio_from, double audio_start_seconds, std::string& error) {
    path_ = path;
    const std::string ext = extensionOf(path);
    std::vector<std::string> codec;
    std::string audio_codec;
    if (ext == "mp4") {
        codec = {"-c:v", "libx264", "-pix_fmt", "yuv420p"};
        audio_codec = "aac";
    } else if (ext == "mov") {
        codec = {"-c:v", "prores_ks", "-profile:v", "4", "-pix_fmt", "yuva444p10le"};
        audio_codec = "pcm_s16le";
    } else if (ext == "mkv") {
        codec = {"-c:v", "ffv1", "-pix_fmt", "bgra"};
        audio_codec = "flac";
    } else if (ext == "webm") {
        codec = {"-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-b:v", "0", "-crf", "30"};
        audio_codec = "libopus";
    } else if (ext == "gif") {
        codec = {"-vf", "split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse"};
    } else {
        error = "cannot write " + path + ": a video output is .mp4, .mov, .mkv, .webm or .gif (or PNGs: out_%04d.png)";
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    std::mt19937_64 random{std::random_device{}()};
    char name[48];
    std::snprintf(name, sizeof(name), "/.checkerwarp-%012llx.%s", static_cast<unsigned long long>(random() & 0xFFFFFFFFFFFFull),
                  ext.c_str());
    temp_ = folder + name;
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "rawvideo", "-pix_fmt", "argb",
                                     "-s", std::to_string(width) + "x" + std::to_string(height), "-r",
                                     std::to_string(rate.num) + "/" + std::to_string(rate.den), "-i", "-"};
    const bool audio = audio_from && audio_from->has_audio && !audio_codec.empty();
    if (audio) {
        char start[32];
        std::snprintf(start, sizeof(start), "%.6f", audio_start_seconds);
        argv.insert(argv.end(), {"-ss", start, "-i", audio_from->path, "-map", "0:v:0", "-map", "1:a:0", "-c:a",
                                 audio_codec, "-shortest"});
    }
    argv.insert(argv.end(), codec.begin(), codec.end());
    argv.push_back(temp_);
    removeOnSignal(temp_);
    if (!tool_.start(argv, true, error)) {
        forgetOnSignal(temp_);
        error = "cannot write " + path + ": " + error;
        return false;
    }
    open_ = true;
    return true;
}

bool VideoWriter::write(const refhost::World& world, std::string& error) {
    for (int32_t y = 0; y < world.height(); ++y) {
        if (writeAll(tool_.fd(), world.row(y), static_cast<size_t>(world.width()) * 4)) continue;
        std::string why;
        tool_.finish(why);
        error = "cannot write " + path_ + ": " + why;
        return false;
    }
    return true;
}

bool VideoWriter::finish(std::string& error) {
    std::string why;
    const bool ok = tool_.finish(why);
    open_ = false;
    forgetOnSignal(temp_);
    if (!ok) {
        unlink(temp_.c_str());
        error = "cannot write " + path_ + ": " + why;
        return false;
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        error = "cannot write " + path_ + ": " + std::strerror(errno);
        unlink(temp_.c_str());
        return false;
    }
    return true;
}

}  // namespace cwtool
