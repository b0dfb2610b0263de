// Splits a C text into tokens at a delimiter, honouring double quotes and
// backslash escapes.
#pragma once

#include "libs/tools/ZrString.h"

class ZrScanner {
public:
    ZrScanner() {}
    virtual ~ZrScanner() {}

    // The token at src goes into out; returns where the next token starts,
    // or null when src was null or the token ran to the end of the text.
    char const* scanNextToken(char const* src, ZrString& out, char delimiter);
};
