#include "tools/worker_pool.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/subprocess.h"

namespace cwtool {

namespace {

// What crosses the pipes; the pixels are in the shared worlds.
struct JobHeader {
    int64_t number;
    uint8_t has_pixels;
};

struct ResultHeader {
    int32_t status;
    uint32_t message_length;
    uint8_t has_pixels;
};

// A worker's life: frames in, answers out, until the parent closes its pipe.
[[noreturn]] void workerLoop(const FrameWork& work, refhost::World& input, refhost::World& output, int jobs,
                             int results) {
    JobHeader job;
    while (readAll(jobs, &job, sizeof(job))) {
        const uint8_t* shared_output = reinterpret_cast<const uint8_t*>(output.row(0));
        FrameAnswer answer = work(job.number, job.has_pixels != 0, input, output);
        // (a result the work put elsewhere than the shared output cannot be handed back)
        if (answer.has_pixels && reinterpret_cast<const uint8_t*>(output.row(0)) != shared_output) {
            answer.status = 1;
            answer.has_pixels = false;
            answer.message = "frame " + std::to_string(job.number) + " was rendered outside the shared frame";
        }
        const ResultHeader result = {static_cast<int32_t>(answer.status),
                                     static_cast<uint32_t>(answer.message.size()),
                                     static_cast<uint8_t>(answer.has_pixels)};
        if (!writeAll(results, &result, sizeof(result)) ||
            !writeAll(results, answer.message.data(), answer.message.size()))
            break;
    }
    _exit(0);
}

}  // namespace

WorkerPool::~WorkerPool() {
    stop(true);
}

bool WorkerPool::start(int count, int32_t width, int32_t height, int32_t out_width, int32_t out_height,
                       const FrameWork& work, std::string& error) {
    std::fflush(nullptr);  // (nothing buffered is written twice)
    workers_.resize(static_cast<size_t>(count));
    for (Worker& w : workers_) {
        std::string why;
        if ((width > 0 && height > 0 && !w.input.allocateShared(width, height, why)) ||
            !w.output.allocateShared(out_width, out_height, why)) {
            error = "cannot start worker processes: " + why;
            return false;
        }
    }
    for (Worker& w : workers_) {
        int to_worker[2], from_worker[2];
        if (pipe(to_worker) != 0) {
            error = std::string("cannot start worker processes: ") + std::strerror(errno);
            return false;
        }
        if (pipe(from_worker) != 0) {
            error = std::string("cannot start worker processes: ") + std::strerror(errno);
            close(to_worker[0]);
            close(to_worker[1]);
            return false;
        }
        const pid_t parent = getpid();
        w.pid = fork();
        if (w.pid == 0) {
            // a worker never outlives the command: nothing renders on after a kill
            if (!dieWithParent(parent)) _exit(1);
            close(to_worker[1]);
            close(from_worker[0]);
            for (Worker& other : workers_)
                if (&other != &w && other.pid > 0) close(other.jobs), close(other.results);
            workerLoop(work, w.input, w.output, to_worker[0], from_worker[1]);
        }
        close(to_worker[0]);
        close(from_worker[1]);
        w.jobs = to_worker[1];
        w.results = from_worker[0];
        if (w.pid < 0) {
            error = std::string("cannot start worker processes: ") + std::strerror(errno);
            return false;
        }
    }
    return true;
}

bool WorkerPool::send(int index, int64_t number, bool with_pixels, std::string& error) {
    Worker& w = workers_[static_cast<size_t>(index)];
    const JobHeader job = {number, static_cast<uint8_t>(with_pixels)};
    if (writeAll(w.jobs, &job, sizeof(job))) return true;
    error = ended(index, number);
    return false;
}

bool WorkerPool::receive(int index, int64_t number, FrameAnswer& answer, std::string& error) {
    Worker& w = workers_[static_cast<size_t>(index)];
    ResultHeader result;
    if (readAll(w.results, &result, sizeof(result))) {
        answer.status = result.status;
        answer.has_pixels = result.has_pixels != 0;
        answer.message.resize(result.message_length);
        if (!result.message_length || readAll(w.results, &answer.message[0], answer.message.size())) return true;
    }
    error = ended(index, number);
    return false;
}

std::string WorkerPool::ended(int index, int64_t number) {
    Worker& w = workers_[static_cast<size_t>(index)];
    int status = 0;
    close(w.jobs);
    w.jobs = -1;
    const bool reaped = w.pid > 0 && waitpid(w.pid, &status, 0) == w.pid;
    w.pid = -1;
    return "the worker process rendering frame " + std::to_string(number) + " " +
           (reaped ? describeExit(status) : std::string("ended")) + " before it finished the frame";
}

void WorkerPool::finish() {
    stop(false);
}

// At the end each worker finishes once its pipe closes; after a failure the
// others are stopped mid-frame, not waited for.
void WorkerPool::stop(bool kill_them) {
    for (Worker& w : workers_) {
        if (w.jobs >= 0) close(w.jobs);
        if (w.results >= 0) close(w.results);
        if (w.pid > 0 && kill_them) kill(w.pid, SIGKILL);
        if (w.pid > 0) waitpid(w.pid, nullptr, 0);
        w = Worker{};
    }
    workers_.clear();
}

}  // namespace cwtool
