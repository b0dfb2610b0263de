// The frames of the kernel host protocol (PROTOCOL.md): the header, the
// property trees, call requests and replies, and notification records, with
// every check a receiver makes before it trusts a frame. Both ends use these
// encoders and decoders; a decoder answers false (or an error) for anything
// malformed and never reads past what it was given.
#pragma once

#include "platform/cf/CFBase.h"
#include "platform/iokit/IOKitTransport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hx::iokit::wire {

constexpr uint16_t kVersion = 1;
constexpr size_t kHeaderSize = 16;
constexpr size_t kMaxPayload = 65536;
constexpr int kMaxTreeDepth = 16;
constexpr size_t kMaxTreeNodes = 4096;
constexpr size_t kMaxTreeString = 1024;
constexpr uint32_t kMaxScalars = 16;
constexpr size_t kMaxStruct = 4096;
constexpr uint32_t kMaxReferences = 8;

// Frame kinds; the reserved ones are fixed now for calls built later.
enum Kind : uint16_t {
    kHello = 1,
    kGetMatchingServices = 2,
    kReleaseObject = 3,
    kRetainObject = 4,
    kCopyProperties = 5,
    kCopyProperty = 6,
    kSubscribeServices = 7,
    kSubscribeInterest = 8,
    kUnsubscribe = 9,
    kOpen = 10,
    kPidForTask = 11,
    kObjectQuery = 12,
    kIterators = 13,
    kRegistryPath = 14,
    kPropertyWrite = 15,
    kSystemPower = 16,
    kSubscribeFirst = 17,
    kReservedPriorityPower = 18,
    kCall = 20,
    kMap = 21,
    kUnmap = 22,
    kClose = 23,
    kSetNotificationPort = 24,
    kTrap = 25,
    kUSBDeviceRequest = 26,
    kRecord = 30,
    kReservedDispatchQueuePort = 31,
    kPlug = 40,
    kUnplug = 41,
    kStatistics = 42,
    kFault = 43,
    kSystemSleepWake = 44,
    kStateChange = 45,
};

// What a system-power frame asks (kind 16, on a session).
enum class SystemPowerOp : uint8_t { Register = 1, Acknowledge = 2 };
// What machine control's sleep-and-wake frame (kind 44) asks besides one of
// the five messages sent alone.
constexpr uint32_t kMachineSleep = 1;
constexpr uint32_t kMachineWake = 2;

// The questions an object query asks of a handle.
enum class ObjectQuery : uint8_t { ConformsTo = 1, IsEqual = 2, Identity = 3 };

// What a socket is for, fixed by its first frame.
enum class Role : uint8_t { Unbound = 0, Session = 1, Connection = 2, Port = 3, Control = 4 };

// Whether a user may send the kind on a socket of the role (a port's socket
// takes nothing from its user; an unbound one only Hello).
bool userMaySend(Role role, uint16_t kind);

struct Frame {
    uint16_t kind = 0;
    uint32_t sequence = 0;
    std::vector<uint8_t> payload;
};

enum class FrameError { None, Short, Version, Length, TooLarge, Kind };

// Checks the header against the datagram and copies the payload. Kind is
// checked against the role on the host's side (userMaySend); a user side
// reading replies passes Role::Unbound and checks the kind it expects.
FrameError decodeFrame(const uint8_t* data, size_t size, Frame& out);
std::vector<uint8_t> encodeFrame(uint16_t kind, uint32_t sequence,
                                 const std::vector<uint8_t>& payload);

// Little-endian payload writing and bounded reading.
class Writer {
public:
    void u8(uint8_t v) { mBytes.push_back(v); }
    void u16(uint16_t v);
    void u32(uint32_t v);
    void u64(uint64_t v);
    void bytes(const void* data, size_t size);
    void string(const std::string& s); // length, then the bytes
    // A property tree (string, number, data, boolean, array, dictionary);
    // false for a value of another type or one beyond the bounds.
    bool tree(CFTypeRef value);
    std::vector<uint8_t>& data() { return mBytes; }

private:
    bool treeNode(CFTypeRef value, int depth, size_t& nodes);
    std::vector<uint8_t> mBytes;
};

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : mData(data), mSize(size) {}
    explicit Reader(const std::vector<uint8_t>& v) : Reader(v.data(), v.size()) {}
    bool u8(uint8_t& v);
    bool u16(uint16_t& v);
    bool u32(uint32_t& v);
    bool u64(uint64_t& v);
    bool bytes(void* out, size_t size);
    bool string(std::string& s, size_t limit);
    // A property tree within the bounds (one reference for the caller).
    bool tree(CFTypeRef* value);
    bool atEnd() const { return mPos == mSize; }
    size_t remaining() const { return mSize - mPos; }

private:
    bool treeNode(CFTypeRef* value, int depth, size_t& nodes);
    const uint8_t* mData;
    size_t mSize;
    size_t mPos = 0;
};

// A connection call as it crosses.
struct CallRequest {
    uint32_t selector = 0;
    std::vector<uint64_t> scalars;
    std::vector<uint8_t> structInput;
    uint32_t scalarOutputCapacity = 0;
    uint32_t structOutputCapacity = 0;
    uint32_t wakePort = 0;
    std::vector<uint64_t> references;
};
struct CallReply {
    int32_t result = 0;
    std::vector<uint64_t> scalars;
    std::vector<uint8_t> structOutput;
};

std::vector<uint8_t> encodeCall(const CallRequest& call);
// False beyond 16 scalars, 4,096 structure bytes either way, 8 reference
// words, or with bytes left over.
bool decodeCall(const std::vector<uint8_t>& payload, CallRequest& out);
// As decodeCall, telling a call over the limits (answered
// kIOReturnBadArgument, the kernel untouched) from a malformed frame.
enum class CallCheck { Ok, Malformed, OverLimit };
CallCheck checkCall(const std::vector<uint8_t>& payload, CallRequest& out);
std::vector<uint8_t> encodeCallReply(const CallReply& reply);
// False when the reply holds more than the request's capacities allowed.
bool decodeCallReply(const std::vector<uint8_t>& payload, const CallRequest& request,
                     CallReply& out);

std::vector<uint8_t> encodeRecord(const NotificationRecord& record);
bool decodeRecord(const std::vector<uint8_t>& payload, NotificationRecord& out);

} // namespace hx::iokit::wire
