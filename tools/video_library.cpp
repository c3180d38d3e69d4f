#include "tools/video_library.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include "host/host_pixels.h"

namespace cwtool {

namespace {

// ---- what the libraries say ----
//
// Nothing they log reaches the terminal; their last error line is kept for
// the message of a failure that follows it.

std::mutex g_log_mutex;
std::string g_last_logged;

void keepLastError(void* context, int level, const char* format, va_list args) {
    if (level > AV_LOG_ERROR) return;
    char line[1024];
    int prefix = 1;
    av_log_format_line(context, level, format, args, line, sizeof(line), &prefix);
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    if (text.empty()) return;
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_last_logged = text;
}

void quietLibraries() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(keepLastError); });
}

// "Invalid data found when processing input", with the libraries' own last
// error line where it says more.
std::string avMessage(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    std::lock_guard<std::mutex> lock(g_log_mutex);
    std::string said = g_last_logged;
    g_last_logged.clear();
    return said.empty() ? std::string(text) : std::string(text) + " (" + said + ")";
}

void clearLogged() {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    g_last_logged.clear();
}

std::string fraction(int64_t num, int64_t den) {
    return std::to_string(num) + "/" + std::to_string(den);
}

// The video stream a player shows: the first that is not a cover picture,
// else the first of any kind; -1 when there is none.
int videoStreamOf(const AVFormatContext* format) {
    int any = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) continue;
        if (!(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) return static_cast<int>(i);
        if (any < 0) any = static_cast<int>(i);
    }
    return any;
}

bool openInput(const std::string& path, AVFormatContext*& format, std::string& error) {
    quietLibraries();
    clearLogged();
    format = nullptr;
    int r = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    if (r >= 0) r = avformat_find_stream_info(format, nullptr);
    if (r < 0) {
        avformat_close_input(&format);
        error = "cannot read " + path + " as a video: " + avMessage(r);
        return false;
    }
    return true;
}

// The rotation a player applies, in degrees clockwise within [0, 360), as
// ffmpeg reads a display matrix.
double rotationOf(const int32_t* matrix) {
    double theta = matrix ? -std::round(av_display_rotation_get(matrix)) : 0;
    theta -= 360 * std::floor(theta / 360 + 0.9 / 360);
    return theta;
}

// The filters that turn a frame stored with `matrix` upright, each followed
// by a comma; `transposed` says whether they swap width and height.
std::string uprightFilters(const int32_t* matrix, bool& transposed) {
    transposed = false;
    if (!matrix) return "";
    const double theta = rotationOf(matrix);
    if (std::fabs(theta - 90) < 1) {
        transposed = true;
        return matrix[3] > 0 ? "transpose=cclock_flip," : "transpose=clock,";
    }
    if (std::fabs(theta - 180) < 1) return "hflip,vflip,";
    if (std::fabs(theta - 270) < 1) {
        transposed = true;
        return matrix[3] < 0 ? "transpose=clock_flip," : "transpose=cclock,";
    }
    if (std::fabs(theta) > 1) {
        char rotate[64];
        std::snprintf(rotate, sizeof(rotate), "rotate=%f*PI/180,", theta);
        return rotate;
    }
    return matrix[4] < 0 ? "vflip," : "";
}

// A filter graph from a `buffer` source to a `buffersink`, freed with it.
struct FilterPath {
    AVFilterGraph* graph = nullptr;
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;

    FilterPath() = default;
    FilterPath(const FilterPath&) = delete;
    FilterPath& operator=(const FilterPath&) = delete;
    ~FilterPath() { avfilter_graph_free(&graph); }

    // The graph from a source of `source_args` through `filters` to a sink
    // that ends in `pixel_format`; false with the libraries' message.
    bool build(const std::string& source_args, const std::string& filters, AVPixelFormat pixel_format,
               std::string& error) {
        graph = avfilter_graph_alloc();
        if (!graph) {
            error = avMessage(AVERROR(ENOMEM));
            return false;
        }
        // ffmpeg's own choice for the conversions it adds
        graph->scale_sws_opts = av_strdup("flags=bicubic");
        int r = avfilter_graph_create_filter(&source, avfilter_get_by_name("buffer"), "in", source_args.c_str(),
                                             nullptr, graph);
        if (r >= 0)
            r = avfilter_graph_create_filter(&sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr, graph);
        const AVPixelFormat formats[] = {pixel_format, AV_PIX_FMT_NONE};
        if (r >= 0) r = av_opt_set_int_list(sink, "pix_fmts", formats, AV_PIX_FMT_NONE, AV_OPT_SEARCH_CHILDREN);
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        if (r >= 0 && (!outputs || !inputs)) r = AVERROR(ENOMEM);
        if (r >= 0) {
            outputs->name = av_strdup("in");
            outputs->filter_ctx = source;
            inputs->name = av_strdup("out");
            inputs->filter_ctx = sink;
            r = avfilter_graph_parse_ptr(graph, filters.c_str(), &inputs, &outputs, nullptr);
        }
        avfilter_inout_free(&inputs);
        avfilter_inout_free(&outputs);
        if (r >= 0) r = avfilter_graph_config(graph, nullptr);
        if (r < 0) {
            error = avMessage(r);
            avfilter_graph_free(&graph);
            return false;
        }
        return true;
    }
};

}  // namespace

// ---- probing ----

bool probeFile(const std::string& path, videolib::Probe& p, std::string& error) {
    AVFormatContext* format = nullptr;
    if (!openInput(path, format, error)) return false;
    const int index = videoStreamOf(format);
    if (index < 0) {
        avformat_close_input(&format);
        error = "cannot read " + path + " as a video: it has no video stream";
        return false;
    }
    const AVStream* st = format->streams[index];
    p.width = st->codecpar->width;
    p.height = st->codecpar->height;
    if (p.width <= 0 || p.height <= 0) {
        avformat_close_input(&format);
        error = "cannot read " + path + " as a video: its video stream has no picture size";
        return false;
    }
    if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0) {
        p.rate_num = st->r_frame_rate.num;
        p.rate_den = st->r_frame_rate.den;
    }
    const AVDictionaryEntry* alpha = av_dict_get(st->metadata, "alpha_mode", nullptr, 0);
    p.alpha = alpha && std::strcmp(alpha->value, "1") == 0;
    p.codec = avcodec_get_name(st->codecpar->codec_id);
    p.seconds = 0;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) p.seconds = static_cast<double>(st->duration) * av_q2d(st->time_base);
    if (p.seconds <= 0 && format->duration != AV_NOPTS_VALUE && format->duration > 0)
        p.seconds = static_cast<double>(format->duration) / AV_TIME_BASE;
    p.has_audio = false;
    for (unsigned i = 0; i < format->nb_streams; ++i)
        p.has_audio = p.has_audio || format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    avformat_close_input(&format);
    return true;
}

// ---- video in ----
//
// Packets are decoded as ffmpeg decodes them (its threads, its timestamps);
// each frame goes through a filter graph that turns it upright and converts
// it to `rgba`, as ffmpeg hands frames to its filters (its conversion straight
// to `argb` rounds differently), turned into the host's order as it is
// copied out. The rate is then made constant as ffmpeg's command makes it
// (`-fps_mode cfr`): frames repeated or dropped by their timestamps from the
// file's start, and the last one held as long as the frames before it were.

struct Decoder {
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    FilterPath filters;
    AVPacket* packet = nullptr;
    AVFrame* decoded = nullptr;
    AVFrame* filtered = nullptr;
    int stream = -1;
    bool transposed = false;
    int first_width = 0, first_height = 0, first_format = -1;
    bool packets_ended = false, source_closed = false;
    // the constant rate
    AVRational frame_tb{1, 25};  // one output frame
    double frame_length = 1;     // an input frame's nominal length, in output frames
    int64_t start = 0;           // the file's start, in the stream's time base
    AVFrame* last = nullptr;     // the frame before `filtered`
    int64_t emitted = 0;         // output frames so far
    int recent_repeats[3] = {0, 0, 0};
    int repeat_last = 0, repeat_current = 0;
    bool current_held = false, flushed = false;
    const AVFrame* out = nullptr;  // the frame to hand out next

    ~Decoder() {
        av_frame_free(&last);
        av_frame_free(&filtered);
        av_frame_free(&decoded);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
};

class AvReader final : public videolib::Reader {
public:
    bool open(const std::string& path, const std::string& decoder_name, int64_t rate_num, int64_t rate_den,
              std::string& error) override;
    int32_t width() const override { return width_; }
    int32_t height() const override { return height_; }
    int next(PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) override {
        const bool ok = take(base, rowbytes, error);
        return ok ? 1 : error.empty() ? 0 : -1;
    }

private:
    // The next frame into the rows at `base` (none: only decoded, for its
    // size); false at the end (error empty) or on failure (error set).
    bool take(PF_Pixel* base, ptrdiff_t rowbytes, std::string& error);

    std::unique_ptr<Decoder> d_;
    std::string path_;
    int32_t width_ = 0, height_ = 0;
    int64_t frames_read_ = 0;
    bool pending_ = false;  // the first frame is decoded and not yet handed out
};

// A rate a video may have: above 0, at most 1000 a second, terms up to a million.
bool saneRate(AVRational r) {
    return r.num > 0 && r.den > 0 && r.num <= 1000000 && r.den <= 1000000 && av_q2d(r) <= 1000;
}

bool AvReader::open(const std::string& path, const std::string& decoder_name, int64_t rate_num, int64_t rate_den,
                    std::string& error) {
    d_ = std::make_unique<Decoder>();
    path_ = path;
    frames_read_ = 0;
    pending_ = false;
    Decoder& d = *d_;
    if (!openInput(path, d.format, error)) return false;
    d.stream = videoStreamOf(d.format);
    if (d.stream < 0) {
        error = "cannot read " + path_ + " as a video: it has no video stream";
        return false;
    }
    AVStream* st = d.format->streams[d.stream];
    // only the video stream's packets are read
    for (unsigned i = 0; i < d.format->nb_streams; ++i)
        if (static_cast<int>(i) != d.stream) d.format->streams[i]->discard = AVDISCARD_ALL;
    const AVCodec* decoder = decoder_name.empty() ? avcodec_find_decoder(st->codecpar->codec_id)
                                                  : avcodec_find_decoder_by_name(decoder_name.c_str());
    if (!decoder) {
        error = "cannot read " + path_ + ": this ffmpeg has no decoder for its " +
                avcodec_get_name(st->codecpar->codec_id) + " video";
        return false;
    }
    d.codec = avcodec_alloc_context3(decoder);
    d.packet = av_packet_alloc();
    d.decoded = av_frame_alloc();
    d.filtered = av_frame_alloc();
    if (!d.codec || !d.packet || !d.decoded || !d.filtered) {
        error = "cannot read " + path_ + ": " + avMessage(AVERROR(ENOMEM));
        return false;
    }
    int r = avcodec_parameters_to_context(d.codec, st->codecpar);
    d.codec->pkt_timebase = st->time_base;
    d.codec->thread_count = 0;  // as many as ffmpeg would take
    if (r >= 0) r = avcodec_open2(d.codec, decoder, nullptr);
    if (r < 0) {
        error = "cannot read " + path_ + ": cannot start its " + decoder->name + " decoder: " + avMessage(r);
        return false;
    }
    // the rate: the video's own, else ffmpeg's guess, else 25
    AVRational guess = av_guess_frame_rate(d.format, st, nullptr);
    AVRational rate{25, 1};
    if (rate_num > 0 && rate_den > 0)
        rate = AVRational{static_cast<int>(rate_num), static_cast<int>(rate_den)};
    else if (saneRate(guess))
        rate = guess;
    d.frame_tb = AVRational{rate.den, rate.num};
    d.frame_length = guess.num > 0 && guess.den > 0 ? 1 / (av_q2d(guess) * av_q2d(d.frame_tb)) : 0;
    d.frame_length = std::min(d.frame_length, 1.0);
    d.start = d.format->start_time != AV_NOPTS_VALUE ? av_rescale_q(d.format->start_time, AV_TIME_BASE_Q, st->time_base) : 0;
    d.last = av_frame_alloc();
    if (!d.last) {
        error = "cannot read " + path_ + ": " + avMessage(AVERROR(ENOMEM));
        return false;
    }
    // the first frame says the size; it is handed out by the first next()
    if (!take(nullptr, 0, error)) {
        if (error.empty()) error = "cannot read " + path_ + ": it has no video frames";
        return false;
    }
    pending_ = true;
    return true;
}

bool AvReader::take(PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) {
    error.clear();
    if (!d_) return false;
    Decoder& d = *d_;
    const bool sizing = width_ == 0;  // open() decoding the first frame
    auto fail = [&](const std::string& why) {
        error = "cannot read " + path_ + ": " + why;
        return false;
    };
    // A decoded frame into the graph (the graph built for the first).
    auto push = [&]() {
        AVFrame* f = d.decoded;
        f->pts = f->best_effort_timestamp;
        if (!d.filters.graph) {
            const AVFrameSideData* side = av_frame_get_side_data(f, AV_FRAME_DATA_DISPLAYMATRIX);
            const int32_t* matrix =
                side ? reinterpret_cast<const int32_t*>(side->data)
                     : reinterpret_cast<const int32_t*>(
                           av_stream_get_side_data(d.format->streams[d.stream], AV_PKT_DATA_DISPLAYMATRIX, nullptr));
            const AVRational tb = d.format->streams[d.stream]->time_base;
            const AVRational sar = f->sample_aspect_ratio.num > 0 ? f->sample_aspect_ratio : AVRational{1, 1};
            const std::string args = "video_size=" + std::to_string(f->width) + "x" + std::to_string(f->height) +
                                     ":pix_fmt=" + std::to_string(f->format) + ":time_base=" + fraction(tb.num, tb.den) +
                                     ":pixel_aspect=" + fraction(sar.num, sar.den);
            const std::string graph_filters = uprightFilters(matrix, d.transposed) + "format=rgba";
            std::string why;
            if (!d.filters.build(args, graph_filters, AV_PIX_FMT_RGBA, why))
                return fail("cannot convert its frames: " + why);
            d.first_width = f->width;
            d.first_height = f->height;
            d.first_format = f->format;
        }
        if (f->width != d.first_width || f->height != d.first_height) {
            const int w = d.transposed ? f->height : f->width, h = d.transposed ? f->width : f->height;
            return fail("frame " + std::to_string(frames_read_) + " is " + std::to_string(w) + " x " +
                        std::to_string(h) + ", the first is " + std::to_string(width_) + " x " +
                        std::to_string(height_) + " (a video whose size changes is not taken)");
        }
        if (f->format != d.first_format)
            return fail("its frames change their pixel format at frame " + std::to_string(frames_read_) +
                        " (such a video is not taken)");
        const int r = av_buffersrc_add_frame_flags(d.filters.source, f, 0);
        av_frame_unref(f);
        if (r < 0) return fail(avMessage(r));
        return true;
    };
    auto failed = [&](const std::string& why) {
        fail(why);
        return -1;
    };
    // Decodes until the graph has a frame (1) or has ended (0); -1 on failure.
    auto pull = [&]() -> int {
        for (;;) {
            if (d.filters.graph) {
                const int r = av_buffersink_get_frame(d.filters.sink, d.filtered);
                if (r >= 0) return 1;
                if (r == AVERROR_EOF) return 0;
                if (r != AVERROR(EAGAIN)) return failed(avMessage(r));
                if (d.source_closed) return 0;
            }
            const int got = avcodec_receive_frame(d.codec, d.decoded);
            if (got >= 0) {
                if (!push()) return -1;
                continue;
            }
            if (got == AVERROR_EOF) {
                if (!d.filters.graph) return 0;  // not one frame
                const int r = av_buffersrc_close(d.filters.source, AV_NOPTS_VALUE, AV_BUFFERSRC_FLAG_PUSH);
                d.source_closed = true;
                if (r < 0) return failed(avMessage(r));
                continue;
            }
            // a frame that does not decode is passed over, as ffmpeg passes it
            if (got != AVERROR(EAGAIN) && got != AVERROR_INVALIDDATA) return failed(avMessage(got));
            if (d.packets_ended) {
                if (got == AVERROR(EAGAIN)) return failed("its decoder stopped before its end");
                continue;
            }
            const int read = av_read_frame(d.format, d.packet);
            if (read == AVERROR(ENOMEM)) return failed(avMessage(read));
            if (read < 0) {
                // the end, or a file cut short: what was decoded is the video
                d.packets_ended = true;
                avcodec_send_packet(d.codec, nullptr);
                continue;
            }
            if (d.packet->stream_index == d.stream) {
                const int sent = avcodec_send_packet(d.codec, d.packet);
                if (sent < 0 && sent != AVERROR_INVALIDDATA && sent != AVERROR(EAGAIN)) {
                    av_packet_unref(d.packet);
                    return failed(avMessage(sent));
                }
            }
            av_packet_unref(d.packet);
        }
    };
    // The next frame to hand out, by ffmpeg's constant-rate rule: each frame
    // is given as many output frames as its time and length cover, the one
    // before it repeated into a gap; the last is held as long as the median of
    // the last three repeats. 1, 0 at the end, -1 on failure.
    auto produce = [&]() -> int {
        for (;;) {
            if (d.repeat_last > 0) {
                --d.repeat_last;
                d.out = d.last->buf[0] ? d.last : d.filtered;
                return 1;
            }
            if (d.repeat_current > 0) {
                --d.repeat_current;
                d.out = d.filtered;
                return 1;
            }
            if (d.current_held) {
                // its repeats given, the frame becomes the one before the next
                av_frame_unref(d.last);
                av_frame_move_ref(d.last, d.filtered);
                d.current_held = false;
            }
            if (d.flushed) return 0;
            const int got = pull();
            if (got < 0) return -1;
            const int* r3 = d.recent_repeats;
            if (got == 0) {
                d.flushed = true;
                d.repeat_last = std::max(std::min(r3[0], r3[1]), std::min(std::max(r3[0], r3[1]), r3[2]));
                d.emitted += d.repeat_last;
                continue;
            }
            const AVFrame* f = d.filtered;
            const AVRational tb = d.format->streams[d.stream]->time_base;
            double at = static_cast<double>(AV_NOPTS_VALUE);
            if (f->pts != AV_NOPTS_VALUE) {
                // in output frames from the file's start, a little finer than them
                AVRational fine = d.frame_tb;
                const int extra_bits = std::clamp(29 - av_log2(static_cast<unsigned>(fine.den)), 0, 16);
                fine.den <<= extra_bits;
                at = static_cast<double>(av_rescale_q(f->pts - d.start, tb, fine)) / (1 << extra_bits);
                at += (at > 0 ? 1 : -1) * 1.0 / (1 << 17);
            }
            double length = d.frame_length;
            const long own = f->pkt_duration > 0 ? lrint(static_cast<double>(f->pkt_duration) * av_q2d(tb) / av_q2d(d.frame_tb)) : 0;
            if (own > 0) length = static_cast<double>(own);
            double delta0 = at - static_cast<double>(d.emitted);
            const double delta = delta0 + length;
            if (delta0 < 0 && delta > 0) delta0 = 0;
            int64_t frames = 1, before = 0;
            if (delta < -1.1) {
                frames = 0;
            } else if (delta > 1.1) {
                frames = llrint(delta);
                if (delta0 > 1.1) before = llrint(delta0 - 0.6);
            }
            before = std::min(before, frames);
            d.recent_repeats[2] = r3[1];
            d.recent_repeats[1] = r3[0];
            d.recent_repeats[0] = static_cast<int>(before);
            if (frames > 3600LL * 30 * 30) {
                av_frame_unref(d.filtered);  // too far from the frames before: skipped
                continue;
            }
            d.repeat_last = static_cast<int>(before);
            d.repeat_current = static_cast<int>(frames - before);
            d.current_held = true;
            d.emitted += frames;
        }
    };
    if (!pending_) {
        const int got = produce();
        if (got <= 0) return false;
    }
    pending_ = false;
    const AVFrame* f = d.out;
    if (sizing) {
        width_ = f->width;
        height_ = f->height;
        pending_ = true;
        return true;
    }
    if (f->width != width_ || f->height != height_) {
        const std::string size = std::to_string(f->width) + " x " + std::to_string(f->height);
        return fail("frame " + std::to_string(frames_read_) + " is " + size + ", the first is " +
                    std::to_string(width_) + " x " + std::to_string(height_) +
                    " (a video whose size changes is not taken)");
    }
    for (int32_t y = 0; y < height_; ++y)
        refhost::pixelsFromRgba(f->data[0] + static_cast<ptrdiff_t>(y) * f->linesize[0],
                                reinterpret_cast<PF_Pixel*>(reinterpret_cast<uint8_t*>(base) + y * rowbytes),
                                static_cast<size_t>(width_));
    ++frames_read_;
    return true;
}

// ---- video out ----

// The frames go through a graph to the encoder's pixel format, the encoder,
// and the muxer, which writes through this program's descriptor of the
// output file. The audio is re-encoded by an ffmpeg process from the input
// (from the first frame's time) and its packets are muxed in beside the
// video's, up to the video's end.

struct Encoder {
    int fd = -1;
    AVFormatContext* muxer = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* video = nullptr;
    FilterPath filters;
    AVBufferPool* pool = nullptr;
    AVFrame* frame = nullptr;
    AVFrame* filtered = nullptr;
    AVPacket* packet = nullptr;
    int stride = 0;
    int64_t next_pts = 0;
    bool header_written = false;
    AVRational rate{25, 1};
    // the audio
    int audio_fd = -1;
    bool audio_failed = false, audio_reached_end = false;
    AVFormatContext* audio_in = nullptr;
    AVStream* audio_out = nullptr;
    AVPacket* audio_packet = nullptr;
    bool audio_pending = false, audio_ended = true;

    ~Encoder() {
        av_packet_free(&audio_packet);
        if (audio_in) {
            av_freep(&audio_in->pb->buffer);
            avio_context_free(&audio_in->pb);
            avformat_close_input(&audio_in);
        }
        av_packet_free(&packet);
        av_frame_free(&filtered);
        av_frame_free(&frame);
        av_buffer_pool_uninit(&pool);
        avcodec_free_context(&codec);
        if (muxer) {
            if (muxer->pb) {
                av_freep(&muxer->pb->buffer);
                avio_context_free(&muxer->pb);
            }
            avformat_free_context(muxer);
        }
    }
};

namespace {

int writeToFile(void* opaque, uint8_t* data, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (int done = 0; done < size;) {
        const ssize_t put = ::write(fd, data + done, static_cast<size_t>(size - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return AVERROR(put < 0 ? errno : EIO);
        done += static_cast<int>(put);
    }
    return size;
}

int64_t seekInFile(void* opaque, int64_t offset, int whence) {
    const int fd = *static_cast<int*>(opaque);
    if (whence == AVSEEK_SIZE) {
        struct stat st;
        return fstat(fd, &st) == 0 ? static_cast<int64_t>(st.st_size) : AVERROR(errno);
    }
    const off_t at = lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
}

int readFromPipe(void* opaque, uint8_t* data, int size) {
    const int fd = *static_cast<int*>(opaque);
    for (;;) {
        const ssize_t got = ::read(fd, data, static_cast<size_t>(size));
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

}  // namespace

class AvWriter final : public videolib::Writer {
public:
    bool open(int fd, const VideoFormat& format, int32_t width, int32_t height, int64_t rate_num, int64_t rate_den,
              int audio_fd, std::string& error) override;
    bool write(const PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) override;
    bool finish(std::string& error) override;
    bool audioFailed() const override { return e_ && e_->audio_failed; }
    bool audioReachedEnd() const override { return e_ && e_->audio_reached_end; }

private:
    std::unique_ptr<Encoder> e_;
};

bool AvWriter::open(int fd, const VideoFormat& format, int32_t width, int32_t height, int64_t rate_num,
                    int64_t rate_den, int audio_fd, std::string& error) {
    quietLibraries();
    clearLogged();
    auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    const AVCodec* encoder = avcodec_find_encoder_by_name(format.encoder);
    if (!encoder) return fail(std::string("this ffmpeg has no ") + format.encoder + " encoder");
    e_ = std::make_unique<Encoder>();
    Encoder& e = *e_;
    e.fd = fd;
    e.rate = AVRational{static_cast<int>(rate_num), static_cast<int>(rate_den)};
    e.frame = av_frame_alloc();
    e.filtered = av_frame_alloc();
    e.packet = av_packet_alloc();
    e.stride = (width * 4 + 63) / 64 * 64;
    e.pool = av_buffer_pool_init(static_cast<size_t>(e.stride) * static_cast<size_t>(height), nullptr);
    if (!e.frame || !e.filtered || !e.packet || !e.pool) return fail(avMessage(AVERROR(ENOMEM)));

    // the frames' way to the encoder's pixel format
    const std::string args = "video_size=" + std::to_string(width) + "x" + std::to_string(height) +
                             ":pix_fmt=" + std::to_string(AV_PIX_FMT_ARGB) + ":time_base=" +
                             fraction(rate_den, rate_num) + ":pixel_aspect=1/1:frame_rate=" +
                             fraction(rate_num, rate_den);
    std::string why;
    if (!e.filters.build(args, format.filters, av_get_pix_fmt(format.pixel_format), why))
        return fail("cannot convert the frames for " + std::string(format.encoder) + ": " + why);

    int r = avformat_alloc_output_context2(&e.muxer, nullptr, format.muxer, nullptr);
    if (r < 0) return fail(avMessage(r));
    const int buffer_size = 1 << 18;
    uint8_t* buffer = static_cast<uint8_t*>(av_malloc(buffer_size));
    struct stat st;
    const bool regular = fstat(e.fd, &st) == 0 && S_ISREG(st.st_mode);
    e.muxer->pb = buffer ? avio_alloc_context(buffer, buffer_size, 1, &e.fd, nullptr, writeToFile,
                                              regular ? seekInFile : nullptr)
                         : nullptr;
    if (!e.muxer->pb) {
        av_free(buffer);
        return fail(avMessage(AVERROR(ENOMEM)));
    }
    e.muxer->pb->seekable = regular ? AVIO_SEEKABLE_NORMAL : 0;
    e.muxer->flags |= AVFMT_FLAG_CUSTOM_IO;

    e.codec = avcodec_alloc_context3(encoder);
    if (!e.codec) return fail(avMessage(AVERROR(ENOMEM)));
    e.codec->width = width;
    e.codec->height = height;
    e.codec->pix_fmt = static_cast<AVPixelFormat>(av_buffersink_get_format(e.filters.sink));
    e.codec->time_base = AVRational{e.rate.den, e.rate.num};
    e.codec->framerate = e.rate;
    e.codec->sample_aspect_ratio = AVRational{1, 1};
    e.codec->thread_count = 0;  // as many as ffmpeg would take
    if (e.muxer->oformat->flags & AVFMT_GLOBALHEADER) e.codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    for (const auto& option : format.options) av_dict_set(&options, option.first, option.second, 0);
    r = avcodec_open2(e.codec, encoder, &options);
    av_dict_free(&options);
    if (r < 0) return fail("cannot start the " + std::string(format.encoder) + " encoder: " + avMessage(r));
    e.video = avformat_new_stream(e.muxer, nullptr);
    if (!e.video) return fail(avMessage(AVERROR(ENOMEM)));
    r = avcodec_parameters_from_context(e.video->codecpar, e.codec);
    if (r < 0) return fail(avMessage(r));
    e.video->time_base = e.codec->time_base;
    e.video->avg_frame_rate = e.rate;
    e.video->r_frame_rate = e.rate;

    if (audio_fd >= 0) {
        // its packets are first read when the encoder has its first one (x264
        // looks ahead), so the process making them costs no wait
        e.audio_fd = audio_fd;
        e.audio_ended = false;
    }
    return true;
}

namespace {

// The audio's stream beside the video's, and the container's header; done
// once, before the first packet is written.
bool startMuxing(Encoder& e, std::string& error) {
    if (e.header_written) return true;
    int r = 0;
    if (!e.audio_ended) {
        e.audio_in = avformat_alloc_context();
        uint8_t* buffer = static_cast<uint8_t*>(av_malloc(1 << 16));
        AVIOContext* io = e.audio_in && buffer ? avio_alloc_context(buffer, 1 << 16, 0, &e.audio_fd, readFromPipe,
                                                                    nullptr, nullptr)
                                               : nullptr;
        if (!io) {
            av_free(buffer);
            error = avMessage(AVERROR(ENOMEM));
            return false;
        }
        e.audio_in->pb = io;
        e.audio_in->flags |= AVFMT_FLAG_CUSTOM_IO;
        r = avformat_open_input(&e.audio_in, nullptr, av_find_input_format("nut"), nullptr);
        if (r < 0 || e.audio_in->nb_streams < 1) {
            if (r < 0) {
                // (a failed open frees the context but not the I/O given to it)
                av_freep(&io->buffer);
                avio_context_free(&io);
            }
            e.audio_ended = true;
            e.audio_failed = true;
            error = "ffmpeg gave no audio: " + avMessage(r < 0 ? r : AVERROR_INVALIDDATA);
            return false;
        }
        e.audio_out = avformat_new_stream(e.muxer, nullptr);
        e.audio_packet = av_packet_alloc();
        if (!e.audio_out || !e.audio_packet) {
            error = avMessage(AVERROR(ENOMEM));
            return false;
        }
        r = avcodec_parameters_copy(e.audio_out->codecpar, e.audio_in->streams[0]->codecpar);
        if (r < 0) {
            error = avMessage(r);
            return false;
        }
        e.audio_out->codecpar->codec_tag = 0;
        e.audio_out->time_base = e.audio_in->streams[0]->time_base;
    }
    r = avformat_write_header(e.muxer, nullptr);
    if (r < 0) {
        error = avMessage(r);
        return false;
    }
    e.header_written = true;
    return true;
}

// The audio's packets that start before `seconds` into the muxer; false with
// a message when the audio's ffmpeg fails or a packet cannot be written.
bool muxAudioUntil(Encoder& e, double seconds, std::string& error) {
    while (!e.audio_ended) {
        if (!e.audio_pending) {
            const int r = av_read_frame(e.audio_in, e.audio_packet);
            if (r < 0) {
                e.audio_ended = true;
                if (r != AVERROR_EOF) {
                    e.audio_failed = true;
                    error = "the audio ends early: " + avMessage(r);
                    return false;
                }
                e.audio_reached_end = true;
                return true;
            }
            e.audio_pending = true;
        }
        const AVRational tb = e.audio_in->streams[0]->time_base;
        const int64_t at = e.audio_packet->pts != AV_NOPTS_VALUE ? e.audio_packet->pts : e.audio_packet->dts;
        if (at != AV_NOPTS_VALUE && static_cast<double>(at) * av_q2d(tb) >= seconds) return true;
        e.audio_pending = false;
        e.audio_packet->stream_index = e.audio_out->index;
        av_packet_rescale_ts(e.audio_packet, tb, e.audio_out->time_base);
        e.audio_packet->pos = -1;
        const int r = av_interleaved_write_frame(e.muxer, e.audio_packet);
        if (r < 0) {
            error = avMessage(r);
            return false;
        }
    }
    return true;
}

// Every packet the encoder has ready into the muxer, the audio up to each.
bool muxVideoPackets(Encoder& e, std::string& error) {
    for (;;) {
        const int r = avcodec_receive_packet(e.codec, e.packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            error = avMessage(r);
            return false;
        }
        if (!startMuxing(e, error)) return false;
        const double seconds = static_cast<double>(e.packet->dts) * av_q2d(e.codec->time_base);
        if (!muxAudioUntil(e, seconds, error)) return false;
        e.packet->stream_index = e.video->index;
        av_packet_rescale_ts(e.packet, e.codec->time_base, e.video->time_base);
        const int w = av_interleaved_write_frame(e.muxer, e.packet);
        if (w < 0) {
            error = avMessage(w);
            return false;
        }
    }
}

// Every frame the graph has ready through the encoder.
bool encodeFiltered(Encoder& e, std::string& error) {
    for (;;) {
        int r = av_buffersink_get_frame(e.filters.sink, e.filtered);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return true;
        if (r < 0) {
            error = avMessage(r);
            return false;
        }
        r = avcodec_send_frame(e.codec, e.filtered);
        av_frame_unref(e.filtered);
        if (r < 0) {
            error = avMessage(r);
            return false;
        }
        if (!muxVideoPackets(e, error)) return false;
    }
}

}  // namespace

bool AvWriter::write(const PF_Pixel* base, ptrdiff_t rowbytes, std::string& error) {
    Encoder& e = *e_;
    auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    e.frame->buf[0] = av_buffer_pool_get(e.pool);
    if (!e.frame->buf[0]) return fail(avMessage(AVERROR(ENOMEM)));
    e.frame->data[0] = e.frame->buf[0]->data;
    e.frame->linesize[0] = e.stride;
    e.frame->width = e.codec->width;
    e.frame->height = e.codec->height;
    e.frame->format = AV_PIX_FMT_ARGB;
    e.frame->sample_aspect_ratio = AVRational{1, 1};
    e.frame->pts = e.next_pts++;
    for (int32_t y = 0; y < e.codec->height; ++y)
        std::memcpy(e.frame->data[0] + static_cast<ptrdiff_t>(y) * e.stride,
                    reinterpret_cast<const uint8_t*>(base) + y * rowbytes, static_cast<size_t>(e.codec->width) * 4);
    const int r = av_buffersrc_add_frame_flags(e.filters.source, e.frame, 0);
    av_frame_unref(e.frame);
    if (r < 0) return fail(avMessage(r));
    std::string why;
    if (!encodeFiltered(e, why)) return fail(why);
    return true;
}

bool AvWriter::finish(std::string& error) {
    Encoder& e = *e_;
    auto fail = [&](const std::string& why) {
        error = why;
        return false;
    };
    std::string why;
    int r = av_buffersrc_add_frame_flags(e.filters.source, nullptr, 0);
    if (r < 0) return fail(avMessage(r));
    if (!encodeFiltered(e, why)) return fail(why);
    r = avcodec_send_frame(e.codec, nullptr);
    if (r < 0) return fail(avMessage(r));
    if (!muxVideoPackets(e, why)) return fail(why);
    if (!startMuxing(e, why)) return fail(why);
    // the audio as long as the video
    if (!muxAudioUntil(e, static_cast<double>(e.next_pts) * av_q2d(e.codec->time_base), why)) return fail(why);
    r = av_write_trailer(e.muxer);
    if (r >= 0) {
        avio_flush(e.muxer->pb);
        r = e.muxer->pb->error;
    }
    return r < 0 ? fail(avMessage(r)) : true;
}

const videolib::Library kLibrary = {
    videolib::kVersion,
    probeFile,
    [] { return static_cast<videolib::Reader*>(new AvReader); },
    [] { return static_cast<videolib::Writer*>(new AvWriter); },
};

}  // namespace cwtool

extern "C" __attribute__((visibility("default"))) const cwtool::videolib::Library* checkerwarp_video_library() {
    return &cwtool::kLibrary;
}
