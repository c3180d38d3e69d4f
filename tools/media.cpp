#include "tools/media.h"

#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <vector>

#include "host/host_pixels.h"
#include "host/module.h"
#include "tools/output_file.h"
#include "tools/png_io.h"
#include "tools/video.h"

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
            // counted only up to where it is too wide, so no digit string overflows it
            while (j < pattern.size() && pattern[j] >= '0' && pattern[j] <= '9') {
                if (width <= 18) width = width * 10 + (pattern[j] - '0');
                ++j;
            }
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

std::string extensionOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    if (!ext.empty()) ext.erase(0, 1);  // (the dot)
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

// ---- probing ----

static bool probeSequence(const std::string& pattern, Source& s, std::string& error) {
    const std::string folder = refhost::folderOf(pattern);
    const std::string name_pattern = std::filesystem::path(pattern).filename().string();
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
        int32_t w = 0, h = 0;
        if (!readPngSize(file, w, h, error)) return false;
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

bool probeSource(const std::string& path, Source& s, std::string& error, int64_t max_pixels) {
    s = Source{};
    s.path = path;
    s.kind = inputKind(path);
    if (s.kind == MediaKind::kSequence) return probeSequence(path, s, error);
    if (s.kind == MediaKind::kVideo) return probeVideo(path, s, error, max_pixels);
    return true;  // a still: read whole by the caller
}

// ---- outputs ----

std::string patternProblem(const std::string& path) {
    int conversions = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] != '%') continue;
        if (i + 1 < path.size() && path[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < path.size() && path[j] >= '0' && path[j] <= '9') ++j;
        if (j < path.size() && path[j] == 'd') {
            ++conversions;
            const std::string digits = path.substr(i + 1, j - i - 1), spelled = path.substr(i, j + 1 - i);
            if (!digits.empty() && digits[0] != '0')
                return path + ": a frame number is %d or %0Nd (zero-padded to N digits), not " + spelled;
            if (digits.size() > 3 || (digits.size() > 1 && std::atoi(digits.c_str() + 1) > 18))
                return path + ": a frame number is at most 18 digits wide (%018d), not " + spelled;
        }
    }
    if (conversions > 1) return path + ": a pattern holds one frame number (%d or %04d), not " + std::to_string(conversions);
    return "";
}

std::string outputKindProblem(const std::string& path) {
    struct stat st;
    if (path == "-" || (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))) return "";
    const std::string ext = extensionOf(path);
    if (ext.empty() || ext == "png" || videoFormat(ext)) return "";
    return "cannot write " + path + ": ." + ext +
           " is not a kind this program writes; name a .png, a pattern of them (out_%04d.png) or a video "
           "(.mp4, .mov, .mkv, .webm, .gif)";
}

std::string outputProblem(const std::string& path, int32_t width, int32_t height) {
    if (path == "-") return "";
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p(path);
    const fs::file_status status = fs::status(p, ec);
    if (fs::is_directory(status)) return "cannot write " + path + ": " + std::strerror(EISDIR) + " (name a file in the folder)";
    const bool exists = fs::exists(status);
    if (!exists || fs::is_regular_file(status)) {
        const std::string kind = outputKindProblem(path);
        if (!kind.empty()) return kind;
        const std::string ext = extensionOf(path);
        const VideoFormat* format = videoFormat(ext);
        if (format && format->even_sides && (width % 2 != 0 || height % 2 != 0))
            return "cannot write " + path + ": H.264 in ." + ext + " takes only even widths and heights, and the frames are " +
                   std::to_string(width) + " x " + std::to_string(height) +
                   "; crop or pad the input to even sides, or write .mov, .mkv or .webm, which take any size";
    }
    if (exists && fs::is_regular_file(status) && access(path.c_str(), W_OK) != 0)
        return "cannot write " + path + ": it is read-only to you (" + std::strerror(errno) +
               "); remove it or make it writable first";
    if (!exists) {
        fs::path folder = p.parent_path();
        if (folder.empty()) folder = ".";
        if (!fs::is_directory(folder, ec))
            return "cannot write " + path + ": the folder " + folder.string() + " does not exist (make it with mkdir -p)";
    }
    return "";
}

}  // namespace cwtool
