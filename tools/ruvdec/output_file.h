// An output file that never looks complete before it is: it is written under a
// unique temporary name beside its own and renamed into place only when every
// byte and the close succeeded. A symbolic link is followed, so the file it
// points to is replaced and the link stays; an existing file keeps its
// permissions, and one that may not be written (no write permission) is refused.
// The temporary file is removed on any failure and when the program is stopped
// by SIGINT or SIGTERM. "-" writes to standard output instead, and an existing
// file that is not a regular one (a device such as /dev/null, a named pipe) is
// written in place, for a rename would replace it.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace ruv::ruvdec {

struct output_file {
    std::FILE* m_file = nullptr;
    std::string m_path;    // the name given, or "-"
    std::string m_target;  // the file replaced at commit: m_path with its links followed
    std::string m_temp;    // the name written to until commit; empty when written in place
    int m_slot = -1;       // the temporary name's place in the list removed on a signal
    std::string m_error;

    output_file() = default;
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;
    ~output_file() { abandon(); }

    bool to_stdout() const { return m_path == "-"; }

    // Creates the temporary file, opens a device or pipe, or takes standard output
    // in binary mode. Refuses a folder and a file without write permission.
    bool open(const std::string& path);
    // False, with a message in error(), when not every byte was written.
    bool write(const void* data, size_t size);
    // Flushes and closes the file and gives it its name.
    bool commit();
    // Closes the file and removes what was written; harmless when nothing is open.
    void abandon();

    const std::string& error() const { return m_error; }

    // The file a path writes: the path with its symbolic links followed.
    static std::string real_target(const std::string& path);
};

// Removes the temporary files ("NAME.PID-N.part") in `folder` that a run killed
// before it could remove them left behind: those whose process no longer exists,
// for outputs NAME that `names_output` accepts. Returns the removed files' paths.
std::vector<std::string> remove_stale_temps(const std::string& folder,
                                            const std::function<bool(const std::string&)>& names_output);

// Whether `path` and `other` both exist and are one file (also through links or
// other spellings of the name).
bool same_file(const std::string& path, const std::string& other);

}  // namespace ruv::ruvdec
