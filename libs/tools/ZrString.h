// The tools library's heap string, and the byte-level character classes and
// case-insensitive comparisons the library parses with.
//
// A ZrString always owns one zero-terminated buffer. Every allocation leaves
// 32 spare bytes so short appends do not reallocate.
#pragma once

#include <cstddef>

#include "libs/tools/ZrObject.h"

class ZrString : public ZrObject {
public:
    ZrString();
    ZrString(char const* text);
    ZrString(char fill, int count);
    ZrString(ZrString const& other);
    ~ZrString() override;

    ZrString& operator=(ZrString const& other) {
        assign(other);
        return *this;
    }
    ZrString& operator=(char const* text) {
        assign(text);
        return *this;
    }

    int compare(ZrObject const& other) const override;

    ZrString& clear();
    void assign(char const* text);
    void assign(ZrString const& other);
    ZrString& operator+=(char c);
    ZrString& operator+=(char const* text);
    ZrString& setSize(int n);
    ZrString& setLength(int n);
    void countLength();
    int getLength() const { return length; }
    int getCapacity() const { return capacity; }
    bool isEmpty() const { return length == 0; }
    operator char const*() const { return text; }

    char* copyString() const;
    char* copyString(char* out, int max) const;
    void substring(ZrString& out, int start, int count) const;
    void left(ZrString& out, int n) const;
    void right(ZrString& out, int n) const;
    int match(char const* pattern) const;
    ZrString& trimLeft();
    ZrString& trimRight();
    ZrString& uppercase();
    ZrString& lowercase();
    ZrString& printf(char const* fmt, ...) __attribute__((format(printf, 2, 3)));
    double asNumeric() const;
    ZrString& toString(int v);
    ZrString& toString(short v);
    ZrString& replace(char const* pattern, char const* replacement);
    int strcmp(char const* other) const;
    int stricmp(char const* other) const;
    void toStr255(unsigned char (&out)[256]) const;
    void asString(unsigned char const (&in)[256]);
    void toHexString(ZrString& out) const;

    // Same bytes (compare gives 0); unlike ZrObject's, which asks isEqual.
    bool operator==(ZrObject const& other) const { return compare(other) == 0; }

private:
    // These two fill the buffer directly and then call countLength.
    friend class ZrByteBuffer;
    friend class ZrScanner;

    void allocate(int bytes);
    bool inBuffer(char const* p) const { return p >= text && p < text + capacity; }

    char* text;
    int capacity;
    int length;
};

bool cfIsDigit(char c);
bool cfIsSpace(char c);
bool cfIsAlpha(char c);
bool cfIsCSymbol(char c);
char cfToLower(char c);

int cfStrnicmp(char const* a, char const* b, size_t n);
int cfStricmp(char const* a, char const* b);
int zrStrnicmp(char const* a, char const* b, size_t n);
int zrStricmp(char const* a, char const* b);
