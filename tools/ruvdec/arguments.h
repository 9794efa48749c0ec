// The command line of ruvdec: what each command is asked to do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "ruv/ruv.h"
#include "stream.h"

namespace ruv::ruvdec {

struct options {
    std::string command;         // "info" or "decode"
    std::string file;
    std::string output;
    std::string format_name;
    std::string frames_text;
    bool output_given = false;
    bool format_given = false;
    bool frames_given = false;
    uint64_t first = 0;
    uint64_t last = UINT64_MAX;
    bool json = false;
    bool quiet = false;
    bool list_frames = false;    // info --frames
    bool strict = false;
    bool full_range = false;     // YUY2 AVI output: the decoded samples
    size_t stream = ruv_stream::no_stream;
    size_t threads = 0;          // 0: every core
    ruv_kernel_level kernels = RUV_KERNELS_ANY;
};

// The exit statuses.
constexpr int exit_error = 1;
constexpr int exit_usage = 2;
constexpr int exit_strict = 3;

// Reads the command line into `o`. Returns -1 to go on with the command, or the
// exit status to end with (after --help, --version or a usage error).
int parse_command_line(int argc, char** argv, options& o);

// Prints a usage error and returns exit_usage.
int usage_error(const std::string& message);

}  // namespace ruv::ruvdec
