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
//
// Nothing here ever waits on anything but a disk: only regular files (on
// Windows, disk files) are read, and that is found out without blocking.  An
// output file is never written in place: its bytes go to a new file beside it,
// which takes the name only once it is complete, so the name always holds
// either what it held before or a whole new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

inline constexpr std::size_t STREAM_BUFFER_SIZE = 64 * 1024;  // bytes per read or write call
inline constexpr int MAX_STREAMS = 8;       // source, 4 includes, listing, and room to spare

// Bytes open_read's streams and read_file take from one file on the disk: 0
// for no bound (the command line's), else a stream that reaches it ends
// there with its error indicator set, and read_file fails.  A file that
// says it is regular may still never end (/proc/self/pagemap).
inline std::uint64_t read_limit = 0;

struct TextStream {
    int fd;                                  // -1 while the slot is free or the stream reads memory
    const unsigned char* memory;             // read side of open_memory: bytes not yet in buffer
    std::size_t memory_left;                 // how many there are
    bool writing;                            // opened with open_replace
    bool error;                              // the stream's error indicator
    bool exhausted;                          // read side: the descriptor reported its end
    std::uint64_t base;                      // read side: offset in the file of buffer[0]
    std::size_t pos;                         // read side: next unread byte in buffer
    std::size_t len;                         // read side: bytes in buffer; write side: bytes held
    unsigned char buffer[STREAM_BUFFER_SIZE];
};

// A file read from memory instead of the disk (the text an editor holds).
struct MemoryFile {
    const char* path;        // as identity_path gives it
    const char* bytes;       // the file's bytes, alive as long as the table is set
    std::size_t length;
};

// Opens a file for reading; nullptr when it cannot be opened or is not a
// regular file (a directory, a device, a pipe).  A file of the memory table
// is read from there.
TextStream* open_read(const char* name);
// Opens a stream over n bytes at bytes, read under the same rules; the bytes
// must outlive it.
TextStream* open_memory(const char* bytes, std::size_t n);
// From now on open_read takes the count files of files from memory, found by
// identity_path; a count of 0 ends that.  The table is the caller's.
void set_memory_files(const MemoryFile* files, int count);
// Opens a stream whose bytes replace the file name once close_stream commits
// them; until then name keeps what it held.  A symbolic link is followed, so
// the file it leads to is replaced; an existing file keeps its permission
// permission bits (0777, never set-user-ID, set-group-ID or sticky).  A link in
// a directory that is sticky and that everyone may write is followed only
// when it belongs to the user or to the directory's owner.  nullptr when name
// exists and is not a regular file this process may write, or when no file
// can be created beside it.
TextStream* open_replace(const char* name);

// Reads up to max characters under the read rules, stopping after a line feed
// or at end of file; returns the number stored and sets *ended when the stream
// reported end of file.  Nothing is terminated.  Promise: the number is never
// above max, and *ended is set only when it is below max, so a caller may
// add one character behind what was stored.  When dropped is given, every
// carriage return dropped is reported in it: dropped_at (room for max
// entries) gets the index in destination of the character stored in its
// place (the number stored, when none followed), *dropped their count.
int read_chars(TextStream* stream, char* destination, int max, bool* ended, int* dropped_at = nullptr,
               int* dropped = nullptr);
// Bytes of the file the reads of stream have consumed so far: characters
// stored, carriage returns dropped and a 0x1A that ended a read all count.
std::uint64_t read_offset(const TextStream* stream);

// Writes one byte (a line feed as CR LF); false when the write failed.
bool write_char(TextStream* stream, int c);
// Writes n bytes under the write rule; failures show in the error indicator.
void write_bytes(TextStream* stream, const char* text, std::size_t n);
// Room for n bytes (at most STREAM_BUFFER_SIZE) at the end of what a write
// stream holds, drained first when less is left: the caller places bytes
// there as they are to be stored, line ends as CR LF, and hands the end of
// what it placed to wrote_to.
char* write_room(TextStream* stream, std::size_t n);
// The bytes from write_room's pointer to end are written; failures show in
// the error indicator.
void wrote_to(TextStream* stream, const char* end);
// The stream's error indicator.
bool stream_error(const TextStream* stream);
// Hands buffered output to the operating system; false on failure.
bool flush_stream(TextStream* stream);
// Flushes and closes, and puts a stream of open_replace in place of its name;
// false when a read, a write, the close or the replacing failed (the name then
// keeps what it held).  Frees the slot.
bool close_stream(TextStream* stream);
// Flushes and closes a stream of open_replace without putting it in place:
// its new file, complete, waits for commit_writers (or discard_all_writers);
// false when a write or the close failed, the new file then removed and the
// slot freed.
bool finish_stream(TextStream* stream);
// Puts the new file of every finished stream in place of its name and frees
// their slots; false when any could not be put in place (its name then
// keeps what it held).
bool commit_writers();
// Closes a stream of open_replace, finished or not, without replacing
// anything: its new file is removed.  Frees the slot.
void discard_stream(TextStream* stream);
// Discards every stream open for replacing; used on the way out of a fatal error.
void discard_all_writers();

// True when both names refer to one existing file (POSIX: same device and
// inode, through links too; Windows: same volume serial number and file
// index), so opening one for writing would destroy the other.
bool names_same_file(const char* a, const char* b);

// The full path of name as the system would open it from the working
// directory: absolute, "/" between its parts, "." and ".." taken out.
std::string full_path(const char* name);
// Whether two full paths name one file by the system's rules for names
// (POSIX: the same bytes; Windows: letter case aside).
bool same_path(const std::string& a, const std::string& b);
// The whole of a regular file's bytes, as stored; false when it cannot be read.
bool read_file(const char* name, std::string* bytes);
// Makes path the working directory; false when it cannot be.
bool change_directory(const char* path);
// The names of the regular files in directory, in no particular order.
std::vector<std::string> directory_files(const char* directory);
// The names in directory, in no particular order: regular files (links to
// them too) into *files, folders into *folders (not a link to one, so a walk
// of a tree never goes round), and those of *files that are symbolic links
// into *links when it is given; false when it cannot be read.
bool list_directory(const char* directory, std::vector<std::string>* files, std::vector<std::string>* folders,
                    std::vector<std::string>* links = nullptr);
// What a file is, as the system knows it: the full path of name with every
// symbolic link followed and ".." taken out after it (POSIX), or full_path
// (Windows, where same_path already ignores letter case); full_path of name
// when no such file exists.  Two names of one file give one path.
std::string identity_path(const char* name);

// Zero-filled memory for a large table, freed by give_pages with the same
// size; nullptr when there is none.  On POSIX systems a request of
// LARGE_PAGE bytes or more is a mapping of its own, aligned to LARGE_PAGE
// and offered to the system for large pages (fewer page faults and fewer
// misses of the address cache on a table read at random); elsewhere, and
// for a smaller request, the heap.
inline constexpr std::size_t LARGE_PAGE = 2 * 1024 * 1024;
void* take_pages(std::size_t size);
void give_pages(void* memory, std::size_t size);

// Takes standard input and output for a protocol, both binary: *in and *out
// become the descriptors to read and write it by, and standard output and
// standard error go to the null device from then on, so nothing else the
// process writes can reach the channel.
void open_protocol_channel(int* in, int* out);
// True when name is, through links too, a file open_read opened since
// forget_files_read: replacing it would destroy what the run read.
bool name_was_read(const char* name);
// Forgets the files read; the start of a run.
void forget_files_read();

// True when standard output is the existing file name refers to.
bool console_is_file(const char* name);
// Sends everything written to standard output from now on, and whatever it
// still holds unwritten, to the null device.
void silence_console();
// True when standard output is the null device, where nothing written to it
// is ever seen (on POSIX systems the device of /dev/null; elsewhere never
// told apart: false).
bool console_is_null_device();

// Makes the process safe in whatever surroundings it was started, before
// anything else happens (see the system's file): no file the tool opens can
// be taken for the console, nothing reaches the console before it has been
// compared with the files of the run, a closed console pipe or a file-size
// limit makes writes fail instead of ending the process, and every signal
// that ends the process and may be caught removes the new files of
// open_replace first.
void start_process();

// The system's side of the streams, one file per system.  A descriptor is the
// system's number for an open file; every file is opened in binary mode.
// Opens an existing regular file for reading, without waiting: a
// descriptor, or -1 when the file cannot be opened or is not a regular file.
int system_open_read(const char* name);
// Creates the new file of an open_replace for stream slot slot, 0 to
// MAX_STREAMS - 1, and remembers which name it is to replace: a descriptor,
// or -1.
int system_create_replacement(const char* name, int slot);
// Puts the new file of slot, already closed, in place of its name; false when
// that failed, the new file then removed.
bool system_commit_replacement(int slot);
// Removes the new file of slot.
void system_remove_replacement(int slot);
// Reads up to n bytes: the count read, 0 at the end of the file, -1 on error.
std::ptrdiff_t system_read(int fd, unsigned char* buffer, std::size_t n);
// Writes up to n bytes: the count written, or -1 on error.
std::ptrdiff_t system_write(int fd, const unsigned char* bytes, std::size_t n);
// Closes a descriptor: false when the system reported an error.
bool system_close(int fd);

}  // namespace platform
