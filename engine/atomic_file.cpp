#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zephrane::engine {

namespace {

std::string systemError(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

std::string syncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return systemError("open directory " + dir, errno);
    }
    int result = ::fsync(fd);
    int error = errno;
    ::close(fd);
    return result == 0 ? std::string() : systemError("sync directory " + dir, error);
}

std::string formatUtc(const char* format) {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[40];
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

std::string checkFileName(std::string_view name) {
    if (name.empty()) {
        return "file name is empty";
    }
    if (name.size() > 128) {
        return "file name is longer than 128 bytes";
    }
    if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) {
        return "file name \"" + std::string(name) + "\" contains a path separator";
    }
    if (name == "." || name.find("..") != std::string_view::npos) {
        return "file name \"" + std::string(name) + "\" would leave the storage directory";
    }
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "file name contains a control character";
        }
    }
    return {};
}

std::string joinPath(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

namespace {

std::atomic<unsigned> temporarySequence{0};

// Names planted by someone else are skipped; a few in a row are plausible, more are not.
constexpr int kTemporaryNameAttempts = 32;

}  // namespace

std::string temporaryFileName(std::string_view name, unsigned sequence) {
    // Appended piece by piece: g++ 12 at -O3 takes the chained operator+ for an overlapping
    // copy (-Wrestrict) and fails a Release build with warnings as errors.
    std::string fileName = ".";
    fileName += name;
    fileName += ".tmp-";
    fileName += std::to_string(::getpid());
    fileName += '-';
    fileName += std::to_string(sequence);
    return fileName;
}

unsigned nextTemporarySequence() {
    return temporarySequence.load();
}

std::string writeFileAtomically(const std::string& dir, const std::string& name, std::string_view content,
                                unsigned mode) {
    std::string target = joinPath(dir, name);
    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
        temporary = joinPath(dir, temporaryFileName(name, temporarySequence.fetch_add(1)));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode));
        if (fd < 0 && errno != EEXIST) {
            return systemError("create " + temporary, errno);
        }
    }
    if (fd < 0) {
        return systemError("create " + temporary, EEXIST);
    }
    std::string problem;
    if (!writeAll(fd, content)) {
        problem = systemError("write " + temporary, errno);
    } else if (::fsync(fd) != 0) {
        problem = systemError("sync " + temporary, errno);
    }
    if (::close(fd) != 0 && problem.empty()) {
        problem = systemError("close " + temporary, errno);
    }
    if (problem.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) {
        problem = systemError("rename to " + target, errno);
    }
    if (!problem.empty()) {
        ::unlink(temporary.c_str());
        return problem;
    }
    return syncDirectory(dir.empty() ? "." : dir);
}

bool readWholeFile(const std::string& path, std::string& content, std::string& error, bool& missing) {
    missing = false;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        error = systemError("open " + path, errno);
        return false;
    }
    content.clear();
    char buffer[8192];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            error = systemError("read " + path, errno);
            ::close(fd);
            return false;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
        if (content.size() > (16u << 20)) {
            error = "file " + path + " is larger than 16 MiB";
            ::close(fd);
            return false;
        }
    }
    ::close(fd);
    return true;
}

std::string setFileAside(const std::string& dir, const std::string& name, std::string& newName) {
    std::string base = name + ".damaged-" + utcTimeCompact();
    std::string from = joinPath(dir, name);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        newName = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        std::string to = joinPath(dir, newName);
        // link + unlink never replaces an existing file, unlike rename.
        if (::link(from.c_str(), to.c_str()) == 0) {
            if (::unlink(from.c_str()) != 0) {
                return systemError("remove " + from, errno);
            }
            syncDirectory(dir.empty() ? "." : dir);
            return {};
        }
        if (errno != EEXIST) {
            // File systems without hard links: rename after checking the name is free.
            if (!exists(to) && ::rename(from.c_str(), to.c_str()) == 0) {
                return {};
            }
            return systemError("move " + from + " aside", errno);
        }
    }
    return "no free name to move " + from + " aside";
}

std::string makeDirectories(const std::string& dir) {
    if (dir.empty()) {
        return "storage directory is empty";
    }
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty() || exists(partial)) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            return systemError("create directory " + partial, errno);
        }
    }
    struct stat info;
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return dir + " is not a directory";
    }
    return {};
}

std::string utcTimeText() {
    return formatUtc("%Y-%m-%dT%H:%M:%SZ");
}
std::string utcTimeCompact() {
    return formatUtc("%Y%m%dT%H%M%SZ");
}

}  // namespace zephrane::engine
