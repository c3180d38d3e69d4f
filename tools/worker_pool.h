// Frames rendered side by side in worker processes. Each worker is a forked
// copy of the command with the session already set up: the parent hands it
// frame numbers over one pipe and takes its answers back over another, so
// that results come back in the order they were asked for. Each worker's
// input and output frames are memory the parent shares with it: the parent
// decodes a video's frame straight into the worker's input and delivers the
// result from its output, and no pixel crosses a pipe.
// Workers die with the command; a pool that is not finished kills its workers
// when it goes, so no failure path leaves one rendering on.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/world.h"

namespace cwtool {

// A worker's answer to one frame.
struct FrameAnswer {
    int status = 0;         // the command's status (0 done)
    std::string message;    // why not, when it failed
    bool has_pixels = false;  // the output comes back (else the worker wrote it itself)
};

// What a worker does with one frame: `input` holds the pixels when the parent
// put them there (`given`), else the worker reads its input itself; a frame
// answered with has_pixels leaves its result in `output` for the parent.
using FrameWork = std::function<FrameAnswer(int64_t number, bool given, refhost::World& input,
                                            refhost::World& output)>;

class WorkerPool {
public:
    WorkerPool() = default;
    // Kills and reaps the workers of a pool that was not finished.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Forks `count` workers running `work`, each with shared input and output
    // worlds of the given sizes (an input of 0 x 0 when the workers read their
    // own). False with the reason on failure.
    bool start(int count, int32_t width, int32_t height, int32_t out_width, int32_t out_height, const FrameWork& work,
               std::string& error);
    int size() const { return static_cast<int>(workers_.size()); }

    // Worker `w`'s input, for the parent to fill before it sends a frame with
    // pixels, and its output, which holds an answer's pixels until the
    // worker's next frame is sent.
    refhost::World& input(int w) { return workers_[static_cast<size_t>(w)].input; }
    const refhost::World& output(int w) const { return workers_[static_cast<size_t>(w)].output; }

    // Asks worker `w` for frame `number`, its pixels in the worker's input or not.
    bool send(int w, int64_t number, bool with_pixels, std::string& error);
    // Worker `w`'s answer to frame `number`; false, with what became of the
    // worker, when it ended.
    bool receive(int w, int64_t number, FrameAnswer& answer, std::string& error);

    // The work is done: each worker ends once its pipe closes and is waited for.
    void finish();

private:
    struct Worker {
        pid_t pid = -1;
        int jobs = -1, results = -1;  // the parent's ends
        refhost::World input, output;  // shared with the worker
    };
    // Why worker `w` stopped answering during frame `number`.
    std::string ended(int w, int64_t number);
    void stop(bool kill_them);

    std::vector<Worker> workers_;
};

}  // namespace cwtool
