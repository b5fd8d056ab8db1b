// Deterministic source generator for the benchmark.
//
//   gen_sources CASE LINES FILE
//
// CASE is one of
//   realistic  program-like text: labels on about one line in six, a
//              vocabulary of 20,000 names drawn Zipf-like, all three kinds of
//              mnemonic with their usual operand forms, comments, "=" and
//              .EQU lines, .BYTE/.WORD data and macros
//   ascending  the same, but every label is a new name L000001, L000002, ...
//              first seen in ascending order
//   hot        one symbol referenced on every line
//   wide       200,000 names of 20 to 60 characters, each used a few times
//   crlf       realistic with CR LF line ends
//   hex0x      realistic with hexadecimal numbers written 0x3F instead of
//              $3F, as many real programs write them (the x3F of 0x3F is a
//              name to the listing)
//   tree       a tree as real repositories keep programs, for the server's
//              project scan: FILE is a folder made to hold LINES source files
//              (none named anywhere), 100 programs prog000 .. prog099 each of a
//              main.s that reads its files of inc/ (names in lower case, .inc),
//              each of about 20 lines
//   includes   a program over 140 include files PART001.INC .. PART140.INC,
//              written beside FILE: FILE holds a title, the 140 .INCLUDE lines
//              and a main loop of LINES / 100 lines; the rest of the LINES are
//              shared out among the include files, realistic lines whose
//              labels are names owned by that file (each name of an 8,000-name
//              vocabulary belongs to one file, so most are defined once and a
//              few twice or never) and whose operands are drawn Zipf-like from
//              the whole vocabulary, so that uses cross files.  The includes
//              are named without a directory: run velxref in FILE's directory.
// Every case uses a fixed seed, so the same arguments give the same bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// xorshift64*: small, fast and the same everywhere.
struct Random {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    }
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>((next() >> 32) % n); }
    bool chance(std::uint32_t percent) { return below(100) < percent; }
};

constexpr std::uint32_t VOCABULARY = 20000;
constexpr std::uint32_t WIDE_NAMES = 200000;
constexpr std::uint32_t INCLUDE_FILES = 140;
constexpr std::uint32_t INCLUDE_VOCABULARY = 8000;

const char* const IMPLIED[] = {"RTS", "CLC", "SEC", "INX", "INY", "DEX", "DEY", "PHA", "PLA", "NOP",
                               "TAX", "TXA", "CLI", "SEI", "RTI", "TAY"};
const char* const LOADS[] = {"LDA", "STA", "LDX", "LDY", "STX", "STY", "CMP", "ADC", "SBC", "AND",
                             "ORA", "EOR", "INC", "DEC", "CPX", "CPY", "BIT", "TST", "ASL", "ROL"};
const char* const BRANCHES[] = {"BNE", "BEQ", "BCC", "BCS", "BPL", "BMI", "BRA", "JMP", "BVC"};
const char* const COMMENTS[] = {"; ---------------------------------------------------------------",
                                ";  wait for the transmitter to drain before the next byte",
                                "; table of segment patterns, one byte per digit",
                                ";", "; restore the registers and return",
                                ";  X holds the index into the buffer, Y the count"};

template <std::size_t N>
const char* pick(Random& r, const char* const (&table)[N]) {
    return table[r.below(static_cast<std::uint32_t>(N))];
}

// A name that looks like a program's own: upper case, some with "_" or digits.
std::string make_name(Random& r, std::uint32_t index) {
    static const char* const stems[] = {"COUNT", "BUF", "PTR", "TMP", "FLAG", "PORT", "LOOP", "WAIT", "SEND",
                                        "RECV", "KEY", "LED", "TIMER", "INIT", "PRINT", "DIGIT", "SEG",
                                        "STATE", "MODE", "ERR", "CMD", "ADDR", "DATA", "BIT", "SKIP"};
    std::string name = stems[r.below(25)];
    switch (r.below(4)) {
    case 0:
        name += '_';
        name += stems[r.below(25)];
        break;
    case 1:
        name += std::to_string(index % 100);
        break;
    case 2:
        name = std::string(1, static_cast<char>('A' + r.below(26))) + name;
        break;
    default:
        break;
    }
    name += std::to_string(index);   // keeps every name distinct
    return name;
}

// Zipf-like choice: rank k is drawn with weight about 1/k (exponent 1).
struct Zipf {
    std::vector<double> cumulative;
    explicit Zipf(std::uint32_t n) : cumulative(n) {
        double sum = 0;
        for (std::uint32_t k = 0; k < n; ++k) cumulative[k] = sum += 1.0 / (k + 1);
        for (double& c : cumulative) c /= sum;
    }
    std::uint32_t draw(Random& r) const {
        double u = static_cast<double>(r.next() >> 11) / 9007199254740992.0;
        std::size_t lo = 0, hi = cumulative.size() - 1;
        while (lo < hi) {
            std::size_t mid = (lo + hi) / 2;
            if (cumulative[mid] < u)
                lo = mid + 1;
            else
                hi = mid;
        }
        return static_cast<std::uint32_t>(lo);
    }
};

bool hex_0x = false;   // hex0x: every "$" of a number written "0x"

struct Writer {
    std::FILE* file;
    const char* line_end;
    std::string line;
    void end_line() {
        if (hex_0x)
            for (std::size_t at = line.find('$'); at != std::string::npos; at = line.find('$', at + 2)) line.replace(at, 1, "0x");
        line += line_end;
        std::fwrite(line.data(), 1, line.size(), file);
        line.clear();
    }
};

void hex_byte(std::string& s, Random& r) {
    static const char digits[] = "0123456789ABCDEF";
    s += digits[r.below(16)];
    s += digits[r.below(16)];
}

// One program-like line.  label is empty or the name this line defines.
void realistic_line(Writer& w, Random& r, const std::vector<std::string>& names, const Zipf& zipf,
                    const std::string& label, const std::string& branch_target) {
    std::string& s = w.line;
    auto use = [&]() -> const std::string& { return names[zipf.draw(r)]; };
    std::uint32_t shape = r.below(100);
    if (label.empty() && shape < 15) {   // a comment line
        s += pick(r, COMMENTS);
        return;
    }
    if (!label.empty()) {
        s += label;
        if (r.chance(80)) s += ':';
    }
    s += '\t';
    if (shape < 50) {   // load, store and arithmetic with their operand forms
        s += pick(r, LOADS);
        s += '\t';
        switch (r.below(6)) {
        case 0:
            s += "#$";
            hex_byte(s, r);
            break;
        case 1:
            s += use();
            s += ",X";
            break;
        case 2:
            s += '(';
            s += use();
            s += "),Y";
            break;
        case 3:
            s += '#';
            s += use();
            s += "+1";
            break;
        default:
            s += use();
            break;
        }
    } else if (shape < 62) {
        s += pick(r, BRANCHES);
        s += '\t';
        s += branch_target.empty() ? use() : branch_target;
    } else if (shape < 70) {
        s += "JSR\t";
        s += use();
    } else if (shape < 78) {
        s += pick(r, IMPLIED);
    } else if (shape < 82) {
        s += "LDM\t#$";
        hex_byte(s, r);
        s += ',';
        s += use();
    } else if (shape < 85) {
        s += r.chance(50) ? "BBS\t" : "BBC\t";
        s += static_cast<char>('0' + r.below(8));
        s += ',';
        s += use();
        s += ',';
        s += branch_target.empty() ? use() : branch_target;
    } else if (shape < 90) {
        s += r.chance(50) ? ".BYTE\t$" : ".WORD\t";
        if (s.back() == '$') hex_byte(s, r); else s += use();
        s += ',';
        s += use();
        s += ",$";
        hex_byte(s, r);
    } else if (shape < 94) {   // an assignment: the label, or a name of its own
        s.clear();
        s += label.empty() ? use() : label;
        if (r.chance(50)) {
            s += "\t=\t$";
            hex_byte(s, r);
            hex_byte(s, r);
        } else {
            s += "\t.EQU\t";
            s += use();
            s += "+2";
        }
    } else if (shape < 97) {   // a macro definition header or its end
        if (r.chance(50)) {
            s.clear();
            s += label.empty() ? use() : label;
            s += "\t.MACRO\tP1,P2";
        } else {
            s += ".ENDM";
        }
    } else {   // a macro call: two names, nothing is recorded
        s += use();
        s += '\t';
        s += use();
    }
    if (r.chance(25)) s += "\t\t; keep it short";
}

void generate_realistic(Writer& w, std::uint64_t lines, bool ascending) {
    Random r{0x9E3779B97F4A7C15ULL};
    std::vector<std::string> names;
    names.reserve(VOCABULARY);
    for (std::uint32_t i = 0; i < VOCABULARY; ++i) names.push_back(make_name(r, i));
    Zipf zipf(VOCABULARY);
    std::uint64_t labels = 0;
    char label[16];
    std::string previous;   // the last numbered label, a backward branch target
    for (std::uint64_t i = 0; i < lines; ++i) {
        std::string current;
        if (r.below(6) == 0) {
            if (ascending) {
                std::snprintf(label, sizeof label, "L%06llu", static_cast<unsigned long long>(++labels));
                current = label;
            } else {
                current = names[r.below(VOCABULARY)];
            }
        }
        realistic_line(w, r, names, zipf, current, ascending && r.chance(50) ? previous : std::string());
        if (!current.empty() && ascending) previous = current;
        w.end_line();
    }
}

void generate_hot(Writer& w, std::uint64_t lines) {
    Random r{0xD1B54A32D192ED03ULL};
    for (std::uint64_t i = 0; i < lines; ++i) {
        std::string& s = w.line;
        s += '\t';
        s += pick(r, LOADS);
        s += r.chance(50) ? "\tHOT_COUNTER" : "\tHOT_COUNTER,X";
        if (r.chance(20)) s += "\t; again";
        w.end_line();
    }
}

void generate_wide(Writer& w, std::uint64_t lines) {
    Random r{0x94D049BB133111EBULL};
    static const char chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ_0123456789";
    std::vector<std::string> names(WIDE_NAMES);
    for (std::uint32_t i = 0; i < WIDE_NAMES; ++i) {
        std::string& n = names[i];
        std::uint32_t length = 20 + r.below(41);
        n += static_cast<char>('A' + r.below(26));
        while (n.size() < length - 6) n += chars[r.below(37)];
        char tail[8];
        std::snprintf(tail, sizeof tail, "%06u", i);   // distinct within the first 32 characters too
        n.insert(std::min<std::size_t>(n.size(), 20), tail);
    }
    std::vector<std::uint32_t> order(WIDE_NAMES);
    for (std::uint32_t i = 0; i < WIDE_NAMES; ++i) order[i] = i;
    for (std::uint32_t i = WIDE_NAMES - 1; i > 0; --i) std::swap(order[i], order[r.below(i + 1)]);
    for (std::uint64_t i = 0; i < lines; ++i) {
        std::string& s = w.line;
        // Every name is defined once, in shuffled order, then used at random.
        if (i < WIDE_NAMES) {
            s += names[order[i]];
            s += ":\tLDA\t#$";
            hex_byte(s, r);
        } else {
            s += '\t';
            s += pick(r, LOADS);
            s += '\t';
            s += names[r.below(WIDE_NAMES)];
        }
        w.end_line();
    }
}

bool open_writer(Writer& w, const std::string& path) {
    w.file = std::fopen(path.c_str(), "wb");
    if (w.file == nullptr) std::perror(path.c_str());
    return w.file != nullptr;
}

bool close_writer(Writer& w, const std::string& path) {
    if (std::fclose(w.file) == 0) return true;
    std::perror(path.c_str());
    return false;
}

// Writes the include files beside main_path; w is the main source.
bool generate_includes(Writer& w, std::uint64_t lines, const std::string& main_path) {
    Random r{0xBF58476D1CE4E5B9ULL};
    std::vector<std::string> names;
    names.reserve(INCLUDE_VOCABULARY);
    for (std::uint32_t i = 0; i < INCLUDE_VOCABULARY; ++i) names.push_back(make_name(r, i));
    Zipf zipf(INCLUDE_VOCABULARY);
    std::string directory = main_path.substr(0, main_path.find_last_of("/\\") + 1);
    char file_name[16];

    std::uint64_t body = lines / 100;
    std::uint64_t own = 3 + INCLUDE_FILES + body;
    std::uint64_t shared = lines > own ? lines - own : 0;
    w.line += "; generated program over ";
    w.line += std::to_string(INCLUDE_FILES);
    w.line += " include files";
    w.end_line();
    w.line += "\t.PAGE\t\"includes\"";
    w.end_line();
    for (std::uint32_t f = 0; f < INCLUDE_FILES; ++f) {
        std::snprintf(file_name, sizeof file_name, "PART%03u.INC", f + 1);
        w.line += "\t.INCLUDE ";
        w.line += file_name;
        w.end_line();

        Writer part{nullptr, w.line_end, {}};
        std::string path = directory + file_name;
        if (!open_writer(part, path)) return false;
        std::uint64_t count = shared / INCLUDE_FILES + (f < shared % INCLUDE_FILES ? 1 : 0);
        std::uint32_t next_owned = f;   // this file's names are f, f + 140, f + 280, ...
        for (std::uint64_t i = 0; i < count; ++i) {
            std::string label;
            if (i > 0 && r.below(6) == 0) {
                label = names[next_owned];
                next_owned += INCLUDE_FILES;
                if (next_owned >= INCLUDE_VOCABULARY) next_owned = f;
            }
            if (i == 0) {
                part.line += "; ";
                part.line += file_name;
                part.line += "  -  generated routines";
            } else {
                realistic_line(part, r, names, zipf, label, std::string());
            }
            part.end_line();
        }
        if (!close_writer(part, path)) return false;
    }
    w.line += "MAIN:\tSEI";
    w.end_line();
    for (std::uint64_t i = 0; i < body; ++i) {
        realistic_line(w, r, names, zipf, std::string(), "MAIN");
        w.end_line();
    }
    return true;
}

// Writes the tree into the folder root: files source files in all.
bool generate_tree(std::uint64_t files, const std::string& root) {
    constexpr std::uint32_t PROGRAMS = 100;
    Random r{0x2545F4914F6CDD1DULL};
    std::vector<std::string> names;
    for (std::uint32_t i = 0; i < 2000; ++i) names.push_back(make_name(r, i));
    Zipf zipf(2000);
    char name[64];
    for (std::uint32_t p = 0; p < PROGRAMS; ++p) {
        std::uint64_t parts = files / PROGRAMS + (p < files % PROGRAMS ? 1 : 0);
        if (parts == 0) continue;
        --parts;   // main.s
        std::snprintf(name, sizeof name, "%s/prog%03u", root.c_str(), p);
        std::string folder = name;
        if (std::system(("mkdir -p '" + folder + "/inc'").c_str()) != 0) return false;
        Writer main{nullptr, "\n", {}};
        if (!open_writer(main, folder + "/main.s")) return false;
        for (std::uint64_t k = 0; k < parts; ++k) {
            std::snprintf(name, sizeof name, "inc/part%04llu.inc", static_cast<unsigned long long>(k));
            main.line += "\t.include ";
            main.line += name;
            main.end_line();
            Writer part{nullptr, "\n", {}};
            if (!open_writer(part, folder + "/" + name)) return false;
            for (int i = 0; i < 20; ++i) {
                realistic_line(part, r, names, zipf, r.below(6) == 0 ? names[r.below(2000)] : std::string(), std::string());
                part.end_line();
            }
            if (!close_writer(part, folder + "/" + name)) return false;
        }
        main.line += "start:\tjsr\t";
        main.line += names[r.below(2000)];
        main.end_line();
        if (!close_writer(main, folder + "/main.s")) return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: gen_sources realistic|ascending|hot|wide|crlf|hex0x|includes|tree LINES FILE\n");
        return 2;
    }
    std::string which = argv[1];
    std::uint64_t lines = std::strtoull(argv[2], nullptr, 10);
    if (which == "tree") return generate_tree(lines, argv[3]) ? 0 : 1;
    std::FILE* f = std::fopen(argv[3], "wb");
    if (f == nullptr) {
        std::perror(argv[3]);
        return 1;
    }
    Writer w{f, which == "crlf" ? "\r\n" : "\n", {}};
    hex_0x = which == "hex0x";
    if (which == "realistic" || which == "crlf" || which == "hex0x")
        generate_realistic(w, lines, false);
    else if (which == "ascending")
        generate_realistic(w, lines, true);
    else if (which == "hot")
        generate_hot(w, lines);
    else if (which == "wide")
        generate_wide(w, lines);
    else if (which == "includes") {
        if (!generate_includes(w, lines, argv[3])) return 1;
    } else {
        std::fprintf(stderr, "gen_sources: unknown case %s\n", argv[1]);
        return 2;
    }
    if (std::fclose(f) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}
