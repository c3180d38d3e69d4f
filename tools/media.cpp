#include "tools/media.h"

#include <dirent.h>
#include <filesystem>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

static std::string extensionOf(const std::string& path) {
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
        unsigned char head[24] = {};
        struct stat st;
        if (stat(file.c_str(), &st) != 0) {
            error = "cannot read " + file + ": " + std::strerror(errno);
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            error = "cannot read " + file + ": " + std::strerror(EISDIR);
            return false;
        }
        FILE* f = std::fopen(file.c_str(), "rb");
        if (!f) {
            error = "cannot read " + file + ": " + std::strerror(errno);
            return false;
        }
        const size_t got = std::fread(head, 1, sizeof(head), f);
        const int read_errno = std::ferror(f) ? errno : 0;
        std::fclose(f);
        if (read_errno) {
            error = "cannot read " + file + ": " + std::strerror(read_errno);
            return false;
        }
        if (got != sizeof(head) || std::memcmp(head, kPngSignature, 8) != 0 || std::memcmp(head + 12, "IHDR", 4) != 0) {
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

static bool probeVideo(const std::string& path, Source& s, std::string& error, int64_t max_pixels) {
    std::string out;
    if (access(path.c_str(), R_OK) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!programOutput({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                        "stream=codec_name,width,height,r_frame_rate,duration:stream_tags=alpha_mode:format=duration",
                        "-of", "default=noprint_wrappers=1", path},
                       out, error)) {
        error = "cannot read " + path + " as a video: " + error;
        return false;
    }
    std::istringstream lines(out);
    std::string line, codec;
    double stream_seconds = 0, file_seconds = 0;
    bool alpha = false;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
        if (key == "codec_name") codec = value;
        if (key == "width") s.width = std::atoi(value.c_str());
        if (key == "height") s.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") s.has_rate = parseFrameRate(value, s.rate);
        if (key == "duration" && s.height > 0 && stream_seconds == 0) stream_seconds = std::atof(value.c_str());
        if (key == "duration") file_seconds = std::atof(value.c_str());
        if (key == "TAG:alpha_mode" || key == "TAG:ALPHA_MODE") alpha = value == "1";
    }
    if (s.width <= 0 || s.height <= 0) {
        error = "cannot read " + path + " as a video: it has no video stream";
        return false;
    }
    if (static_cast<int64_t>(s.width) * s.height > max_pixels) {
        error = "cannot read " + path + ": " + tooLargeMessage(s.width, s.height, max_pixels);
        return false;
    }
    // ffmpeg's own VP8 and VP9 decoders drop the alpha channel; libvpx keeps it
    if (alpha && codec == "vp8") s.alpha_decoder = "libvpx";
    if (alpha && codec == "vp9") s.alpha_decoder = "libvpx-vp9";
    // the decoder says how many frames there are by ending; the duration only
    // gives the progress line its total
    s.first = 0;
    s.last_known = false;
    s.last = INT64_MAX;
    const double seconds = stream_seconds > 0 ? stream_seconds : file_seconds;
    if (seconds > 0 && s.has_rate && seconds < 1e7)
        s.expected_frames = std::llround(seconds * static_cast<double>(s.rate.num) / static_cast<double>(s.rate.den));
    std::string audio;
    std::string ignored;
    if (programOutput({"ffprobe", "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of",
                       "csv=p=0", path},
                      audio, ignored))
        s.has_audio = audio.find_first_of("0123456789") != std::string::npos;
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

// ---- video in ----
//
// ffmpeg sends the frames as a stream of PAM pictures, each with a header
// that gives its size: the size is what the decoder delivers (a rotated
// video's upright size), and a frame of another size is an error, never a
// sheared picture.

bool VideoReader::open(const Source& source, int64_t max_pixels, std::string& error) {
    path_ = source.path;
    frames_read_ = 0;
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin"};
    if (!source.alpha_decoder.empty()) argv.insert(argv.end(), {"-c:v", source.alpha_decoder});
    argv.insert(argv.end(), {"-i", source.path, "-map", "0:v:0", "-fps_mode", "cfr"});
    if (source.has_rate) argv.insert(argv.end(), {"-r", std::to_string(source.rate.num) + "/" + std::to_string(source.rate.den)});
    argv.insert(argv.end(), {"-f", "image2pipe", "-c:v", "pam", "-pix_fmt", "rgba", "-"});
    if (!tool_.start(argv, Subprocess::Pipe::kFromChild, error)) return false;
    bool ended = false;
    if (!readHeader(width_, height_, ended, error)) return false;
    if (ended) {
        error = "cannot read " + path_ + ": it has no video frames";
        return false;
    }
    if (static_cast<int64_t>(width_) * height_ > max_pixels) {
        error = "cannot read " + path_ + ": " + tooLargeMessage(width_, height_, max_pixels);
        return false;
    }
    header_pending_ = true;
    return true;
}

// One PAM header: "P7\nWIDTH w\nHEIGHT h\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n".
bool VideoReader::readHeader(int32_t& width, int32_t& height, bool& ended, std::string& error) {
    ended = false;
    std::string header;
    char c;
    while (header.size() < 256 && (header.size() < 7 || header.compare(header.size() - 7, 7, "ENDHDR\n") != 0)) {
        const ssize_t got = ::read(tool_.fd(), &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            std::string why;
            const bool ok = tool_.finish(why);
            if (header.empty() && ok) {
                ended = true;
                return true;
            }
            error = "cannot read " + path_ + ": " + (ok ? "frame " + std::to_string(frames_read_) + " is cut short" : why);
            return false;
        }
        header += c;
    }
    std::istringstream fields(header);
    std::string magic, key;
    long long w = 0, h = 0, depth = 0, maxval = 0;
    fields >> magic;
    while (fields >> key && key != "ENDHDR") {
        std::string value;
        fields >> value;
        if (key == "WIDTH") w = std::atoll(value.c_str());
        if (key == "HEIGHT") h = std::atoll(value.c_str());
        if (key == "DEPTH") depth = std::atoll(value.c_str());
        if (key == "MAXVAL") maxval = std::atoll(value.c_str());
    }
    if (magic != "P7" || key != "ENDHDR" || depth != 4 || maxval != 255 || w <= 0 || h <= 0 || w > INT32_MAX ||
        h > INT32_MAX) {
        error = "cannot read " + path_ + ": the decoder sent frame " + std::to_string(frames_read_) +
                " in a form this program does not take";
        return false;
    }
    width = static_cast<int32_t>(w);
    height = static_cast<int32_t>(h);
    return true;
}

bool VideoReader::next(refhost::World& world, std::string& error) {
    error.clear();
    if (!header_pending_) {
        int32_t w = 0, h = 0;
        bool ended = false;
        if (!readHeader(w, h, ended, error)) return false;
        if (ended) return false;
        if (w != width_ || h != height_) {
            error = "cannot read " + path_ + ": frame " + std::to_string(frames_read_) + " is " + std::to_string(w) +
                    " x " + std::to_string(h) + ", the first is " + std::to_string(width_) + " x " +
                    std::to_string(height_) + " (a video whose size changes is not taken)";
            return false;
        }
    }
    header_pending_ = false;
    if (world.width() != width_ || world.height() != height_) {
        error = "cannot read " + path_ + ": a frame of " + std::to_string(width_) + " x " + std::to_string(height_) +
                " does not fit its buffer";
        return false;
    }
    for (int32_t y = 0; y < world.height(); ++y) {
        PF_Pixel* row = world.row(y);
        if (!readAll(tool_.fd(), row, static_cast<size_t>(world.width()) * 4)) {
            error = "cannot read " + path_ + ": frame " + std::to_string(frames_read_) + " is cut short";
            return false;
        }
        refhost::pixelsFromRgba(reinterpret_cast<const uint8_t*>(row), row, static_cast<size_t>(world.width()));
    }
    ++frames_read_;
    return true;
}

void VideoReader::close() {
    tool_.kill();
}

// ---- video out ----

namespace {

struct VideoFormat {
    const char* extension;
    const char* muxer;
    std::vector<std::string> codec;
    const char* audio_codec;  // null: no audio
    bool even_sides;          // the codec takes only even widths and heights
};

const VideoFormat* videoFormat(const std::string& ext) {
    static const VideoFormat kFormats[] = {
        {"mp4", "mp4", {"-c:v", "libx264", "-pix_fmt", "yuv420p"}, "aac", true},
        {"mov", "mov", {"-c:v", "prores_ks", "-profile:v", "4", "-pix_fmt", "yuva444p10le"}, "pcm_s16le", false},
        {"mkv", "matroska", {"-c:v", "ffv1", "-pix_fmt", "bgra"}, "flac", false},
        {"webm", "webm", {"-c:v", "libvpx-vp9", "-pix_fmt", "yuva420p", "-b:v", "0", "-crf", "30"}, "libopus", false},
        {"gif", "gif", {"-vf", "split[a][b];[a]palettegen=reserve_transparent=1[p];[b][p]paletteuse"}, nullptr, false},
    };
    for (const VideoFormat& f : kFormats)
        if (ext == f.extension) return &f;
    return nullptr;
}

}  // namespace

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

bool VideoWriter::open(const std::string& path, int32_t width, int32_t height, const FrameRate& rate,
                       const Source* audio_from, double audio_start_seconds, std::string& error) {
    path_ = path;
    const VideoFormat* format = videoFormat(extensionOf(path));
    if (!format) {
        error = "cannot write " + path + ": a video output is .mp4, .mov, .mkv, .webm or .gif (or PNGs: out_%04d.png)";
        return false;
    }
    if (!file_.open(path, error)) return false;
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "rawvideo", "-pix_fmt", "argb",
                                     "-s", std::to_string(width) + "x" + std::to_string(height), "-r",
                                     std::to_string(rate.num) + "/" + std::to_string(rate.den), "-i", "-"};
    const bool audio = audio_from && audio_from->has_audio && format->audio_codec;
    if (audio) {
        char start[32];
        std::snprintf(start, sizeof(start), "%.6f", audio_start_seconds);
        argv.insert(argv.end(), {"-ss", start, "-i", audio_from->path, "-map", "0:v:0", "-map", "1:a:0", "-c:a",
                                 format->audio_codec, "-shortest"});
    }
    argv.insert(argv.end(), format->codec.begin(), format->codec.end());
    // ffmpeg writes into the file this program holds, through its descriptor
    argv.insert(argv.end(), {"-f", format->muxer, "/proc/self/fd/3"});
    if (!tool_.start(argv, Subprocess::Pipe::kToChild, error, fileno(file_.stream()))) {
        error = "cannot write " + path + ": " + error;
        return false;
    }
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
    if (!tool_.finish(why)) {
        error = "cannot write " + path_ + ": " + why;
        return false;
    }
    return file_.commit(error);
}

}  // namespace cwtool
