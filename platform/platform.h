// Text-mode streams: the one layer through which every source, include and
// listing file is opened, read, written and closed.
//
// Reading delivers the bytes of the file with two exceptions: a carriage
// return is dropped and the byte after it is delivered unexamined (so CR CR LF
// reads as CR LF), and a 0x1A byte reads as end of file for that one read, the
// stream moving past it.  Writing stores every line feed as CR LF and every
// other byte unchanged.  On POSIX systems names handed to the operating
// system have every backslash turned into a slash; on Windows they reach the
// system as built.  Nothing else in the program knows about that.
//
// platform.cpp holds the text-mode rules and the buffers, the same on every
// system; platform_posix.cpp and platform_windows.cpp hold the calls into the
// system, and the build takes the one for its target.
#pragma once

#include <cstddef>

namespace platform {

inline constexpr std::size_t STREAM_BUFFER_SIZE = 64 * 1024;  // bytes per read or write call
inline constexpr int MAX_STREAMS = 8;       // source, 4 includes, listing, and room to spare

struct TextStream {
    int fd;                                  // -1 while the slot is free
    bool writing;                            // opened with open_write
    bool error;                              // the stream's error indicator
    bool exhausted;                          // read side: the descriptor reported its end
    std::size_t pos;                         // read side: next unread byte in buffer
    std::size_t len;                         // read side: bytes in buffer; write side: bytes held
    unsigned char buffer[STREAM_BUFFER_SIZE];
};

// Opens a file for reading; nullptr when it cannot be opened or is a directory.
TextStream* open_read(const char* name);
// Creates or truncates a file for writing; nullptr when that is impossible.
TextStream* open_write(const char* name);

// Reads up to max characters under the read rules, stopping after a line feed
// or at end of file; returns the number stored and sets *ended when the stream
// reported end of file.  Nothing is terminated.  Promise: the number is never
// above max, and *ended is set only when it is below max, so a caller may
// add one character behind what was stored.
int read_chars(TextStream* stream, char* destination, int max, bool* ended);

// Writes one byte (a line feed as CR LF); false when the write failed.
bool write_char(TextStream* stream, int c);
// Writes n bytes under the write rule; failures show in the error indicator.
void write_bytes(TextStream* stream, const char* text, std::size_t n);
// The stream's error indicator.
bool stream_error(const TextStream* stream);
// Hands buffered output to the operating system; false on failure.
bool flush_stream(TextStream* stream);
// Flushes and closes; false when a write or the close failed.  Frees the slot.
bool close_stream(TextStream* stream);
// Flushes every stream open for writing; used on the way out of a fatal error.
void flush_all_writers();

// True when both names refer to one existing file (POSIX: same device and
// inode, through links too; Windows: same volume serial number and file
// index), so opening one for writing would destroy the other.
bool names_same_file(const char* a, const char* b);

// Makes the process safe in whatever surroundings it was started, before
// anything else happens (see the system's file): no file the tool opens can
// be taken for the console, and a closed console pipe or a file-size limit
// makes writes fail instead of ending the process.
void start_process();

// The system's side of the streams, one file per system.  A descriptor is the
// system's number for an open file; every file is opened in binary mode.
// Opens an existing file for reading: a descriptor, or -1 when the file
// cannot be opened or is a directory.
int system_open_read(const char* name);
// Creates or truncates a file for writing: a descriptor, or -1.
int system_open_write(const char* name);
// Reads up to n bytes: the count read, 0 at the end of the file, -1 on error.
std::ptrdiff_t system_read(int fd, unsigned char* buffer, std::size_t n);
// Writes up to n bytes: the count written, or -1 on error.
std::ptrdiff_t system_write(int fd, const unsigned char* bytes, std::size_t n);
// Closes a descriptor: false when the system reported an error.
bool system_close(int fd);

}  // namespace platform
