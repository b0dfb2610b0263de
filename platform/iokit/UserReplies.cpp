#include "platform/iokit/UserReplies.h"

#include "platform/cf/CFDictionary.h"

namespace hx::iokit::replies {

using wire::Reader;

bool result(Reader& r, kern_return_t& kr) {
    uint32_t v = 0;
    if (!r.u32(v)) return false;
    kr = kern_return_t(v);
    return true;
}

bool handles(Reader& r, std::vector<Handle>& out) {
    uint32_t n = 0;
    if (!r.u32(n) || n > r.remaining() / 4) return false;
    for (uint32_t i = 0; i < n; ++i) {
        Handle h = 0;
        if (!r.u32(h) || h == 0) return false;
        out.push_back(h);
    }
    return true;
}

bool sessionHello(const std::vector<uint8_t>& payload, kern_return_t& kr, uint64_t& token,
                  uint32_t& task) {
    Reader r(payload);
    return result(r, kr) && kr == KERN_SUCCESS && r.u64(token) && r.u32(task) && r.atEnd();
}

bool portHello(const std::vector<uint8_t>& payload, kern_return_t& kr, Handle& port) {
    Reader r(payload);
    return result(r, kr) && r.u32(port) && r.atEnd() && kr == KERN_SUCCESS && port != 0;
}

bool resultOnly(const std::vector<uint8_t>& payload, kern_return_t& kr) {
    Reader r(payload);
    return result(r, kr) && r.atEnd();
}

bool map(const std::vector<uint8_t>& payload, bool descriptorCame, MapReply& out) {
    Reader r(payload);
    return result(r, out.result) && r.u64(out.hostAddress) && r.u64(out.offset) &&
           r.u64(out.size) && r.atEnd() && (out.result == KERN_SUCCESS) == descriptorCame;
}

bool properties(Reader& r, CFTypeRef* tree) {
    return r.tree(tree) && CFGetTypeID(*tree) == CFDictionaryGetTypeID();
}

bool property(Reader& r, CFTypeRef* tree) {
    uint8_t present = 0;
    return r.u8(present) && present <= 1 && (!present || r.tree(tree));
}

bool objectAnswer(Reader& r, uint8_t& answer, uint64_t& identity) {
    return r.u8(answer) && answer <= 1 && r.u64(identity);
}

bool subscription(Reader& r, Handle& subscription, std::vector<Handle>& existing) {
    return r.u32(subscription) && handles(r, existing);
}

bool systemPowerRegistration(Reader& r, Handle& registration, Handle& root) {
    return r.u32(registration) && r.u32(root);
}

bool registryPath(Reader& r, std::string& path) {
    return r.string(path, wire::kMaxTreeString);
}

bool deviceRequest(Reader& r, bool in, uint16_t length, uint32_t& done,
                   std::vector<uint8_t>& data) {
    uint32_t n = 0;
    if (!r.u32(done) || !r.u32(n) || n > length || (!in && n != 0)) return false;
    data.resize(n);
    return r.bytes(data.data(), n);
}

} // namespace hx::iokit::replies
