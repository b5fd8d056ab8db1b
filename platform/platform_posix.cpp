// The POSIX side of the streams: descriptors from open(2), names with every
// "\" handed over as "/", and files compared by device and inode.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// The name as the operating system wants it: every "\" becomes "/".
std::string host_name(const char* name) {
    std::string host(name);
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

int open_retrying(const char* name, int flags) {
    std::string host = host_name(name);
    int fd;
    do fd = ::open(host.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

}  // namespace

int system_open_read(const char* name) {
    int fd = open_retrying(name, O_RDONLY);
    if (fd < 0) return -1;
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int system_open_write(const char* name) { return open_retrying(name, O_WRONLY | O_CREAT | O_TRUNC); }

std::ptrdiff_t system_read(int fd, unsigned char* buffer, std::size_t n) {
    for (;;) {
        ssize_t got = ::read(fd, buffer, n);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

std::ptrdiff_t system_write(int fd, const unsigned char* bytes, std::size_t n) {
    for (;;) {
        ssize_t put = ::write(fd, bytes, n);
        if (put < 0 && errno == EINTR) continue;
        return put;
    }
}

bool system_close(int fd) { return ::close(fd) == 0 || errno == EINTR; }

bool names_same_file(const TextStream* s, const char* name) {
    struct stat open_st, named_st;
    std::string host = host_name(name);
    if (::fstat(s->fd, &open_st) != 0 || ::stat(host.c_str(), &named_st) != 0) return false;
    return open_st.st_dev == named_st.st_dev && open_st.st_ino == named_st.st_ino;
}

void prepare_process() {
    // A console that went away (a closed pipe) must not end the run before
    // the listings are written: console writes then fail quietly instead.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace platform
