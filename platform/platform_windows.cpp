// The Windows side of the streams.  Files are opened with CreateFileW and
// handed to the C library as descriptors in binary mode, so the text-mode
// rules of platform.cpp alone decide every byte, as on POSIX.  Names reach
// the system as built: converted from the code page of the system's file
// functions exactly as CreateFileA would convert them, and given in the
// "\\?\" form when the whole path would be too long for the ordinary one.
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <string>

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

// The name in UTF-16, converted from the code page the *A file functions use.
// A path that is MAX_PATH characters or longer once made absolute goes over in
// the "\\?\" form, which has no such limit; GetFullPathNameW has then already
// applied the rules the system applies to an ordinary path ("/" and "\" both
// separators, "." and ".." resolved, trailing dots and blanks dropped).
std::wstring system_name(const char* name) {
    UINT code_page = AreFileApisANSI() ? CP_ACP : CP_OEMCP;
    int n = MultiByteToWideChar(code_page, 0, name, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(code_page, 0, name, -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));

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

HANDLE open_handle(const char* name, DWORD access, DWORD disposition, DWORD flags) {
    std::wstring wide = system_name(name);
    if (wide.empty()) return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.c_str(), access, SHARE_ALL, nullptr, disposition, flags, nullptr);
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

}  // namespace

int system_open_read(const char* name) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory cannot be opened at all.
    HANDLE h = open_handle(name, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    BY_HANDLE_FILE_INFORMATION info;
    if (h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info) &&
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        CloseHandle(h);
        return -1;
    }
    return descriptor_of(h, _O_RDONLY);
}

int system_open_write(const char* name) {
    return descriptor_of(open_handle(name, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL), _O_WRONLY);
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

void start_process() {
    // A name on a drive without a medium must end in "Can't open", not wait
    // for someone to close a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The console is in text mode, so its line feeds reach it as CR LF.  (The
    // C library keeps descriptors 0 to 2 for the standard streams even when
    // the process was started without them, so no file opened later can be
    // taken for the console.)
    _setmode(_fileno(stdout), _O_TEXT);
}

}  // namespace platform
