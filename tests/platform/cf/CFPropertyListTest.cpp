// XML property lists, with python3's plistlib as the oracle: we read what
// it writes, and it reads what we write back to equal values.
#include "tests/platform/cf/CFTestSupport.h"

#include "platform/base/testing/TempRoot.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <sstream>

using namespace hx::cftest;

namespace {

Ref<CFPropertyListRef> parse(const std::string& doc,
                             CFOptionFlags options = kCFPropertyListImmutable) {
    Ref<CFDataRef> data(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(doc.data()), CFIndex(doc.size())));
    return Ref<CFPropertyListRef>(
        CFPropertyListCreateWithData(nullptr, data, options, nullptr, nullptr));
}

std::string serialise(CFPropertyListRef p) {
    Ref<CFDataRef> data(
        CFPropertyListCreateData(nullptr, p, kCFPropertyListXMLFormat_v1_0, 0, nullptr));
    if (!data.get()) return {};
    return std::string(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                       std::size_t(CFDataGetLength(data)));
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The tree both sides agree on; python builds it, writes it, and later
// compares what we wrote with it.
const char* kOracle = R"PY(
import plistlib, sys
value = {
    "Version": "1.0",
    "ChannelSettings": [0, 1, -1, 2**31, -2**63, 2**63 - 1],
    "Text": "caf\u00e9 <&> \u20ac \U0001F3B5 tab\tline\nend",
    "Empty": "",
    "Reals": [1.5, -0.25, 1e300, 5e-324, 0.1, float("inf"), float("-inf"), 3.0],
    "Flags": [True, False],
    "Blob": bytes(range(256)) * 2,
    "NoBytes": b"",
    "Nested": {"a": {"b": {"c": [[], {}, [1, [2, [3]]]]}}},
    "": "empty key",
}
if sys.argv[1] == "write":
    with open(sys.argv[2], "wb") as f:
        plistlib.dump(value, f, fmt=plistlib.FMT_XML)
else:
    with open(sys.argv[2], "rb") as f:
        back = plistlib.load(f)
    if back != value:
        print("differs:", back)
        sys.exit(1)
    print("equal")
)PY";

TEST(CFPropertyList, ReadsWhatPlistlibWritesAndWritesWhatItReadsBack) {
    hx::test::TempRoot root;
    const std::string theirs = root.path() + "/theirs.plist";
    const std::string ours = root.path() + "/ours.plist";
    int status = -1;
    python(kOracle, "write " + theirs, &status);
    ASSERT_EQ(status, 0);

    Ref<CFPropertyListRef> tree = parse(readAll(theirs));
    ASSERT_NE(tree.get(), nullptr);
    auto dict = static_cast<CFDictionaryRef>(tree.get());
    EXPECT_EQ(text(CFDictionaryGetValue(dict, CFSTR("Version"))), "1.0");
    EXPECT_EQ(text(CFDictionaryGetValue(dict, CFSTR("Text"))),
              "caf\xC3\xA9 <&> \xE2\x82\xAC \xF0\x9F\x8E\xB5 tab\tline\nend");
    auto settings = static_cast<CFArrayRef>(CFDictionaryGetValue(dict, CFSTR("ChannelSettings")));
    ASSERT_EQ(CFArrayGetCount(settings), 6);
    SInt64 big = 0;
    EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(settings, 4)),
                                 kCFNumberSInt64Type, &big));
    EXPECT_EQ(big, INT64_MIN);
    auto blob = static_cast<CFDataRef>(CFDictionaryGetValue(dict, CFSTR("Blob")));
    ASSERT_EQ(CFDataGetLength(blob), 512);
    EXPECT_EQ(CFDataGetBytePtr(blob)[255], 255);
    EXPECT_EQ(CFDictionaryGetValue(dict, CFSTR("Flags")) != nullptr, true);
    EXPECT_EQ(CFArrayGetValueAtIndex(
                  static_cast<CFArrayRef>(CFDictionaryGetValue(dict, CFSTR("Flags"))), 0),
              static_cast<const void*>(kCFBooleanTrue));

    const std::string written = serialise(tree);
    ASSERT_FALSE(written.empty());
    std::ofstream(ours, std::ios::binary) << written;
    EXPECT_EQ(python(kOracle, "check " + ours, &status), "equal\n");
    EXPECT_EQ(status, 0);

    // Our own reading of our own text gives the same tree.
    Ref<CFPropertyListRef> again = parse(written);
    EXPECT_TRUE(CFEqual(again, tree));
}

TEST(CFPropertyList, AcceptsTheFormsOtherWritersUse) {
    struct Case {
        const char* name;
        const char* doc;
        const char* stringValue; // the value as a string, or null for a number check
        long long intValue;
    } cases[] = {
        {"no plist element", "<string>bare</string>", "bare", 0},
        {"declaration, comments, document type",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- c --><!DOCTYPE plist SYSTEM \"plist.dtd\">"
         "<plist version='1.0'><!-- in --><string>x</string></plist>\n<!-- after -->",
         "x", 0},
        {"entities and references",
         "<plist><string>&lt;&amp;&gt;&quot;&apos;&#65;&#x20AC;</string></plist>",
         "<&>\"'A\xE2\x82\xAC", 0},
        {"CDATA and comments inside text",
         "<plist><string>a<![CDATA[<b>&]]><!-- x -->c</string></plist>", "a<b>&c", 0},
        {"line ends normalised", "<plist><string>a\r\nb\rc</string></plist>", "a\nb\nc", 0},
        {"empty string element", "<plist><string/></plist>", "", 0},
        {"hex integer", "<plist><integer>0x7f</integer></plist>", nullptr, 127},
        {"integer with blanks", "<plist><integer> -42 </integer></plist>", nullptr, -42},
        {"smallest integer", "<plist><integer>-9223372036854775808</integer></plist>", nullptr,
         INT64_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Ref<CFPropertyListRef> p = parse(c.doc);
        ASSERT_NE(p.get(), nullptr);
        if (c.stringValue) {
            EXPECT_EQ(text(p), c.stringValue);
        } else {
            SInt64 v = 0;
            EXPECT_TRUE(
                CFNumberGetValue(static_cast<CFNumberRef>(p.get()), kCFNumberSInt64Type, &v));
            EXPECT_EQ(v, c.intValue);
        }
    }
}

std::string nested(int depth) {
    std::string doc = "<plist>";
    for (int i = 0; i < depth; ++i)
        doc += "<array>";
    for (int i = 0; i < depth; ++i)
        doc += "</array>";
    return doc + "</plist>";
}

TEST(CFPropertyList, RefusesMalformedAndOutOfBoundsDocumentsWhole) {
    const std::string good = "<plist><dict><key>a</key><integer>1</integer></dict></plist>";
    struct Case {
        const char* name;
        std::string doc;
    } cases[] = {
        {"binary", std::string("bplist00\xD1\x01\x02", 11)},
        {"truncated", good.substr(0, good.size() - 9)},
        {"empty", ""},
        {"nested one too deep", nested(kHXPropertyListMaxDepth + 1)},
        {"integer above 64 bits", "<plist><integer>9223372036854775808</integer></plist>"},
        {"integer below 64 bits", "<plist><integer>-9223372036854775809</integer></plist>"},
        {"integer with junk", "<plist><integer>12abc</integer></plist>"},
        {"real with junk", "<plist><real>1.5x</real></plist>"},
        {"date", "<plist><date>2020-01-01T00:00:00Z</date></plist>"},
        {"unknown element", "<plist><set/></plist>"},
        {"unknown entity", "<plist><string>&nbsp;</string></plist>"},
        {"character reference zero", "<plist><string>&#0;</string></plist>"},
        {"bad base64", "<plist><data>ab$=</data></plist>"},
        {"text not UTF-8", "<plist><string>caf\xE9</string></plist>"},
        {"key without value", "<plist><dict><key>a</key></dict></plist>"},
        {"value without key", "<plist><dict><string>a</string></dict></plist>"},
        {"mismatched end", "<plist><array></dict></plist>"},
        {"two values", "<plist><true/><false/></plist>"},
        {"content after the document", good + "<string/>"},
        {"internal subset",
         "<!DOCTYPE plist [<!ENTITY x \"y\">]><plist><string>&x;</string></plist>"},
        {"text in a container", "<plist><array>loose</array></plist>"},
        {"raw control character", "<plist><string>a\x01b</string></plist>"},
        {"raw NUL in a key", std::string("<plist><dict><key>a\0b</key><true/></dict></plist>", 46)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse(c.doc).get(), nullptr);
    }
    // The bounds themselves are inside.
    EXPECT_NE(parse(nested(kHXPropertyListMaxDepth)).get(), nullptr);
    EXPECT_NE(parse(good).get(), nullptr);

    // The older call says why.
    Ref<CFDataRef> data(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8*>("<plist><date/></plist>"), 22));
    CFStringRef why = nullptr;
    EXPECT_EQ(CFPropertyListCreateFromXMLData(nullptr, data, 0, &why), nullptr);
    Ref<CFStringRef> owned(why);
    EXPECT_EQ(text(why), "unsupported element <date>");
}

TEST(CFPropertyList, WriterRefusesWhatIsNotAPropertyList) {
    Ref<CFMutableDictionaryRef> numericKey(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(numericKey, num(1), CFSTR("v"));
    EXPECT_EQ(serialise(numericKey), "");
    EXPECT_FALSE(CFPropertyListIsValid(numericKey, kCFPropertyListXMLFormat_v1_0));

    Ref<CFURLRef> url(
        CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
    EXPECT_EQ(serialise(url), "");

    // A container holding itself ends at the depth bound instead of the stack.
    Ref<CFMutableArrayRef> loop(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(loop, loop);
    EXPECT_EQ(serialise(loop), "");
    EXPECT_EQ(CFPropertyListCreateDeepCopy(nullptr, loop, kCFPropertyListImmutable), nullptr);
    CFArrayRemoveAllValues(loop);

    // No XML document carries U+0000; other control characters go as
    // references and come back.
    const UniChar withNul[] = {'a', 0, 'b'};
    Ref<CFStringRef> nul(CFStringCreateWithCharacters(nullptr, withNul, 3));
    EXPECT_EQ(serialise(nul), "");
    Ref<CFStringRef> control = str("bell\x07 cr\r end");
    EXPECT_TRUE(CFEqual(parse(serialise(control)), control));

    EXPECT_EQ(serialise(kCFBooleanTrue),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
              "<true/>\n</plist>\n");
}

TEST(CFPropertyList, MutabilityOptionDecidesWhatMayChange) {
    const std::string doc =
        "<plist><dict><key>list</key><array><string>s</string></array></dict></plist>";
    Ref<CFPropertyListRef> frozen = parse(doc, kCFPropertyListImmutable);
    Ref<CFPropertyListRef> open = parse(doc, kCFPropertyListMutableContainers);
    Ref<CFPropertyListRef> leaves = parse(doc, kCFPropertyListMutableContainersAndLeaves);
    for (CFPropertyListRef p : {frozen.get(), open.get(), leaves.get()})
        CFDictionarySetValue(const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(p)),
                             CFSTR("new"), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(frozen.get())), 1);
    EXPECT_EQ(CFDictionaryGetCount(static_cast<CFDictionaryRef>(open.get())), 2);
    auto leaf = [](CFPropertyListRef p) {
        auto list = static_cast<CFArrayRef>(
            CFDictionaryGetValue(static_cast<CFDictionaryRef>(p), CFSTR("list")));
        auto s = static_cast<CFStringRef>(CFArrayGetValueAtIndex(list, 0));
        CFStringAppend(const_cast<CFMutableStringRef>(s), CFSTR("+"));
        return text(s);
    };
    EXPECT_EQ(leaf(open), "s");
    EXPECT_EQ(leaf(leaves), "s+");
}

} // namespace
