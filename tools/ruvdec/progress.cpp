#include "progress.h"

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
constexpr int line_width = 79;

std::string clock_text(double seconds) {
    const long total = long(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
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
    std::fprintf(stderr, "\r[%s] %s frames  %.1f fps  %s left ", bar.c_str(), counts.c_str(), fps, left.c_str());
    std::fflush(stderr);
    m_shown = true;
}

void progress_bar::clear() {
    if (!m_shown) return;
    std::fprintf(stderr, "\r%*s\r", line_width, "");
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
