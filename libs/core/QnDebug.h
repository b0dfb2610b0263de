// The core library's diagnostic channel: printf-style messages to standard
// output, assertion reports, function entry/exit tracing, a manual call-stack
// record and a hexadecimal memory dump. No log file, level or time stamp.
#pragma once

// While true, debugPrint, Debug::Trace::trace and debugOutText without force
// print nothing.
extern bool debugOutText_Disabled;

namespace Core {

extern const char* gDebugTag;
void debugInit(const char* tag);

// Observer of every piece debugPrint hands to printf (for tests); null for none.
typedef void (*pfn_debugPieceObserver)(const char* piece, unsigned long long length);
void debugSetPieceObserver(pfn_debugPieceObserver observer);

} // namespace Core

void debugOutText(const char* text, bool force = false);
// Formats with the library's formatter and prints in pieces of at most 1,023
// characters, each with one printf call.
void debugPrint(const char* fmt, ...);
// Ends the process at once with SIGKILL.
[[noreturn]] void debugStop();
// Reports a failed assertion and returns.
void debugAssert(const char* expression, const char* file, int line);

namespace Debug {

class Trace {
public:
    Trace(int level, const char* name, void* object = nullptr);
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Prints "..." and the message, whatever the level.
    void trace(const char* fmt, ...);

    int mLevel;
    const char* mpName;
    void* mpObject;
};

class CallStack;

// One frame of a manual call stack, owned by its caller (normally on the
// stack); leaving its scope pops it.
struct StackEntry {
    StackEntry(const char* function, int line, const char* file);
    ~StackEntry();
    StackEntry(const StackEntry&) = delete;
    StackEntry& operator=(const StackEntry&) = delete;

    mutable const StackEntry* mpNext;
    const char* mpFunction;
    const char* mpFile;
    mutable const CallStack* mpCallStack;
    mutable int mDepth;
    int mLine;
};

class CallStack {
public:
    CallStack();
    explicit CallStack(const StackEntry& entry);
    // Detaches the entries still on the stack so they do not pop from it later.
    ~CallStack();
    CallStack(const CallStack&) = delete;
    CallStack& operator=(const CallStack&) = delete;

    const CallStack& push(const StackEntry& entry) const;
    void pop(const StackEntry* entry) const;
    void dump(const char* message) const;

    const StackEntry* top() const { return mpTop; }

private:
    friend struct StackEntry;
    // Takes an entry out of the chain wherever it is.
    void unlink(const StackEntry* entry) const;

    mutable const StackEntry* mpTop;
};

} // namespace Debug

enum MemoryDumpMode { kMemoryDumpHex = 0, kMemoryDumpCSource = 1 };

void dumpMemory(const unsigned char* data, unsigned long long length, MemoryDumpMode mode,
                int perLine);
