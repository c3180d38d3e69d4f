// The render command's frames: a timeline over a still, an image sequence or a
// video, animated parameters, a range of frames, worker processes, progress,
// and the outputs they go to.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/demo_image.h"
#include "tools/keys.h"
#include "tools/media.h"
#include "tools/video.h"
#include "tools/param_values.h"
#include "tools/png_io.h"
#include "tools/render.h"
#include "tools/subprocess.h"
#include "tools/worker_pool.h"

namespace cwtool {

namespace {

// "about 25 minutes", "about 40 seconds"
std::string roughDuration(double seconds) {
    char text[64];
    if (seconds >= 5400)
        std::snprintf(text, sizeof(text), "about %.0f hours", seconds / 3600);
    else if (seconds >= 90)
        std::snprintf(text, sizeof(text), "about %.0f minutes", seconds / 60);
    else
        std::snprintf(text, sizeof(text), "about %.0f seconds", seconds);
    return text;
}

// Hears a frame's progress reports and, once a frame has run a moment, says
// so if at its pace it will take long: tiny cells with many squares across
// can mean billions of cells, and the effect draws every one. Said once.
struct LongFrameNote {
    std::chrono::steady_clock::time_point start;
    bool said = false;
    void hear(A_long done, A_long total) {
        if (said || done <= 0 || total <= 0) return;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (elapsed < 0.25) return;
        said = true;
        const double expected = elapsed * total / done;
        if (expected >= 30)
            std::fprintf(stderr, "checkerwarp: note: this frame will take %s (%d of %d rows of cells after %.1f s); "
                                 "--time-limit stops it\n", roughDuration(expected).c_str(), static_cast<int>(done),
                         static_cast<int>(total), elapsed);
    }
};

// The frames to render and where they come from and go to.
struct Plan {
    Source source;
    MediaKind output_kind = MediaKind::kPng;
    FrameRate rate;
    int64_t first = 0, last = 0;  // in the input's numbering
    bool last_known = true;
    refhost::World still;         // a still input (or the demo picture)
};

// One frame's render through the session.
struct FrameRenderer {
    refhost::Host* host;
    const RenderRequest* request;
    const Plan* plan;
    LongFrameNote note;

    Status render(int64_t number, refhost::World& full_input, refhost::World& output, std::string& error) {
        std::string why;
        refhost::World proxy;
        if (request->downsample > 1 && !refhost::downsampleWorld(full_input, request->downsample, proxy, why)) {
            error = "cannot render frame " + std::to_string(number) + ": " + why;
            return kFailed;
        }
        refhost::World& input = request->downsample > 1 ? proxy : full_input;
        // the frame before's output serves again: as it is when the effect
        // writes every pixel, else made fully transparent (every byte 0)
        const bool same_size = output.width() == input.width() && output.height() == input.height();
        if (same_size && !host->coversOutput()) output.clear(PF_Pixel{0, 0, 0, 0});
        if (!same_size && !output.allocate(input.width(), input.height(), why)) {
            error = "cannot render frame " + std::to_string(number) + ": " + why;
            return kFailed;
        }
        refhost::Host& h = *host;
        note.start = std::chrono::steady_clock::now();
        if (request->time_limit > 0) {
            const auto deadline = note.start + std::chrono::duration<double>(request->time_limit);
            h.setAbort([deadline] { return std::chrono::steady_clock::now() >= deadline; });
        }
        // key times count from the input's first frame, whatever its file numbers
        h.setFrame(number - plan->source.first);
        PF_Err err = h.renderFrame(input.def(), output.def());
        if (err == PF_Interrupt_CANCEL && request->time_limit > 0) {
            error = "the render took longer than --time-limit " + shortFloat(static_cast<float>(request->time_limit)) +
                    " s and was stopped";
            return kFailed;
        }
        if (err) {
            error = pluginMessage(h, err);
            return kFailed;
        }
        if (h.outData().out_flags & PF_OutFlag_DISPLAY_ERROR_MESSAGE)
            std::fprintf(stderr, "checkerwarp: the plug-in says: %s\n", h.returnMessage().c_str());
        return kOk;
    }
};

// The input of frame `number` of a still or an image sequence.
bool readFrame(const Plan& plan, const RenderRequest& request, int64_t number, refhost::World& input,
               std::string& error) {
    if (plan.source.kind != MediaKind::kSequence) {
        std::string why;
        if (!input.allocate(plan.still.width(), plan.still.height(), why)) {
            error = "cannot hold frame " + std::to_string(number) + ": " + why;
            return false;
        }
        for (int32_t y = 0; y < input.height(); ++y)
            std::memcpy(input.row(y), plan.still.row(y), static_cast<size_t>(input.width()) * 4);
        return true;
    }
    const std::string path = patternPath(plan.source.path, number);
    if (!readPng(path, input, error, request.max_pixels > 0 ? request.max_pixels : kDefaultMaxPixels)) return false;
    if (input.width() != plan.source.width || input.height() != plan.source.height) {
        error = "the frames of " + plan.source.path + " differ in size: " + path + " is " + std::to_string(input.width()) +
                " x " + std::to_string(input.height()) + ", the first is " + std::to_string(plan.source.width) + " x " +
                std::to_string(plan.source.height);
        return false;
    }
    return true;
}

PngCompression pngCompression(const RenderRequest& request) {
    switch (request.compression) {
    case Compression::kFast: return PngCompression::kFast;
    case Compression::kSmall: return PngCompression::kSmall;
    default: return PngCompression::kDefault;
    }
}

// A line on a terminal, kept up to date: frames done of the total, the pace,
// the time left.
struct Progress {
    bool shown;
    int64_t total;     // 0: unknown
    bool approximate;  // a video's length from its duration
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    void frameDone(int64_t done) {
        if (!shown) return;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double rate = elapsed > 0 ? done / elapsed : 0;
        char left[32] = "";
        if (total > done && rate > 0) std::snprintf(left, sizeof(left), ", %.0f s left", (total - done) / rate);
        if (total > done || (total > 0 && !approximate))
            std::fprintf(stderr, "\rcheckerwarp: frame %lld of %s%lld, %.2f frames/s%s   ", static_cast<long long>(done),
                         approximate ? "about " : "", static_cast<long long>(total), rate, left);
        else
            std::fprintf(stderr, "\rcheckerwarp: frame %lld, %.2f frames/s   ", static_cast<long long>(done), rate);
        std::fflush(stderr);
    }
    void finish() {
        if (shown) std::fprintf(stderr, "\n");
    }
};

}  // namespace

// ---- the plan ----

static Status makePlan(const RenderRequest& request, Plan& plan, std::string& error) {
    if (request.input.empty()) {
        if (!makeDemoImage(plan.still, error)) return kFailed;
        plan.source.kind = MediaKind::kPng;
        plan.source.width = plan.still.width();
        plan.source.height = plan.still.height();
    } else {
        for (const std::string& path : {request.input, request.output}) {
            const std::string problem = patternProblem(path);
            if (!problem.empty()) {
                error = problem;
                return kUsage;
            }
        }
        if (!probeSource(request.input, plan.source, error,
                         request.max_pixels > 0 ? request.max_pixels : kDefaultMaxPixels))
            return kFailed;
        if (plan.source.kind == MediaKind::kPng) {
            if (!readPng(request.input, plan.still, error,
                         request.max_pixels > 0 ? request.max_pixels : kDefaultMaxPixels))
                return kFailed;
            plan.source.width = plan.still.width();
            plan.source.height = plan.still.height();
        }
    }
    if (!request.fps.empty()) {
        if (!parseFrameRate(request.fps, plan.rate)) {
            error = "--fps takes frames a second up to 1000, a number or N/D such as 25 or 30000/1001 (each term up to "
                    "1000000), got " + quoted(request.fps);
            return kUsage;
        }
    } else if (plan.source.has_rate) {
        plan.rate = plan.source.rate;
    }
    plan.first = plan.source.first;
    plan.last = plan.source.last;
    plan.last_known = plan.source.last_known;
    if (plan.source.kind == MediaKind::kPng) {
        int64_t frames = 1;
        if (!request.duration.empty()) {
            const std::string& d = request.duration;
            char* end = nullptr;
            const double v = std::strtod(d.c_str(), &end);
            const bool seconds = end && *end == 's' && end[1] == 0;
            if (d.empty() || !end || (!seconds && *end != 0) || !(v > 0) || v > 1e7 ||
                (!seconds && v != std::floor(v))) {
                error = "--duration takes a number of frames (48) or of seconds (2s), got \"" + d + "\"";
                return kUsage;
            }
            frames = seconds ? std::llround(v * static_cast<double>(plan.rate.num) / static_cast<double>(plan.rate.den))
                             : static_cast<int64_t>(v);
            if (frames < 1) frames = 1;
        }
        plan.first = 0;
        plan.last = frames - 1;
    } else if (!request.duration.empty()) {
        error = "--duration is for a still input; a sequence or a video is as long as it is (--frames A-B renders a part)";
        return kUsage;
    }
    if (request.has_range) {
        if (request.range_first > request.range_last) {
            error = "--frames " + std::to_string(request.range_first) + "-" + std::to_string(request.range_last) +
                    " is reversed";
            return kUsage;
        }
        if (request.range_first < plan.first || (plan.last_known && request.range_last > plan.last)) {
            error = "--frames " + std::to_string(request.range_first) + "-" + std::to_string(request.range_last) +
                    " is outside the timeline, frames " + std::to_string(plan.first) + " to " +
                    (plan.last_known ? std::to_string(plan.last) : "its end");
            return kUsage;
        }
        plan.first = request.range_first;
        plan.last = request.range_last;
        plan.last_known = true;
    }
    plan.output_kind = outputKind(request.output);
    const std::string kind_problem = outputKindProblem(request.output);
    if (!kind_problem.empty()) {
        error = kind_problem;
        return kUsage;
    }
    if (plan.output_kind == MediaKind::kPng && (!plan.last_known || plan.last > plan.first)) {
        error = "a PNG output takes one frame; write a sequence (out_%04d.png) or a video (out.mp4), or pick one "
                "frame with --frames N-N";
        return kUsage;
    }
    return kOk;
}

// ---- the run ----

Status renderImage(const RenderRequest& request, std::string& error) {
    Session session;
    if (!openSession(request.plugin.empty() ? defaultPluginPath() : request.plugin, session, error)) return kFailed;
    refhost::Host& host = *session.host;
    for (const std::string& s : request.settings)
        if (!applySetting(host, s, error)) return kUsage;
    host.setQuality(request.quality);
    host.setPixelAspect(request.aspect_num, request.aspect_den);
    host.setDownsample(1, static_cast<A_u_long>(request.downsample), 1, static_cast<A_u_long>(request.downsample));

    Plan plan;
    const Status planned = makePlan(request, plan, error);
    if (planned != kOk) return planned;
    host.setFrameRate(static_cast<A_long>(plan.rate.num), static_cast<A_u_long>(plan.rate.den));
    for (const auto& animation : request.animations) {
        const int position = settablePosition(host, animation.first, error);
        if (position < 0) {
            error = "--animate: " + error;
            return kUsage;
        }
        std::vector<refhost::ParamKey> keys;
        if (!parseKeys(host, position, animation.second, plan.rate, keys, error)) return kUsage;
        host.params().animate(position, std::move(keys));
    }

    FrameRenderer renderer{&host, &request, &plan, {}};
    host.setProgress([&renderer](A_long done, A_long total) { renderer.note.hear(done, total); });

    VideoReader reader;
    refhost::World video_frame;
    if (plan.source.kind == MediaKind::kVideo) {
        // the frames' size is what the decoder delivers (a rotated video's upright size)
        if (!reader.open(plan.source, request.max_pixels > 0 ? request.max_pixels : kDefaultMaxPixels, error))
            return kFailed;
        plan.source.width = reader.width();
        plan.source.height = reader.height();
        if (!video_frame.allocate(plan.source.width, plan.source.height, error)) return kFailed;
        // frames before the range are read past
        for (int64_t n = 0; n < plan.first; ++n)
            if (!reader.next(video_frame, error)) {
                if (error.empty()) error = request.input + " ends before frame " + std::to_string(plan.first);
                return kFailed;
            }
    }
    // every output is checked before a frame is rendered (a pattern by its first file)
    const std::string first_output =
        plan.output_kind == MediaKind::kSequence ? patternPath(request.output, plan.first) : request.output;
    // a proxy render's frames are smaller than the input's
    const int32_t out_width = refhost::downsampledSide(plan.source.width, request.downsample);
    const int32_t out_height = refhost::downsampledSide(plan.source.height, request.downsample);
    const std::string problem = outputProblem(first_output, out_width, out_height);
    if (!problem.empty()) {
        error = problem;
        return kFailed;
    }
    VideoWriter writer;
    if (plan.output_kind == MediaKind::kVideo) {
        const double audio_start = static_cast<double>(plan.first) * plan.rate.den / plan.rate.num;
        if (!writer.open(request.output, out_width, out_height, plan.rate,
                         plan.source.kind == MediaKind::kVideo ? &plan.source : nullptr, audio_start, error))
            return kFailed;
    }

    const int64_t count = plan.last_known ? plan.last - plan.first + 1 : 0;
    // from a video to a video ffmpeg's decoder and encoder already fill the
    // cores, and workers would only add two pipe crossings a frame
    const bool video_to_video = plan.source.kind == MediaKind::kVideo && plan.output_kind == MediaKind::kVideo;
    int jobs = request.jobs > 0 ? request.jobs
                                : video_to_video ? 1 : static_cast<int>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
    if (plan.last_known) jobs = static_cast<int>(std::min<int64_t>(jobs, count));
    const bool estimated = !plan.last_known && plan.source.expected_frames > plan.first;
    Progress progress{!request.quiet && isatty(2) != 0, estimated ? plan.source.expected_frames - plan.first : count,
                      estimated};

    // Takes frame `number`'s input into `into`: from the video, or (kept for the worker) none.
    auto nextVideoFrame = [&](int64_t number, bool& ended, refhost::World& into) {
        ended = false;
        if (plan.source.kind != MediaKind::kVideo) return true;
        if (reader.next(into, error)) return true;
        if (!error.empty()) return false;
        ended = true;
        if (request.has_range && number <= plan.last) {
            error = request.input + " ends before frame " + std::to_string(number) + " (its last frame is " +
                    std::to_string(number - 1) + ")";
            return false;
        }
        return true;
    };
    // Puts a finished frame where it goes (a pattern's files are written by whoever rendered them).
    auto deliver = [&](int64_t number, const refhost::World& output) {
        if (plan.output_kind == MediaKind::kVideo) return writer.write(output, error);
        if (plan.output_kind == MediaKind::kPng) return writePng(request.output, output, error, pngCompression(request));
        return writePng(patternPath(request.output, number), output, error, pngCompression(request));
    };

    int64_t done = 0;
    if (jobs <= 1) {
        refhost::World input, output;
        for (int64_t n = plan.first; !plan.last_known || n <= plan.last; ++n) {
            bool ended = false;
            if (!nextVideoFrame(n, ended, video_frame)) return kFailed;
            if (ended) break;
            if (plan.source.kind == MediaKind::kVideo) {
                const Status s = renderer.render(n, video_frame, output, error);
                if (s != kOk) return s;
            } else if (plan.source.kind != MediaKind::kSequence) {
                // a still is the input of every frame as it is: no copy
                const Status s = renderer.render(n, plan.still, output, error);
                if (s != kOk) return s;
                // its last frame rendered, it is not needed while the output is encoded
                if (plan.last_known && n == plan.last) plan.still = refhost::World();
            } else {
                if (!readFrame(plan, request, n, input, error)) return kFailed;
                const Status s = renderer.render(n, input, output, error);
                if (s != kOk) return s;
            }
            if (!deliver(n, output)) return kFailed;
            progress.frameDone(++done);
        }
    } else {
        // each worker renders its frames; a pattern's files it writes itself
        const bool own_file = plan.output_kind == MediaKind::kSequence;
        const FrameWork work = [&](int64_t number, bool given, refhost::World& input, refhost::World& output) {
            FrameAnswer answer;
            Status status = kOk;
            if (!given && !readFrame(plan, request, number, input, answer.message)) status = kFailed;
            if (status == kOk) status = renderer.render(number, input, output, answer.message);
            if (status == kOk && own_file &&
                !writePng(patternPath(request.output, number), output, answer.message, pngCompression(request)))
                status = kFailed;
            answer.status = status;
            answer.has_pixels = status == kOk && !own_file;
            return answer;
        };
        const bool video = plan.source.kind == MediaKind::kVideo;
        WorkerPool pool;  // (its workers are killed on every early return)
        if (!pool.start(jobs, video ? plan.source.width : 0, video ? plan.source.height : 0, out_width, out_height,
                        work, error))
            return kFailed;
        video_frame = refhost::World();  // (the frames are decoded into the workers' inputs)
        // frame n goes to worker (n - first) % jobs; each has one frame at a time
        auto workerOf = [&](int64_t n) { return static_cast<int>((n - plan.first) % jobs); };
        auto send = [&](int64_t n, bool& ended) {
            if (!nextVideoFrame(n, ended, pool.input(workerOf(n)))) return false;
            return ended || pool.send(workerOf(n), n, video, error);
        };
        int64_t sent_end = plan.first;  // frames before this one have been sent
        bool input_ended = false;
        for (; sent_end < plan.first + jobs && (!plan.last_known || sent_end <= plan.last); ++sent_end) {
            if (!send(sent_end, input_ended)) return kFailed;
            if (input_ended) break;
        }
        for (int64_t n = plan.first; n < sent_end; ++n) {
            FrameAnswer answer;
            if (!pool.receive(workerOf(n), n, answer, error)) return kFailed;
            if (answer.status != kOk) {
                error = answer.message;
                return static_cast<Status>(answer.status);
            }
            if (answer.has_pixels && !deliver(n, pool.output(workerOf(n)))) return kFailed;
            progress.frameDone(++done);
            if (!input_ended && (!plan.last_known || sent_end <= plan.last)) {
                if (!send(sent_end, input_ended)) return kFailed;
                if (!input_ended) ++sent_end;
            }
        }
        pool.finish();
    }
    progress.finish();
    reader.close();
    if (done == 0) {
        error = "cannot render " + (request.input.empty() ? std::string("the demo") : request.input) +
                ": it has no frames" + (request.has_range ? " in the range asked for" : "");
        return kFailed;
    }
    if (plan.output_kind == MediaKind::kVideo && !writer.finish(error)) return kFailed;
    return kOk;
}

}  // namespace cwtool
