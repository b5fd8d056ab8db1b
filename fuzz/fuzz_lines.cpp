// Fuzz target: arbitrary bytes as a source file, through the text-mode layer,
// the reader, the tokenizer and the classifier into the symbol table, then the
// listing and the page (--html) written to scratch files; the page must be
// strict UTF-8 without control characters, and its tags must nest.  Every
// input starts as a new source.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fatal/fatal.h"
#include "fuzz/fuzz_support.h"
#include "html/html.h"
#include "input/input.h"

namespace {

void set_up() {
    fuzz_support::make_scratch("lines");
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();   // banner and marks
    driver::start_up();
    html::request_pages();
}

// Length of the strict UTF-8 character at p that a page may hold, or 0: no
// overlong form, surrogate or noncharacter, no control but tab and line ends.
std::size_t page_char(const unsigned char* p, std::size_t n) {
    unsigned char b = p[0];
    if (b < 0x80) return (b >= 0x20 && b != 0x7F) || b == '\t' || b == '\n' || b == '\r' ? 1 : 0;
    std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || n < len) return 0;
    char32_t c = b & (0x7F >> len);
    for (std::size_t i = 1; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    static const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < least[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF) || c <= 0x9F) return 0;
    if ((c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) return 0;
    return len;
}

// Whether the page's tags nest: every element but the void ones closed in
// order, no "<" or "&" in text but as markup or a character reference.
bool well_formed(const std::string& page) {
    std::vector<std::string> open;
    for (std::size_t i = 0; i < page.size(); ++i) {
        if (page[i] == '&') {
            static const char* const refs[] = {"&lt;", "&gt;", "&amp;", "&quot;"};
            bool known = false;
            for (const char* r : refs) known = known || page.compare(i, std::char_traits<char>::length(r), r) == 0;
            if (!known) return false;
            continue;
        }
        if (page[i] != '<') continue;
        std::size_t end = page.find('>', i);
        if (end == std::string::npos) return false;
        std::string tag = page.substr(i + 1, end - i - 1);
        i = end;
        if (tag.rfind("!DOCTYPE ", 0) == 0) continue;
        bool closing = !tag.empty() && tag[0] == '/';
        std::string name = tag.substr(closing ? 1 : 0, tag.find_first_of(" \t", closing ? 1 : 0) - (closing ? 1 : 0));
        if (name.empty() || name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos)
            return false;
        if (closing) {
            if (open.empty() || open.back() != name) return false;
            open.pop_back();
        } else if (name != "meta") {
            open.push_back(name);
        }
    }
    return open.empty();
}

void check_page() {
    std::ifstream in("FUZZ.html", std::ios::binary);
    std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const unsigned char* p = reinterpret_cast<const unsigned char*>(page.data());
    for (std::size_t i = 0; i < page.size();) {
        std::size_t k = page_char(p + i, page.size() - i);
        if (k == 0) std::abort();   // not strict UTF-8, or a control character
        i += k;
    }
    if (!well_formed(page)) std::abort();
}

void write_source(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen("FUZZ.AVL", "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (fuzz_support::scratch_dir.empty()) set_up();
    write_source(data, size);
    static char name[] = "FUZZ";
    driver::source_names[0] = name;
    driver::source_count = 1;
    driver::output_dir_given = false;
    input::clear_excludes();
    try {
        driver::process_source(0);
        check_page();
    } catch (const fatal::FatalExit&) {
        // The message is written, the new files removed and the streams closed.
    }
    return 0;
}
