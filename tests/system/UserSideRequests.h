// Dispatch requests through the user-side API, as the programs send them,
// and the HAL version rows both transports' suites check.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "abi/QN_Dispatch.h"
#include "platform/iokit/IOKitLib.h"

// One dispatch record through the struct method (selector 0), both ways.
inline IOReturn request(io_connect_t c, uint32_t req, OSXDispatch& rec, size_t* outSize) {
    rec.iReq = req;
    *outSize = sizeof rec;
    return IOConnectCallStructMethod(c, 0, &rec, sizeof rec, &rec, outSize);
}

// Req 25 answers the HAL version, 1,548 bytes each way: whatever Req 24 set
// first (later ones change nothing), 0 before any. The first answer goes to
// *first.
inline void expectHALVersionReads(io_connect_t c, uint32_t* first) {
    OSXDispatch rec{};
    size_t outSize = 0;
    ASSERT_EQ(request(c, 25, rec, &outSize), kIOReturnSuccess);
    EXPECT_EQ(outSize, 1548u);
    const uint32_t before = qnReadU32(&rec, kOSXDispatchValueOffset);
    *first = before;
    for (uint32_t set : {0x0203u, 0x0999u}) {
        SCOPED_TRACE(set);
        rec = OSXDispatch{};
        qnWriteU32(&rec, kOSXDispatchValueOffset, set);
        ASSERT_EQ(request(c, 24, rec, &outSize), kIOReturnSuccess);
        rec = OSXDispatch{};
        ASSERT_EQ(request(c, 25, rec, &outSize), kIOReturnSuccess);
        EXPECT_EQ(outSize, 1548u);
        EXPECT_EQ(rec.iReq, 25u);
        EXPECT_EQ(qnReadU32(&rec, kOSXDispatchValueOffset), before ? before : 0x0203u);
    }
}
