#include "host/host_testing.h"

namespace refhost {

struct TestAccess {
    static testing::Failures& failures(Host& h) { return *h.failures_; }
    static const testing::Counters& counters(const Host& h) { return *h.counters_; }
    static size_t liveHandles(const Host& h) { return h.handles_.size(); }
    static PF_Handle newHandle(Host& h, A_u_longlong size) { return h.newHandle(size); }
    static void disposeHandle(Host& h, PF_Handle handle) { h.disposeHandle(handle); }
};

namespace testing {

Failures& failures(Host& host) {
    return TestAccess::failures(host);
}

const Counters& counters(const Host& host) {
    return TestAccess::counters(host);
}

size_t liveHandles(const Host& host) {
    return TestAccess::liveHandles(host);
}

int outstandingSuites(const Host& host) {
    return counters(host).suite_acquisitions - counters(host).suite_releases;
}

int outstandingCheckouts(const Host& host) {
    return counters(host).checkouts - counters(host).checkins;
}

PF_Handle newHandle(Host& host, A_u_longlong size) {
    return TestAccess::newHandle(host, size);
}

void disposeHandle(Host& host, PF_Handle handle) {
    TestAccess::disposeHandle(host, handle);
}

}  // namespace testing
}  // namespace refhost
