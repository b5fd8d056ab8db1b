// The run driver: start-up, options, file naming, the per-source loop.
#include <cstdio>
#include <cstring>
#include <new>

#include "analysis/analysis.h"
#include "console/console.h"
#include "driver/driver.h"
#include "fatal/fatal.h"
#include "html/html.h"
#include "input/input.h"
#include "lex/lex.h"
#include "listing/listing.h"
#include "lsp/lsp.h"
#include "symbols/symbols.h"

namespace driver {

namespace {

using fatal::report_error;

constexpr const char* LISTING_EXTENSION = ".VXR";

bool serving = false;   // --lsp: no source is required

const char* const NOTICE_LINES =
    "Cross-reference lister for Vela Family assembly sources.\n"
    "Lists every symbol with the lines that define (#), call (&) or use it.\n";

// What --help adds to the usage lines: one line per long option.
const char* const LONG_OPTIONS_TEXT =
    "       --html : also write NAME.html, the cross reference as a page with links\n"
    "       --lsp : run as a language server for an editor, on standard input and output\n"
    "       --help : show this text\n"
    "       --version : show the version";

// An argument that begins with "--": --html asks for pages; --help and
// --version answer and end the run with status 0; any other is a usage error.
void parse_long_option(const char* arg) {
    if (std::strcmp(arg, "--html") == 0) {
        html::request_pages();
        return;
    }
    if (std::strcmp(arg, "--lsp") == 0) return;   // taken by run before anything else
    if (std::strcmp(arg, "--help") == 0) {
        console::write_message(console::MESSAGE_ANSWER, std::string(fatal::USAGE_TEXT) + "\n" + LONG_OPTIONS_TEXT);
    } else if (std::strcmp(arg, "--version") == 0) {
        console::write_message(console::MESSAGE_ANSWER, "velxref " VELXREF_VERSION);
    } else {
        report_error(fatal::ERROR_USAGE);
    }
    throw fatal::FatalExit{0, 0, ""};
}

// A character allowed in a name of the -i list.
bool is_exclude_name_char(char c) {
    return lex::is_identifier_char(c) || lex::is_decimal_digit(c) || c == ':' || c == '\\';
}

// Cuts the -i argument after its letter into names, in place.
void parse_exclude_list(char* list) {
    input::clear_excludes();
    char* p = list;
    for (;;) {
        if (!input::add_exclude(p)) report_error(fatal::ERROR_USAGE);   // no seventeenth name
        while (is_exclude_name_char(*p)) ++p;
        if (*p == 0) break;
        if (*p != ',') report_error(fatal::ERROR_USAGE);
        *p++ = 0;
    }
}

void open_files() {
    source_file = platform::open_read(source_path.c_str());
    if (source_file == nullptr) report_error(fatal::ERROR_OPEN_SOURCE, source_path.c_str());
    // A listing or page that is this source, or one still to be read, would
    // take its place.
    for (int i = 0; i < source_count; ++i) {
        std::string source = input::source_path(source_names[i]);
        if (platform::names_same_file(source.c_str(), listing_path.c_str()))
            report_error(fatal::ERROR_CREATE_LISTING, listing_path.c_str());
        if (html::page_wanted && platform::names_same_file(source.c_str(), page_path.c_str()))
            report_error(fatal::ERROR_CREATE_LISTING, page_path.c_str());
    }
    if (!listing::open_listing(listing_path.c_str())) report_error(fatal::ERROR_CREATE_LISTING, listing_path.c_str());
    if (!html::page_wanted) return;
    page_file = platform::open_replace(page_path.c_str());
    if (page_file == nullptr) report_error(fatal::ERROR_CREATE_LISTING, page_path.c_str());
}

// Derives the names of source index and opens the source and its listing.
void prepare_files(int index) {
    derive_names(source_names[index]);
    open_files();
}

// Per-source reset of the driver and the listing: a source a failed run left
// open is closed (its new listing and page were removed on the way out).
void reset_file_state() {
    if (source_file != nullptr) platform::close_stream(source_file);
    source_file = nullptr;
    page_file = nullptr;
    listing::reset_listing();
}

// A listing or page that is a file the run has read (a source or an
// include, through links too) would destroy it: the run ends before either
// is put in place.
void refuse_files_read() {
    if (platform::name_was_read(listing_path.c_str())) report_error(fatal::ERROR_CREATE_LISTING, listing_path.c_str());
    if (html::page_wanted && platform::name_was_read(page_path.c_str()))
        report_error(fatal::ERROR_CREATE_LISTING, page_path.c_str());
}

void finish_source(const analysis::Record& record) {
    listing::set_title(record.title.data(), static_cast<int>(record.title.size()));
    listing::start_page();
    listing::write_listing(record.table);
    listing::close_listing();
    if (page_file != nullptr) {
        html::write_page(page_file, source_path.c_str(), record);
        bool closed = platform::finish_stream(page_file);
        page_file = nullptr;
        if (!closed) report_error(fatal::ERROR_DISK_FULL);
    }
    // The listing and its page land together: both are complete before
    // either takes its name.
    refuse_files_read();
    if (!platform::commit_writers()) report_error(fatal::ERROR_DISK_FULL);
    console::write_message(console::MESSAGE_SOURCE_END, "\n");
}

// The console stays silent for the whole run when it is one of the run's
// sources, listings or pages: no byte of a source may change, and a listing
// holds only what the listing writer wrote.  Nothing has reached it yet.
void silence_console_on_own_files() {
    for (int i = 0; i < source_count; ++i) {
        derive_names(source_names[i]);
        console::silence_if_file(source_path.c_str());
        console::silence_if_file(listing_path.c_str());
        if (html::page_wanted) console::silence_if_file(page_path.c_str());
    }
}

// --lsp: the channel is taken before anything is written, so what the
// options and the reader would write to the console goes nowhere; the
// sources named are the server's main sources.  A usage error ends the
// server at once with status 2.
int serve_editor(int argc, char** argv) {
    platform::open_protocol_channel(&lsp::channel_in, &lsp::channel_out);
    serving = true;
    try {
        start_up();
        parse_options(argc, argv);
    } catch (const fatal::FatalExit& e) {
        return e.status;
    }
    lsp::reset_server();
    for (int i = 0; i < source_count; ++i) lsp::command_sources.emplace_back(source_names[i]);
    return lsp::serve();
}

// Every allocation that fails ends here, in place of an exception, which
// might itself find no memory.
void out_of_heap() { report_error(fatal::ERROR_HEAP); }

}  // namespace

int run(int argc, char** argv) {
    std::set_new_handler(out_of_heap);
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--lsp") == 0) return serve_editor(argc, argv);
    try {
        start_up();
        parse_options(argc, argv);
        silence_console_on_own_files();
        for (int i = 0; i < source_count; ++i) process_source(i);
    } catch (const fatal::FatalExit& e) {   // the message is written, the new listing removed
        return e.status;
    }
    console::flush();
    return fatal::exit_status;
}

void process_source(int index) {
    reset_file_state();
    try {
        prepare_files(index);
    } catch (const fatal::FatalExit&) {
        reset_file_state();   // the source may be open; a caller may go on after a fatal error
        throw;
    }
    console::write_message(console::MESSAGE_SOURCE, "now making cross reference  ( " + source_path + " )");
    platform::TextStream* source = source_file;
    source_file = nullptr;   // the reader closes it
    analysis::Record record = analysis::analyse_source(source, source_path.c_str(), html::page_wanted ? input::KEEP_TEXTS : 0);
    // A source that failed while it was read ends the run before its
    // listing takes the place of the old one.
    if (record.source_failed) report_error(fatal::ERROR_READ_SOURCE, source_path.c_str());
    finish_source(record);
}

void start_up() {
    output_dir_given = false;
    input::clear_excludes();
    source_count = 0;
    fatal::reset_status();
    platform::forget_files_read();
    console::write_message(console::MESSAGE_BANNER, std::string(listing::LISTING_BANNER) + " \n" + NOTICE_LINES);
}

void parse_options(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        char* arg = argv[i];
        if (arg[0] == '-' && arg[1] == '-') {
            parse_long_option(arg);
            continue;
        }
        if (arg[0] != '-') {
            if (source_count == MAX_SOURCES) report_error(fatal::ERROR_USAGE);
            source_names[source_count++] = arg;
            continue;
        }
        switch (arg[1]) {
        case 'i':
        case 'I':
            parse_exclude_list(arg + 2);
            break;
        case 'o':
        case 'O':
            output_dir_given = true;
            set_output_dir(arg + 2);
            break;
        default:
            report_error(fatal::ERROR_USAGE);
        }
    }
    if (source_count == 0 && !serving) report_error(fatal::ERROR_USAGE);
}

void set_output_dir(const char* text) {
    if (text[0] == 0) report_error(fatal::ERROR_USAGE);
    output_dir = text;
    char last = output_dir.back();
    if (last != ':' && last != '\\') output_dir += '\\';
}

void derive_names(const char* name) {
    source_path = input::source_path(name);
    std::string given = name;
    std::size_t start = input::file_name_start(given);
    std::size_t dot = input::extension_dot(given);
    source_dir.assign(given, 0, start);
    base_name.assign(given, start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!output_dir_given) output_dir = source_dir;
    listing_path = output_dir + base_name + LISTING_EXTENSION;
    page_path = output_dir + base_name + html::PAGE_EXTENSION;
}

}  // namespace driver
