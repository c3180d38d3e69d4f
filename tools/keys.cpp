#include "tools/keys.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "tools/param_values.h"

namespace cwtool {

bool parseFrameRate(const std::string& text, FrameRate& rate) {
    const size_t slash = text.find('/');
    char* end = nullptr;
    errno = 0;
    if (slash != std::string::npos) {
        const long long n = std::strtoll(text.c_str(), &end, 10);
        if (end != text.c_str() + slash || slash == 0) return false;
        const char* d_text = text.c_str() + slash + 1;
        const long long d = std::strtoll(d_text, &end, 10);
        if (*d_text == 0 || *end != 0 || errno == ERANGE || n <= 0 || d <= 0 || n > 1000000 || d > 1000000 ||
            n > 1000 * d)
            return false;
        rate = {n, d};
        return true;
    }
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != 0 || !(v > 0) || v > 1000) return false;
    // a decimal rate as a fraction of thousandths: 29.97 is 29970/1000
    const int64_t thousandths = std::llround(v * 1000);
    if (thousandths <= 0) return false;
    rate = thousandths % 1000 == 0 ? FrameRate{thousandths / 1000, 1} : FrameRate{thousandths, 1000};
    return true;
}

namespace {

// A key's time: a frame number, or HH:MM:SS(.mmm) on the rate's frames.
bool parseTime(const std::string& text, const FrameRate& rate, int64_t& frame) {
    if (text.empty()) return false;
    if (text.find(':') == std::string::npos) {
        for (char c : text)
            if (c < '0' || c > '9') return false;
        if (text.size() > 9) return false;
        frame = std::strtoll(text.c_str(), nullptr, 10);
        return true;
    }
    int hours = 0, minutes = 0;
    double seconds = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d:%d:%lf%c", &hours, &minutes, &seconds, &tail) != 3 || hours < 0 || minutes < 0 ||
        minutes > 59 || !(seconds >= 0) || seconds >= 60 || hours > 99999)
        return false;
    const double total = hours * 3600.0 + minutes * 60.0 + seconds;
    frame = std::llround(total * static_cast<double>(rate.num) / static_cast<double>(rate.den));
    return true;
}

}  // namespace

bool parseKeys(const refhost::Host& host, int position, const std::string& keys, const FrameRate& rate,
               std::vector<refhost::ParamKey>& out, std::string& error) {
    const PF_ParamDef& def = host.definitions().at(static_cast<size_t>(position));
    const std::string name = std::string(def.name, strnlen(def.name, sizeof(def.name)));
    const std::string what = "--animate " + quoted(name);
    out.clear();
    size_t start = 0;
    for (int number = 1;; ++number) {
        const size_t semicolon = keys.find(';', start);
        const std::string key = keys.substr(start, semicolon == std::string::npos ? std::string::npos : semicolon - start);
        const std::string which = what + ": key " + std::to_string(number) + " (" + quoted(key) + ")";
        const size_t eq = key.find('=');
        if (eq == std::string::npos) {
            error = which + " is not TIME=VALUE, TIME|=VALUE or TIME~=VALUE";
            return false;
        }
        refhost::KeyMode mode = refhost::KeyMode::kLinear;
        size_t time_end = eq;
        if (eq > 0 && key[eq - 1] == '|') mode = refhost::KeyMode::kHold, time_end = eq - 1;
        if (eq > 0 && key[eq - 1] == '~') mode = refhost::KeyMode::kSmooth, time_end = eq - 1;
        refhost::ParamKey k{0, def, mode};
        const std::string time = key.substr(0, time_end);
        if (!parseTime(time, rate, k.frame)) {
            error = which + ": its time " + quoted(time) + " is not a frame number or HH:MM:SS.mmm";
            return false;
        }
        std::string why;
        if (!parseValue(def, key.substr(eq + 1), k.value, why)) {
            error = which + ": " + why;
            return false;
        }
        if (!out.empty() && k.frame <= out.back().frame) {
            error = which + ": its time (frame " + std::to_string(k.frame) + ") is not after the key before it (frame " +
                    std::to_string(out.back().frame) + ")";
            return false;
        }
        out.push_back(k);
        if (semicolon == std::string::npos) break;
        start = semicolon + 1;
        if (start == keys.size()) break;  // a trailing ';'
    }
    return true;
}

}  // namespace cwtool
