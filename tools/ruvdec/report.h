// Messages on standard error that keep clear of the progress bar.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "arguments.h"
#include "progress.h"

namespace ruv::ruvdec {

struct reporter {
    static constexpr size_t max_warnings = 100;   // named one by one; the rest are counted

    progress_bar m_progress;
    size_t m_warnings = 0;

    void warn(const std::string& message) {
        ++m_warnings;
        if (m_warnings > max_warnings + 1) return;
        m_progress.clear();
        if (m_warnings == max_warnings + 1)
            std::fprintf(stderr, "ruvdec: warning: further warnings are only counted\n");
        else
            std::fprintf(stderr, "ruvdec: warning: %s\n", message.c_str());
    }

    // At the end: how many warnings there were, where not all were named.
    void count_warnings() const {
        if (m_warnings > max_warnings)
            std::fprintf(stderr, "ruvdec: warning: %s warnings in all\n", std::to_string(m_warnings).c_str());
    }

    // Prints an error and returns exit_error.
    int error(const std::string& message) {
        m_progress.clear();
        std::fprintf(stderr, "ruvdec: error: %s\n", message.c_str());
        return exit_error;
    }
};

}  // namespace ruv::ruvdec
