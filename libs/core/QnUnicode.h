// Unicode 10.0 character data of the core library: one row per assigned code
// point (the First/Last ranges of the database keep only their two end
// rows), with the simple case mappings and the general category.
#pragma once

#include "libs/core/QnSort.h"

namespace Core {

// One table row. The lowercase mapping comes before the uppercase one.
struct UniCharInfo {
    unsigned code;
    unsigned lower;    // the code point itself when it has no mapping
    unsigned upper;    // the code point itself when it has no mapping
    unsigned category; // 1 Lu, 2 Ll, 3 Lt, 4 Lm, 5 Lo, ... 29 Co; 0 when not in the table
};
static_assert(sizeof(UniCharInfo) == 16, "table rows are four 32-bit fields");

extern const UniCharInfo _UniCharInfo[];
extern const unsigned long long _UniCharInfo_Count;
// Length of the run of rows at the start whose index equals their code
// point; 0 until init_unicodeCharInfo, which only makes lookups faster.
extern unsigned _UniCharInfo_LinearCount;

void init_unicodeCharInfo();

// The row of cp, or {cp, cp, cp, 0} when cp is not in the table.
UniCharInfo getUniCharInfo(unsigned cp);
unsigned toUpper(unsigned cp);
unsigned toLower(unsigned cp);
bool isLower(unsigned cp);  // Ll
bool isUpper(unsigned cp);  // Lu or Lt
bool isLetter(unsigned cp); // Lu, Ll or Lt only

// Orders rows by code point.
long long UniCharInfo_compare(const void* a, const void* b);

} // namespace Core
