// What the client harness's rows share: the state changes a client was
// told since a point, and a control request as the client's Req 35 reaches
// the dispatcher.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "abi/QN_Dispatch.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"

namespace hx::harness::rows {

// The state changes told from the `from`-th on.
inline std::vector<uint32_t> codesSince(const HarnessReport& r, size_t from) {
    return std::vector<uint32_t>(r.stateChanges.begin() + std::min(from, r.stateChanges.size()),
                                 r.stateChanges.end());
}

inline QN_Dispatch record(uint32_t code, uint32_t value = 0) {
    QN_Dispatch d;
    std::memset(&d, 0, sizeof d);
    d.code = code;
    d.data.ulValue = value;
    return d;
}

// The dispatcher as the client's Req 35 reaches it: under the dispatch
// lock, the client as requester; its own answer (Req 35 hides it).
inline IOReturn dispatch(ClientHarness& h, QN_Dispatch& d) {
    if (!h.service()->dispatchLock().lockMutex("test")) return kIOReturnCannotLock;
    const IOReturn r = h.device()->onDispatchStreaming(h.userClient(), &d);
    h.service()->dispatchLock().unlock();
    return r;
}

} // namespace hx::harness::rows
