// The user end's reading of the kernel host's replies: each well-formed
// reply is taken with what it carries; each malformed one (short, with
// bytes left over, a count beyond the bytes, a handle of 0, a flag byte out
// of range, a descriptor that disagrees with the result) is refused.
#include "platform/iokit/UserReplies.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFString.h"

namespace wire = hx::iokit::wire;
namespace replies = hx::iokit::replies;
using hx::iokit::Handle;

namespace {

std::vector<uint8_t> bytes(const std::function<void(wire::Writer&)>& fill) {
    wire::Writer w;
    fill(w);
    return w.data();
}

TEST(UserReplies, WholeRepliesAreTakenOnlyWhenWellFormed) {
    struct Case {
        const char* what;
        std::function<bool(const std::vector<uint8_t>&)> parse;
        std::vector<uint8_t> payload;
        bool taken;
    };
    kern_return_t kr = 0;
    uint64_t token = 0;
    uint32_t task = 0;
    Handle port = 0;
    replies::MapReply m;
    auto hello = [&](const std::vector<uint8_t>& p) {
        return replies::sessionHello(p, kr, token, task);
    };
    auto portHello = [&](const std::vector<uint8_t>& p) { return replies::portHello(p, kr, port); };
    auto resultOnly = [&](const std::vector<uint8_t>& p) { return replies::resultOnly(p, kr); };
    auto mapWithFd = [&](const std::vector<uint8_t>& p) { return replies::map(p, true, m); };
    auto mapNoFd = [&](const std::vector<uint8_t>& p) { return replies::map(p, false, m); };
    const auto mapOk =
        bytes([](wire::Writer& w) { w.u32(0), w.u64(0x1000), w.u64(16), w.u64(30744); });
    const auto mapRefused =
        bytes([](wire::Writer& w) { w.u32(0xE00002C2), w.u64(0), w.u64(0), w.u64(0); });
    const Case cases[] = {
        {"session hello", hello, bytes([](wire::Writer& w) { w.u32(0), w.u64(9), w.u32(3); }),
         true},
        {"session hello refused", hello,
         bytes([](wire::Writer& w) { w.u32(0xE00002BC), w.u64(9), w.u32(3); }), false},
        {"session hello short", hello, bytes([](wire::Writer& w) { w.u32(0), w.u64(9); }), false},
        {"session hello trailing", hello,
         bytes([](wire::Writer& w) { w.u32(0), w.u64(9), w.u32(3), w.u8(0); }), false},
        {"port hello", portHello, bytes([](wire::Writer& w) { w.u32(0), w.u32(5); }), true},
        {"port hello of handle 0", portHello, bytes([](wire::Writer& w) { w.u32(0), w.u32(0); }),
         false},
        {"port hello refused", portHello, bytes([](wire::Writer& w) { w.u32(1), w.u32(5); }),
         false},
        {"result alone", resultOnly, bytes([](wire::Writer& w) { w.u32(0xE00002C2); }), true},
        {"result short", resultOnly, {0, 0, 0}, false},
        {"result trailing", resultOnly, bytes([](wire::Writer& w) { w.u32(0), w.u8(1); }), false},
        {"map with its descriptor", mapWithFd, mapOk, true},
        {"map success without a descriptor", mapNoFd, mapOk, false},
        {"map refusal without a descriptor", mapNoFd, mapRefused, true},
        {"map refusal with a descriptor", mapWithFd, mapRefused, false},
        {"map short", mapWithFd, std::vector<uint8_t>(mapOk.begin(), mapOk.end() - 1), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.parse(c.payload), c.taken);
    }
    if (replies::sessionHello(cases[0].payload, kr, token, task)) {
        EXPECT_EQ(token, 9u);
        EXPECT_EQ(task, 3u);
    }
    if (replies::map(mapOk, true, m)) {
        EXPECT_EQ(m.hostAddress, 0x1000u);
        EXPECT_EQ(m.offset, 16u);
        EXPECT_EQ(m.size, 30744u);
    }
}

TEST(UserReplies, SessionRepliesReadWhatTheirRequestCarries) {
    struct Case {
        const char* what;
        std::function<bool(wire::Reader&)> parse;
        std::vector<uint8_t> afterResult;
        bool taken;
    };
    std::vector<Handle> hs;
    Handle a = 0, b = 0;
    uint8_t answer = 0;
    uint64_t identity = 0;
    std::string path;
    uint32_t done = 0;
    std::vector<uint8_t> data;
    auto handles = [&](wire::Reader& r) {
        hs.clear();
        return replies::handles(r, hs);
    };
    auto subscription = [&](wire::Reader& r) {
        hs.clear();
        return replies::subscription(r, a, hs);
    };
    auto power = [&](wire::Reader& r) { return replies::systemPowerRegistration(r, a, b); };
    auto object = [&](wire::Reader& r) { return replies::objectAnswer(r, answer, identity); };
    auto registry = [&](wire::Reader& r) { return replies::registryPath(r, path); };
    auto inRequest = [&](wire::Reader& r) {
        return replies::deviceRequest(r, true, 4, done, data);
    };
    auto outRequest = [&](wire::Reader& r) {
        return replies::deviceRequest(r, false, 4, done, data);
    };
    const Case cases[] = {
        {"two handles", handles, bytes([](wire::Writer& w) { w.u32(2), w.u32(3), w.u32(4); }),
         true},
        {"no handles", handles, bytes([](wire::Writer& w) { w.u32(0); }), true},
        {"a handle of 0", handles, bytes([](wire::Writer& w) { w.u32(2), w.u32(3), w.u32(0); }),
         false},
        {"a count beyond the bytes", handles,
         bytes([](wire::Writer& w) { w.u32(0x40000000), w.u32(3); }), false},
        {"handles trailing", handles, bytes([](wire::Writer& w) { w.u32(1), w.u32(3), w.u8(0); }),
         false},
        {"subscription and services", subscription,
         bytes([](wire::Writer& w) { w.u32(9), w.u32(1), w.u32(3); }), true},
        {"subscription without its count", subscription, bytes([](wire::Writer& w) { w.u32(9); }),
         false},
        {"power registration", power, bytes([](wire::Writer& w) { w.u32(11), w.u32(12); }), true},
        {"power registration short", power, bytes([](wire::Writer& w) { w.u32(11); }), false},
        {"object answer", object, bytes([](wire::Writer& w) { w.u8(1), w.u64(7); }), true},
        {"object answer of 2", object, bytes([](wire::Writer& w) { w.u8(2), w.u64(7); }), false},
        {"registry path", registry, bytes([](wire::Writer& w) { w.string("IOService:/a"); }), true},
        {"registry path beyond its bytes", registry,
         bytes([](wire::Writer& w) { w.u32(20), w.u8('a'); }), false},
        {"registry path over the limit", registry,
         bytes([](wire::Writer& w) { w.string(std::string(wire::kMaxTreeString + 1, 'a')); }),
         false},
        {"IN data within the length", inRequest,
         bytes([](wire::Writer& w) { w.u32(4), w.u32(4), w.u32(0x01020304); }), true},
        {"IN data over the length", inRequest,
         bytes([](wire::Writer& w) { w.u32(4), w.u32(5), w.u32(0), w.u8(0); }), false},
        {"IN data beyond its bytes", inRequest,
         bytes([](wire::Writer& w) { w.u32(4), w.u32(4), w.u8(0); }), false},
        {"OUT request with no data back", outRequest,
         bytes([](wire::Writer& w) { w.u32(4), w.u32(0); }), true},
        {"OUT request with data back", outRequest,
         bytes([](wire::Writer& w) { w.u32(4), w.u32(1), w.u8(0); }), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> payload = bytes([](wire::Writer& w) { w.u32(0xE00002C7); });
        payload.insert(payload.end(), c.afterResult.begin(), c.afterResult.end());
        kern_return_t kr = 0;
        EXPECT_EQ(replies::session(payload, kr, c.parse), c.taken);
        if (c.taken) {
            EXPECT_EQ(uint32_t(kr), 0xE00002C7u);
        }
    }
}

TEST(UserReplies, PropertyTreesAreHandedOverOrReleased) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    CFDictionarySetValue(d, CFSTR("deviceUID"), CFSTR("HX-1"));
    wire::Writer dict;
    ASSERT_TRUE(dict.tree(d));
    wire::Writer text;
    ASSERT_TRUE(text.tree(CFSTR("HX-1")));

    {
        wire::Reader r(dict.data());
        CFTypeRef t = nullptr;
        EXPECT_TRUE(replies::properties(r, &t) && r.atEnd());
        if (t) {
            EXPECT_TRUE(CFEqual(t, d));
            CFRelease(t);
        }
    }
    {
        // A string where a dictionary belongs is refused; what was read is
        // the caller's to release.
        wire::Reader r(text.data());
        CFTypeRef t = nullptr;
        EXPECT_FALSE(replies::properties(r, &t));
        EXPECT_NE(t, nullptr);
        if (t) CFRelease(t);
    }
    struct Case {
        const char* what;
        uint8_t presence;
        bool withTree;
        bool taken;
        bool value;
    };
    const Case cases[] = {
        {"present", 1, true, true, true},
        {"absent", 0, false, true, false},
        {"present without its value", 1, false, false, false},
        {"presence of 2", 2, true, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> p{c.presence};
        if (c.withTree) p.insert(p.end(), text.data().begin(), text.data().end());
        wire::Reader r(p);
        CFTypeRef t = nullptr;
        EXPECT_EQ(replies::property(r, &t) && r.atEnd(), c.taken);
        EXPECT_EQ(t != nullptr, c.value);
        if (t) CFRelease(t);
    }
    CFRelease(d);
}

} // namespace
