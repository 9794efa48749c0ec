#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace ruv::ruvdec {

namespace fs = std::filesystem;

namespace {

constexpr size_t buffer_size = size_t(1) << 20;

std::string reason() { return errno != 0 ? std::strerror(errno) : "write error"; }

// Temporary files open at a time (PNG output writes one a thread), kept where a
// signal handler can remove them without allocating.
constexpr int max_temps = 64;
constexpr size_t max_temp_name = 4096;
char temp_names[max_temps][max_temp_name];
std::atomic<bool> temp_used[max_temps];
std::mutex temp_lock;

extern "C" void remove_temps_and_stop(int signal_number) {
    for (int i = 0; i < max_temps; ++i)
        if (temp_used[i].load()) {
#ifdef _WIN32
            _unlink(temp_names[i]);
#else
            unlink(temp_names[i]);
#endif
        }
    // Stopped by the signal, as the caller expects.
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

int register_temp(const std::string& name) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        std::signal(SIGINT, remove_temps_and_stop);
        std::signal(SIGTERM, remove_temps_and_stop);
    });
    if (name.size() >= max_temp_name) return -1;
    const std::lock_guard<std::mutex> hold(temp_lock);
    for (int i = 0; i < max_temps; ++i)
        if (!temp_used[i].load()) {
            std::memcpy(temp_names[i], name.c_str(), name.size() + 1);
            temp_used[i].store(true);
            return i;
        }
    return -1;
}

void unregister_temp(int slot) {
    if (slot >= 0) temp_used[slot].store(false);
}

// The file a path names once its symbolic links are followed (also a link to a
// file that does not exist yet); the path itself when it is no link.
fs::path link_target(const fs::path& path) {
    fs::path p = path;
    std::error_code error;
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, error)); ++hops) {
        const fs::path next = fs::read_symlink(p, error);
        if (error) break;
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    return p;
}

// Creates a file of a name no other file has, beside `target`: "TARGET.N.part"
// with N the process number and a counter. Never opens an existing file.
std::FILE* create_unique(const std::string& target, std::string& name) {
    static std::atomic<unsigned> counter{0};
#ifdef _WIN32
    const long pid = long(_getpid());
#else
    const long pid = long(getpid());
#endif
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = target + "." + std::to_string(pid) + "-" + std::to_string(counter++) + ".part";
#ifdef _WIN32
        const int fd = _open(name.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
#endif
        if (fd >= 0) {
            std::FILE* file = fdopen(fd, "wb");
            if (!file) {
                close(fd);
                std::remove(name.c_str());
            }
            return file;
        }
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Whether an existing file may be written: write permission for this user and,
// as for a user with every right, a write bit at all.
bool writable(const fs::path& file, fs::perms perms) {
    if ((perms & (fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write)) == fs::perms::none)
        return false;
#ifdef _WIN32
    return _access(file.string().c_str(), 2) == 0;
#else
    return access(file.c_str(), W_OK) == 0;
#endif
}

// Whether a process of this number runs; true when that cannot be told, so that
// a file that might still be written is never removed.
bool process_exists(unsigned long pid) {
#ifdef _WIN32
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process) return GetLastError() != ERROR_INVALID_PARAMETER;
    DWORD status = 0;
    const bool running = !GetExitCodeProcess(process, &status) || status == STILL_ACTIVE;
    CloseHandle(process);
    return running;
#else
    return pid > 0 && pid <= INT32_MAX && (kill(pid_t(pid), 0) == 0 || errno != ESRCH);
#endif
}

// The process number in a temporary name's tail ".PID-N.part"; false for other names.
bool temp_owner(const std::string& tail, unsigned long& pid) {
    const std::string suffix = ".part";
    if (tail.size() < 2 + suffix.size() || tail[0] != '.' ||
        tail.compare(tail.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const size_t dash = tail.find('-');
    if (dash == std::string::npos || dash < 2 || dash > 11 || dash + 1 >= tail.size() - suffix.size()) return false;
    pid = 0;
    for (size_t i = 1; i < tail.size() - suffix.size(); ++i) {
        if (i == dash) continue;
        if (tail[i] < '0' || tail[i] > '9') return false;
        if (i < dash) pid = pid * 10 + unsigned(tail[i] - '0');
    }
    return true;
}

}  // namespace

std::vector<std::string> remove_stale_temps(const std::string& folder,
                                            const std::function<bool(const std::string&)>& names_output) {
    std::vector<std::string> removed;
    std::error_code error;
    for (fs::directory_iterator it(folder.empty() ? "." : folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        const size_t part = name.rfind(".part");
        const size_t dot = part == std::string::npos || part == 0 ? std::string::npos : name.rfind('.', part - 1);
        unsigned long pid = 0;
        if (dot == std::string::npos || !temp_owner(name.substr(dot), pid) || !names_output(name.substr(0, dot)))
            continue;
        std::error_code ignored;
        if (!process_exists(pid) && it->is_regular_file(ignored) && fs::remove(it->path(), ignored))
            removed.push_back(it->path().string());
    }
    return removed;
}

std::string output_file::real_target(const std::string& path) { return link_target(path).string(); }

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
    m_target = link_target(path).string();
    std::error_code error;
    const fs::file_status status = fs::status(m_target, error);
    const bool exists = !error && fs::exists(status);
    const bool in_place = exists && !fs::is_regular_file(status);
    if (in_place && fs::is_directory(status)) {
        m_error = "cannot write " + path + ": it is a folder";
        return false;
    }
    if (exists && !in_place && !writable(m_target, status.permissions())) {
        m_error = "cannot write " + path + ": it is read-only (Permission denied); it is left as it was";
        return false;
    }
    errno = 0;
    if (in_place) {
        m_file = std::fopen(m_target.c_str(), "wb");
        if (!m_file) {
            m_error = "cannot open " + path + ": " + reason();
            return false;
        }
    } else {
        m_file = create_unique(m_target, m_temp);
        if (!m_file) {
            m_error = "cannot create the temporary file " + m_temp + " for " + path + ": " + reason();
            m_temp.clear();
            return false;
        }
        m_slot = register_temp(m_temp);
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
    // An existing file keeps its permissions.
    std::error_code error;
    const fs::file_status old = fs::status(m_target, error);
    if (!error && fs::exists(old)) fs::permissions(m_temp, old.permissions(), error);
    // Replaces an existing file in one step on every system (std::rename does not
    // on Windows), so a failed rename leaves the old file as it was.
    error.clear();
    fs::rename(m_temp, m_target, error);
    if (error) {
        m_error = "cannot rename " + m_temp + " to " + m_target + ": " + error.message();
        abandon();
        return false;
    }
    unregister_temp(m_slot);
    m_slot = -1;
    m_temp.clear();
    return true;
}

void output_file::abandon() {
    if (m_file && !to_stdout()) std::fclose(m_file);
    m_file = nullptr;
    if (!m_temp.empty()) std::remove(m_temp.c_str());
    unregister_temp(m_slot);
    m_slot = -1;
    m_temp.clear();
}

bool same_file(const std::string& path, const std::string& other) {
    std::error_code error;
    return fs::equivalent(path, other, error) && !error;
}

}  // namespace ruv::ruvdec
