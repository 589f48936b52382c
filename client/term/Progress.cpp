#include "term/Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>

namespace vesk {

// A rate over less than this swings too much to predict from.
static const double MIN_RATE_SECONDS = 1.0;
static const auto REDRAW_INTERVAL = std::chrono::milliseconds(200);

static std::string Format(const char* format, double value) {
    char text[32];
    snprintf(text, sizeof text, format, value);
    return text;
}

static std::string Bytes(double bytes) {
    if (bytes < 1024.0 * 1024) return Format("%.0f KiB", bytes / 1024);
    if (bytes < 1024.0 * 1024 * 1024) return Format("%.1f MiB", bytes / (1024.0 * 1024));
    return Format("%.2f GiB", bytes / (1024.0 * 1024 * 1024));
}

static std::string Count(double count) {
    if (count < 10000) return Format("%.0f", count);
    if (count < 1e6) return Format("%.1f k", count / 1e3);
    if (count < 1e9) return Format("%.1f M", count / 1e6);
    return Format("%.2f G", count / 1e9);
}

static std::string Amount(double amount, const char* unit) {
    return unit ? Count(amount) + " " + unit : Bytes(amount);
}

static std::string Elapsed(double seconds) {
    if (seconds < 60) return Format("%.1f s", seconds);
    int whole = static_cast<int>(seconds);
    char text[32];
    snprintf(text, sizeof text, "%d min %02d s", whole / 60, whole % 60);
    return text;
}

// Rounded up: "0 s left" while work remains would read as a hang.
static std::string Left(double seconds) {
    long whole = static_cast<long>(std::ceil(seconds));
    char text[32];
    if (whole < 60) snprintf(text, sizeof text, "%ld s", whole);
    else if (whole < 3600) snprintf(text, sizeof text, "%ld min %02ld s", whole / 60, whole % 60);
    else snprintf(text, sizeof text, "%ld h %02ld min", whole / 3600, whole / 60 % 60);
    return text;
}

std::string ProgressLine(const std::string& title, const ProgressState& state) {
    std::string line = title + ": " + state.phase;
    bool share = state.unit && !*state.unit;
    if (state.total > 0) {
        uint64_t done = std::min(state.done, state.total);
        line += ": " + std::to_string(done * 100 / state.total) + "%";
        if (!share) line += " of " + Amount(state.total, state.unit);
    } else if (state.done > 0 && !share) {
        line += ": " + Amount(state.done, state.unit);
    }
    if (state.done > 0 && state.phaseSeconds >= MIN_RATE_SECONDS) {
        double rate = state.done / state.phaseSeconds;
        if (!share) line += ", " + (state.unit ? Count(rate) : Bytes(rate)) + "/s";
        if (state.total > state.done) line += ", " + Left((state.total - state.done) / rate) + " left";
    }
    if (state.wireBytes > 0) {
        line += ", " + Bytes(state.wireBytes) + " on the wire";
        if (state.plainBytes > state.wireBytes)
            line += ", compressed " + Format("%.1f", static_cast<double>(state.plainBytes) / state.wireBytes) + "x";
    }
    return line + " (" + Elapsed(state.seconds) + ")";
}

Progress::Progress(std::string title) : Progress(std::move(title), stderr, isatty(fileno(stderr))) {}

Progress::Progress(std::string title, FILE* out, bool enabled)
    : title(std::move(title)), out(out), enabled(enabled), start(std::chrono::steady_clock::now()),
      phaseStart(start) {}

Progress::~Progress() { Clear(); }

double Progress::Seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Progress::Phase(const std::string& name, uint64_t total, const char* unit) {
    phaseStart = std::chrono::steady_clock::now();
    state = ProgressState{name, 0, total, unit, 0, 0, state.wireBytes, state.plainBytes};
    lastDrawn = {};
    Update(0);
}

void Progress::Update(uint64_t done) {
    state.done = done;
    if (!enabled) return;
    auto now = std::chrono::steady_clock::now();
    if (now - lastDrawn < REDRAW_INTERVAL) return;
    lastDrawn = now;
    state.phaseSeconds = std::chrono::duration<double>(now - phaseStart).count();
    state.seconds = std::chrono::duration<double>(now - start).count();
    Draw(ProgressLine(title, state));
}

void Progress::Finish(const std::string& text) {
    if (!enabled) return;
    Draw(title + ": " + text);
    fputc('\n', out);
    fflush(out);
    drawn = false;
}

void Progress::Clear() {
    if (!enabled || !drawn) return;
    fputs("\r\x1b[K", out);
    fflush(out);
    drawn = false;
    lastDrawn = {};
}

// A line longer than the terminal wraps, and "\r" then redraws only its
// last row: cut it to the width.
void Progress::Draw(const std::string& line) {
    winsize size{};
    size_t width = ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 ? size.ws_col - 1 : 0;
    // One write: a Ctrl-C message from another thread comes before or after it, never inside.
    std::string text = "\r" + line.substr(0, width ? width : std::string::npos) + "\x1b[K";
    fwrite(text.data(), 1, text.size(), out);
    fflush(out);
    drawn = true;
}

}  // namespace vesk
