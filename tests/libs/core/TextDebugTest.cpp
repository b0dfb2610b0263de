// Debug output: message pieces, the disabled switch, assertion, trace,
// call-stack and memory-dump texts, and debugStop.
#include "libs/core/QnDebug.h"
#include "platform/base/testing/StdoutCapture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

namespace {

using hx::test::StdoutCapture;

struct PieceLog {
    static std::vector<unsigned long long> lengths;
    static void observe(const char*, unsigned long long length) { lengths.push_back(length); }
};
std::vector<unsigned long long> PieceLog::lengths;

class TextDebug : public ::testing::Test {
protected:
    void TearDown() override {
        debugOutText_Disabled = false;
        Core::debugSetPieceObserver(nullptr);
    }
};

TEST_F(TextDebug, PrintFormats) {
    StdoutCapture out;
    debugPrint("%d-%s\n", 7, "x");
    EXPECT_EQ(out.finish(), "7-x\n");
}

TEST_F(TextDebug, LongMessagesArePrintedInPiecesOf1023) {
    std::string text;
    for (int i = 0; i < 3000; ++i)
        text += static_cast<char>('a' + i % 26);
    PieceLog::lengths.clear();
    Core::debugSetPieceObserver(PieceLog::observe);
    StdoutCapture out;
    debugPrint("%s", text.c_str());
    EXPECT_EQ(out.finish(), text);
    EXPECT_EQ(PieceLog::lengths, (std::vector<unsigned long long>{1023, 1023, 954}));
}

TEST_F(TextDebug, DisabledOutputAndForcedText) {
    StdoutCapture out;
    debugOutText_Disabled = true;
    debugPrint("hidden %d\n", 1);
    debugOutText("hidden too");
    debugAssert("n > 0", "unit", 12);
    Debug::Trace t(0, "f");
    t.trace("quiet");
    debugOutText("x", true);
    debugOutText_Disabled = false;
    debugOutText("y");
    EXPECT_EQ(out.finish(), "xy");
}

TEST_F(TextDebug, AssertReportsAndReturns) {
    StdoutCapture out;
    debugAssert("n > 0", "unit", 12);
    EXPECT_EQ(out.finish(), "Assertion failed \"n > 0\" in file unit at line 12\n");
}

TEST_F(TextDebug, TraceLines) {
    StdoutCapture out;
    {
        Debug::Trace silent(0, "quiet");
        silent.trace("msg %d\n", 5);
    }
    {
        Debug::Trace withObject(1, "Widget::run", reinterpret_cast<void*>(0x1234));
        Debug::Trace plain(2, "helper");
    }
    EXPECT_EQ(out.finish(), "...msg 5\n"
                            "+enter Widget::run(0000000000001234)\n"
                            "+enter helper\n"
                            "-leave helper\n"
                            "-leave Widget::run(0000000000001234)\n");
}

TEST_F(TextDebug, TraceMessageIsCutToItsBuffer) {
    std::string text(2000, 'm');
    StdoutCapture out;
    Debug::Trace t(0, "f");
    t.trace("%s", text.c_str());
    EXPECT_EQ(out.finish(), "..." + std::string(1020, 'm'));
}

TEST_F(TextDebug, CallStackPushPopAndDump) {
    Debug::CallStack stack;
    Debug::StackEntry first("first()", 10, "a.cpp");
    Debug::StackEntry second("second()", 20, "b.cpp");
    stack.push(first).push(second);
    EXPECT_EQ(first.mDepth, 0);
    EXPECT_EQ(second.mDepth, 1);
    EXPECT_EQ(stack.top(), &second);

    StdoutCapture out;
    stack.dump("here");
    stack.push(second); // already on a stack
    stack.pop(&first);  // not the top
    stack.pop(nullptr);
    EXPECT_EQ(
        out.finish(),
        "+CallStack::dump here\n"
        "    b.cpp(20): second()\n"
        "    a.cpp(10): first()\n"
        "-CallStack::dump\n"
        "ERROR const Debug::CallStack &Debug::CallStack::push(const Debug::StackEntry &) const"
        " - cStackEntry.mpCallStack is not NULL\n"
        "+CallStack::dump CallStack::dump: illegal pop\n"
        "    b.cpp(20): second()\n"
        "    a.cpp(10): first()\n"
        "-CallStack::dump\n"
        "try to pop: first()\n"
        "+CallStack::dump CallStack::dump: illegal pop of NULL ptr\n"
        "    b.cpp(20): second()\n"
        "    a.cpp(10): first()\n"
        "-CallStack::dump\n");
    EXPECT_EQ(stack.top(), &second);
    stack.pop(&second);
    stack.pop(&first);
    EXPECT_EQ(stack.top(), nullptr);
}

TEST_F(TextDebug, PoppedEntryForgetsItsStack) {
    Debug::CallStack stack;
    Debug::StackEntry entry("entry()", 1, "e.cpp");
    stack.push(entry);
    stack.pop(&entry);
    EXPECT_EQ(entry.mpCallStack, nullptr);
    // It can go on again without an error, and its destructor pops it cleanly.
    StdoutCapture out;
    stack.push(entry);
    EXPECT_EQ(stack.top(), &entry);
    stack.pop(&entry);
    EXPECT_EQ(out.finish(), "");
}

TEST_F(TextDebug, EntriesLeavingScopePopThemselves) {
    Debug::CallStack stack;
    StdoutCapture out;
    {
        Debug::StackEntry outer("outer()", 1, "s.cpp");
        stack.push(outer);
        {
            Debug::StackEntry inner("inner()", 2, "s.cpp");
            stack.push(inner);
            EXPECT_EQ(inner.mDepth, 1);
        }
        EXPECT_EQ(stack.top(), &outer);
    }
    EXPECT_EQ(stack.top(), nullptr);
    EXPECT_EQ(out.finish(), "");
}

TEST_F(TextDebug, DestroyedStackDetachesItsEntries) {
    // The entry outlives the stack; its destructor must not touch the stack.
    Debug::StackEntry entry("late()", 3, "l.cpp");
    {
        Debug::CallStack* stack = new Debug::CallStack(entry);
        EXPECT_EQ(stack->top(), &entry);
        delete stack;
    }
    EXPECT_EQ(entry.mpCallStack, nullptr);
}

TEST_F(TextDebug, EntryDestroyedBelowTheTopLeavesNoDanglingLink) {
    Debug::CallStack stack;
    auto* lower = new Debug::StackEntry("lower()", 1, "d.cpp");
    Debug::StackEntry upper("upper()", 2, "d.cpp");
    stack.push(*lower).push(upper);
    StdoutCapture out;
    delete lower; // reported as an illegal pop, then taken out of the chain
    stack.dump("after");
    EXPECT_EQ(out.finish(), "+CallStack::dump CallStack::dump: illegal pop\n"
                            "    d.cpp(2): upper()\n"
                            "    d.cpp(1): lower()\n"
                            "-CallStack::dump\n"
                            "try to pop: lower()\n"
                            "+CallStack::dump after\n"
                            "    d.cpp(2): upper()\n"
                            "-CallStack::dump\n");
}

TEST_F(TextDebug, MemoryDumpForms) {
    const unsigned char bytes[] = {0x01, 0xAB, 0xFF};
    StdoutCapture out;
    dumpMemory(bytes, 3, kMemoryDumpHex, 2);
    dumpMemory(bytes, 3, kMemoryDumpCSource, 2);
    dumpMemory(nullptr, 3, kMemoryDumpHex, 2);
    dumpMemory(bytes, 0, kMemoryDumpCSource, 2);
    EXPECT_EQ(out.finish(), "MemoryDump:\n01 AB \nFF \nEND MemoryDump--------------------\n"
                            "unsigned char _data[] = {\n0x01, 0xAB, \n0xFF, \n};\n"
                            "MemoryDump:\nEND MemoryDump--------------------\n"
                            "unsigned char _data[] = {\n};\n");
}

std::vector<size_t> dumpLineItems(const std::string& text, size_t itemWidth) {
    std::vector<size_t> items;
    size_t start = text.find('\n') + 1;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.rfind("END", 0) == 0 || line == "};") break;
        items.push_back(line.size() / itemWidth);
    }
    return items;
}

TEST_F(TextDebug, MemoryDumpLineLengthsAndLimits) {
    std::vector<unsigned char> data(400, 0x5A);
    struct Case {
        size_t length;
        MemoryDumpMode mode;
        int perLine;
        std::vector<size_t> items;
    };
    const Case cases[] = {
        {20, kMemoryDumpHex, 16, {16, 4}},
        {3, kMemoryDumpHex, 0, {1, 1, 1}}, // never loops on 0
        {3, kMemoryDumpCSource, -5, {1, 1, 1}},
        {400, kMemoryDumpHex, 1000, {341, 59}}, // a line fits its 1,024-byte buffer
        {400, kMemoryDumpCSource, 1000, {170, 170, 60}},
    };
    for (const Case& c : cases) {
        StdoutCapture out;
        dumpMemory(data.data(), c.length, c.mode, c.perLine);
        EXPECT_EQ(dumpLineItems(out.finish(), c.mode == kMemoryDumpHex ? 3 : 6), c.items)
            << c.length << " per line " << c.perLine;
    }
}

TEST_F(TextDebug, InitKeepsTheTag) {
    static const char tag[] = "UnitTag";
    Core::debugInit(tag);
    EXPECT_EQ(Core::gDebugTag, tag);
}

TEST(TextDebugDeathTest, StopKillsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(debugStop(), ::testing::KilledBySignal(SIGKILL), "");
}

} // namespace
