// XML property lists.
//
// The reader takes the documents other programs write: an optional XML
// declaration, comments and a document type (without an internal subset),
// then one value, usually inside <plist>. Text is UTF-8; the five named
// entities and character references are expanded, CDATA sections taken as
// they stand, line ends normalised as XML does. Anything else is refused
// whole: a date, an unknown element, a binary document, nesting beyond
// kHXPropertyListMaxDepth, an integer outside 64 signed bits.
#include "platform/cf/CFPropertyList.h"
#include "platform/cf/CFInternal.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

using namespace hx::cf;

namespace {

struct Refused {
    std::string why;
};

// Releases what it holds when a refusal unwinds past it.
struct Held {
    explicit Held(CFTypeRef r) : ref(r) {}
    ~Held() { CFRelease(ref); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    CFTypeRef ref;
};

class Reader {
public:
    Reader(const std::uint8_t* bytes, std::size_t n, CFOptionFlags mutability)
        : mP(reinterpret_cast<const char*>(bytes)), mEnd(mP + n), mMutability(mutability) {}

    CFPropertyListRef document() {
        if (mEnd - mP >= 3 && std::memcmp(mP, "\xEF\xBB\xBF", 3) == 0) mP += 3;
        if (mEnd - mP >= 6 && std::memcmp(mP, "bplist", 6) == 0)
            throw Refused{"binary property list"};
        skipMisc(true);
        std::string name = openTag();
        if (name == "plist" && mSelfClosed) throw Refused{"empty plist element"};
        const bool wrapped = name == "plist";
        if (wrapped) {
            skipMisc(false);
            name = readTagName();
        }
        Held result(value(name, 0));
        skipMisc(false);
        if (wrapped) {
            closeTag("plist", nullptr);
            skipMisc(false);
        }
        if (mP != mEnd) throw Refused{"content after the document"};
        CFPropertyListRef out = result.ref;
        result.ref = nullptr;
        return out;
    }

private:
    bool atEnd() const { return mP >= mEnd; }
    bool startsWith(const char* s) const {
        std::size_t n = std::strlen(s);
        return std::size_t(mEnd - mP) >= n && std::memcmp(mP, s, n) == 0;
    }
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    void skipSpace() {
        while (!atEnd() && isSpace(*mP))
            ++mP;
    }
    void skipPast(const char* terminator, const char* what) {
        const char* found = std::search(mP, mEnd, terminator, terminator + std::strlen(terminator));
        if (found == mEnd) throw Refused{std::string("unterminated ") + what};
        mP = found + std::strlen(terminator);
    }

    // Blanks, comments and (in the prolog) declarations and a document type.
    void skipMisc(bool prolog) {
        for (;;) {
            skipSpace();
            if (startsWith("<!--")) {
                mP += 4;
                skipPast("-->", "comment");
            } else if (prolog && startsWith("<?")) {
                mP += 2;
                skipPast("?>", "declaration");
            } else if (prolog && startsWith("<!DOCTYPE")) {
                const char* close = std::find(mP, mEnd, '>');
                if (std::find(mP, close, '[') != close)
                    throw Refused{"document type with an internal subset"};
                if (close == mEnd) throw Refused{"unterminated document type"};
                mP = close + 1;
            } else {
                return;
            }
        }
    }

    static bool isNameChar(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == ':' || c == '.';
    }

    // "<name": answers the name, leaves mP after it.
    std::string readTagName() {
        if (atEnd() || *mP != '<') throw Refused{"element expected"};
        ++mP;
        const char* s = mP;
        while (!atEnd() && isNameChar(*mP))
            ++mP;
        if (mP == s) throw Refused{"element name expected"};
        std::string name(s, mP);
        readAttributes();
        return name;
    }

    // Attributes are read and ignored; sets mSelfClosed.
    void readAttributes() {
        for (;;) {
            skipSpace();
            if (atEnd()) throw Refused{"unterminated tag"};
            if (*mP == '>') {
                ++mP;
                mSelfClosed = false;
                return;
            }
            if (startsWith("/>")) {
                mP += 2;
                mSelfClosed = true;
                return;
            }
            const char* s = mP;
            while (!atEnd() && isNameChar(*mP))
                ++mP;
            if (mP == s) throw Refused{"malformed attribute"};
            skipSpace();
            if (atEnd() || *mP != '=') throw Refused{"malformed attribute"};
            ++mP;
            skipSpace();
            if (atEnd() || (*mP != '"' && *mP != '\'')) throw Refused{"malformed attribute"};
            const char quote = *mP++;
            const char* close = std::find(mP, mEnd, quote);
            if (close == mEnd || std::find(mP, close, '<') != close)
                throw Refused{"malformed attribute"};
            mP = close + 1;
        }
    }

    std::string openTag() { return readTagName(); }

    void closeTag(const std::string& name, CFTypeRef built) {
        const std::string close = "</" + name;
        if (!startsWith(close.c_str())) {
            CFRelease(built);
            throw Refused{"</" + name + "> expected"};
        }
        mP += close.size();
        skipSpace();
        if (atEnd() || *mP != '>') {
            CFRelease(built);
            throw Refused{"malformed end tag"};
        }
        ++mP;
    }

    // Text up to the element's end tag (character data, references, CDATA,
    // comments); no child elements.
    std::string text(const std::string& name) {
        std::string out;
        if (mSelfClosed) return out;
        for (;;) {
            if (atEnd()) throw Refused{"unterminated <" + name + ">"};
            const char c = *mP;
            if (c == '<') {
                if (startsWith("<!--")) {
                    mP += 4;
                    skipPast("-->", "comment");
                } else if (startsWith("<![CDATA[")) {
                    mP += 9;
                    const char* s = mP;
                    skipPast("]]>", "CDATA section");
                    appendNormalised(out, s, mP - 3);
                } else {
                    closeTag(name, nullptr);
                    return out;
                }
            } else if (c == '&') {
                reference(out);
            } else {
                const char* s = mP;
                while (!atEnd() && *mP != '<' && *mP != '&')
                    ++mP;
                appendNormalised(out, s, mP);
            }
        }
    }

    // XML line ends: CR LF and a lone CR read as LF. Other control
    // characters are not XML text (they come only as references).
    static void appendNormalised(std::string& out, const char* s, const char* e) {
        for (; s < e; ++s) {
            if (static_cast<unsigned char>(*s) < 0x20 && *s != '\t' && *s != '\n' && *s != '\r')
                throw Refused{"control character in text"};
            if (*s == '\r') {
                out += '\n';
                if (s + 1 < e && s[1] == '\n') ++s;
            } else {
                out += *s;
            }
        }
    }

    void reference(std::string& out) {
        const char* semi = std::find(mP, std::min(mEnd, mP + 12), ';');
        if (semi == std::min(mEnd, mP + 12)) throw Refused{"malformed reference"};
        std::string ref(mP + 1, semi);
        mP = semi + 1;
        if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "amp")
            out += '&';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (ref.size() > 1 && ref[0] == '#') {
            std::uint32_t cp = 0;
            const bool hex = ref[1] == 'x';
            const char* b = ref.data() + (hex ? 2 : 1);
            const char* e = ref.data() + ref.size();
            auto r = std::from_chars(b, e, cp, hex ? 16 : 10);
            if (b == e || r.ec != std::errc() || r.ptr != e || cp == 0 || cp > 0x10FFFF ||
                (cp >= 0xD800 && cp <= 0xDFFF))
                throw Refused{"bad character reference"};
            encodeCodePoint(cp, kCFStringEncodingUTF8, out);
        } else {
            throw Refused{"unknown entity &" + ref + ";"};
        }
    }

    static std::string trimmed(const std::string& s) {
        std::size_t b = s.find_first_not_of(" \t\n\r");
        if (b == std::string::npos) return {};
        std::size_t e = s.find_last_not_of(" \t\n\r");
        return s.substr(b, e - b + 1);
    }

    CFStringRef stringValue(const std::string& t) {
        std::u16string u;
        if (!decodeUtf8(t.data(), t.size(), u)) throw Refused{"text is not UTF-8"};
        return makeString(std::move(u), mMutability == kCFPropertyListMutableContainersAndLeaves);
    }

    static CFNumberRef integer(const std::string& raw) {
        std::string t = trimmed(raw);
        bool negative = false;
        std::size_t i = 0;
        if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
        int base = 10;
        if (t.size() - i > 2 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X'))
            base = 16, i += 2;
        std::uint64_t mag = 0;
        const char* b = t.data() + i;
        const char* e = t.data() + t.size();
        auto r = std::from_chars(b, e, mag, base);
        if (b == e || r.ptr != e) throw Refused{"malformed integer"};
        if (r.ec != std::errc() || mag > (negative ? 0x8000000000000000ull : 0x7FFFFFFFFFFFFFFFull))
            throw Refused{"integer out of range"};
        return makeInteger(negative ? std::int64_t(0 - mag) : std::int64_t(mag));
    }

    static CFNumberRef real(const std::string& raw) {
        std::string t = trimmed(raw);
        bool negative = false;
        std::size_t i = 0;
        if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
        double d = 0;
        const char* b = t.data() + i;
        const char* e = t.data() + t.size();
        auto r = std::from_chars(b, e, d);
        if (b == e || r.ptr != e || (*b == '-' || *b == '+')) throw Refused{"malformed real"};
        // Beyond the range of a double a value reads as infinity, as strtod has it.
        if (r.ec == std::errc::result_out_of_range) {
            const bool tiny =
                std::find_if(b, e, [](char c) { return c == 'e' || c == 'E'; }) != e &&
                std::find(b, e, '-') != e;
            d = tiny ? 0.0 : HUGE_VAL;
        } else if (r.ec != std::errc()) {
            throw Refused{"malformed real"};
        }
        return makeReal(negative ? -d : d);
    }

    static int base64Value(char c) {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    }

    CFDataRef data(const std::string& t) {
        std::vector<UInt8> bytes;
        std::uint32_t acc = 0;
        int bits = 0, pad = 0;
        for (char c : t) {
            if (isSpace(c)) continue;
            if (c == '=') {
                ++pad;
                continue;
            }
            const int v = base64Value(c);
            if (v < 0 || pad) throw Refused{"malformed data"};
            acc = (acc << 6) | std::uint32_t(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                bytes.push_back(UInt8(acc >> bits));
            }
        }
        if (pad > 2 || bits >= 6) throw Refused{"malformed data"};
        auto* d = new HXCFData;
        d->mBytes = std::move(bytes);
        d->mMutable = mMutability == kCFPropertyListMutableContainersAndLeaves;
        return d;
    }

    // The value whose start tag (name) was just read.
    CFPropertyListRef value(const std::string& name, int depth) {
        if (name == "dict") return dictionary(depth + 1);
        if (name == "array") return array(depth + 1);
        if (name == "string") return stringValue(text(name));
        if (name == "integer") return integer(text(name));
        if (name == "real") return real(text(name));
        if (name == "data") return data(text(name));
        if (name == "true" || name == "false") {
            if (!trimmed(text(name)).empty()) throw Refused{"text in <" + name + ">"};
            return name == "true" ? kCFBooleanTrue : kCFBooleanFalse;
        }
        throw Refused{"unsupported element <" + name + ">"};
    }

    CFPropertyListRef dictionary(int depth) {
        if (depth > kHXPropertyListMaxDepth) throw Refused{"nested too deep"};
        auto* d = static_cast<HXCFDictionary*>(CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        d->mMutable = mMutability != kCFPropertyListImmutable;
        if (mSelfClosed) return d;
        try {
            for (;;) {
                skipMisc(false);
                if (startsWith("</")) break;
                if (readTagName() != "key") throw Refused{"<key> expected in <dict>"};
                Held key(stringValue(text("key")));
                skipMisc(false);
                if (startsWith("</")) throw Refused{"key without a value"};
                Held v(value(readTagName(), depth));
                d->set(key.ref, v.ref);
            }
        } catch (...) {
            CFRelease(d);
            throw;
        }
        closeTag("dict", d);
        return d;
    }

    CFPropertyListRef array(int depth) {
        if (depth > kHXPropertyListMaxDepth) throw Refused{"nested too deep"};
        auto* a = static_cast<HXCFArray*>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        a->mMutable = mMutability != kCFPropertyListImmutable;
        if (mSelfClosed) return a;
        try {
            for (;;) {
                skipMisc(false);
                if (startsWith("</")) break;
                CFPropertyListRef v = value(readTagName(), depth);
                a->mValues.push_back(v); // takes the reference
            }
        } catch (...) {
            CFRelease(a);
            throw;
        }
        closeTag("array", a);
        return a;
    }

    const char* mP;
    const char* mEnd;
    CFOptionFlags mMutability;
    bool mSelfClosed = false;
};

// ---- Writer

// False for a text holding U+0000, which no XML document can carry.
bool escapeText(const std::u16string& t, std::string& out) {
    if (t.find(char16_t(0)) != std::u16string::npos) return false;
    std::string u;
    appendUtf8(t, u);
    for (unsigned char c : u) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        default:
            // Control characters (and CR, which a reader turns into LF) go as
            // references so the text comes back as it was.
            if (c < 0x20 && c != '\n' && c != '\t') {
                out += "&#" + std::to_string(int(c)) + ";";
            } else {
                out += char(c);
            }
        }
    }
    return true;
}

void appendBase64(const std::vector<UInt8>& b, std::string& out, int indent) {
    static const char* kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string line;
    auto flush = [&] {
        out.append(std::size_t(indent), '\t');
        out += line;
        out += '\n';
        line.clear();
    };
    for (std::size_t i = 0; i < b.size(); i += 3) {
        std::uint32_t v = std::uint32_t(b[i]) << 16;
        if (i + 1 < b.size()) v |= std::uint32_t(b[i + 1]) << 8;
        if (i + 2 < b.size()) v |= b[i + 2];
        line += kAlphabet[(v >> 18) & 63];
        line += kAlphabet[(v >> 12) & 63];
        line += i + 1 < b.size() ? kAlphabet[(v >> 6) & 63] : '=';
        line += i + 2 < b.size() ? kAlphabet[v & 63] : '=';
        if (line.size() >= 76) flush();
    }
    if (!line.empty()) flush();
}

bool writeValue(CFPropertyListRef v, std::string& out, int indent, int depth) {
    auto pad = [&](int n) { out.append(std::size_t(n), '\t'); };
    if (auto* s = as<HXCFString>(v)) {
        pad(indent);
        out += "<string>";
        if (!escapeText(s->mText, out)) return false;
        out += "</string>\n";
    } else if (auto* n = as<HXCFNumber>(v)) {
        pad(indent);
        if (n->mIsFloat) {
            out += "<real>";
            n->describe(out, 0);
            out += "</real>\n";
        } else {
            out += "<integer>" + std::to_string(n->mInt) + "</integer>\n";
        }
    } else if (auto* b = as<HXCFBoolean>(v)) {
        pad(indent);
        out += b->mValue ? "<true/>\n" : "<false/>\n";
    } else if (auto* d = as<HXCFData>(v)) {
        pad(indent);
        out += "<data>\n";
        appendBase64(d->mBytes, out, indent);
        pad(indent);
        out += "</data>\n";
    } else if (auto* a = as<HXCFArray>(v)) {
        if (depth + 1 > kHXPropertyListMaxDepth) return false;
        pad(indent);
        if (a->mValues.empty()) {
            out += "<array/>\n";
            return true;
        }
        out += "<array>\n";
        for (const void* item : a->mValues)
            if (!writeValue(item, out, indent + 1, depth + 1)) return false;
        pad(indent);
        out += "</array>\n";
    } else if (auto* dict = as<HXCFDictionary>(v)) {
        if (depth + 1 > kHXPropertyListMaxDepth) return false;
        pad(indent);
        if (dict->mEntries.empty()) {
            out += "<dict/>\n";
            return true;
        }
        std::vector<const HXCFDictionary::Entry*> entries;
        for (const auto& e : dict->mEntries) {
            if (!as<HXCFString>(e.key)) return false;
            entries.push_back(&e);
        }
        std::sort(entries.begin(), entries.end(), [](auto* x, auto* y) {
            return as<HXCFString>(x->key)->mText < as<HXCFString>(y->key)->mText;
        });
        out += "<dict>\n";
        for (auto* e : entries) {
            pad(indent + 1);
            out += "<key>";
            if (!escapeText(as<HXCFString>(e->key)->mText, out)) return false;
            out += "</key>\n";
            if (!writeValue(e->value, out, indent + 1, depth + 1)) return false;
        }
        pad(indent);
        out += "</dict>\n";
    } else {
        return false;
    }
    return true;
}

bool isValid(CFPropertyListRef v, int depth) {
    if (as<HXCFString>(v) || as<HXCFNumber>(v) || as<HXCFBoolean>(v) || as<HXCFData>(v))
        return true;
    if (depth + 1 > kHXPropertyListMaxDepth) return false;
    if (auto* a = as<HXCFArray>(v)) {
        for (const void* item : a->mValues)
            if (!isValid(item, depth + 1)) return false;
        return true;
    }
    if (auto* d = as<HXCFDictionary>(v)) {
        for (const auto& e : d->mEntries)
            if (!as<HXCFString>(e.key) || !isValid(e.value, depth + 1)) return false;
        return true;
    }
    return false;
}

} // namespace

namespace hx::cf {

CFPropertyListRef readPropertyList(const std::uint8_t* bytes, std::size_t n,
                                   CFOptionFlags mutability, std::string* why) {
    if (!bytes && n) return nullptr;
    try {
        return Reader(bytes, n, mutability).document();
    } catch (const Refused& r) {
        if (why) *why = r.why;
        return nullptr;
    }
}

bool writePropertyList(CFPropertyListRef plist, std::string& out) {
    out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
    if (!writeValue(plist, out, 0, 0)) return false;
    out += "</plist>\n";
    return true;
}

CFPropertyListRef deepCopy(CFPropertyListRef plist, CFOptionFlags mutability, int depth) {
    const bool leaves = mutability == kCFPropertyListMutableContainersAndLeaves;
    if (auto* s = as<HXCFString>(plist))
        return leaves ? CFStringCreateMutableCopy(nullptr, 0, s) : CFStringCreateCopy(nullptr, s);
    if (auto* d = as<HXCFData>(plist))
        return leaves ? CFDataCreateMutableCopy(nullptr, 0, d) : CFDataCreateCopy(nullptr, d);
    if (as<HXCFNumber>(plist) || as<HXCFBoolean>(plist)) return CFRetain(plist);
    if (depth + 1 > kHXPropertyListMaxDepth) return nullptr;
    if (auto* a = as<HXCFArray>(plist)) {
        auto* copy =
            static_cast<HXCFArray*>(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
        for (const void* item : a->mValues) {
            CFPropertyListRef c = deepCopy(item, mutability, depth + 1);
            if (!c) {
                CFRelease(copy);
                return nullptr;
            }
            copy->mValues.push_back(c);
        }
        copy->mMutable = mutability != kCFPropertyListImmutable;
        return copy;
    }
    if (auto* d = as<HXCFDictionary>(plist)) {
        auto* copy = static_cast<HXCFDictionary*>(CFDictionaryCreateMutable(
            nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        for (const auto& e : d->mEntries) {
            CFStringRef key = as<HXCFString>(e.key)
                                  ? CFStringCreateCopy(nullptr, static_cast<CFStringRef>(e.key))
                                  : nullptr;
            CFPropertyListRef c = key ? deepCopy(e.value, mutability, depth + 1) : nullptr;
            if (!c) {
                CFRelease(key);
                CFRelease(copy);
                return nullptr;
            }
            copy->set(key, c);
            CFRelease(key);
            CFRelease(c);
        }
        copy->mMutable = mutability != kCFPropertyListImmutable;
        return copy;
    }
    return nullptr;
}

} // namespace hx::cf

extern "C" {

CFPropertyListRef CFPropertyListCreateWithData(CFAllocatorRef, CFDataRef data,
                                               CFOptionFlags options, CFPropertyListFormat* format,
                                               CFErrorRef* error) {
    if (error) *error = nullptr;
    auto* d = as<HXCFData>(data);
    if (!d) return nullptr;
    CFPropertyListRef p = readPropertyList(d->mBytes.data(), d->mBytes.size(), options, nullptr);
    if (p && format) *format = kCFPropertyListXMLFormat_v1_0;
    return p;
}

CFDataRef CFPropertyListCreateData(CFAllocatorRef, CFPropertyListRef propertyList,
                                   CFPropertyListFormat format, CFOptionFlags, CFErrorRef* error) {
    if (error) *error = nullptr;
    std::string text;
    if (format != kCFPropertyListXMLFormat_v1_0 || !writePropertyList(propertyList, text))
        return nullptr;
    return CFDataCreate(nullptr, reinterpret_cast<const UInt8*>(text.data()), CFIndex(text.size()));
}

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption,
                                                  CFStringRef* errorString) {
    if (errorString) *errorString = nullptr;
    auto* d = as<HXCFData>(xmlData);
    std::string why = "not data";
    CFPropertyListRef p =
        d ? readPropertyList(d->mBytes.data(), d->mBytes.size(), mutabilityOption, &why) : nullptr;
    if (!p && errorString) *errorString = stringFromUtf8(why);
    return p;
}

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef alloc, CFPropertyListRef propertyList) {
    return CFPropertyListCreateData(alloc, propertyList, kCFPropertyListXMLFormat_v1_0, 0, nullptr);
}

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    return deepCopy(propertyList, mutabilityOption);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    return format == kCFPropertyListXMLFormat_v1_0 && isValid(plist, 0);
}
}
