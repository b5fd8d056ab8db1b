// Language server: `velxref --lsp` answers an editor over standard input and
// output (Content-Length framing, JSON-RPC 2.0, protocol 3.17).  It keeps the
// editor's texts, analyses every main source that reads a changed file with
// analysis::analyse_source, makes from the record of each an index it owns
// (at the editor's positions), and answers requests from that index.
//
// channel.cpp frames messages; project.cpp finds the project folder, reads
// its project file and scans it for main sources; text.cpp converts between byte offsets and the
// editor's positions, applies edits and turns URIs into paths; workspace.cpp
// keeps the files, the main sources and their analyses; features.cpp answers
// from the index; server.cpp turns JSON into these records and back and
// dispatches.  Requests are read, answered and written in order, one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/analysis.h"
#include "symbols/symbols.h"

namespace lsp {

inline constexpr std::size_t MAX_MESSAGE_LENGTH = 64 * 1024 * 1024;   // bytes of one message body
inline constexpr std::size_t MAX_FILE_LENGTH = MAX_MESSAGE_LENGTH;   // bytes an analysis reads of one file on the disk
inline constexpr std::size_t MAX_HEADER_LINE = 4096;   // a longer header line is not a header
inline constexpr int MAX_JSON_DEPTH = 256;             // nesting of arrays and objects in a message
inline constexpr std::size_t MAX_WORKSPACE_SYMBOLS = 10000;   // answers of one workspace/symbol request
inline constexpr std::size_t MAX_SCANNED_FILES = 50000;      // files a project scan looks at
inline constexpr std::size_t MAX_DIAGNOSTICS_OF_CLASS = 100; // diagnostics of one class in one file, then one that counts the rest
inline constexpr const char* PROJECT_FILE_NAME = ".velxref";

// The classes of diagnostics, each on or off by the client's settings.
inline constexpr int CLASS_SOURCE = 0;      // a main source that cannot be read (always on)
inline constexpr int CLASS_INCLUDE = 1;     // an include that was not read
inline constexpr int CLASS_UNDEFINED = 2;   // used but never defined
inline constexpr int CLASS_UNUSED = 3;      // defined but never used
inline constexpr int CLASS_CUT = 4;         // a line cut at 254 characters
inline constexpr int CLASS_COUNT = 5;

// What read_message found.
inline constexpr int MESSAGE_READ = 0;      // body holds a message
inline constexpr int MESSAGE_END = 1;       // input ended (mid-message too)
inline constexpr int MESSAGE_REFUSED = 2;   // a header without Content-Length, or a length past the limit: skipped

// JSON-RPC and protocol error codes.
inline constexpr int ERROR_PARSE = -32700;
inline constexpr int ERROR_INVALID_REQUEST = -32600;
inline constexpr int ERROR_METHOD_NOT_FOUND = -32601;
inline constexpr int ERROR_INVALID_PARAMS = -32602;
inline constexpr int ERROR_NOT_INITIALIZED = -32002;
inline constexpr int ERROR_REQUEST_FAILED = -32803;

// Diagnostic severities and symbol kinds of the protocol.
inline constexpr int SEVERITY_ERROR = 1;
inline constexpr int SEVERITY_WARNING = 2;
inline constexpr int SEVERITY_INFORMATION = 3;
inline constexpr int SEVERITY_HINT = 4;
inline constexpr int KIND_FUNCTION = 12;     // a subroutine: called by JSR somewhere in the scope
inline constexpr int KIND_CONSTANT = 14;     // any other defined name
inline constexpr int KIND_OPERATOR = 25;     // a macro name

inline constexpr std::uint32_t NO_FILE = UINT32_MAX;   // a file the server has not met: in no scope

// A place in a file as the editor counts: line from 0, character in UTF-16
// code units (or bytes when the client chose utf-8) from the line's start.
struct Position {
    std::int32_t line;
    std::int32_t character;
    bool operator==(const Position&) const = default;
};

struct Range {
    Position start;
    Position end;
    bool operator==(const Range&) const = default;
};

// What one analysis found about a diagnostic.
struct Diagnostic {
    std::uint32_t file;        // index into files
    int kind;                  // CLASS_SOURCE..CLASS_CUT
    Range range;
    int severity;              // SEVERITY_ERROR..SEVERITY_HINT
    bool unnecessary;          // tagged Unnecessary (defined but never used)
    std::string message;
    bool operator==(const Diagnostic&) const = default;
};

// A file the server has met: a main source, an include, or an editor's document.
struct File {
    std::string path;          // full path (platform::full_path), the file's identity
    std::string uri;           // as the editor named it, or made from path
    std::string shown;         // path relative to the root where it lies below it
    bool open;                 // the editor holds it: text is read instead of the disk
    std::string text;          // the editor's text while open
    std::vector<Diagnostic> published;   // the diagnostics last published for it
};

// An analysis's occurrences are the mentions of its record: every symbol
// token of a line the reader handed out (analysis::Mention).  Its text is
// ASCII, so it ends as many characters on as its name is long, unless a lone
// CR inside it (which the reader drops) ends the editor's line there.  Where
// the editor sees one is worked out when asked, from its byte offset and the
// line table of its file (range_of).

// The editor's lines of a file as an analysis read it.
struct LineTable {
    std::uint32_t file;                 // index into files
    std::vector<std::uint32_t> starts;  // where each line starts
    std::vector<bool> wide;             // per line: characters before some byte of it are not its bytes (a byte
                                        // past ASCII stands in it); empty when no line is
    mutable std::size_t last_line = 0;  // the line of the last position asked for: the next is mostly on it or a
                                        // few after (narrow_position)
};

// The start of an occurrence on a wide line, worked out as the analysis was made.
struct WideStart {
    std::uint32_t occurrence;  // index into the record's mentions
    Position start;
};

// The names of an analysis's table found by their nodes' addresses (open
// addressing, at most half full): a mention's name is found in a probe or
// two.  A binary search over the nodes sorted by address took a fifth of the
// server's analysis (callgrind, 200,000 realistic lines: 320 M of 1,617 M
// instructions); an edit of the 1,000,000-line realistic program 0.49 ->
// 0.42 s (medians of 3 sessions each, taking turns).
struct NameIndex {
    std::vector<std::pair<const symbols::SymbolNode*, std::uint32_t>> slots;
    unsigned shift = 63;   // 64 less the bits of a slot's number

    std::size_t slot(const symbols::SymbolNode* node) const {
        return static_cast<std::size_t>((reinterpret_cast<std::uintptr_t>(node) * UINT64_C(0x9E3779B97F4A7C15)) >> shift);
    }
    // Room for n names, none in it.
    void reserve(std::size_t n);
    void add(const symbols::SymbolNode* node, std::uint32_t name);
    // The index of node's name; node is in it.
    std::uint32_t find(const symbols::SymbolNode* node) const;
};

// Facts about one name of one analysis.
struct SymbolFacts {
    char kind;                  // 'M' macro name, ' ' otherwise
    std::int32_t definitions;   // occurrences marked '#'
    std::int32_t calls;         // occurrences marked '&'
    std::int32_t uses;          // every other occurrence
};

// An INCLUDE whose file the reader opened.
struct IncludeRead {
    std::uint32_t file;        // index into files: the file holding the INCLUDE
    Range name;                // where the name after INCLUDE stands there
    std::uint32_t target;      // index into files: the file it opened
    std::int32_t lines;        // lines read from the target by this opening
};

// One main source and what its last analysis found.
struct Analysis {
    std::uint32_t main_file;              // index into files
    bool named;                           // a main source of the project, not a document analysed alone
    std::string folder;                   // where its include names are resolved
    std::vector<std::uint32_t> files_read;        // distinct, ascending: the scope
    analysis::Record record;                      // the record of the last run, its mentions the occurrences
    std::vector<std::uint32_t> file_of_record;    // per file of the record: index into files
    std::vector<std::string_view> names;          // every symbol text met, in byte order: the record's table's
    NameIndex name_index;                         // a mention's name by its node
    std::vector<SymbolFacts> facts;               // per name
    std::vector<LineTable> line_tables;           // per file read, by file
    std::vector<WideStart> wide_starts;           // by occurrence
    std::vector<std::uint32_t> by_place;          // occurrence indexes by file, then place
    std::vector<std::uint32_t> by_symbol;         // occurrence indexes grouped by name, reading order within
    std::vector<std::uint32_t> symbol_first;      // per name: its first slot in by_symbol (one more entry at the end)
    std::vector<std::string> definition_texts;    // per name: the text of the line of its first '#', or empty
    std::vector<std::string> names_after_cut;     // names in the rests of lines cut at 254, ascending
    std::vector<Diagnostic> diagnostics;          // by file, then by where each starts
    std::vector<IncludeRead> includes_read;       // in the order opened
    std::uint64_t generation;                     // which analysis this is: analyses_made once it was made, no other's number
};

// A walk of editor's positions through one text, each asked for at or
// mostly a little after the last (position_at).
struct PositionCursor {
    bool has_cr;                  // a CR stands in the text: lines end at LF, CR LF and a lone CR, not only LF
    std::size_t last_line;        // the line of the last position asked for
    std::size_t line_start;       // where that line starts
    std::size_t last_offset;      // the offset of the last position asked for
    std::int32_t last_character;  // and its character
};

// A place the answer of a request points at.
struct Location {
    std::uint32_t file;
    Range range;
};

// A text edit of a rename.
struct Edit {
    std::uint32_t file;
    Range range;
};

// A symbol of documentSymbol, workspace/symbol or completion.
struct SymbolAnswer {
    std::string name;
    int kind;                  // KIND_FUNCTION, KIND_CONSTANT or KIND_OPERATOR
    Location where;            // its first definition
    std::string detail;        // FILE:LINE of that definition
};

// A main source the project scan found, which resolves its include names
// against its own folder.
struct MainSource {
    std::string path;          // full path, as the scan met it
    std::string folder;        // the folder it lies in
};

// What a project scan found.
struct Scan {
    std::vector<MainSource> mains;   // ascending by path
    std::size_t files = 0;           // source files read
    bool truncated = false;          // more files than the limit: the rest was not looked at
};

// What a project file says.
struct ProjectFile {
    std::vector<std::string> sources;    // as written, ".AVL" added where the name has no extension
    std::vector<std::string> excludes;   // the last -i list
    bool has_excludes = false;
    std::vector<std::string> problems;   // per line not taken: "line N: ARGUMENT: why"
};

// What the client's settings say (section velxref); a member not given
// leaves the server's own choice.
struct Settings {
    bool has_sources = false;
    std::vector<std::string> sources;       // mainSources
    bool has_excludes = false;
    std::vector<std::string> excludes;      // exclude: the -i list
    std::vector<std::string> extensions;    // extensions: more source extensions
    bool enabled[CLASS_COUNT] = {true, true, true, true, true};   // diagnostics: per class
    bool code_lens = false;                 // codeLens: "N calls" over each subroutine
};

// The channel (channel.cpp).
inline int channel_in = -1;          // descriptor the messages are read from
inline int channel_out = -1;         // descriptor they are written to
inline bool channel_broken = false;  // a write failed: the client is gone

// The server's state (server.cpp).
inline bool initialized = false;        // initialize was answered
inline bool shutdown_requested = false; // shutdown was answered
inline bool utf8_positions = false;     // the client chose utf-8: characters are bytes

// The workspace (workspace.cpp).
inline std::string root;                   // full path of the root folder, empty when none came
inline std::vector<File> files;            // every file met; an index never changes meaning
inline std::vector<Analysis> analyses;     // every main source
inline std::uint64_t analyses_made = 0;    // analyses run in the process, never reset: the last one's generation
inline std::vector<std::string> command_sources;   // sources named after --lsp
inline Settings settings;                  // the client's, as last sent
inline std::string project;                // full path of the project folder, empty before the workspace is open
inline std::vector<std::string> notices;   // what the workspace has to tell the user, for window/showMessage

// Reads one message into body; MESSAGE_READ, MESSAGE_END or MESSAGE_REFUSED.
int read_message(std::string* body);
// Writes one message with its header; a failure sets channel_broken.
void write_framed(const std::string& body);
// Writes the header of a message of length bytes, whose body write_bytes
// then writes a piece at a time.
void write_header(std::size_t length);
// Writes bytes of a message; a failure sets channel_broken.
void write_bytes(std::string_view bytes);
// Per-session reset: no buffered input.
void reset_channel();

// The value of the hex digit c, or -1.
int hex_value(char c);
// Offsets where the lines of text start: after every LF, CR LF and lone CR;
// only the first count of them when text has more.
std::vector<std::uint32_t> line_starts(std::string_view text, std::size_t count = SIZE_MAX);
// The editor's position of byte offset in text, whose lines start at starts.
Position position_of(std::string_view text, const std::vector<std::uint32_t>& starts, std::size_t offset);
// The byte offset of an editor's position; a line past the end gives the
// end of text, a character past the line's end the end of the line.
std::size_t offset_of(std::string_view text, const std::vector<std::uint32_t>& starts, Position position);
// Characters of the count bytes at text, in the chosen encoding: a valid
// UTF-8 sequence of four bytes is two UTF-16 units, any other valid one one,
// a maximal subpart of invalid UTF-8 (a lead byte and what could still
// continue it, or one byte that leads nothing) one, as a WHATWG decoder
// gives one U+FFFD for it.
std::int32_t characters_of(const char* text, std::size_t count);
// A cursor at the start of text.
PositionCursor position_cursor(std::string_view text);
// The editor's position of byte offset in text (clamped to it), counted on
// from where cursor stood; cursor then stands there.
Position position_at(PositionCursor* cursor, std::string_view text, std::int64_t offset);
// The line table of file's text: every line's start, and which lines are
// wide (none when the client counts characters in bytes).
LineTable line_table(std::uint32_t file, std::string_view text);
// The position of offset (within the text) in the text of table, counting the bytes before it
// on its line as characters; false when they are not (a wide line).
bool narrow_position(const LineTable& table, std::size_t offset, Position* position);
// The text of the editor's line around offset, without its line end.
std::string line_around(std::string_view text, std::size_t offset);
// Replaces range of text with replacement.
void apply_change(std::string* text, Range range, std::string_view replacement);
// The full path a file: URI names, or empty when it names none.
std::string path_of_uri(std::string_view uri);
// The file: URI of a full path.
std::string uri_of_path(const std::string& path);

// Whether name ends with a source extension (.AVL .ASM .S .A65 .SRC .INC or
// one of more, letter case aside).
bool has_source_extension(std::string_view name, const std::vector<std::string>& more);
// The project folder of folder: the nearest at or above it that holds a
// project file, else the nearest that holds .git, .hg or .svn, else folder.
std::string project_folder(const std::string& folder);
// What a project file's text says.
ProjectFile parse_project_file(std::string_view text);
// Reads the project file of folder; false when it has none.
bool read_project_file(const std::string& folder, ProjectFile* project);
// The names the include lines of a source's text name, in order.
std::vector<std::string> include_names(std::string_view text);
// The identity of the file an include name reaches from folder.
std::string resolve_include(const std::string& folder, const std::string& name);
// The main sources of the tree at folder: every file with a source extension
// that no other one reads, by its own folder or one above it up to folder;
// the walk stops after limit files (of any name).
Scan scan_project(const std::string& folder, const std::vector<std::string>& more_extensions,
                  std::size_t limit = MAX_SCANNED_FILES);

// The file of full path, made when new; returns its index.
std::uint32_t file_of_path(const std::string& path);
// The file a URI names, made when new (or NO_FILE when not to be made: a
// URI a client only mentions is not kept); false when the URI names no file.
bool file_of_uri(std::string_view uri, std::uint32_t* file, bool make = true);
// Takes the root folder and analyses the main sources: those the settings
// name, else those named after --lsp (both found from the root), else those
// of the project file, else those the project scan finds.  Returns the files
// whose diagnostics may have changed.
std::vector<std::uint32_t> open_workspace(const std::string& root_path);
// The settings changed: the main sources are found and analysed again.
std::vector<std::uint32_t> reopen_workspace();
// The editor opened, changed, saved or closed the file (or the disk copy
// changed): every main source that reads it is analysed again, and a
// document no main source reads becomes a main source of its own while it
// is open.  Returns the files whose diagnostics may have changed.
std::vector<std::uint32_t> file_changed(std::uint32_t file);
// Analyses the main source analyses[index] again.
void analyse(std::size_t index);
// The analyses whose scope holds file.
std::vector<const Analysis*> scope_of(std::uint32_t file);
// Diagnostics of file from every analysis that reads it, each once.
std::vector<Diagnostic> diagnostics_of(std::uint32_t file);
// Whether file lies below the root (the working directory when none came).
bool in_project(std::uint32_t file);
// Per-session reset: no file, no analysis, no root.
void reset_workspace();

// Occurrence k of a, and how many it has.
inline const analysis::Mention& occurrence(const Analysis& a, std::uint32_t k) { return a.record.mentions.list[k]; }
inline std::uint32_t occurrence_count(const Analysis& a) { return static_cast<std::uint32_t>(a.record.mentions.list.size()); }
// Whether occurrence k of a is a macro's parameter on its .MACRO line.
inline bool is_parameter(const Analysis& a, std::uint32_t k) { return (occurrence(a, k).flags & analysis::MENTION_PARAMETER) != 0; }
// The index into a.names of occurrence k's name.
inline std::uint32_t symbol_of(const Analysis& a, std::uint32_t k) { return a.name_index.find(occurrence(a, k).symbol); }
// The file of occurrence k of a.
std::uint32_t file_of(const Analysis& a, std::uint32_t k);
// Where occurrence k of a stands.
Range range_of(const Analysis& a, std::uint32_t k);

// The name at position of file and the occurrence there in its first
// analysis; false when no symbol stands there.
bool symbol_at(std::uint32_t file, Position position, std::string* name);
// Every '#' occurrence of name in the scope of file.
std::vector<Location> definitions(std::uint32_t file, const std::string& name);
// Every occurrence of name in the scope of file, the '#' ones only when
// with_definitions.
std::vector<Location> references(std::uint32_t file, const std::string& name, bool with_definitions);
// The occurrences of name in file itself, with whether each is a '#'.
std::vector<std::pair<Range, bool>> highlights(std::uint32_t file, const std::string& name);
// The hover text of name in the scope of file (Markdown).
std::string hover_text(std::uint32_t file, const std::string& name);
// The index of name in a's names, or false.
bool find_name(const Analysis& a, std::string_view name, std::uint32_t* id);

// A definition of a file: its name (in the table of an analysis: valid until
// the next analysis), kind and place.  40 bytes, a third of a
// SymbolAnswer with its two texts (which cost the call hierarchy 23 MB on
// the 1,000,000-line realistic program).
struct FileDefinition {
    std::string_view name;
    int kind;                  // KIND_FUNCTION, KIND_CONSTANT or KIND_OPERATOR
    Range range;
};

// The definitions of file (each '#' there but a macro's parameters), by place.
std::vector<FileDefinition> file_definitions(std::uint32_t file);
// The symbols file defines, in the order of their first definition.
std::vector<SymbolAnswer> document_symbols(std::uint32_t file);
// Where file first defines name, as document_symbols gives it (its first
// '#' there that is no macro's parameter), and whether it is a macro name
// there; false when file defines no such name.
bool document_definition(std::uint32_t file, const std::string& name, Location* where, bool* macro);
// The defined symbols of every analysis whose name holds query, letter case
// aside, each once, at most MAX_WORKSPACE_SYMBOLS.
std::vector<SymbolAnswer> workspace_symbols(std::string_view query);
// The symbols of the scope of file, each once.
std::vector<SymbolAnswer> scope_symbols(std::uint32_t file);
// Why name cannot be renamed in the scope of file, or empty when it can.
std::string rename_refusal(std::uint32_t file, const std::string& name);
// Why renaming name to new_name in the scope of file would change what the
// reader reads of a line (a line pushed past 254 characters, or one cut
// there already), or empty.
std::string cut_refusal(std::uint32_t file, const std::string& name, const std::string& new_name);
// Why no symbol of the scope of file can be renamed to new_name, or empty.
std::string new_name_refusal(std::uint32_t file, const std::string& new_name);
// Every occurrence of name in the scope of file, each place once.
std::vector<Edit> rename_edits(std::uint32_t file, const std::string& name);
// Why edits cannot be made: the files they would change outside the
// project, or empty.
std::string outside_refusal(const std::vector<Edit>& edits);
// Why edits of name cannot be made: one of them no longer covers name in
// its file as it is now (the editor's text, or the disk), or empty.  Edits
// come grouped by file.
std::string stale_refusal(const std::vector<Edit>& edits, const std::string& name);

// Folds, include links, documentation and macro signatures (outline.cpp): each read from
// the analyses in a file's scope and, where only the text tells, from the
// editor's text through the tokenizer.

// What a fold holds.
inline constexpr int FOLD_COMMENT = 1;      // a run of comment lines
inline constexpr int FOLD_MACRO = 2;        // a macro's definition: its .MACRO line to its .ENDM
inline constexpr int FOLD_SUBROUTINE = 3;   // a subroutine up to the next

// A range of lines the editor may fold.
struct Fold {
    std::int32_t first;        // the editor's line where it starts
    std::int32_t last;         // and where it ends
    int kind;                  // FOLD_COMMENT..FOLD_SUBROUTINE
};

// The signature of a macro invocation: its .MACRO line's parameters.
struct MacroSignature {
    std::string label;         // the name and its parameters, as written on the .MACRO line
    std::vector<std::pair<std::int32_t, std::int32_t>> parameters;   // where each stands in label (bytes)
    std::int32_t active;       // the parameter the position stands in, by the commas before it
};

// The text of file as the editor sees it: its document while open, else the
// disk's, read into storage.
std::string_view text_of(std::uint32_t file, std::string* storage);
// What file folds: macro bodies (.MACRO to .ENDM), runs of three or more
// comment lines, and each subroutine it defines, from its definition to the
// line before the next subroutine's (the last to the file's last line
// that is not blank).  By first line.
std::vector<Fold> folds(std::uint32_t file);
// Every include name of file that opened a file, each place once.
std::vector<IncludeRead> include_links(std::uint32_t file);
// The include name of file at position, which opened a file; false when none stands there.
bool include_at(std::uint32_t file, Position position, IncludeRead* found);
// The hover text of an include name: the file it opened, its lines, and
// every include line in the workspace that read it (Markdown).
std::string include_hover_text(const IncludeRead& include);
// The hover text of name in the scope of file with what its first
// definition documents: the comment lines right above it and the comment on
// its line, each line kept; for a macro, its parameters and the lines of its
// body (at most 20); then the facts of hover_text.
std::string documented_hover(std::uint32_t file, const std::string& name);
// The macro invoked on the line of position in file, when position stands
// after the macro's name; false when none is.
bool macro_signature(std::uint32_t file, Position position, MacroSignature* found);

// Call hierarchy (outline.cpp too).  A subroutine is a name some JSR calls; a
// JSR's caller is the nearest subroutine or label defined above it in its
// file, or the macro whose body holds it; a macro's JSRs are calls from
// every place that invokes it too, marked as such.
inline constexpr int KIND_FILE = 1;   // the calls above any definition of a file

// A subroutine, label or macro of the call hierarchy.
struct CallItem {
    std::string name;          // the symbol, or the file's shown name for KIND_FILE
    int kind;                  // KIND_FUNCTION, KIND_OPERATOR, KIND_CONSTANT (a label) or KIND_FILE
    Location where;            // its definition's name (the file's start for KIND_FILE)
    std::string detail;        // FILE:LINE, and "through macro M" for a call a macro makes
};

// The calls between a caller and a callee.
struct Call {
    CallItem item;             // the caller (incoming) or the callee (outgoing)
    std::vector<Range> from;   // the JSRs, or the macro invocations, in the caller's file
};

// The item of the subroutine, label or macro at position of file; false when none stands there.
bool call_item_at(std::uint32_t file, Position position, CallItem* found);
// The calls to name, defined in file, grouped by caller.
std::vector<Call> incoming_calls(std::uint32_t file, const std::string& name);
// The calls name, defined in file, makes, grouped by callee.
std::vector<Call> outgoing_calls(std::uint32_t file, const std::string& name);

// Semantic tokens (outline.cpp too): every token of a line the editor
// colours, by the tokenizer, up to the cut at 254 characters.
inline constexpr int TOKEN_TYPE_FUNCTION = 0;    // a subroutine
inline constexpr int TOKEN_TYPE_MACRO = 1;       // a macro name, or a pseudo-instruction (defaultLibrary)
inline constexpr int TOKEN_TYPE_VARIABLE = 2;    // any other symbol; readonly a constant, defaultLibrary a reserved word
inline constexpr int TOKEN_TYPE_NAMESPACE = 3;   // a label at its definition
inline constexpr int TOKEN_TYPE_KEYWORD = 4;     // a mnemonic (defaultLibrary)
inline constexpr int TOKEN_TYPE_NUMBER = 5;
inline constexpr int TOKEN_TYPE_STRING = 6;
inline constexpr int TOKEN_TYPE_COMMENT = 7;
inline constexpr int TOKEN_TYPE_PARAMETER = 8;   // a macro's parameter
inline constexpr int TOKEN_MODIFIER_DECLARATION = 1;       // bits of SemanticToken::modifiers
inline constexpr int TOKEN_MODIFIER_DEFINITION = 2;
inline constexpr int TOKEN_MODIFIER_READONLY = 4;
inline constexpr int TOKEN_MODIFIER_DEFAULT_LIBRARY = 8;
// The names of the types and modifiers above, in their order, for the legend.
inline constexpr const char* TOKEN_TYPE_NAMES[] = {"function", "macro", "variable", "namespace", "keyword", "number", "string", "comment", "parameter"};
inline constexpr const char* TOKEN_MODIFIER_NAMES[] = {"declaration", "definition", "readonly", "defaultLibrary"};

struct SemanticToken {
    Position start;            // the editor's line and character
    std::int32_t length;       // characters
    int type;                  // TOKEN_TYPE_FUNCTION..TOKEN_TYPE_PARAMETER
    int modifiers;             // TOKEN_MODIFIER_* bits
};

// Gives each the tokens of file the editor colours, in order.
void semantic_tokens(std::uint32_t file, const std::function<void(const SemanticToken&)>& each);

// A lens over a subroutine (outline.cpp too): the JSRs that call it.
struct CallLens {
    Range range;               // its definition's name
    std::vector<Location> calls;   // every JSR to it in the scope, by file and place
};

// The lenses of file: one over each subroutine it defines; none unless the
// settings ask for them.
std::vector<CallLens> call_lenses(std::uint32_t file);

// The JSON string lifter (json_strings.cpp).  Takes the long string values
// (from LIFT_LENGTH bytes as written, and every one starting with U+0000)
// out of body into lifted, decoded, each standing in the rest as "\u0000"
// and its number; returns the body the JSON reader is to read instead, or
// empty when nothing was taken out (body then stays as it was; otherwise it
// is used up).  A string the JSON reader would refuse stays where it is.
std::string lift_strings(std::string& body, std::vector<std::string>* lifted);

// Serves until exit or the end of input; returns the exit status.
int serve();
// Handles one message body, writing what it answers; false once exit came.
// The body is emptied once it is read.
bool handle_message(std::string& body);
// The status serve returns once handle_message said exit.
int exit_status();
// Per-session reset of the server, the channel and the workspace.
void reset_server();

}  // namespace lsp
