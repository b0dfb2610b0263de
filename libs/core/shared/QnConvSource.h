// Text encodings, conversion states and the source that yields one code
// point at a time from 8-bit, UTF-8, UTF-16 or UTF-32 text (native byte
// order), declared once for both builds of the core library. Each build's
// text header includes this file with QN_CORE_NS naming the build's
// namespace; no include guard (the including header has one).

namespace QN_CORE_NS {

enum Encoding : unsigned {
    kEncoding8Bit = 0, // each byte is the code point U+0000..U+00FF
    kEncodingUTF8 = 1,
    kEncodingUTF16 = 2,
    kEncodingUTF32 = 3,
};

// Conversion status kept by every conversion object.
enum : unsigned {
    kConvOK = 0,
    kConvSourceEnd = 1, // source used up, or a malformed UTF-8 sequence
    kConvSourceNul = 2, // the source reached a NUL unit
    kConvInvalidSource =
        3,               // surrogate, above 0x10FFFF; in UTF-16 also unpaired (user build: or NUL)
    kConvTargetFull = 4, // no room for the next character
    kConvInvalidTarget = 5, // 0, a surrogate value or above 0x10FFFF given to a target
};

// The text a source can be built from: a pointer to 8-bit text and its
// length in units.
class String {
public:
    String() = default;
    String(const char* text, unsigned long long length) : mpText(text), mLength(length) {}
    const char* text() const { return mpText; }
    unsigned long long length() const { return mLength; }

private:
    const char* mpText = nullptr;
    unsigned long long mLength = 0;
};

class ConvBase {
public:
    void setEncoding(Encoding e);
    unsigned long long unitSize() const { return mUnitSize; }
    Encoding encoding() const { return mEncoding; }
    unsigned status() const { return mStatus; }

protected:
    unsigned long long mUnitSize = 1;
    Encoding mEncoding = kEncoding8Bit;
    unsigned mStatus = kConvOK;
};

class ConvSource : public ConvBase {
public:
    static constexpr unsigned long long kUntilNul = ~0ULL;

    ConvSource() = default;
    ConvSource(const void* text, unsigned long long units, Encoding e) { init(text, units, e); }
    ConvSource(const char* text, unsigned long long n) { init(text, n); }
    ConvSource(const unsigned char* text, unsigned long long n) { init(text, n); }
    ConvSource(const unsigned short* text, unsigned long long n) { init(text, n); }
    ConvSource(const unsigned* text, unsigned long long n) { init(text, n); }
    explicit ConvSource(const String& s) { init(s); }

    ConvSource& init(const void* text, unsigned long long units, Encoding e);
    ConvSource& init(const char* text, unsigned long long n) {
        return init(text, n, kEncoding8Bit);
    }
    ConvSource& init(const unsigned char* text, unsigned long long n) {
        return init(text, n, kEncodingUTF8);
    }
    ConvSource& init(const unsigned short* text, unsigned long long n) {
        return init(text, n, kEncodingUTF16);
    }
    ConvSource& init(const unsigned* text, unsigned long long n) {
        return init(text, n, kEncodingUTF32);
    }
    ConvSource& init(const String& s) { return init(s.text(), s.length(), kEncoding8Bit); }
    ConvSource& reinit() { return init(mpStart, mLength, mGivenEncoding); }

    bool skipItem();
    // The next code point, or 0 at the end, at a NUL unit or on bad input
    // (status() tells which; the cursor stays on a bad character). A
    // malformed UTF-8 sequence also fails the build's check (the kernel
    // build logs an assertion line).
    unsigned nextChar();

    const void* cursor() const { return mpCursor; }
    unsigned long long remaining() const { return mRemaining; }

private:
    const void* mpStart = nullptr;
    unsigned long long mLength = 0;
    Encoding mGivenEncoding = kEncoding8Bit; // as given, for reinit
    const unsigned char* mpCursor = nullptr;
    unsigned long long mRemaining = 0;
};

} // namespace QN_CORE_NS
