#include "libs/tools/ZrScanner.h"

namespace {

inline bool isEscaped(char c) {
    return c == '"' || c == '\\' || c == '(' || c == ')';
}

} // namespace

char const* ZrScanner::scanNextToken(char const* src, ZrString& out, char delimiter) {
    out.setLength(0);
    if (!src) return nullptr;

    char const* s = src;
    while (*s == ' ')
        ++s;

    // Measure the token: quotes toggle, escapes count two bytes, the
    // delimiter ends it only outside quotes.
    int n = 0;
    bool inQuotes = false;
    bool atEnd = false;
    for (;;) {
        char c = s[n];
        if (c == 0) {
            atEnd = true;
            break;
        }
        if (c == '"') {
            inQuotes = !inQuotes;
            ++n;
        } else if (c == '\\') {
            n += isEscaped(s[n + 1]) ? 2 : 1;
        } else if (inQuotes || c != delimiter) {
            ++n;
        } else {
            break;
        }
    }

    out.setSize(n + 1);
    char* dst = out.text;
    int from = 0;
    int to = n;
    if (n > 0 && s[0] == '"') {
        from = 1;
        // The closing quote is left out; a lone quote gives an empty token.
        to = n - 1 > from ? n - 1 : from;
    }
    int o = 0;
    for (int i = from; i < to; ++i) {
        if (s[i] == '\\' && isEscaped(s[i + 1])) {
            if (i + 1 >= to) break;
            ++i;
        }
        dst[o++] = s[i];
    }
    dst[o] = 0;
    out.countLength();

    if (atEnd) return nullptr;
    char const* next = s + n + 1;
    while (*next == ' ')
        ++next;
    return next;
}
