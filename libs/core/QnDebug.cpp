#include "libs/core/QnDebug.h"

#include "libs/core/QnFormat.h"
#include "libs/core/QnStringUtils.h"

#include <atomic>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <unistd.h>

bool debugOutText_Disabled = false;

namespace Core {

const char* gDebugTag = nullptr;

namespace {
std::atomic<pfn_debugPieceObserver> gPieceObserver{nullptr};
}

void debugInit(const char* tag) {
    gDebugTag = tag;
}

void debugSetPieceObserver(pfn_debugPieceObserver observer) {
    gPieceObserver.store(observer);
}

} // namespace Core

namespace {

constexpr unsigned long long kPieceSize = 1023;
constexpr unsigned long long kTraceBufferSize = 1024;
constexpr unsigned long long kLineBufferSize = 1024;
constexpr unsigned long long kItemBufferSize = 64;
// A dump line must fit its buffer with the terminator: 6 characters per item
// in the C form, 3 in the plain form.
constexpr int kMaxItemsCSource = 170;
constexpr int kMaxItemsHex = 341;

// The piece writer of debugPrint: the buffer has one spare byte for the NUL.
void printPiece(char* buffer, unsigned long long length, void*) {
    buffer[length] = 0;
    if (debugOutText_Disabled) return;
    if (Core::pfn_debugPieceObserver observer = Core::gPieceObserver.load())
        observer(buffer, length);
    std::printf("%s", buffer);
}

void vdebugPrint(const char* fmt, va_list args) {
    char buffer[kPieceSize + 1];
    FormatTarget target(buffer, kPieceSize, printPiece, nullptr);
    target.format(fmt, args);
}

} // namespace

void debugOutText(const char* text, bool force) {
    if (!text) return;
    if (debugOutText_Disabled && !force) return;
    std::printf("%s", text);
}

void debugPrint(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    vdebugPrint(fmt, args);
    va_end(args);
}

void debugStop() {
    std::raise(SIGKILL);
    // SIGKILL cannot be caught or ignored; this only satisfies [[noreturn]].
    for (;;)
        pause();
}

void debugAssert(const char* expression, const char* file, int line) {
    debugPrint("Assertion failed \"%s\" in file %s at line %d\n", expression, file, line);
}

namespace Debug {

Trace::Trace(int level, const char* name, void* object)
    : mLevel(level), mpName(name), mpObject(object) {
    if (mLevel == 0) return;
    if (mpObject)
        debugPrint("+enter %s(%p)\n", mpName, mpObject);
    else
        debugPrint("+enter %s\n", mpName);
}

Trace::~Trace() {
    if (mLevel == 0) return;
    if (mpObject)
        debugPrint("-leave %s(%p)\n", mpName, mpObject);
    else
        debugPrint("-leave %s\n", mpName);
}

void Trace::trace(const char* fmt, ...) {
    char buffer[kTraceBufferSize];
    const unsigned long long prefix = Core::stringCopy(buffer, "...", sizeof buffer);
    va_list args;
    va_start(args, fmt);
    format(buffer + prefix, sizeof buffer - prefix, fmt, args);
    va_end(args);
    if (!debugOutText_Disabled) std::printf("%s", buffer);
}

StackEntry::StackEntry(const char* function, int line, const char* file)
    : mpNext(nullptr), mpFunction(function), mpFile(file), mpCallStack(nullptr), mDepth(0),
      mLine(line) {}

StackEntry::~StackEntry() {
    if (!mpCallStack) return;
    mpCallStack->pop(this);
    // Not the top: the misuse is reported by pop, but the stack must not keep
    // a pointer to an entry that is going away.
    if (mpCallStack) mpCallStack->unlink(this);
}

CallStack::CallStack() : mpTop(nullptr) {}

CallStack::CallStack(const StackEntry& entry) : mpTop(nullptr) {
    push(entry);
}

CallStack::~CallStack() {
    for (const StackEntry* e = mpTop; e;) {
        const StackEntry* next = e->mpNext;
        e->mpCallStack = nullptr;
        e->mpNext = nullptr;
        e = next;
    }
    mpTop = nullptr;
}

const CallStack& CallStack::push(const StackEntry& entry) const {
    if (entry.mpCallStack) {
        debugPrint(
            "ERROR %s - cStackEntry.mpCallStack is not NULL\n",
            "const Debug::CallStack &Debug::CallStack::push(const Debug::StackEntry &) const");
        return *this;
    }
    entry.mpCallStack = this;
    entry.mpNext = mpTop;
    entry.mDepth = mpTop ? mpTop->mDepth + 1 : 0;
    mpTop = &entry;
    return *this;
}

void CallStack::pop(const StackEntry* entry) const {
    if (!entry) {
        dump("CallStack::dump: illegal pop of NULL ptr");
        return;
    }
    if (entry != mpTop) {
        dump("CallStack::dump: illegal pop");
        debugPrint("try to pop: %s\n", entry->mpFunction);
        return;
    }
    mpTop = entry->mpNext;
    // The popped entry is on no stack any more: it may be pushed again, and
    // its destructor leaves this stack alone.
    entry->mpCallStack = nullptr;
    entry->mpNext = nullptr;
}

void CallStack::unlink(const StackEntry* entry) const {
    if (mpTop == entry) {
        mpTop = entry->mpNext;
    } else {
        for (const StackEntry* e = mpTop; e; e = e->mpNext) {
            if (e->mpNext == entry) {
                e->mpNext = entry->mpNext;
                break;
            }
        }
    }
    entry->mpCallStack = nullptr;
    entry->mpNext = nullptr;
}

void CallStack::dump(const char* message) const {
    debugPrint("+CallStack::dump %s\n", message);
    for (const StackEntry* e = mpTop; e; e = e->mpNext)
        debugPrint("    %s(%d): %s\n", e->mpFile, e->mLine, e->mpFunction);
    debugPrint("-CallStack::dump\n");
}

} // namespace Debug

void dumpMemory(const unsigned char* data, unsigned long long length, MemoryDumpMode mode,
                int perLine) {
    const bool cSource = mode == kMemoryDumpCSource;
    debugPrint(cSource ? "unsigned char _data[] = {\n" : "MemoryDump:\n");
    // At least one item per line (0 would never advance), and never more
    // than a line buffer holds.
    const int maxItems = cSource ? kMaxItemsCSource : kMaxItemsHex;
    if (perLine < 1) perLine = 1;
    if (perLine > maxItems) perLine = maxItems;
    while (length != 0 && data) {
        char line[kLineBufferSize];
        line[0] = 0;
        for (int i = 0; i < perLine && length != 0; ++i) {
            char item[kItemBufferSize];
            format(item, sizeof item, cSource ? "0x%02X, " : "%02X ", *data);
            Core::stringConcat(line, item);
            ++data;
            --length;
        }
        debugPrint("%s\n", line);
    }
    debugPrint(cSource ? "};\n" : "END MemoryDump--------------------\n");
}
