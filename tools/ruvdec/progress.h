// A one-line progress bar on standard error: frames done of total, speed and time left.
#pragma once

#include <chrono>
#include <cstddef>

namespace ruv::ruvdec {

// Whether standard error is a terminal (a bar would only clutter a log file).
bool stderr_is_terminal();

struct progress_bar {
    using clock = std::chrono::steady_clock;

    bool m_enabled = false;
    bool m_shown = false;
    size_t m_total = 0;
    size_t m_done = 0;
    size_t m_width = 0;   // columns of the longest line drawn, which clear() blanks
    clock::time_point m_start;
    clock::time_point m_drawn;

    void start(size_t total, bool enabled);
    // Records progress; redraws at most a few times a second.
    void update(size_t done);
    // Erases the bar so that a message can take the line; the next update redraws it.
    void clear();
    // Draws the final state and ends the line.
    void finish();

    void draw();
};

}  // namespace ruv::ruvdec
