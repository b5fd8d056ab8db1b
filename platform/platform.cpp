// Text-mode streams over the system's descriptors, read and written in large
// blocks.  The calls into the system are in platform_posix.cpp and
// platform_windows.cpp; everything here is the same on every system.
#include "platform/platform.h"

#include <algorithm>
#include <cassert>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

namespace platform {

namespace {

TextStream slots[MAX_STREAMS] = {};   // every stream lives here
bool slot_used[MAX_STREAMS] = {};     // which slots hold an open stream
bool slot_finished[MAX_STREAMS] = {}; // which hold a closed stream of open_replace whose new file waits
const MemoryFile* memory_files = nullptr;   // the table of set_memory_files
int memory_file_count = 0;                  // its rows, 0 when open_read reads only the disk

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;
constexpr unsigned char CTRL_Z = 0x1A;
constexpr int END_OF_FILE = -1;   // next_byte's result at the end of a file or on a read error

// The bytes that interrupt the copy loop of read_chars.
constexpr bool is_read_special(unsigned char b) { return b == LF || b == CR || b == CTRL_Z; }

// Whether any of the eight bytes of w is special: a byte equal to c turns to
// zero under w ^ (c in every byte), and (x - 0x01..) & ~x & 0x80.. is nonzero
// exactly when x has a zero byte.  A borrow can mark a byte above the first
// zero byte too, never one below it, so the lowest mark is exact.
constexpr std::uint64_t EVERY_BYTE = 0x0101010101010101ULL;
constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;
constexpr std::uint64_t zero_byte_bits(std::uint64_t x) { return (x - EVERY_BYTE) & ~x & HIGH_BITS; }
constexpr std::uint64_t read_special_bits(std::uint64_t w) {
    return zero_byte_bits(w ^ (EVERY_BYTE * LF)) | zero_byte_bits(w ^ (EVERY_BYTE * CR)) |
           zero_byte_bits(w ^ (EVERY_BYTE * CTRL_Z));
}
// Sixteen bytes as one vector: a comparison gives 0xFF in every byte where
// it holds, 0 elsewhere.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

// Position of the lowest-order special byte, 0..7: the first one in memory
// when the word was loaded on a little-endian machine.
constexpr int first_special(std::uint64_t bits) { return std::countr_zero(bits) >> 3; }
static_assert(first_special(read_special_bits(0x414141410A414141ULL)) == 3 &&
              first_special(read_special_bits(0x1A00000000000000ULL)) == 7 &&
              first_special(read_special_bits(0x0A0D1A414141010DULL)) == 0 &&
              first_special(read_special_bits(0x0A0A0A0A0A0A0A00ULL)) == 1 &&
              read_special_bits(0x4142434445464748ULL) == 0 && read_special_bits(0x0B0C0E0F1B1C0900ULL) == 0 &&
              read_special_bits(0xFF8B8D9A80FE7F09ULL) == 0,
              "special bytes are found in every position, and only they");

// A free slot, or -1 when every slot is in use.
int free_slot_index() {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (!slot_used[i]) return i;
    return -1;
}

TextStream* take_slot(int i, int fd, bool writing) {
    slot_used[i] = true;
    TextStream* s = &slots[i];
    s->fd = fd;
    s->memory = nullptr;
    s->memory_left = 0;
    s->writing = writing;
    s->error = false;
    s->exhausted = false;
    s->base = 0;
    s->pos = 0;
    s->len = 0;
    return s;
}

int slot_of(const TextStream* s) { return static_cast<int>(s - slots); }

void free_slot(TextStream* s) {
    s->fd = -1;
    slot_used[slot_of(s)] = false;
    slot_finished[slot_of(s)] = false;
}

// Puts the new file of a finished stream in place and frees its slot.
bool commit_slot(int i) {
    bool ok = system_commit_replacement(i);
    free_slot(&slots[i]);
    return ok;
}

// Fills the read buffer; false at the end of the file or on a read error.
bool refill(TextStream* s) {
    if (s->exhausted) return false;
    s->base += s->len;
    s->pos = s->len = 0;
    std::ptrdiff_t n;
    if (s->memory != nullptr) {
        n = static_cast<std::ptrdiff_t>(std::min(s->memory_left, STREAM_BUFFER_SIZE));
        std::memcpy(s->buffer, s->memory, static_cast<std::size_t>(n));
        s->memory += n;
        s->memory_left -= static_cast<std::size_t>(n);
    } else if (read_limit != 0 && s->base >= read_limit) {
        n = -1;   // as far as a file may go: the stream fails here
    } else {
        n = system_read(s->fd, s->buffer, STREAM_BUFFER_SIZE);
    }
    if (n > 0) {
        s->pos = 0;
        s->len = static_cast<std::size_t>(n);
        return true;
    }
    if (n < 0) s->error = true;   // the stream ends, and its error indicator tells why
    s->exhausted = true;
    return false;
}

inline int next_byte(TextStream* s) {
    if (s->pos == s->len && !refill(s)) return END_OF_FILE;
    return s->buffer[s->pos++];
}

// Hands the held output to the descriptor; on failure the bytes are dropped
// and the error indicator is set.
void drain(TextStream* s) {
    const unsigned char* p = s->buffer;
    std::size_t n = s->len;
    while (n > 0 && !s->error) {
        std::ptrdiff_t w = system_write(s->fd, p, n);
        if (w <= 0) {
            s->error = true;
            break;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    s->len = 0;
}

void put_raw(TextStream* s, const char* p, std::size_t n) {
    if (n <= STREAM_BUFFER_SIZE - s->len) {   // the common case: it fits
        std::memcpy(s->buffer + s->len, p, n);
        s->len += n;
        return;
    }
    while (n > 0) {
        if (s->len == STREAM_BUFFER_SIZE) drain(s);
        std::size_t k = std::min(n, STREAM_BUFFER_SIZE - s->len);
        std::memcpy(s->buffer + s->len, p, k);
        s->len += k;
        p += k;
        n -= k;
    }
}

}  // namespace

TextStream* open_read(const char* name) {
    if (memory_file_count > 0) {
        std::string path = identity_path(name);   // a link or "dir/.." reaches the editor's text too
        for (int k = 0; k < memory_file_count; ++k)
            if (same_path(path, memory_files[k].path)) return open_memory(memory_files[k].bytes, memory_files[k].length);
    }
    int i = free_slot_index();
    if (i < 0) return nullptr;
    int fd = system_open_read(name);
    return fd < 0 ? nullptr : take_slot(i, fd, false);
}

TextStream* open_memory(const char* bytes, std::size_t n) {
    int i = free_slot_index();
    if (i < 0) return nullptr;
    TextStream* s = take_slot(i, -1, false);
    s->memory = reinterpret_cast<const unsigned char*>(bytes);
    s->memory_left = n;
    return s;
}

void set_memory_files(const MemoryFile* files, int count) {
    memory_files = files;
    memory_file_count = count;
}

bool read_file(const char* name, std::string* bytes) {
    bytes->clear();
    int fd = system_open_read(name);
    if (fd < 0) return false;
    unsigned char block[STREAM_BUFFER_SIZE];
    std::ptrdiff_t n;
    while ((n = system_read(fd, block, sizeof block)) > 0) {
        bytes->append(reinterpret_cast<const char*>(block), static_cast<std::size_t>(n));
        if (read_limit != 0 && bytes->size() > read_limit) {
            bytes->clear();
            n = -1;
            break;
        }
    }
    return system_close(fd) && n == 0;
}

TextStream* open_replace(const char* name) {
    int i = free_slot_index();
    if (i < 0) return nullptr;
    int fd = system_create_replacement(name, i);
    return fd < 0 ? nullptr : take_slot(i, fd, true);
}

int read_chars(TextStream* s, char* destination, int max, bool* ended, int* dropped_at, int* dropped) {
    int n = 0;
    *ended = false;
    if (dropped != nullptr) *dropped = 0;
    while (n < max) {
        if (s->pos == s->len && !refill(s)) {
            *ended = true;
            break;
        }
        const unsigned char* p = s->buffer + s->pos;
        std::size_t room = std::min(s->len - s->pos, static_cast<std::size_t>(max - n));
        std::size_t i = 0;
        char* out = destination + n;
        // Sixteen bytes at a time, compared as one vector: against eight
        // bytes at a time in a word, 6 % fewer instructions on 200,000
        // realistic lines (callgrind).
        bool stopped = false;   // at a special byte, or before it on a big-endian machine
        for (Bytes16 v; i + 16 <= room; i += 16) {
            std::memcpy(&v, p + i, 16);
            std::memcpy(out + i, &v, 16);   // in bounds; bytes from the special one on are overwritten or unused
            Bytes16 hit = (v == LF) | (v == CR) | (v == CTRL_Z);
            std::uint64_t half[2];
            std::memcpy(half, &hit, 16);
            if ((half[0] | half[1]) != 0) {
                if constexpr (std::endian::native == std::endian::little)
                    i += half[0] != 0 ? static_cast<std::size_t>(first_special(half[0]))
                                      : 8 + static_cast<std::size_t>(first_special(half[1]));
                stopped = true;
                break;   // the byte loop below finds the special byte
            }
        }
        // Eight bytes at a time: against a plain byte loop, 9 % less CPU time
        // on the realistic and crlf cases of bench/run.sh, 8 % on hot.
        for (std::uint64_t w; !stopped && i + 8 <= room; i += 8) {
            std::memcpy(&w, p + i, 8);
            std::memcpy(out + i, &w, 8);   // in bounds; bytes from the special one on are overwritten or unused
            if (std::uint64_t bits = read_special_bits(w)) {
                if constexpr (std::endian::native == std::endian::little)
                    i += static_cast<std::size_t>(first_special(bits));
                break;   // the byte loop below finds the special byte
            }
        }
        while (i < room && !is_read_special(p[i])) {
            destination[n + static_cast<int>(i)] = static_cast<char>(p[i]);
            ++i;
        }
        n += static_cast<int>(i);
        s->pos += i;
        if (i == room) continue;
        unsigned char b = p[i];
        ++s->pos;
        if (b == CTRL_Z) {
            *ended = true;
            break;
        }
        int c = b;
        if (b == CR) {
            if (dropped != nullptr) dropped_at[(*dropped)++] = n;
            c = next_byte(s);   // the byte after a CR is not examined for another CR
            if (c == END_OF_FILE || c == CTRL_Z) {
                *ended = true;
                break;
            }
        }
        destination[n++] = static_cast<char>(c);
        if (c == LF) break;
    }
    return n;
}

std::uint64_t read_offset(const TextStream* s) { return s->base + s->pos; }

bool write_char(TextStream* s, int c) {
    char ch = static_cast<char>(c);
    write_bytes(s, &ch, 1);
    return !s->error;
}

void write_bytes(TextStream* s, const char* text, std::size_t n) {
    const char* end = text + n;
    while (text < end) {
        const void* hit = std::memchr(text, LF, static_cast<std::size_t>(end - text));
        if (hit == nullptr) {
            put_raw(s, text, static_cast<std::size_t>(end - text));
            return;
        }
        const char* lf = static_cast<const char*>(hit);
        put_raw(s, text, static_cast<std::size_t>(lf - text));
        put_raw(s, "\r\n", 2);
        text = lf + 1;
    }
}

char* write_room(TextStream* s, std::size_t n) {
    assert(s->writing && n <= STREAM_BUFFER_SIZE);
    if (n > STREAM_BUFFER_SIZE - s->len) drain(s);
    return reinterpret_cast<char*>(s->buffer + s->len);
}

void wrote_to(TextStream* s, const char* end) {
    std::size_t len = static_cast<std::size_t>(reinterpret_cast<const unsigned char*>(end) - s->buffer);
    assert(len >= s->len && len <= STREAM_BUFFER_SIZE);
    s->len = len;
}

bool stream_error(const TextStream* s) { return s->error; }

bool flush_stream(TextStream* s) {
    if (s->writing) drain(s);
    return !s->error;
}

bool close_stream(TextStream* s) {
    if (!slot_used[slot_of(s)]) return false;   // discarded already, on the way out of a fatal error
    if (s->writing) return finish_stream(s) && commit_slot(slot_of(s));
    bool ok = !s->error;
    if (s->fd >= 0 && !system_close(s->fd)) ok = false;   // a stream over memory has no descriptor
    free_slot(s);
    return ok;
}

bool finish_stream(TextStream* s) {
    if (!slot_used[slot_of(s)]) return false;
    bool ok = flush_stream(s);
    if (!system_close(s->fd)) ok = false;
    s->fd = -1;
    if (!ok) {
        system_remove_replacement(slot_of(s));
        free_slot(s);
        return false;
    }
    slot_finished[slot_of(s)] = true;
    return true;
}

bool commit_writers() {
    bool ok = true;
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (slot_used[i] && slot_finished[i] && !commit_slot(i)) ok = false;
    return ok;
}

void discard_stream(TextStream* s) {
    if (!slot_used[slot_of(s)]) return;
    if (s->fd >= 0) system_close(s->fd);   // the bytes are thrown away, so how the close went does not matter
    if (s->writing) system_remove_replacement(slot_of(s));
    free_slot(s);
}

void discard_all_writers() {
    for (int i = 0; i < MAX_STREAMS; ++i)
        if (slot_used[i] && slots[i].writing) discard_stream(&slots[i]);
}

}  // namespace platform
