// Statement analysis: chooses each line's statement shape from its first two
// tokens and records the symbols that shape keeps, with their marks; acts on
// INCLUDE, PAGE and MACRO.  analyse_source is the one way a source is
// analysed, for the command line, the page and the language server alike:
// it returns the record of the source, a value the caller owns.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "input/input.h"
#include "listing/listing.h"
#include "platform/platform.h"
#include "symbols/symbols.h"

namespace analysis {

// A KEEP_ flag of analyse_source beyond input's (KEEP_OFFSETS, KEEP_TEXTS):
// every symbol token of every line as a Mention.  It implies KEEP_OFFSETS;
// the table then holds the names only (symbols::record_name, note_name),
// with the kinds and the macro rule, and no entries.
inline constexpr int KEEP_MENTIONS = 4;

// Bits of Mention::flags.
inline constexpr std::uint8_t MENTION_LISTED = 1;      // the listing records it (with mark, ' ' for a parameter)
inline constexpr std::uint8_t MENTION_PARAMETER = 2;   // a macro's parameter on its .MACRO line: '#' here, ' ' in the listing
inline constexpr std::uint8_t MENTION_LINE_FIRST = 4;  // the first mention of its line
inline constexpr std::uint8_t MENTION_LINE_CUT = 8;    // its line was cut at 254 characters

// One symbol token of a line the reader handed out (KEEP_MENTIONS), but
// for a word glued to a number before it (the x00 of 0x00), which is part
// of that number.  16 bytes: its file and the carriage returns dropped
// inside it, rare, are kept beside the list (Mentions).
struct Mention {
    const symbols::SymbolNode* symbol;  // its name in the record's table
    std::uint32_t offset_low;  // byte of its first character in its file: the low 32 bits
    std::uint8_t offset_high;  // and the next 8 (offset())
    std::uint8_t line_length;  // characters of its line as handed out, line feed not counted: 0..254
    char mark;                 // '#', '&' or ' ': the listing's, save that a name after JSR is a call on a line the
                               // listing leaves out and a macro's parameter is defined by its .MACRO line;
                               // 0 for any other symbol the statement leaves out
    std::uint8_t flags;        // MENTION_ bits
    std::int64_t offset() const { return static_cast<std::int64_t>(offset_low) | static_cast<std::int64_t>(offset_high) << 32; }
};
static_assert(sizeof(Mention) == 16, "a mention costs 16 bytes");

inline constexpr std::int64_t MAX_MENTION_OFFSET = (std::int64_t{1} << 40) - 1;   // a mention's byte offset, at most

// Where the mentions of one file start, in reading order.
struct MentionRun {
    std::size_t first;         // index of its first mention
    int file;                  // file_records index
};

// A mention with carriage returns the reader dropped inside it: its bytes
// in the file are its length plus count.
struct BrokenMention {
    std::size_t mention;       // index of the mention
    int count;                 // 1..253
};

// Every mention of a run, in reading order, and what is kept beside them.
struct Mentions {
    std::deque<Mention> list;
    std::vector<MentionRun> files;       // a run begins where the file changes
    std::vector<BrokenMention> broken;   // by mention
};

// The record of one source: what the reader read, the symbol table, the
// title, and the mentions when asked for.  Nothing of it stays anywhere
// else once analyse_source has returned it.
struct Record {
    input::RunRecord run;           // files, include failures, line runs, and what keep asked for per line
    symbols::Table table;           // the symbols and their occurrences (names only with KEEP_MENTIONS)
    std::string title;              // the listing's title (listing::title_of), empty when no PAGE gave one
    Mentions mentions;              // KEEP_MENTIONS
    bool source_failed = false;     // the source failed while read: the record holds what was read before
};

// The run being analysed: filled line by line, handed over by analyse_source.
inline char current_mark = ' ';                // "#", "&" or " " for the next recording
inline char current_kind = ' ';                // "M" while a macro name is recorded, else " "
inline char title[listing::TITLE_WIDTH + 1];   // empty until the first non-empty PAGE string
inline std::optional<Mentions> mentions;        // KEEP_MENTIONS: the run's

// Analyses the line in input::line_buffer, recording its symbols on
// input::line_number; with KEEP_MENTIONS in keep, only their names, and a
// mention of each (which needs the reader's KEEP_OFFSETS).
void analyse_line(int keep = 0);
// Per-source reset: blank mark and kind, no title, no mentions.
void reset_analysis();
// The whole analysis of one source, open at source under name: resets the
// reader (closing what a failed run left open), the classifier and the
// symbol table, analyses every line, closes the source and returns the
// record, keeping what keep (KEEP_ flags of input and KEEP_MENTIONS) asks
// for.  A source that failed while read is the caller's to report
// (Record::source_failed); any other fatal error leaves nothing of the run.
Record analyse_source(platform::TextStream* source, const char* name, int keep = 0);

}  // namespace analysis
