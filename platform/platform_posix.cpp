// The POSIX side of the streams: descriptors from open(2), names with every
// "\" handed over as "/", files compared by device and inode, and new files
// put in place by rename(2).
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int MAX_LINK_HOPS = 40;                // symbolic links followed to a listing's file, as the system does
constexpr const char* REPLACEMENT_LEAF = ".velxref-XXXXXX";   // mkstemp pattern of a new file

const int INTERRUPTS[] = {SIGINT, SIGTERM, SIGHUP};   // signals that remove the new files first

std::string replaced_names[MAX_STREAMS];       // per slot: the file a new file is to replace
std::string replacement_names[MAX_STREAMS];    // per slot: the new file
volatile std::sig_atomic_t replacement_live[MAX_STREAMS];   // 1 while the new file exists under its name

char console_buffer[BUFSIZ];   // standard output's buffer, so nothing reaches it unasked

// The name as the operating system wants it: every "\" becomes "/".
std::string host_name(const char* name) {
    std::string host(name);
    std::replace(host.begin(), host.end(), '\\', '/');
    return host;
}

int open_host(const std::string& host, int flags) {
    int fd;
    do fd = ::open(host.c_str(), flags | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd;
}

void close_quietly(int fd) {
    int saved = errno;
    ::close(fd);
    errno = saved;
}

// The directory part of a host path, its last "/" included, or empty.
std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a host path leads to once every symbolic link on its end is
// followed (the file need not exist); false on a loop or a link that cannot
// be read.
bool link_target(std::string* path) {
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        struct stat st;
        if (::lstat(path->c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(path->c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;   // changed meanwhile
        target.resize(static_cast<std::size_t>(n));
        *path = target[0] == '/' ? target : directory_of(*path) + target;
    }
    return false;
}

// The permission bits a file new at path gets: those of the file there, or
// what the umask leaves of 0666; false when a file is there that is not a
// regular file this process may write.  Devices are never opened.
bool replaced_mode(const std::string& path, mode_t* mode) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) return false;
        mode_t mask = ::umask(0);
        ::umask(mask);
        *mode = 0666 & ~mask;
        return true;
    }
    if (!S_ISREG(st.st_mode)) return false;
    int fd = open_host(path, O_WRONLY | O_NONBLOCK);   // may it be written, as an open for writing would find
    if (fd < 0) return false;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close_quietly(fd);
    *mode = st.st_mode & 07777;
    return regular;
}

// Holds SIGINT, SIGTERM and SIGHUP back while a new file comes and goes, so
// the handler never sees one half made.
void hold_interrupts(bool hold) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : INTERRUPTS) sigaddset(&set, s);
    ::sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void remove_replacements() {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (replacement_live[i]) ::unlink(replacement_names[i].c_str());
}

// SIGINT, SIGTERM, SIGHUP: no new file stays behind, and the process ends
// by the signal, as it would have without this handler.
extern "C" void on_interrupt(int signal_number) {
    remove_replacements();
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

int system_open_read(const char* name) {
    // O_NONBLOCK: opening a FIFO without a writer must not wait for one.
    int fd = open_host(host_name(name), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st;
    int flags = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int system_create_replacement(const char* name, int slot) {
    std::string target = host_name(name);
    mode_t mode;
    if (!link_target(&target) || !replaced_mode(target, &mode)) return -1;
    std::string temporary = directory_of(target) + REPLACEMENT_LEAF;

    replaced_names[slot] = target;
    replacement_names[slot] = temporary;
    hold_interrupts(true);
    int fd = ::mkstemp(replacement_names[slot].data());
    replacement_live[slot] = fd >= 0;
    hold_interrupts(false);
    if (fd < 0) return -1;
    if (::fchmod(fd, mode) != 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        ::close(fd);
        system_remove_replacement(slot);
        return -1;
    }
    return fd;
}

bool system_commit_replacement(int slot) {
    hold_interrupts(true);
    bool ok = ::rename(replacement_names[slot].c_str(), replaced_names[slot].c_str()) == 0;
    if (ok) replacement_live[slot] = 0;
    hold_interrupts(false);
    if (!ok) system_remove_replacement(slot);
    return ok;
}

void system_remove_replacement(int slot) {
    if (!replacement_live[slot]) return;
    hold_interrupts(true);
    ::unlink(replacement_names[slot].c_str());
    replacement_live[slot] = 0;
    hold_interrupts(false);
}

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

bool console_is_file(const char* name) {
    struct stat console, file;
    if (::fstat(STDOUT_FILENO, &console) != 0 || ::stat(host_name(name).c_str(), &file) != 0) return false;
    return console.st_dev == file.st_dev && console.st_ino == file.st_ino;
}

std::string full_path(const char* name) {
    std::string host = host_name(name);
    if (host.empty() || host[0] != '/') {
        std::string cwd(256, '\0');
        while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
            if (errno != ERANGE) return host;
            cwd.resize(cwd.size() * 2);
        }
        cwd.resize(std::char_traits<char>::length(cwd.c_str()));
        host = cwd + "/" + host;
    }
    // The parts between slashes, with "." and empty parts dropped and ".."
    // taking the part before it away.
    std::string path;
    std::size_t i = 0;
    while (i < host.size()) {
        std::size_t end = host.find('/', i);
        if (end == std::string::npos) end = host.size();
        std::string_view part(host.data() + i, end - i);
        if (part == "..") {
            std::size_t cut = path.rfind('/');
            path.resize(cut == std::string::npos ? 0 : cut);
        } else if (!part.empty() && part != ".") {
            path += '/';
            path += part;
        }
        i = end + 1;
    }
    return path.empty() ? "/" : path;
}

bool same_path(const std::string& a, const std::string& b) { return a == b; }

bool change_directory(const char* path) { return ::chdir(host_name(path).c_str()) == 0; }

std::vector<std::string> directory_files(const char* directory) {
    std::vector<std::string> names;
    std::string host = host_name(directory);
    DIR* dir = ::opendir(host.c_str());
    if (dir == nullptr) return names;
    while (const struct dirent* entry = ::readdir(dir)) {
        struct stat st;
        std::string path = host + "/" + entry->d_name;
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

void open_protocol_channel(int* in, int* out) {
    *in = STDIN_FILENO;
    *out = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) {
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::close(null);
    }
}

void silence_console() {
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    ::dup2(null, STDOUT_FILENO);   // the buffered text is written there too, when it is flushed
    ::close(null);
}

void start_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open takes the lowest free descriptor, which is fd itself.
        int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) ::close(null);
    }
    // Held until flushed, as the C library would hold it, but in a buffer of
    // known size that needs no heap: the banner stays here until the run has
    // found whether the console is one of its files.
    std::setvbuf(stdout, console_buffer, ::isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof console_buffer);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int s : INTERRUPTS) {
        struct sigaction action = {}, old = {};
        ::sigaction(s, nullptr, &old);
        if (old.sa_handler == SIG_IGN) continue;   // nohup and the like: stays ignored
        action.sa_handler = on_interrupt;
        sigemptyset(&action.sa_mask);
        for (int other : INTERRUPTS) sigaddset(&action.sa_mask, other);
        ::sigaction(s, &action, nullptr);
    }
}

}  // namespace platform
