// The byte rules of the page: what each kind of byte sequence becomes.
#include <gtest/gtest.h>

#include <string>

#include "html/html.h"

namespace {

std::string encoded(const std::string& bytes, bool markup = true) {
    std::string out(bytes.size() * html::MAX_ENCODED_PER_BYTE, '\0');
    out.resize(html::encode_text(bytes.data(), bytes.size(), out.data(), markup));
    return out;
}

TEST(PageText, EveryKindOfByteIsShownAsItsRulesSay) {
    const struct {
        const char* what;
        std::string bytes;
        std::string shown;
    } cases[] = {
        {"markup characters", "A<&>\"b", "A&lt;&amp;&gt;&quot;b"},
        {"tab kept", "\t.END", "\t.END"},
        {"NUL, ESC and DEL as control pictures", std::string("\0\x1B\x7F", 3), "\u2400\u241B\u2421"},
        {"valid two, three and four byte sequences", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"a lone high byte in code page 437", "\x82\xFF", "\u00E9\u00A0"},
        {"a sequence cut short", "\xC3", "\u251C"},
        {"an overlong form", "\xC0\x80", "\u2514\u00C7"},
        {"a surrogate", "\xED\xA0\x80", "\u03C6\u00E1\u00C7"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\u2320\u00C9\u00C7\u00C7"},
        {"a C1 control", "\xC2\x85", "\u252C\u00E0"},
        {"a noncharacter", "\xEF\xBF\xBE", "\u2229\u2510\u255B"},
        {"bidirectional controls as their code points", "\xE2\x80\xAE" "a\xD8\x9C\xE2\x81\xA9\xE2\x80\x8E",
         "<span class=bidi>U+202E</span>a<span class=bidi>U+061C</span><span class=bidi>U+2069</span>"
         "<span class=bidi>U+200E</span>"},
        {"their neighbours as they are", "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
         "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
    };
    for (const auto& c : cases) EXPECT_EQ(encoded(c.bytes), c.shown) << c.what;
    // Where no element can stand, the code point alone.
    EXPECT_EQ(encoded("\xE2\x80\xAE" "CNI.EVIL", false), "U+202ECNI.EVIL");
}

}  // namespace
