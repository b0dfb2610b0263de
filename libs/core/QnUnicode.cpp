#include "libs/core/QnUnicode.h"

namespace Core {

const UniCharInfo _UniCharInfo[] = {
#include "libs/core/QnUnicodeData.inc"
};

const unsigned long long _UniCharInfo_Count = sizeof(_UniCharInfo) / sizeof(_UniCharInfo[0]);

unsigned _UniCharInfo_LinearCount = 0;

void init_unicodeCharInfo() {
    unsigned n = 0;
    while (n < _UniCharInfo_Count && _UniCharInfo[n].code == n)
        ++n;
    _UniCharInfo_LinearCount = n;
}

long long UniCharInfo_compare(const void* a, const void* b) {
    // As numbers: a wrapped unsigned difference would misorder far-apart codes.
    return static_cast<long long>(static_cast<const UniCharInfo*>(a)->code) -
           static_cast<long long>(static_cast<const UniCharInfo*>(b)->code);
}

UniCharInfo getUniCharInfo(unsigned cp) {
    if (cp < _UniCharInfo_LinearCount) return _UniCharInfo[cp];
    UniCharInfo key = {cp, cp, cp, 0};
    const void* found =
        quickFind(&key, _UniCharInfo, _UniCharInfo_Count, sizeof(UniCharInfo), UniCharInfo_compare);
    if (found) return *static_cast<const UniCharInfo*>(found);
    return key;
}

unsigned toUpper(unsigned cp) {
    return getUniCharInfo(cp).upper;
}
unsigned toLower(unsigned cp) {
    return getUniCharInfo(cp).lower;
}

bool isLower(unsigned cp) {
    return getUniCharInfo(cp).category == 2;
}

bool isUpper(unsigned cp) {
    unsigned c = getUniCharInfo(cp).category;
    return c == 1 || c == 3;
}

bool isLetter(unsigned cp) {
    unsigned c = getUniCharInfo(cp).category;
    return c == 1 || c == 2 || c == 3;
}

} // namespace Core
