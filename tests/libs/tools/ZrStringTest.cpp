// The tools library's string class, character classes and case-insensitive
// comparisons.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "libs/tools/ZrString.h"

namespace {

std::string str(ZrString const& s) {
    return std::string(static_cast<char const*>(s), s.getLength());
}

TEST(ZrString, CapacityFollowsTheSpareRule) {
    ZrString abc("abc");
    EXPECT_EQ(abc.getLength(), 3);
    EXPECT_EQ(abc.getCapacity(), 36);
    abc.clear();
    EXPECT_EQ(abc.getCapacity(), 33);
    EXPECT_EQ(abc.getLength(), 0);
    EXPECT_STREQ(abc, "");

    ZrString empty;
    EXPECT_EQ(empty.getCapacity(), 33);
    ZrString fromNull(static_cast<char const*>(nullptr));
    EXPECT_EQ(fromNull.getCapacity(), 33);
    EXPECT_STREQ(fromNull, "");

    ZrString appended;
    std::string forty(40, 'x');
    appended += forty.c_str();
    EXPECT_EQ(appended.getCapacity(), 43);
    EXPECT_EQ(str(appended), forty);
}

TEST(ZrString, AssignReusesTheBufferWhenItFits) {
    ZrString s("a fairly long text of some length");
    int capacity = s.getCapacity();
    char const* buffer = s;
    s.assign("short");
    EXPECT_EQ(s.getCapacity(), capacity);
    EXPECT_EQ(static_cast<char const*>(s), buffer);
    EXPECT_EQ(str(s), "short");

    std::string longer(capacity, 'y'); // byte length + 1 exceeds the capacity
    s.assign(longer.c_str());
    EXPECT_EQ(s.getCapacity(), capacity + 33);
    EXPECT_EQ(str(s), longer);

    s.assign(static_cast<char const*>(nullptr));
    EXPECT_EQ(s.getLength(), 0);
}

TEST(ZrString, FillConstructor) {
    ZrString xs('x', 4);
    EXPECT_EQ(str(xs), "xxxx");
    EXPECT_EQ(xs.getCapacity(), 37);
    EXPECT_EQ(ZrString('x', 0).getLength(), 0);
    EXPECT_EQ(ZrString('x', -3).getCapacity(), 33);
    EXPECT_EQ(ZrString('\0', 5).getLength(), 0);
}

TEST(ZrString, SetLengthPadsOrCuts) {
    ZrString s("ab");
    s.setLength(5);
    EXPECT_EQ(str(s), "ab   ");
    s.setLength(1);
    EXPECT_EQ(str(s), "a");
    s.setLength(-1);
    EXPECT_EQ(str(s), "");
}

TEST(ZrString, AppendCharacterGrowsByDoubling) {
    ZrString s;
    for (int i = 0; i < 100; ++i)
        s += static_cast<char>('a' + i % 26);
    EXPECT_EQ(s.getLength(), 100);
    EXPECT_EQ(s.getCapacity(), 129); // 33 -> 65 -> 129
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(static_cast<char const*>(s)[i], 'a' + i % 26);
}

TEST(ZrString, AppendingItselfIsSafe) {
    // The append reallocates while reading its own text.
    ZrString s('M', 40);
    s += static_cast<char const*>(s);
    EXPECT_EQ(s.getLength(), 80);
    EXPECT_EQ(str(s), std::string(80, 'M'));

    // A tail of itself, without reallocation.
    ZrString t("abcdef");
    t += static_cast<char const*>(t) + 3;
    EXPECT_EQ(str(t), "abcdefdef");

    ZrString u("xyz");
    u.assign(static_cast<char const*>(u) + 1);
    EXPECT_EQ(str(u), "yz");
}

TEST(ZrString, LongRepeatedTextStaysInBounds) {
    ZrString s;
    for (int i = 0; i < 5000; ++i)
        s += "M";
    EXPECT_EQ(s.getLength(), 5000);
    ZrString copy(s);
    copy += static_cast<char const*>(s);
    EXPECT_EQ(copy.getLength(), 10000);
    EXPECT_GT(copy.asNumeric(), -1.0); // "E6" expansions cut at the work area
    char* c = copy.copyString();
    EXPECT_EQ(std::strlen(c), 10000u);
    delete[] c;
}

TEST(ZrString, CopyString) {
    ZrString s("hello");
    char out[16];
    std::memset(out, '#', sizeof out);
    EXPECT_EQ(s.copyString(out, -1), out);
    EXPECT_STREQ(out, "hello");
    std::memset(out, '#', sizeof out);
    s.copyString(out, 2);
    EXPECT_STREQ(out, "he");
    std::memset(out, '#', sizeof out);
    s.copyString(out, 99);
    EXPECT_STREQ(out, "hello");
    EXPECT_EQ(s.copyString(nullptr, 3), nullptr);

    // A negative maximum other than -1 gives an empty text, nothing before out.
    char guarded[3] = {'#', '#', '#'};
    s.copyString(guarded + 1, -5);
    EXPECT_EQ(guarded[0], '#');
    EXPECT_EQ(guarded[1], 0);
}

struct PieceCase {
    char const* what;
    int start;
    int count;
    char const* expected;
};

TEST(ZrString, SubstringLeftRight) {
    ZrString hello("hello");
    PieceCase const cases[] = {
        {"middle", 1, 2, "el"},        {"to the end", 3, 10, "lo"},
        {"start past end", 6, 1, ""},  {"start at end", 5, 3, ""},
        {"count zero", 0, 0, ""},      {"negative start clamps", -2, 3, "hel"},
        {"negative count", 1, -1, ""},
    };
    for (auto const& c : cases) {
        ZrString out("previous");
        hello.substring(out, c.start, c.count);
        EXPECT_EQ(str(out), c.expected) << c.what;
    }
    ZrString out;
    hello.left(out, 2);
    EXPECT_EQ(str(out), "he");
    hello.right(out, 10);
    EXPECT_EQ(str(out), "hello");
    hello.right(out, 0);
    EXPECT_EQ(str(out), "");
    hello.right(out, 3);
    EXPECT_EQ(str(out), "llo");

    ZrString self("abcdef");
    self.substring(self, 2, 3);
    EXPECT_EQ(str(self), "cde");
}

TEST(ZrString, MatchAndReplace) {
    ZrString hello("hello");
    EXPECT_EQ(hello.match("lo"), 3);
    EXPECT_EQ(hello.match("xyz"), -1);

    struct {
        char const* text;
        char const* pattern;
        char const* replacement;
        char const* expected;
    } const cases[] = {
        {"aXa", "a", "aa", "aaXaa"}, // inserted text is not searched again
        {"aXa", "", "b", "aXa"},     // empty pattern changes nothing
        {"", "a", "b", ""},          // empty string changes nothing
        {"a&b&&c", "&", "&amp;", "a&amp;b&amp;&amp;c"},
        {"aaaa", "aa", "b", "bb"},
        {"abcabc", "abc", "", ""},
        {"xyz", "q", "r", "xyz"},
    };
    for (auto const& c : cases) {
        ZrString s(c.text);
        s.replace(c.pattern, c.replacement);
        EXPECT_EQ(str(s), c.expected) << c.text << " / " << c.pattern;
    }
}

TEST(ZrString, Trims) {
    struct {
        char const* text;
        char const* left;
        char const* right;
    } const cases[] = {
        {"  ", "", ""},
        {"\t x", "x", "\t x"},
        {"\xA0x\xA0", "x\xA0", "\xA0x"},
        {"\x86x\x86", "\x86x\x86", "\x86x\x86"},
        {" a b ", "a b ", " a b"},
    };
    for (auto const& c : cases) {
        ZrString l(c.text);
        l.trimLeft();
        EXPECT_EQ(str(l), c.left);
        ZrString r(c.text);
        r.trimRight();
        EXPECT_EQ(str(r), c.right);
    }
}

TEST(ZrString, CaseMappingIgnoresTheLocale) {
    // A process locale must not change how bytes map.
    char const* previous = std::setlocale(LC_CTYPE, nullptr);
    std::string saved = previous ? previous : "C";
    std::setlocale(LC_CTYPE, "C.UTF-8");
    ZrString s("Audio Midi Setup \xE9\xC9");
    s.uppercase();
    EXPECT_EQ(str(s), "AUDIO MIDI SETUP \xE9\xC9");
    EXPECT_EQ(s.stricmp("AUDIO MIDI SETUP \xE9\xC9"), 0);
    s.lowercase();
    EXPECT_EQ(str(s), "audio midi setup \xE9\xC9");
    std::setlocale(LC_CTYPE, saved.c_str());
}

TEST(ZrString, PrintfKeepsWhatFitsTheWorkBuffer) {
    ZrString s("old");
    s.printf("%d-%s", 42, "x");
    EXPECT_EQ(str(s), "42-x");
    std::string big(3000, 'q');
    s.printf("%s", big.c_str());
    EXPECT_EQ(s.getLength(), 2047);
    EXPECT_EQ(str(s), big.substr(0, 2047));
}

TEST(ZrString, AsNumeric) {
    struct {
        char const* text;
        double value;
    } const cases[] = {
        {"2t", 2000.0}, {"1.5M", 1500000.0}, {"44.1kHz", 44.1}, {"-3", -3.0},
        {"+7", 7.0},    {"abc", 0.0},        {"", 0.0},         {"1e2", 100.0},
    };
    for (auto const& c : cases)
        EXPECT_DOUBLE_EQ(ZrString(c.text).asNumeric(), c.value) << c.text;

    // 254 digits and a mega suffix: the expansion does not fit the work
    // area and is left out instead of running past it.
    std::string digits(254, '1');
    ZrString edge((digits + "M").c_str());
    EXPECT_DOUBLE_EQ(edge.asNumeric(), std::atof(digits.c_str()));
    ZrString manyM(std::string(300, 'M').c_str());
    (void)manyM.asNumeric();
}

TEST(ZrString, ToString) {
    ZrString s;
    EXPECT_EQ(str(s.toString(-123456)), "-123456");
    EXPECT_EQ(str(s.toString(static_cast<short>(-5))), "-5");
    EXPECT_EQ(str(s.toString(2147483647)), "2147483647");
}

TEST(ZrString, Comparisons) {
    ZrString a("a");
    ZrString b("b");
    EXPECT_EQ(a.compare(b), -1);
    EXPECT_EQ(b.compare(a), 1);
    EXPECT_EQ(a.compare(ZrString("a")), 0);
    EXPECT_LT(a.strcmp("b"), 0);
    EXPECT_TRUE(a == ZrString("a"));
    EXPECT_FALSE(a == b);
    EXPECT_EQ(ZrString("Settings").stricmp("SETTINGS"), 0);
}

TEST(ZrString, Str255Forms) {
    unsigned char out[256];
    std::memset(out, 0xEE, sizeof out);
    ZrString("abc").toStr255(out);
    EXPECT_EQ(out[0], 3);
    EXPECT_EQ(std::memcmp(out + 1, "abc", 3), 0);
    for (int i = 4; i < 255; ++i)
        ASSERT_EQ(out[i], 0) << i;
    EXPECT_EQ(out[255], 0xEE);

    // A text too long for the form: the length byte says what was stored.
    ZrString longText(std::string(300, 'z').c_str());
    longText.toStr255(out);
    EXPECT_EQ(out[0], 253);
    EXPECT_EQ(out[253], 'z');
    EXPECT_EQ(out[254], 0);

    unsigned char in[256] = {3, 'a', 'b', 'c'};
    ZrString back;
    back.asString(in);
    EXPECT_EQ(back.getLength(), 3);
    EXPECT_EQ(str(back), "abc");
}

TEST(ZrString, HexString) {
    ZrString s("A\xFF");
    ZrString out;
    s.toHexString(out);
    EXPECT_EQ(str(out), "41FF");
    s.toHexString(s);
    EXPECT_EQ(str(s), "41FF");
}

TEST(CharacterClasses, Table) {
    EXPECT_TRUE(cfIsDigit('\0'));
    EXPECT_TRUE(cfIsDigit('7'));
    EXPECT_FALSE(cfIsDigit('a'));
    EXPECT_FALSE(cfIsCSymbol('5'));
    EXPECT_TRUE(cfIsCSymbol('_'));
    EXPECT_TRUE(cfIsAlpha('Z'));
    EXPECT_FALSE(cfIsAlpha('\xC9'));
    EXPECT_EQ(cfToLower('Q'), 'q');
    EXPECT_EQ(cfToLower('\xC9'), '\xC9');
    for (int c = 0; c < 256; ++c) {
        bool expected = (c >= 0x09 && c <= 0x0D) || c == 0x20 || (c >= 0x81 && c <= 0x85) ||
                        (c >= 0x87 && c <= 0x90) || (c >= 0x93 && c <= 0xA0);
        ASSERT_EQ(cfIsSpace(static_cast<char>(c)), expected) << c;
    }
}

TEST(CaseInsensitive, Comparisons) {
    EXPECT_EQ(cfStricmp("Settings", "SETTINGS"), 0);
    EXPECT_EQ(cfStricmp("abc", "abcd"), -1);
    EXPECT_EQ(cfStricmp("abcd", "abc"), 1);
    EXPECT_NE(cfStricmp("abc", "abd"), 0);
    EXPECT_EQ(cfStrnicmp(nullptr, nullptr, 3), 0);
    EXPECT_NE(cfStrnicmp("a", nullptr, 1), 0);
    EXPECT_EQ(cfStrnicmp("DocType", "doctype", 7), 0);
    EXPECT_EQ(zrStricmp(nullptr, nullptr), -1);
    EXPECT_EQ(zrStricmp("a", nullptr), 1);
    EXPECT_EQ(zrStricmp("a", "B"), -1);
    EXPECT_EQ(zrStricmp("b", "A"), 1);
    EXPECT_EQ(zrStricmp("Hello", "hELLO"), 0);
    EXPECT_EQ(zrStrnicmp("abcX", "ABCY", 3), 0);
    EXPECT_EQ(zrStrnicmp("abc", "abd", 0), 0);
    EXPECT_EQ(zrStrnicmp("ab", "abc", 5), -1);
}

class Counted : public ZrObject {
public:
    explicit Counted(int* deaths) : mDeaths(deaths) {}
    ~Counted() override { ++*mDeaths; }

private:
    int* mDeaths;
};

TEST(ZrObject, ReferenceCountDestroysAtZero) {
    int deaths = 0;
    Counted* c = new Counted(&deaths);
    EXPECT_EQ(c->incReferences(), 1);
    EXPECT_EQ(c->incReferences(), 2);
    EXPECT_EQ(c->decReferences(), 1);
    EXPECT_EQ(deaths, 0);
    EXPECT_EQ(c->decReferences(), 0);
    EXPECT_EQ(deaths, 1);

    ZrObject plain;
    EXPECT_EQ(plain.compare(plain), 0);
    EXPECT_FALSE(plain.onCommand(1, 2));
    EXPECT_TRUE(plain.operator==(ZrString("anything"))); // the default isEqual
    EXPECT_EQ(ZrString("text").compare(plain), 0);       // not a string: no order
}

} // namespace
