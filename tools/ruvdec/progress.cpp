#include "progress.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace ruv::ruvdec {

namespace {

constexpr int bar_cells = 30;
constexpr auto redraw_interval = std::chrono::milliseconds(100);
constexpr double max_seconds = 1e12;   // far beyond any real wait; keeps the conversion defined

std::string clock_text(double seconds) {
    // 64 bits: a long has 32 on Windows.
    const int64_t total = int64_t(std::min(seconds, max_seconds) + 0.5);
    char text[48];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64 ":%02" PRId64, total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%" PRId64 ":%02" PRId64, total / 60, total % 60);
    return text;
}

}  // namespace

bool stderr_is_terminal() {
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(fileno(stderr)) != 0;
#endif
}

void progress_bar::start(size_t total, bool enabled) {
    m_enabled = enabled && total > 0;
    m_shown = false;
    m_total = total;
    m_done = 0;
    m_width = 0;
    m_start = clock::now();
    m_drawn = m_start;
}

void progress_bar::update(size_t done) {
    m_done = done;
    if (!m_enabled) return;
    const clock::time_point now = clock::now();
    if (m_shown && now - m_drawn < redraw_interval) return;
    m_drawn = now;
    draw();
}

void progress_bar::draw() {
    const double elapsed = std::chrono::duration<double>(clock::now() - m_start).count();
    const double fps = elapsed > 0 ? double(m_done) / elapsed : 0;
    const int filled = int(double(bar_cells) * double(m_done) / double(m_total));
    std::string bar(size_t(filled), '#');
    bar.append(size_t(bar_cells - filled), '.');
    std::string left = "--:--";
    if (fps > 0) left = clock_text(double(m_total - m_done) / fps);
    const std::string counts = std::to_string(m_done) + "/" + std::to_string(m_total);
    char rate[48];
    std::snprintf(rate, sizeof rate, "%.1f", fps);
    const std::string line = "[" + bar + "] " + counts + " frames  " + rate + " fps  " + left + " left";
    // Padded to the longest line drawn so far, so that a shorter one leaves no
    // characters of the last behind.
    m_width = std::max(m_width, line.size());
    std::fprintf(stderr, "\r%-*s", int(m_width), line.c_str());
    std::fflush(stderr);
    m_shown = true;
}

void progress_bar::clear() {
    if (!m_shown) return;
    std::fprintf(stderr, "\r%*s\r", int(m_width), "");
    m_shown = false;
}

void progress_bar::finish() {
    if (!m_enabled) return;
    draw();
    std::fputc('\n', stderr);
    m_shown = false;
    m_enabled = false;
}

}  // namespace ruv::ruvdec
