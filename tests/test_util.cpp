#include "test_util.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test_util {

std::string make_scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velxref-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);   // "dir/name": dir made when missing
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::string page_header(int page) {
    char number[16];
    std::snprintf(number, sizeof number, "%03d", page);
    return page_header(number);
}

std::string listing_of(const std::vector<Symbol>& symbols, int name_width, int number_width) {
    std::string out = page_header(1);
    int page = 1, lines = 0;
    const std::size_t per_line = static_cast<std::size_t>((80 - name_width) / (number_width + 2));
    char field[32];
    for (const Symbol& s : symbols) {
        for (std::size_t i = 0; i < s.refs.size(); i += per_line) {
            std::string name = i == 0 || lines == 0 ? s.name.substr(0, 32) : "";
            name.resize(std::max(name.size(), static_cast<std::size_t>(name_width)), ' ');
            out += name;
            for (std::size_t j = i; j < i + per_line && j < s.refs.size(); ++j) {
                std::snprintf(field, sizeof field, " %*d%c", number_width, s.refs[j].first, s.refs[j].second);
                out += field;
            }
            out += "\r\n";
            if (++lines == 55) {
                out += page_header(++page);
                lines = 0;
            }
        }
    }
    return out + "\x1A";
}

RunResult run_program(const std::string& binary, const std::string& dir, const std::vector<std::string>& args,
                      const RunOptions& options) {
    std::string out_path = make_scratch_dir();
    std::string out_file = out_path + "/out", err_file = out_path + "/err";
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        int out = options.console_path.empty() ? ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                                               : ::open(options.console_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (options.address_space_limit > 0) {
            rlim_t n = static_cast<rlim_t>(options.address_space_limit);
            struct rlimit lim = {n, n};
            ::setrlimit(RLIMIT_AS, &lim);
        }
        if (options.data_limit > 0) {
            rlim_t n = static_cast<rlim_t>(options.data_limit);
            struct rlimit lim = {n, n};
            ::setrlimit(RLIMIT_DATA, &lim);
        }
        if (options.timeout_seconds > 0) ::setpgid(0, 0);
        if (options.file_size_limit > 0) {
            rlim_t n = static_cast<rlim_t>(options.file_size_limit);
            struct rlimit lim = {n, n};
            ::setrlimit(RLIMIT_FSIZE, &lim);
        }
        if (options.close_input_and_output) {
            ::close(0);
            ::close(1);
        }
        std::vector<char*> argv;
        std::string program = binary;
        argv.push_back(program.data());
        std::vector<std::string> copy = args;
        for (std::string& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    int wstatus = 0;
    if (options.timeout_seconds > 0) {
        const struct timespec tick = {0, 5'000'000};
        for (long waited = 0;; waited += 5) {
            pid_t done = ::waitpid(pid, &wstatus, WNOHANG);
            if (done == pid || (done < 0 && errno != EINTR)) break;
            if (waited >= options.timeout_seconds * 1000L) {
                ::kill(-pid, SIGKILL);
                ::kill(pid, SIGKILL);
                while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
                }
                wstatus = SIGKILL;   // counts as killed even if it ended meanwhile
                break;
            }
            ::nanosleep(&tick, nullptr);
        }
    } else {
        while (::waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
        }
    }
    RunResult r;
    r.out = read_file(out_file);
    r.err = read_file(err_file);
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    remove_tree(out_path);
    return r;
}

std::vector<std::string> html_files(const std::string& dir) {
    namespace fs = std::filesystem;
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && it->path().extension() == ".html") found.push_back(it->path().string());
    return found;
}

void keep_pages(const std::string& dir, const std::vector<std::string>& args, int status,
                const std::vector<std::string>& before) {
    namespace fs = std::filesystem;
    std::vector<fs::path> pages;
    std::error_code ec;
    std::uintmax_t bytes = 0;
    for (const std::string& p : html_files(dir)) {
        if (std::find(before.begin(), before.end(), p) != before.end()) continue;
        pages.push_back(p);
        bytes += fs::file_size(p, ec);
    }
    bool kept_whole = (status == 0 || status == 1) && bytes <= (16u << 20);
    if (!kept_whole) {
        for (const fs::path& p : pages) fs::remove(p, ec);
        return;
    }
    if (pages.empty()) return;
    static int runs = 0;
    fs::path kept = fs::path(std::getenv("VELXREF_PAGES")) / (std::to_string(getpid()) + "-" + std::to_string(++runs));
    fs::create_directories(kept);
    fs::copy(dir, kept, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    std::string line;
    for (const std::string& a : args) line += a + "\n";
    write_file((kept / "ARGS").string(), line);
    for (const fs::path& p : pages) fs::remove(p, ec);
}

}  // namespace test_util
