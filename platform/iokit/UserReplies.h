// The user end's reading of the kernel host's replies: each function takes
// what follows a reply's header (or, with a Reader, what follows its
// result) and says whether it is well formed. Anything refused ends the
// socket it came on; nothing here trusts a length or a count it read.
#pragma once

#include "platform/iokit/IOKitTransport.h"
#include "platform/iokit/KernelHostWire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hx::iokit::replies {

// The reply's result word.
bool result(wire::Reader& r, kern_return_t& kr);
// A count, then that many handles, none of them 0.
bool handles(wire::Reader& r, std::vector<Handle>& out);

// Whole replies: the result, then what the kind carries, nothing after.
// The session's Hello: its token and this process's task name.
bool sessionHello(const std::vector<uint8_t>& payload, kern_return_t& kr, uint64_t& token,
                  uint32_t& task);
// A notification port's Hello: the port's handle.
bool portHello(const std::vector<uint8_t>& payload, kern_return_t& kr, Handle& port);
// A reply of the result alone (a connection's Hello, Close, Unmap,
// SetNotificationPort, Trap).
bool resultOnly(const std::vector<uint8_t>& payload, kern_return_t& kr);

// A Map reply: the host's address, the area's offset in the descriptor and
// its size; a descriptor comes exactly with success.
struct MapReply {
    kern_return_t result = KERN_FAILURE;
    uint64_t hostAddress = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
};
bool map(const std::vector<uint8_t>& payload, bool descriptorCame, MapReply& out);

// What follows a session reply's result, by request.
// CopyProperties: a dictionary (one reference for the caller, even when
// refused after it was read).
bool properties(wire::Reader& r, CFTypeRef* tree);
// CopyProperty: a presence byte (0 or 1), then the value when present.
bool property(wire::Reader& r, CFTypeRef* tree);
// ObjectQuery: an answer byte (0 or 1) and the service's identity.
bool objectAnswer(wire::Reader& r, uint8_t& answer, uint64_t& identity);
// SubscribeServices and SubscribeFirst: the subscription, then the services
// that already match.
bool subscription(wire::Reader& r, Handle& subscription, std::vector<Handle>& existing);
// SystemPower's Register: the registration and the root domain's service.
bool systemPowerRegistration(wire::Reader& r, Handle& registration, Handle& root);
// RegistryPath: the path.
bool registryPath(wire::Reader& r, std::string& path);
// USBDeviceRequest: the count done and the IN data, at most the request's
// length (none for an OUT request).
bool deviceRequest(wire::Reader& r, bool in, uint16_t length, uint32_t& done,
                   std::vector<uint8_t>& data);

// A session reply: the result, then what parse reads, nothing after.
template <typename Parse>
bool session(const std::vector<uint8_t>& payload, kern_return_t& kr, Parse parse) {
    wire::Reader r(payload);
    return result(r, kr) && parse(r) && r.atEnd();
}

} // namespace hx::iokit::replies
