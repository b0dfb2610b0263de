// The kernel host protocol's frames: headers checked against the datagram,
// property trees within their bounds, calls and replies within their limits,
// notification records, and which kinds a user may send on which socket.
#include "platform/iokit/KernelHostWire.h"

#include <gtest/gtest.h>

#include "platform/cf/CFArray.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFString.h"

namespace wire = hx::iokit::wire;

namespace {

TEST(KernelHostWire, FrameHeadersAreCheckedAgainstTheDatagram) {
    const std::vector<uint8_t> payload(40, 7);
    const std::vector<uint8_t> good = wire::encodeFrame(wire::kCall, 99, payload);
    ASSERT_EQ(good.size(), wire::kHeaderSize + 40);
    wire::Frame f;
    ASSERT_EQ(wire::decodeFrame(good.data(), good.size(), f), wire::FrameError::None);
    EXPECT_EQ(f.kind, wire::kCall);
    EXPECT_EQ(f.sequence, 99u);
    EXPECT_EQ(f.payload, payload);

    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        wire::FrameError error;
    };
    auto with = [&](size_t at, uint8_t v) {
        auto b = good;
        b[at] = v;
        return b;
    };
    auto truncated = good;
    truncated.resize(good.size() - 1);
    std::vector<uint8_t> huge =
        wire::encodeFrame(wire::kCall, 1, std::vector<uint8_t>(wire::kMaxPayload + 1, 0));
    const Case cases[] = {
        {"garbage", {1, 2, 3}, wire::FrameError::Short},
        {"wrong version", with(0, 2), wire::FrameError::Version},
        {"unknown kind", with(2, 99), wire::FrameError::Kind},
        {"reserved kind", with(2, wire::kReservedPriorityPower), wire::FrameError::Kind},
        {"truncated", truncated, wire::FrameError::Length},
        {"length larger", with(8, 41), wire::FrameError::Length},
        {"reserved word", with(12, 1), wire::FrameError::Length},
        {"over 64 KiB", huge, wire::FrameError::TooLarge},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wire::decodeFrame(c.bytes.data(), c.bytes.size(), f), c.error) << c.what;
}

TEST(KernelHostWire, EachSocketTakesOnlyItsOwnKinds) {
    EXPECT_TRUE(wire::userMaySend(wire::Role::Unbound, wire::kHello));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Unbound, wire::kCall));
    EXPECT_TRUE(wire::userMaySend(wire::Role::Session, wire::kOpen));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Session, wire::kCall));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Session, wire::kHello));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Session, wire::kReservedPriorityPower));
    // The root power domain is the session's; sleeping and waking the
    // machine control's.
    EXPECT_TRUE(wire::userMaySend(wire::Role::Session, wire::kSystemPower));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Connection, wire::kSystemPower));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Control, wire::kSystemPower));
    EXPECT_TRUE(wire::userMaySend(wire::Role::Control, wire::kSystemSleepWake));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Session, wire::kSystemSleepWake));
    // The registry questions and writes are the session's; the notification
    // port and traps the connection's.
    for (uint16_t k : {wire::kObjectQuery, wire::kIterators, wire::kPropertyWrite}) {
        EXPECT_TRUE(wire::userMaySend(wire::Role::Session, k)) << k;
        EXPECT_FALSE(wire::userMaySend(wire::Role::Connection, k)) << k;
    }
    for (uint16_t k : {wire::kSetNotificationPort, wire::kTrap}) {
        EXPECT_TRUE(wire::userMaySend(wire::Role::Connection, k)) << k;
        EXPECT_FALSE(wire::userMaySend(wire::Role::Session, k)) << k;
    }
    EXPECT_TRUE(wire::userMaySend(wire::Role::Connection, wire::kMap));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Connection, wire::kPlug));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Port, wire::kRecord));
    EXPECT_TRUE(wire::userMaySend(wire::Role::Control, wire::kUnplug));
    EXPECT_FALSE(wire::userMaySend(wire::Role::Control, wire::kCall));
}

CFTypeRef nested(int depth) {
    CFMutableArrayRef top = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFMutableArrayRef at = top;
    for (int i = 1; i < depth; ++i) {
        CFMutableArrayRef inner = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
        CFArrayAppendValue(at, inner);
        CFRelease(inner);
        at = inner;
    }
    return top;
}

TEST(KernelHostWire, PropertyTreesRoundTripWithinTheirBounds) {
    CFMutableDictionaryRef d = CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                         &kCFTypeDictionaryValueCallBacks);
    const int64_t rate = 48000;
    CFNumberRef n = CFNumberCreate(nullptr, kCFNumberSInt64Type, &rate);
    const UInt8 bytes[] = {1, 2, 3};
    CFDataRef data = CFDataCreate(nullptr, bytes, 3);
    CFDictionarySetValue(d, CFSTR("deviceUID"), CFSTR("HX-UID-1"));
    CFDictionarySetValue(d, CFSTR("Rate"), n);
    CFDictionarySetValue(d, CFSTR("Blob"), data);
    CFDictionarySetValue(d, CFSTR("On"), kCFBooleanTrue);
    CFTypeRef deep = nested(15); // with the dictionary, depth 16
    CFDictionarySetValue(d, CFSTR("Deep"), deep);
    wire::Writer w;
    ASSERT_TRUE(w.tree(d));
    wire::Reader r(w.data());
    CFTypeRef back = nullptr;
    ASSERT_TRUE(r.tree(&back));
    EXPECT_TRUE(r.atEnd());
    EXPECT_TRUE(CFEqual(back, d));
    CFRelease(back);

    // One level deeper is refused both ways.
    CFTypeRef tooDeep = nested(17);
    wire::Writer w2;
    EXPECT_FALSE(w2.tree(tooDeep));
    EXPECT_TRUE(w2.data().empty());
    std::vector<uint8_t> raw;
    for (int i = 0; i < 17; ++i)
        raw.insert(raw.end(), {5, 1, 0, 0, 0});
    raw.insert(raw.end(), {5, 0, 0, 0, 0});
    wire::Reader r2(raw);
    EXPECT_FALSE(r2.tree(&back));

    // Counts larger than what follows, bad booleans, unknown tags, strings
    // over 1,024 bytes.
    const std::vector<std::vector<uint8_t>> bad = {
        {6, 0xFF, 0xFF, 0xFF, 0x7F},
        {5, 2, 0, 0, 0, 4, 1},
        {4, 2},
        {9},
        {1, 0x01, 0x04, 0, 0},
        {3, 5, 0, 0, 0, 1, 2},
        {1, 3, 0, 0, 0, 'a', 0, 'b'}, // a NUL inside a string
    };
    for (const auto& b : bad) {
        wire::Reader rb(b);
        EXPECT_FALSE(rb.tree(&back));
    }
    CFRelease(tooDeep);
    CFRelease(deep);
    CFRelease(data);
    CFRelease(n);
    CFRelease(d);
}

TEST(KernelHostWire, CallsAndRepliesKeepTheirLimits) {
    wire::CallRequest c;
    c.selector = 0;
    c.structInput.assign(1548, 3);
    c.structOutputCapacity = 1548;
    c.references = {1, 2};
    wire::CallRequest back;
    ASSERT_TRUE(wire::decodeCall(wire::encodeCall(c), back));
    EXPECT_EQ(back.structInput, c.structInput);
    EXPECT_EQ(back.references, c.references);

    auto refused = [](auto change) {
        wire::CallRequest x;
        change(x);
        wire::CallRequest y;
        return !wire::decodeCall(wire::encodeCall(x), y);
    };
    EXPECT_TRUE(refused([](wire::CallRequest& x) { x.scalars.assign(17, 0); }));
    EXPECT_TRUE(refused([](wire::CallRequest& x) { x.structInput.assign(4097, 0); }));
    EXPECT_TRUE(refused([](wire::CallRequest& x) { x.structOutputCapacity = 4097; }));
    EXPECT_TRUE(refused([](wire::CallRequest& x) { x.scalarOutputCapacity = 17; }));
    EXPECT_TRUE(refused([](wire::CallRequest& x) { x.references.assign(9, 0); }));
    auto trailing = wire::encodeCall(c);
    trailing.push_back(0);
    EXPECT_FALSE(wire::decodeCall(trailing, back));

    wire::CallReply reply;
    reply.structOutput.assign(1540, 9);
    wire::CallReply got;
    ASSERT_TRUE(wire::decodeCallReply(wire::encodeCallReply(reply), c, got));
    EXPECT_EQ(got.structOutput.size(), 1540u);
    reply.structOutput.assign(1549, 9); // more than the caller made room for
    EXPECT_FALSE(wire::decodeCallReply(wire::encodeCallReply(reply), c, got));
}

TEST(KernelHostWire, RecordsNameAServiceExactlyWhenTheyShould) {
    hx::iokit::NotificationRecord r;
    r.kind = hx::iokit::NotificationRecord::Interest;
    r.tag = 77;
    r.messageType = 0xE0000130;
    r.argument.assign(36, 0xFF);
    hx::iokit::NotificationRecord back;
    ASSERT_TRUE(wire::decodeRecord(wire::encodeRecord(r), back));
    EXPECT_EQ(back.tag, 77u);
    EXPECT_EQ(back.argument.size(), 36u);
    r.service = 5; // interest never names one
    EXPECT_FALSE(wire::decodeRecord(wire::encodeRecord(r), back));
    r.kind = hx::iokit::NotificationRecord::Publish;
    EXPECT_TRUE(wire::decodeRecord(wire::encodeRecord(r), back));
    r.service = 0;
    EXPECT_FALSE(wire::decodeRecord(wire::encodeRecord(r), back));
    std::vector<uint8_t> unknownKind = wire::encodeRecord(r);
    unknownKind[0] = 9;
    EXPECT_FALSE(wire::decodeRecord(unknownKind, back));
}

} // namespace
