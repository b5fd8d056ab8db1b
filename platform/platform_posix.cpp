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

bool names_same_file(const char* a, const char* b) {
    struct stat a_st, b_st;
    if (::stat(host_name(a).c_str(), &a_st) != 0 || ::stat(host_name(b).c_str(), &b_st) != 0) return false;
    return a_st.st_dev == b_st.st_dev && a_st.st_ino == b_st.st_ino;
}

void start_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open takes the lowest free descriptor, which is fd itself.
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace platform
