// Shared pieces of the test suites: the built plug-in loaded through the
// reference host, worlds with guarded borders, and parameter shortcuts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/reference_host.h"
#include "platform/ae_effect.h"

inline bool operator==(const PF_Pixel& a, const PF_Pixel& b) {
    return a.alpha == b.alpha && a.red == b.red && a.green == b.green && a.blue == b.blue;
}

namespace cwtest {

// The effects kavri_add_effect built ("checkerwarp", "tint", ...), and where
// each one's module and frei0r filter are.
std::vector<std::string> effectNames();
std::string modulePath(const std::string& effect);
std::string frei0rFolder();

// An effect's module, loaded once per process; plugin() is checkerwarp's.
refhost::Module& module(const std::string& effect);
refhost::Module& plugin();

// A host driving a module (checkerwarp's unless given), started (global,
// parameter and sequence setup).
std::unique_ptr<refhost::Host> startedHost();
std::unique_ptr<refhost::Host> startedHost(refhost::Module& module);

// Sets CHECKERWARP_ISA for its scope ("reference", "plain", "avx2"): a host
// started inside runs those loops until another host is set up. The value
// before is put back at the end.
class IsaLevel {
public:
    explicit IsaLevel(const char* level);
    ~IsaLevel();
    IsaLevel(const IsaLevel&) = delete;
    IsaLevel& operator=(const IsaLevel&) = delete;

private:
    bool had_;
    std::string before_;
};

// Applies settings in the command's own syntax ("squares across=40",
// "center=10,20", "background fill=tile"); a setting that does not apply fails
// the test.
void applySettings(refhost::Host& host, const std::vector<std::string>& settings);

// A world inside a larger allocation: a border of sentinel pixels around it and a
// sentinel in every row's padding, so that a write outside the world shows.
class GuardedWorld {
public:
    GuardedWorld(int32_t width, int32_t height, int32_t pad_pixels = 3, int32_t border = 4);
    // A copy has storage of its own, sentinels and pixels as they are.
    GuardedWorld(const GuardedWorld& other);
    GuardedWorld& operator=(const GuardedWorld& other);
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

// A seeded input whose bytes lean to 0 and 255 (alpha too, unless opaque).
void seededInput(GuardedWorld& world, uint32_t seed, bool varying_alpha);

// The twin test: renders `input` through the module with its fast paths and
// again with the reference loops (CHECKERWARP_ISA=reference), each into a
// guarded world cleared first, after `prepare` has set the host's values, and
// requires the same bytes and no stray write. A failure names `what` and the
// first differing pixel. In place: each renders into a copy of its input.
// With a time limit (seconds), a render that takes longer is stopped through
// the host's abort check and the comparison skipped: returns false.
bool expectTwinsMatch(refhost::Module& module, const GuardedWorld& input, const std::string& what,
                      const std::function<void(refhost::Host&)>& prepare, bool in_place = false,
                      double time_limit = 0);

}  // namespace cwtest

void PrintTo(const PF_Pixel& p, std::ostream* os);
