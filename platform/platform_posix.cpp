// The POSIX side of the streams: descriptors from open(2), names with every
// "\" handed over as "/", files compared by device and inode, and new files
// made, put in place and removed relative to their directory (openat,
// renameat, unlinkat).
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <string_view>
#include <vector>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr int MAX_LINK_HOPS = 40;                // symbolic links followed to a listing's file, as the system does
constexpr char REPLACEMENT_PREFIX[] = ".velxref-";   // a new file's name: this and six letters or digits
constexpr int REPLACEMENT_LETTERS = 6;
constexpr int MAX_NAME_TRIES = 100;              // names tried for a new file before giving up

// Signals whose default ends the process and that a process may catch, but
// SIGPIPE and SIGXFSZ, which start_process ignores: each removes the new
// files first.  The real-time signals are added where the set is made.
const int ENDING_SIGNALS[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV, SIGUSR2, SIGALRM,
    SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGIO
    SIGIO,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

int replacement_dirs[MAX_STREAMS];             // per slot: the new file's directory, open while the slot has one
char replacement_leaves[MAX_STREAMS][sizeof REPLACEMENT_PREFIX + REPLACEMENT_LETTERS];   // per slot: the new file's name there
std::string replaced_leaves[MAX_STREAMS];      // per slot: the name there it is to take
volatile std::sig_atomic_t replacement_live[MAX_STREAMS];   // 1 while the new file exists under its name

std::set<std::pair<dev_t, ino_t>> files_read;   // every file open_read opened in this run

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

// Opens the directory part of a host path, for the *at calls, so a path
// needs only its directory within the system's limit on a name; -1 when it
// cannot be opened.
int open_directory_of(const std::string& path) {
    std::string directory = directory_of(path);
#ifdef O_PATH
    constexpr int LOOKUP_ONLY = O_PATH;   // nothing in it is read: a directory that may not be listed will do
#else
    constexpr int LOOKUP_ONLY = O_RDONLY;
#endif
    return open_host(directory.empty() ? "." : directory, LOOKUP_ONLY | O_DIRECTORY);
}

std::string leaf_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// stat(2) of a host path, through links; a path too long for the system is
// looked up from its directory.
bool stat_host(const std::string& path, struct stat* st) {
    if (::stat(path.c_str(), st) == 0) return true;
    if (errno != ENAMETOOLONG) return false;
    int directory = open_directory_of(path);
    if (directory < 0) return false;
    bool found = ::fstatat(directory, leaf_of(path).c_str(), st, 0) == 0;
    close_quietly(directory);
    return found;
}

// The rule of the kernel's fs.protected_symlinks: in a directory that is
// sticky and that everyone may write (/tmp), a link is followed only when it
// belongs to the user or to the directory's owner, so no other user can
// send a write to a file of ours.
bool may_follow(int directory, const struct stat& link) {
    struct stat st;
    if (::fstat(directory, &st) != 0) return false;
    bool shared = (st.st_mode & S_ISVTX) != 0 && (st.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == ::geteuid() || link.st_uid == st.st_uid;
}

// Finds the file a host path leads to once every symbolic link on its end is
// followed (the file need not exist): *directory is its directory, open,
// *leaf its name there.  False on a loop, a link that cannot be read or may
// not be followed, or a directory that cannot be opened.
bool locate_target(std::string path, int* directory, std::string* leaf) {
    for (int hop = 0; hop < MAX_LINK_HOPS; ++hop) {
        *leaf = leaf_of(path);
        if (leaf->empty()) return false;   // "DIR/" names no file
        *directory = open_directory_of(path);
        if (*directory < 0) return false;
        struct stat st;
        if (::fstatat(*directory, leaf->c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n = may_follow(*directory, st) ? ::readlinkat(*directory, leaf->c_str(), target.data(), target.size()) : -1;
        ::close(*directory);
        if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return false;   // changed meanwhile
        target.resize(static_cast<std::size_t>(n));
        path = target[0] == '/' ? target : directory_of(path) + target;
    }
    return false;
}

// The permission bits a new file named leaf in directory gets: the 0777 bits
// of the file there (never set-user-ID, set-group-ID or sticky), or what the
// umask leaves of 0666; false when a file is there that is not a regular
// file this process may write.  Devices are never opened.
bool replaced_mode(int directory, const char* leaf, mode_t* mode) {
    struct stat st;
    if (::fstatat(directory, leaf, &st, 0) != 0) {
        if (errno != ENOENT) return false;
        mode_t mask = ::umask(0);
        ::umask(mask);
        *mode = 0666 & ~mask;
        return true;
    }
    if (!S_ISREG(st.st_mode)) return false;
    int fd;   // may it be written, as an open for writing would find
    do fd = ::openat(directory, leaf, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close_quietly(fd);
    *mode = st.st_mode & 0777;
    return regular;
}

// Writes a fresh ".velxref-XXXXXX" into leaf, the six characters drawn from
// the time, the process and the tries before.
void make_replacement_leaf(char* leaf) {
    static std::uint64_t state = 0;
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    state = state * 6364136223846793005ULL + static_cast<std::uint64_t>(now.tv_nsec) +
            (static_cast<std::uint64_t>(::getpid()) << 32) + 1442695040888963407ULL;
    static const char LETTERS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::memcpy(leaf, REPLACEMENT_PREFIX, sizeof REPLACEMENT_PREFIX - 1);
    std::uint64_t bits = state >> 16;
    for (int i = 0; i < REPLACEMENT_LETTERS; ++i, bits /= sizeof LETTERS - 1)
        leaf[sizeof REPLACEMENT_PREFIX - 1 + i] = LETTERS[bits % (sizeof LETTERS - 1)];
    leaf[sizeof REPLACEMENT_PREFIX - 1 + REPLACEMENT_LETTERS] = 0;
}

void fill_ending_signals(sigset_t* set) {
    sigemptyset(set);
    for (int s : ENDING_SIGNALS) sigaddset(set, s);
#ifdef SIGRTMIN
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(set, s);
#endif
}

// Holds the ending signals back while a new file comes and goes, so the
// handler never sees one half made.
void hold_interrupts(bool hold) {
    sigset_t set;
    fill_ending_signals(&set);
    ::sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

// Closes the directory of slot's new file, which is gone or in place.
void release_directory(int slot) {
    close_quietly(replacement_dirs[slot]);
    replacement_dirs[slot] = -1;
}

// Every ending signal: no new file stays behind, and the process ends by
// the signal, as it would have without this handler.
extern "C" void on_interrupt(int signal_number) {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (replacement_live[i]) ::unlinkat(replacement_dirs[i], replacement_leaves[i], 0);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);   // delivered once the handler returns
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
    files_read.insert({st.st_dev, st.st_ino});
    return fd;
}

int system_create_replacement(const char* name, int slot) {
    int directory;
    std::string leaf;
    mode_t mode;
    if (!locate_target(host_name(name), &directory, &leaf)) return -1;
    if (!replaced_mode(directory, leaf.c_str(), &mode)) {
        ::close(directory);
        return -1;
    }
    replaced_leaves[slot] = leaf;
    replacement_dirs[slot] = directory;
    hold_interrupts(true);
    int fd = -1;
    for (int attempt = 0; attempt < MAX_NAME_TRIES && fd < 0; ++attempt) {
        make_replacement_leaf(replacement_leaves[slot]);
        fd = ::openat(directory, replacement_leaves[slot], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST && errno != EINTR) break;
    }
    replacement_live[slot] = fd >= 0;
    hold_interrupts(false);
    if (fd < 0) {
        release_directory(slot);
        return -1;
    }
    if (::fchmod(fd, mode) != 0) {
        ::close(fd);
        system_remove_replacement(slot);
        return -1;
    }
    return fd;
}

bool system_commit_replacement(int slot) {
    hold_interrupts(true);
    int directory = replacement_dirs[slot];
    bool ok = ::renameat(directory, replacement_leaves[slot], directory, replaced_leaves[slot].c_str()) == 0;
    if (ok) replacement_live[slot] = 0;
    hold_interrupts(false);
    if (ok)
        release_directory(slot);
    else
        system_remove_replacement(slot);
    return ok;
}

void system_remove_replacement(int slot) {
    if (!replacement_live[slot]) return;
    hold_interrupts(true);
    ::unlinkat(replacement_dirs[slot], replacement_leaves[slot], 0);
    replacement_live[slot] = 0;
    hold_interrupts(false);
    release_directory(slot);
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
    if (!stat_host(host_name(a), &a_st) || !stat_host(host_name(b), &b_st)) return false;
    return a_st.st_dev == b_st.st_dev && a_st.st_ino == b_st.st_ino;
}

bool console_is_file(const char* name) {
    struct stat console, file;
    if (::fstat(STDOUT_FILENO, &console) != 0 || !stat_host(host_name(name), &file)) return false;
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

bool list_directory(const char* directory, std::vector<std::string>* files, std::vector<std::string>* folders,
                    std::vector<std::string>* links) {
    std::string host = host_name(directory);
    DIR* dir = ::opendir(host.c_str());
    if (dir == nullptr) return false;
    while (const struct dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        unsigned char type = entry->d_type;
        bool link = type == DT_LNK;
        if (type == DT_UNKNOWN || type == DT_LNK) {   // asked only where the entry does not say
            struct stat st, own;
            std::string path = host + "/" + name;
            if (::lstat(path.c_str(), &own) != 0) continue;
            link = S_ISLNK(own.st_mode);
            if (S_ISDIR(own.st_mode)) type = DT_DIR;
            else type = ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? DT_REG : DT_UNKNOWN;
        }
        if (type == DT_REG && link && links != nullptr) links->emplace_back(name);
        if (type == DT_REG) files->emplace_back(name);
        else if (type == DT_DIR) folders->emplace_back(name);
    }
    ::closedir(dir);
    return true;
}

std::string identity_path(const char* name) {
    std::string host = host_name(name);
    char* real = ::realpath(host.c_str(), nullptr);
    if (real == nullptr) return full_path(name);
    std::string path(real);
    std::free(real);
    return path;
}

void* take_pages(std::size_t size) {
    if (size < LARGE_PAGE) return std::calloc(1, size);
    // Mapped with a large page's room to spare, then cut to the aligned part.
    std::size_t length = (size + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
    void* mapped = ::mmap(nullptr, length + LARGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto start = reinterpret_cast<std::uintptr_t>(mapped);
    std::uintptr_t aligned = (start + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE;
    std::size_t head = aligned - start;
    if (head > 0) ::munmap(mapped, head);
    ::munmap(reinterpret_cast<void*>(aligned + length), LARGE_PAGE - head);
#ifdef MADV_HUGEPAGE
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);   // a hint: refused, small pages serve
#endif
    return reinterpret_cast<void*>(aligned);
}

void give_pages(void* memory, std::size_t size) {
    if (memory == nullptr) return;
    if (size < LARGE_PAGE) {
        std::free(memory);
        return;
    }
    ::munmap(memory, (size + LARGE_PAGE - 1) / LARGE_PAGE * LARGE_PAGE);
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

bool console_is_null_device() {
    struct stat console, null;
    return ::fstat(STDOUT_FILENO, &console) == 0 && S_ISCHR(console.st_mode) && ::stat("/dev/null", &null) == 0 &&
           S_ISCHR(null.st_mode) && console.st_rdev == null.st_rdev;
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
    // A signal handled already (a sanitizer's) or ignored (nohup) stays so.
    sigset_t ending;
    fill_ending_signals(&ending);
    for (int s = 1; s < NSIG; ++s) {
        struct sigaction action = {}, old = {};
        if (sigismember(&ending, s) != 1 || ::sigaction(s, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        action.sa_handler = on_interrupt;
        action.sa_mask = ending;
        ::sigaction(s, &action, nullptr);
    }
}

bool name_was_read(const char* name) {
    struct stat st;
    return stat_host(host_name(name), &st) && files_read.count({st.st_dev, st.st_ino}) != 0;
}

void forget_files_read() { files_read.clear(); }

}  // namespace platform
