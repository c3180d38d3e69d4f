// The host's callback and suite table: C functions the plug-in calls, each
// reaching the Host that serves the call (the effect_ref it passes, or the
// host active on this thread for the callbacks that carry none).
#pragma once

#include "platform/ae_effect.h"

namespace refhost {

class Host;

// Makes `host` the one served on this thread; returns the one served before.
Host* setActiveHost(Host* host);

// Puts the host's callbacks into in_data and its utility record; the handle
// and abort callbacks only where offered.
void installCallbacks(PF_InData& in, PF_UtilCallbacks& utils, bool handle_callbacks, bool abort_callback);
// The basic suite's functions: AcquireSuite and ReleaseSuite find the suites below.
SPBasicSuite basicSuite();
// The suite of that name and version the host offers, or null.
const void* findSuite(const char* name, A_long version);

}  // namespace refhost
