#include "platform/iokit/MachineControlClient.h"

#include "platform/iokit/WireSocket.h"

#include <unistd.h>

namespace hx::iokit {

namespace {

bool readResult(const wire::Frame& f, uint32_t& result) {
    wire::Reader r(f.payload);
    return r.u32(result);
}

} // namespace

MachineControlClient::~MachineControlClient() {
    if (mFd >= 0) ::close(mFd);
}

bool MachineControlClient::connect(const std::string& socketPath) {
    std::lock_guard<std::mutex> g(mLock);
    if (mFd >= 0) return true;
    mFd = wire::connectTo(socketPath);
    if (mFd < 0) return false;
    wire::Writer w;
    w.u8(uint8_t(wire::Role::Control));
    wire::Frame reply;
    uint32_t result = 1;
    if (!wire::sendFrame(mFd, wire::kHello, ++mSequence, w.data()) ||
        wire::recvFrame(mFd, reply) != wire::RecvResult::Frame || reply.kind != wire::kHello ||
        !readResult(reply, result) || result != KERN_SUCCESS) {
        ::close(mFd);
        mFd = -1;
        return false;
    }
    return true;
}

IOReturn MachineControlClient::request(uint16_t kind, const std::vector<uint8_t>& payload,
                                       std::string* text) {
    std::lock_guard<std::mutex> g(mLock);
    if (mFd < 0) return MACH_SEND_INVALID_DEST;
    const uint32_t sequence = ++mSequence;
    wire::Frame reply;
    uint32_t result = 0;
    if (!wire::sendFrame(mFd, kind, sequence, payload) ||
        wire::recvFrame(mFd, reply) != wire::RecvResult::Frame || reply.kind != kind ||
        reply.sequence != sequence)
        return MACH_SEND_INVALID_DEST;
    wire::Reader r(reply.payload);
    if (!r.u32(result)) return MACH_SEND_INVALID_DEST;
    if (text && !r.string(*text, wire::kMaxPayload)) return MACH_SEND_INVALID_DEST;
    return IOReturn(result);
}

IOReturn MachineControlClient::plug() {
    return request(wire::kPlug, {}, nullptr);
}
IOReturn MachineControlClient::unplug() {
    return request(wire::kUnplug, {}, nullptr);
}
IOReturn MachineControlClient::statistics(std::string& text) {
    return request(wire::kStatistics, {}, &text);
}

IOReturn MachineControlClient::fault(const std::string& name, uint64_t value) {
    wire::Writer w;
    w.string(name);
    w.u64(value);
    return request(wire::kFault, w.data(), nullptr);
}

IOReturn MachineControlClient::stateChange(uint32_t code) {
    wire::Writer w;
    w.u32(code);
    return request(wire::kStateChange, w.data(), nullptr);
}

IOReturn MachineControlClient::systemSleep() {
    return systemPowerMessage(wire::kMachineSleep);
}

IOReturn MachineControlClient::systemWake() {
    return systemPowerMessage(wire::kMachineWake);
}

IOReturn MachineControlClient::systemPowerMessage(uint32_t type) {
    wire::Writer w;
    w.u32(type);
    return request(wire::kSystemSleepWake, w.data(), nullptr);
}

} // namespace hx::iokit
