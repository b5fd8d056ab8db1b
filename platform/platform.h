// Text-mode streams: the one layer through which every source, include and
// listing file is opened, read, written and closed.
//
// Reading delivers the bytes of the file with two exceptions: a carriage
// return is dropped and the byte after it is delivered unexamined (so CR CR LF
// reads as CR LF), and a 0x1A byte reads as end of file for that one read, the
// stream moving past it.  Writing stores every line feed as CR LF and every
// other byte unchanged.  Names handed to the operating system have every
// backslash turned into a slash; nothing else in the program knows about that.
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
// reported end of file.  Nothing is terminated.
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

// True when both names refer to one existing file (same device and inode,
// through links too), so opening one for writing would destroy the other.
bool names_same_file(const char* a, const char* b);

// Makes the process safe in whatever surroundings it was started: standard
// descriptors that are closed are opened on the null device, so no file the
// tool opens can be taken for the console, and a closed console pipe or a
// file-size limit makes writes fail instead of ending the process.
void start_process();

}  // namespace platform
