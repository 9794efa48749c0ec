#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace ruv::ruvdec {

namespace {

constexpr size_t buffer_size = size_t(1) << 20;

std::string reason() { return errno != 0 ? std::strerror(errno) : "write error"; }

}  // namespace

bool output_file::open(const std::string& path) {
    abandon();
    m_path = path;
    m_error.clear();
    if (to_stdout()) {
#ifdef _WIN32
        _setmode(_fileno(stdout), _O_BINARY);
#endif
        m_file = stdout;
        return true;
    }
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    const bool in_place = !error && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    if (in_place && std::filesystem::is_directory(status)) {
        m_error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (!in_place) m_temp = path + ".part";
    errno = 0;
    m_file = std::fopen(in_place ? path.c_str() : m_temp.c_str(), "wb");
    if (!m_file) {
        m_error = "cannot create " + path + ": " + reason();
        m_temp.clear();
        return false;
    }
    std::setvbuf(m_file, nullptr, _IOFBF, buffer_size);
    return true;
}

bool output_file::write(const void* data, size_t size) {
    if (!m_file) return false;
    errno = 0;
    if (size != 0 && std::fwrite(data, 1, size, m_file) != size) {
        m_error = "cannot write " + (to_stdout() ? std::string("to standard output") : m_path) + ": " + reason();
        return false;
    }
    return true;
}

bool output_file::commit() {
    if (!m_file) return false;
    errno = 0;
    if (to_stdout()) {
        m_file = nullptr;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            m_error = "cannot write to standard output: " + reason();
            return false;
        }
        return true;
    }
    const bool flushed = std::fflush(m_file) == 0 && !std::ferror(m_file);
    const bool closed = std::fclose(m_file) == 0;
    m_file = nullptr;
    if (!flushed || !closed) {
        m_error = "cannot write " + m_path + ": " + reason();
        abandon();
        return false;
    }
    if (m_temp.empty()) return true;
    // Replaces an existing file in one step on every system (std::rename does not
    // on Windows), so a failed rename leaves the old file as it was.
    std::error_code error;
    std::filesystem::rename(m_temp, m_path, error);
    if (error) {
        m_error = "cannot rename " + m_temp + " to " + m_path + ": " + error.message();
        abandon();
        return false;
    }
    m_temp.clear();
    return true;
}

void output_file::abandon() {
    if (m_file && !to_stdout()) std::fclose(m_file);
    m_file = nullptr;
    if (!m_temp.empty()) std::remove(m_temp.c_str());
    m_temp.clear();
}

bool same_file(const std::string& path, const std::string& other) {
    std::error_code error;
    return std::filesystem::equivalent(path, other, error) && !error;
}

}  // namespace ruv::ruvdec
