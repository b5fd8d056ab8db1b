// The Windows side of the streams.  Files are opened with CreateFileW and
// handed to the C library as descriptors in binary mode, so the text-mode
// rules of platform.cpp alone decide every byte, as on POSIX.  Names reach
// the system as built: converted from the code page of the system's file
// functions exactly as CreateFileA would convert them, and given in the
// "\\?\" form when the whole path would be too long for the ordinary one.
// A new file is put in place by MoveFileExW.
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>
#include <tuple>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// The MinGW-w64 start-up code expands wildcards in the arguments when this is
// set; the arguments reach the program as typed, as on POSIX.
extern "C" {
int _dowildcard = 0;
}

namespace platform {

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr int MAX_NAME_TRIES = 100;   // names tried for a new file before giving up

// The names the system takes for devices in every directory, whatever
// extension follows.
const char* const DEVICE_NAMES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$",
                                    "COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9",
                                    "LPT1", "LPT2", "LPT3", "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};

std::wstring replaced_names[MAX_STREAMS];      // per slot: the file a new file is to replace
std::wstring replacement_names[MAX_STREAMS];   // per slot: the new file
volatile LONG replacement_live[MAX_STREAMS];   // 1 while the new file exists under its name

char console_buffer[BUFSIZ];   // standard output's buffer, so nothing reaches it unasked

// A path the system takes whatever its length: one that is MAX_PATH
// characters or longer once made absolute goes over in the "\\?\" form, which
// has no such limit; GetFullPathNameW has then already applied the rules the
// system applies to an ordinary path ("/" and "\" both separators, "." and
// ".." resolved, trailing dots and blanks dropped).
std::wstring long_form(const std::wstring& wide) {
    if (wide.empty()) return wide;
    DWORD need = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (need < MAX_PATH) return wide;   // need counts the terminator
    std::wstring full(need, L'\0');
    DWORD got = GetFullPathNameW(wide.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return wide;
    full.resize(got);
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) return full;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);   // \\server\share\...
    return L"\\\\?\\" + full;
}

// The name in UTF-16, converted from the code page the *A file functions use,
// in its long form when it needs one.
std::wstring system_name(const char* name) {
    UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    int n = MultiByteToWideChar(code_page, 0, name, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, name, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return long_form(wide);
}

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether the last part of name is a device name (AUX, COM1.TXT, nul ...),
// which opens a device in any directory.
bool names_device(const char* name) {
    const char* leaf = name;
    for (const char* p = name; *p != 0; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') leaf = p + 1;
    std::size_t n = 0;
    while (leaf[n] != 0 && leaf[n] != '.' && leaf[n] != ':') ++n;
    while (n > 0 && leaf[n - 1] == ' ') --n;
    for (const char* device : DEVICE_NAMES) {
        std::size_t i = 0;
        while (i < n && device[i] != 0 && upper(leaf[i]) == device[i]) ++i;
        if (i == n && device[i] == 0) return true;
    }
    return false;
}

HANDLE open_wide(const std::wstring& wide, DWORD access, DWORD disposition, DWORD flags) {
    if (wide.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.c_str(), access, SHARE_ALL, nullptr, disposition, flags, nullptr);
}

HANDLE open_handle(const char* name, DWORD access, DWORD disposition, DWORD flags) {
    if (names_device(name)) return INVALID_HANDLE_VALUE;
    return open_wide(system_name(name), access, disposition, flags);
}

// Whether an open handle is a file on a disk, not a directory.
bool is_disk_file(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The directory part of a system name, its last "\\" or "/" included, or
// the drive of a "D:NAME", or empty.
std::wstring directory_of(const std::wstring& name) {
    std::size_t cut = name.find_last_of(L"\\/");
    if (cut == std::wstring::npos && name.size() >= 2 && name[1] == L':') cut = 1;
    return cut == std::wstring::npos ? std::wstring() : name.substr(0, cut + 1);
}

// Ctrl-C, Ctrl-Break, a closed console window: no new file stays behind.
BOOL WINAPI on_console_event(DWORD) {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (replacement_live[i]) DeleteFileW(replacement_names[i].c_str());
    return FALSE;   // the system then ends the process as it would have
}

int descriptor_of(HANDLE h, int flags) {
    if (h == INVALID_HANDLE_VALUE) return -1;
    int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) CloseHandle(h);
    return fd;
}

// Volume serial number and file index: what makes a file the one it is.
struct FileIdentity {
    DWORD volume, index_high, index_low;
};

// The identity of a named file or directory, found without reading or
// changing it; false when there is no such file.
bool identity_of_name(const char* name, FileIdentity* id) {
    HANDLE h = open_handle(name, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (known) *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return known;
}

bool same_identity(const FileIdentity& a, const FileIdentity& b) {
    return a.volume == b.volume && a.index_high == b.index_high && a.index_low == b.index_low;
}

bool operator<(const FileIdentity& a, const FileIdentity& b) {
    return std::tie(a.volume, a.index_high, a.index_low) < std::tie(b.volume, b.index_high, b.index_low);
}

std::set<FileIdentity> files_read;   // every file open_read opened in this run

}  // namespace

int system_open_read(const char* name) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
    HANDLE h = open_handle(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (!is_disk_file(h) || !GetFileInformationByHandle(h, &info)) {
        CloseHandle(h);
        return -1;
    }
    files_read.insert({info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow});
    return descriptor_of(h, _O_RDONLY);
}

int system_create_replacement(const char* name, int slot) {
    if (names_device(name)) return -1;
    std::wstring target = system_name(name);
    // An existing file must be a disk file this process may write.
    HANDLE old = open_wide(target, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (old != INVALID_HANDLE_VALUE) {
        bool usable = is_disk_file(old);
        CloseHandle(old);
        if (!usable) return -1;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return -1;
    }
    std::wstring directory = directory_of(target);
    for (int attempt = 0; attempt < MAX_NAME_TRIES; ++attempt) {
        // Longer than the listing's name, the new file's may need the long form when the listing's did not.
        std::wstring temporary = long_form(directory + L".velxref-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                           std::to_wstring(GetTickCount() + static_cast<DWORD>(attempt)));
        replaced_names[slot] = target;
        replacement_names[slot] = temporary;
        HANDLE h = open_wide(temporary, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (h != INVALID_HANDLE_VALUE) {
            InterlockedExchange(&replacement_live[slot], 1);
            int fd = descriptor_of(h, _O_WRONLY);
            if (fd < 0) system_remove_replacement(slot);
            return fd;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return -1;
    }
    return -1;
}

bool system_commit_replacement(int slot) {
    bool ok = MoveFileExW(replacement_names[slot].c_str(), replaced_names[slot].c_str(),
                          MOVEFILE_REPLACE_EXISTING) != 0;
    if (ok)
        InterlockedExchange(&replacement_live[slot], 0);
    else
        system_remove_replacement(slot);
    return ok;
}

void system_remove_replacement(int slot) {
    if (InterlockedExchange(&replacement_live[slot], 0) == 0) return;
    DeleteFileW(replacement_names[slot].c_str());
}

std::ptrdiff_t system_read(int fd, unsigned char* buffer, std::size_t n) {
    return _read(fd, buffer, static_cast<unsigned>(n));
}

std::ptrdiff_t system_write(int fd, const unsigned char* bytes, std::size_t n) {
    return _write(fd, bytes, static_cast<unsigned>(n));
}

bool system_close(int fd) { return _close(fd) == 0; }

bool names_same_file(const char* a, const char* b) {
    FileIdentity a_id, b_id;
    return identity_of_name(a, &a_id) && identity_of_name(b, &b_id) && same_identity(a_id, b_id);
}

bool name_was_read(const char* name) {
    FileIdentity id;
    return identity_of_name(name, &id) && files_read.count(id) != 0;
}

void forget_files_read() { files_read.clear(); }

bool console_is_file(const char* name) {
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    BY_HANDLE_FILE_INFORMATION info;
    FileIdentity file;
    if (console == INVALID_HANDLE_VALUE || GetFileType(console) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(console, &info) || !identity_of_name(name, &file))
        return false;
    return same_identity({info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}, file);
}

std::string full_path(const char* name) {
    char buffer[MAX_PATH * 4];
    DWORD n = GetFullPathNameA(name, sizeof buffer, buffer, nullptr);
    std::string path = n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string(name);
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

bool same_path(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool change_directory(const char* path) { return SetCurrentDirectoryW(system_name(path).c_str()) != 0; }

std::vector<std::string> directory_files(const char* directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((std::string(directory) + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.emplace_back(found.cFileName);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return names;
}

bool list_directory(const char* directory, std::vector<std::string>* files, std::vector<std::string>* folders,
                    std::vector<std::string>* links) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((std::string(directory) + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE) return false;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        bool reparse = (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            files->push_back(name);
            if (reparse && links != nullptr) links->push_back(name);
        } else if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) folders->push_back(name);
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return true;
}

std::string identity_path(const char* name) { return full_path(name); }

void* take_pages(std::size_t size) { return std::calloc(1, size); }

void give_pages(void* memory, std::size_t) { std::free(memory); }

void open_protocol_channel(int* in, int* out) {
    std::fflush(stdout);
    *in = _fileno(stdin);
    _setmode(*in, _O_BINARY);
    *out = _dup(_fileno(stdout));
    if (*out >= 0) _setmode(*out, _O_BINARY);
    int null = _open("NUL", _O_WRONLY | _O_BINARY);
    if (null < 0) return;
    _dup2(null, _fileno(stdout));
    _dup2(null, _fileno(stderr));
    _close(null);
}

void silence_console() {
    int null = _open("NUL", _O_WRONLY | _O_BINARY);
    if (null < 0) return;
    _dup2(null, _fileno(stdout));   // the buffered text is written there too, when it is flushed
    _close(null);
}

bool console_is_null_device() { return false; }

void start_process() {
    // A name on a drive without a medium must end in "Can't open", not wait
    // for someone to close a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The console is in text mode, so its line feeds reach it as CR LF.  (The
    // C library keeps descriptors 0 to 2 for the standard streams even when
    // the process was started without them, so no file opened later can be
    // taken for the console.)
    _setmode(_fileno(stdout), _O_TEXT);
    // Held until flushed, but in a buffer of known size that needs no heap:
    // the banner stays here until the run has found whether the console is
    // one of its files.
    std::setvbuf(stdout, console_buffer, _isatty(_fileno(stdout)) ? _IONBF : _IOFBF, sizeof console_buffer);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace platform
