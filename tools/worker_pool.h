// Frames rendered side by side in worker processes. The plug-in's state is
// process-wide, so each worker is a forked copy of the command with the
// session already set up: the parent hands it frame numbers (with the pixels
// where the parent decodes the input) over one pipe and takes its answers back
// over another, so that results come back in the order they were asked for.
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
// sent them (`given`), else the worker reads its input itself; a frame
// answered with has_pixels sends `output` back.
using FrameWork = std::function<FrameAnswer(int64_t number, bool given, refhost::World& input,
                                            refhost::World& output)>;

class WorkerPool {
public:
    WorkerPool() = default;
    // Kills and reaps the workers of a pool that was not finished.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Forks `count` workers running `work`, their input worlds of the given
    // size (for frames the parent sends). False with the reason on failure.
    bool start(int count, int32_t width, int32_t height, const FrameWork& work, std::string& error);
    int size() const { return static_cast<int>(workers_.size()); }

    // Asks worker `w` for frame `number`, with pixels or without.
    bool send(int w, int64_t number, const refhost::World* pixels, std::string& error);
    // Worker `w`'s answer to frame `number`, its pixels into `output` (of the
    // frame's size); false, with what became of the worker, when it ended.
    bool receive(int w, int64_t number, FrameAnswer& answer, refhost::World& output, std::string& error);

    // The work is done: each worker ends once its pipe closes and is waited for.
    void finish();

private:
    struct Worker {
        pid_t pid = -1;
        int jobs = -1, results = -1;  // the parent's ends
    };
    // Why worker `w` stopped answering during frame `number`.
    std::string ended(int w, int64_t number);
    void stop(bool kill_them);

    std::vector<Worker> workers_;
};

}  // namespace cwtool
