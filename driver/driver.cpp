// The run driver: start-up, options, file naming, the per-source loop.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "analysis/analysis.h"
#include "driver/driver.h"
#include "html/html.h"
#include "input/input.h"
#include "lex/lex.h"
#include "listing/listing.h"
#include "symbols/symbols.h"

namespace driver {

namespace {

constexpr char BELL = 0x07;
constexpr char END_OF_FILE_BYTE = 0x1A;
constexpr const char* DEFAULT_EXTENSION = ".AVL";
constexpr const char* LISTING_EXTENSION = ".VXR";

const char* const NOTICE_LINES =
    "Cross-reference lister for Vela Family assembly sources.\n"
    "Lists every symbol with the lines that define (#), call (&) or use it.\n";

const char* const USAGE_TEXT =
    "\nUsage: velxref <filename> [-ifilename,..] [-opath]\n"
    "       -i : not include specified files ( use -ifilename,.... )\n"
    "       -o : select drive and directory for output ( use -otmp )\n";

// What --help adds to the usage lines: one line per long option.
const char* const LONG_OPTIONS_TEXT =
    "       --html : also write NAME.html, the cross reference as a page with links\n"
    "       --help : show this text\n"
    "       --version : show the version\n";

const char* const VERSION_TEXT = "\nvelxref " VELXREF_VERSION "\n";

// Ends the run at once with status, after --help or --version.
[[noreturn]] void end_run(int status) {
    std::fflush(stdout);
#ifdef VELXREF_FATAL_THROWS
    throw FatalExit{status};
#else
    std::exit(status);
#endif
}

// An argument that begins with "--": --html asks for pages, --help and
// --version answer and end the run, any other is a usage error.
void parse_long_option(const char* arg) {
    if (std::strcmp(arg, "--html") == 0) {
        html::request_pages();
    } else if (std::strcmp(arg, "--help") == 0) {
        std::fputs(USAGE_TEXT, stdout);
        std::fputs(LONG_OPTIONS_TEXT, stdout);
        end_run(0);
    } else if (std::strcmp(arg, "--version") == 0) {
        std::fputs(VERSION_TEXT, stdout);
        end_run(0);
    } else {
        report_error(ERROR_USAGE);
    }
}

// A character allowed in a name of the -i list.
bool is_exclude_name_char(char c) {
    return lex::is_identifier_char(c) || lex::is_decimal_digit(c) || c == ':' || c == '\\';
}

// Cuts the -i argument after its letter into names, in place.
void parse_exclude_list(char* list) {
    int count = 0;
    char* p = list;
    for (;;) {
        if (count == MAX_EXCLUDES) report_error(ERROR_USAGE);   // no seventeenth name
        exclude_names[count++] = p;
        while (is_exclude_name_char(*p)) ++p;
        if (*p == 0) break;
        if (*p != ',') report_error(ERROR_USAGE);
        *p++ = 0;
    }
    exclude_count = count;
}

// Position of the last c in text, or std::string::npos.
std::size_t find_last_char(const std::string& text, char c) { return text.rfind(c); }

// Where the extension of a file name begins: its last dot, unless that dot
// follows another one; npos when the name has no extension.
std::size_t extension_dot(const std::string& file_name) {
    std::size_t dot = find_last_char(file_name, '.');
    if (dot != std::string::npos && dot > 0 && file_name[dot - 1] == '.') return std::string::npos;
    return dot;
}

// Where the file name of a path begins: after its last "\", else after its last ":".
std::size_t file_name_start(const std::string& path) {
    std::size_t cut = find_last_char(path, '\\');
    if (cut == std::string::npos) cut = find_last_char(path, ':');
    return cut == std::string::npos ? 0 : cut + 1;
}

// The path a source name is opened by.
std::string opened_path(const char* name) {
    std::string path = name;
    if (extension_dot(path.substr(file_name_start(path))) == std::string::npos) path += DEFAULT_EXTENSION;
    return path;
}

// Fills source_dir and base_name from source_path.
void split_source_path() {
    std::size_t start = file_name_start(source_path);
    source_dir.assign(source_path, 0, start);
    base_name.assign(source_path, start, std::string::npos);
}

void open_files() {
    source_file = platform::open_read(source_path.c_str());
    if (source_file == nullptr) report_error(ERROR_OPEN_SOURCE);
    // Opening the listing or the page would empty it when it is this source
    // or one still to be read.
    for (int i = 0; i < source_count; ++i) {
        std::string source = opened_path(source_names[i]);
        if (platform::names_same_file(source.c_str(), listing_path.c_str())) report_error(ERROR_CREATE_LISTING);
        if (html::page_wanted && platform::names_same_file(source.c_str(), page_path.c_str()))
            report_error(ERROR_CREATE_PAGE);
    }
    listing_file = platform::open_write(listing_path.c_str());
    if (listing_file == nullptr) report_error(ERROR_CREATE_LISTING);
    if (!html::page_wanted) return;
    page_file = platform::open_write(page_path.c_str());
    if (page_file == nullptr) report_error(ERROR_CREATE_PAGE);
}

// Derives the names of source index and opens the source and its listing.
void prepare_files(int index) {
    derive_names(source_names[index]);
    open_files();
}

// Resets every subsystem for a new source and names it on the console.
void reset_file_state() {
    listing::reset_listing();
    line_number = 1;
    input::reset_input(source_file);
    analysis::reset_analysis();
    symbols::reset_symbols();
    if (html::page_wanted) {
        html::reset_page();
        html::note_file_opened(source_path.data(), source_path.size(), 0);
    }
    std::printf("\nnow making cross reference  ( %s )\n", source_path.c_str());
}

void finish_source() {
    listing::page_number = 1;
    listing::start_page();
    listing::write_listing(symbols::symbol_root);
    if (!platform::write_char(listing_file, END_OF_FILE_BYTE)) report_error(ERROR_DISK_FULL);
    bool closed = platform::close_stream(listing_file);
    listing_file = nullptr;
    if (!closed) report_error(ERROR_DISK_FULL);
    if (page_file != nullptr) {
        html::write_page(page_file, source_path.c_str());
        closed = platform::close_stream(page_file);
        page_file = nullptr;
        if (!closed) report_error(ERROR_DISK_FULL);
        html::reset_page();   // the stored lines are not kept for the next source
    }
    platform::close_stream(source_file);
    source_file = nullptr;
    symbols::release_tree();
    std::fputs("\n", stdout);
}

}  // namespace

int run(int argc, char** argv) {
    try {
        start_up();
        parse_options(argc, argv);
        for (int i = 0; i < source_count; ++i) process_source(i);
    } catch (const std::bad_alloc&) {   // a path or name string the heap could not hold
        report_error(ERROR_HEAP);
    }
    std::fflush(stdout);
    return exit_status;
}

void process_source(int index) {
    prepare_files(index);
    reset_file_state();
    while (input::next_line()) {
        if (html::page_wanted) {
            html::begin_line(line_number);
            analysis::analyse_line();
            html::end_line();
        } else {
            analysis::analyse_line();
        }
        count_line();
    }
    finish_source();
}

void start_up() {
    output_dir_given = false;
    exclude_count = 0;
    source_count = 0;
    exit_status = 0;
    lex::build_letter_index(lex::mnemonic_index, lex::mnemonic_table);
    lex::build_letter_index(lex::directive_index, lex::directive_table);
    lex::build_letter_index(lex::reserved_index, lex::reserved_table);
    std::printf("%s%c", listing::LISTING_BANNER, ' ');
    std::fputs("\n", stdout);
    std::fputs(NOTICE_LINES, stdout);
}

void parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (arg[0] == '-' && arg[1] == '-') {
            parse_long_option(arg);
            continue;
        }
        if (arg[0] != '-') {
            if (source_count == MAX_SOURCES) report_error(ERROR_USAGE);
            source_names[source_count++] = arg;
            continue;
        }
        switch (arg[1]) {
        case 'i':
        case 'I':
            exclude_count = 0;
            parse_exclude_list(arg + 2);
            break;
        case 'o':
        case 'O':
            output_dir_given = true;
            set_output_dir(arg + 2);
            break;
        default:
            report_error(ERROR_USAGE);
        }
    }
    if (source_count == 0) report_error(ERROR_USAGE);
}

void set_output_dir(const char* text) {
    if (text[0] == 0) report_error(ERROR_USAGE);
    output_dir = text;
    char last = output_dir.back();
    if (last != ':' && last != '\\') output_dir += '\\';
}

void derive_names(const char* name) {
    source_path = name;
    split_source_path();
    std::size_t dot = extension_dot(base_name);
    if (dot != std::string::npos)
        base_name.resize(dot);
    else
        source_path += DEFAULT_EXTENSION;
    if (!output_dir_given) output_dir = source_dir;
    listing_path = output_dir + base_name + LISTING_EXTENSION;
    page_path = output_dir + base_name + html::PAGE_EXTENSION;
}

void count_line() { line_number = static_cast<std::int32_t>(static_cast<std::uint32_t>(line_number) + 1u); }

void report_error(int code) {
    std::putchar(BELL);
    exit_status = code == ERROR_USAGE ? 2 : 3;
    switch (code) {
    case ERROR_USAGE:
        std::fputs(USAGE_TEXT, stdout);
        break;
    case ERROR_OPEN_SOURCE:
        std::printf("\nCan't open %s\n", source_path.c_str());
        break;
    case ERROR_CREATE_LISTING:
        std::printf("\nCan't create file %s\n", listing_path.c_str());
        break;
    case ERROR_CREATE_PAGE:
        std::printf("\nCan't create file %s\n", page_path.c_str());
        break;
    case ERROR_DISK_FULL:
        std::fputs("\nOut of disk space.\n", stdout);
        break;
    default:
        std::fputs("\nOut of heap space.\n", stdout);
        break;
    }
    std::fflush(stdout);
    platform::flush_all_writers();   // a listing stays as far as it was written
#ifdef VELXREF_FATAL_THROWS
    throw FatalExit{exit_status};
#else
    std::exit(exit_status);
#endif
}

}  // namespace driver
