// Appending records to the raw lab data file, shared safely between writers:
// each append is one O_APPEND write, and a new file appears with its header
// already in it (written to a private file, then hard-linked into place), so
// only the writer that creates the file writes the header and no record can
// come before it. A file that ends inside a line (a write that stopped midway,
// by any writer) gets a line break before the next records. Only a regular
// file is written, and opening never waits (a FIFO without a reader).
#pragma once

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <string>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane::bind {

struct AppendResult {
    int err = 0;              // errno of the failure, 0 on success
    bool at_open = false;     // the file could not be opened or created
    bool irregular = false;   // the path names something other than a regular file
    std::size_t written = 0;  // bytes of the records that reached the file
};

inline int write_all(int fd, const std::string& s, std::size_t& done) {
    done = 0;
    while (done < s.size()) {
        const ssize_t w = ::write(fd, s.data() + done, s.size() - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        done += (std::size_t) w;
    }
    return 0;
}

inline int write_and_close(int fd, const std::string& s, std::size_t& done) {
    int e = write_all(fd, s, done);
    if (::close(fd) != 0 && e == 0) e = errno;
    return e;
}

// Recorders hold the file's lock while they read how it ends and append, so
// that none sees another's write half done (a record crossing a page boundary
// shows its first part first). Never waits long: when someone else keeps the
// lock for ~50 ms, the append goes ahead without it.
inline void lock_briefly(int fd) {
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR)) return;
        ::usleep(1000);
    }
}

// Creates `path` holding `content`; returns 0, EEXIST when the file exists, or
// another errno. Where hard links are not available the file is created in
// place (O_EXCL) and written at once.
inline int create_with(const std::string& path, const std::string& content) {
    std::size_t done = 0;
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {  // a private name: pid and clock
        const auto ns = std::chrono::steady_clock::now().time_since_epoch().count();
        tmp = path + "." + std::to_string((long) ::getpid()) + "." + std::to_string((long long) ns) + ".tmp";
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd >= 0) {
        int e = write_and_close(fd, content, done);
        if (e == 0 && ::link(tmp.c_str(), path.c_str()) != 0) e = errno;
        ::unlink(tmp.c_str());
        if (e == 0 || e == EEXIST) return e;
        if (e != EPERM && e != EOPNOTSUPP && e != ENOSYS && e != EXDEV && e != EMLINK) return e;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    lock_briefly(fd);
    return write_and_close(fd, content, done);
}

// Opens an existing file for appending, without waiting; readable too where
// permitted, to see how the file ends. -1 with errno on failure.
inline int open_for_append(const std::string& path) {
    const int flags = O_APPEND | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(path.c_str(), O_RDWR | flags);
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | flags);
    return fd;
}

// Whether the open file ends inside a line: its last byte is not a line break.
// A file that cannot be read is taken to end at a line break.
inline bool ends_mid_line(int fd) {
    struct stat st{};
    char last = '\n';
    return ::fstat(fd, &st) == 0 && st.st_size > 0 && ::pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n';
}

// Appends `records` to `path`; when the file does not exist, creates it with
// `header` in front of them.
inline AppendResult append_records(const std::string& path, const std::string& header, const std::string& records) {
    AppendResult r;
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open_for_append(path);
        if (fd >= 0) {
            struct stat st{};
            const bool stated = ::fstat(fd, &st) == 0;
            if (!stated || !S_ISREG(st.st_mode)) {
                r.err = stated ? EINVAL : errno;
                r.irregular = stated;
                r.at_open = true;
                ::close(fd);
                return r;
            }
            lock_briefly(fd);  // released by the close
            const std::string lead = ends_mid_line(fd) ? "\n" : "";
            r.err = write_and_close(fd, lead + records, r.written);
            r.written = r.written > lead.size() ? r.written - lead.size() : 0;
            return r;
        }
        if (errno == ENXIO) {  // a FIFO without a reader, a socket
            r.err = EINVAL;
            r.irregular = r.at_open = true;
            return r;
        }
        if (errno != ENOENT) break;
        const int e = create_with(path, header + records);
        if (e == 0) {
            r.written = records.size();
            return r;
        }
        if (e != EEXIST) {
            errno = e;
            break;
        }
    }
    r.err = errno ? errno : EIO;
    r.at_open = true;
    return r;
}

}  // namespace corvane::bind
