// Shared pieces of the test suites: the built plug-in loaded through the
// reference host, worlds with guarded borders, and parameter shortcuts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "platform/ae_effect.h"

inline bool operator==(const PF_Pixel& a, const PF_Pixel& b) {
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

namespace cwtest {

// The plug-in module built beside the tests, loaded once per process.
refhost::Module& plugin();

// A host driving the built plug-in, started (global, parameter and sequence setup).
std::unique_ptr<refhost::Host> startedHost();

// A world inside a larger allocation: a border of sentinel pixels around it and a
// sentinel in every row's padding, so that a write outside the world shows.
class GuardedWorld {
public:
    GuardedWorld(int32_t width, int32_t height, int32_t pad_pixels = 3, int32_t border = 4);
    PF_LayerDef& def() { return def_; }
    PF_Pixel& at(int32_t x, int32_t y);
    void fill(PF_Pixel p);
    // True when no sentinel byte has changed.
    bool intact() const;
    int32_t width() const { return def_.width; }
    int32_t height() const { return def_.height; }

private:
    int32_t stride_pixels_, border_, total_rows_;
    std::vector<PF_Pixel> storage_;
    std::vector<bool> inside_;
    PF_LayerDef def_{};
};

extern const PF_Pixel kSentinel;

// Parameter shortcuts by name on a started host.
void setFloat(refhost::Host& host, const char* name, double v);
void setPopup(refhost::Host& host, const char* name, A_long choice);
void setAngle(refhost::Host& host, const char* name, double degrees);
void setColor(refhost::Host& host, const char* name, uint8_t r, uint8_t g, uint8_t b);
void setCheckbox(refhost::Host& host, const char* name, bool on);
void setPointPixels(refhost::Host& host, const char* name, double x, double y);

// A world of one colour.
refhost::World solidWorld(int32_t width, int32_t height, PF_Pixel p);

}  // namespace cwtest

void PrintTo(const PF_Pixel& p, std::ostream* os);
