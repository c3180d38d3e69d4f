// What tests reach inside the reference host: services it can withhold or make
// fail, counts of what the plug-in asked for, and its handle bookkeeping. A
// command or a bridge drives the host through reference_host.h alone.
#pragma once

#include <cstddef>
#include <set>
#include <string>

#include "host/reference_host.h"

namespace refhost {
namespace testing {

// Services the host can withhold or make fail.
struct Failures {
    bool no_basic_suite = false;           // pica_basicP is null
    std::set<std::string> withheld_suites; // AcquireSuite finds no such suite
    bool no_handle_callbacks = false;      // the four handle callbacks are null
    bool no_abort_callback = false;        // inter.abort is null
    int fail_add_param_at = 0;             // the Nth add_param (1-based) fails; 0 never
    PF_Err add_param_error = PF_Err_OUT_OF_MEMORY;
    int fail_handle_alloc_at = 0;          // the Nth host_new_handle (1-based) gives null
    bool fail_checkout = false;
    bool fail_comp_time = false;
};

// Counts of what the plug-in asked for.
struct Counters {
    int add_param_calls = 0;
    int handle_allocations = 0;
    int handle_locks = 0;
    int handle_unlocks = 0;
    int fills = 0;
    int composites = 0;
    int samples = 0;
    int checkouts = 0;
    int checkins = 0;
    int suite_acquisitions = 0;
    int suite_releases = 0;
    int update_param_ui_calls = 0;
    int64_t abort_checks = 0;
    int64_t progress_reports = 0;
    A_long last_checkout_time = 0;
    A_long last_checkout_step = 0;
    A_u_long last_checkout_scale = 0;
};

Failures& failures(Host& host);
const Counters& counters(const Host& host);
// Handles handed out by host_new_handle and not yet disposed.
size_t liveHandles(const Host& host);
// Suites acquired and not yet released; parameters checked out and not checked in.
int outstandingSuites(const Host& host);
int outstandingCheckouts(const Host& host);
// The host's handle service, as the plug-in calls it.
PF_Handle newHandle(Host& host, A_u_longlong size);
void disposeHandle(Host& host, PF_Handle handle);

}  // namespace testing
}  // namespace refhost
