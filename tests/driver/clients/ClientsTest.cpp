// The four user clients through real connections on a booted HX-5100 on the
// virtual clock: call shapes, the request table, memory types, the clients'
// life (close, death, unplug) and the owner words they leave.
#include "driver/clients/ZrUserClients.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "abi/APIDeviceInfo.h"
#include "abi/QN_StateChange.h"
#include "driver/clients/harness/ClientHarness.h"
#include "driver/engine/ZrDevice.h"
#include "driver/engine/ZrKernelDeviceKorvexHX5100.h"
#include "driver/engine/ZrProductTable.h"
#include "driver/engine/stream/DriverData.h"
#include "platform/base/HXClock.h"
#include "platform/base/HXLog.h"
#include "platform/kern/IOUserConnection.h"
#include "platform/usb/USBBus.h"
#include "platform/usb/devices/HX5100Model.h"

namespace {

using hx::kern::ConnectionCall;

enum Kind : uint32_t { A = 0, M = 1, C = 2, S = 3 };

// A booted machine and a user process with connections on its device.
struct Rig {
    explicit Rig(uint16_t product = kKorvexHX5100ProductID) {
        hx::harness::HarnessOptions o;
        o.productID = product;
        if (product != kKorvexHX5100ProductID) {
            OSDictionary* p = ZrMakeDriverPersonality(kKorvexVendorID, product, nullptr);
            hx::kern::addPersonality(p);
            p->release();
        }
        h = std::make_unique<hx::harness::ClientHarness>(o);
        booted = h->boot();
        task = hx::kern::createTask(777, "ClientsTest", 501);
        io_connect_t none = MACH_PORT_NULL;
        if (booted) hx::kern::connectionOpen(h->service(), task, 4, &none); // no firmware updater
        interest = booted ? h->service()->subscribeUserInterest() : nullptr;
    }
    ~Rig() {
        hx::kern::killTask(task);
        h.reset();
    }
    io_connect_t open(uint32_t type) {
        io_connect_t c = MACH_PORT_NULL;
        EXPECT_EQ(hx::kern::connectionOpen(h->service(), task, type, &c), kIOReturnSuccess) << type;
        return c;
    }
    // One struct-in/struct-out call; the record is in and out.
    static IOReturn callStruct(io_connect_t c, uint32_t selector, void* rec, size_t inSize,
                               size_t* outSize) {
        ConnectionCall call;
        call.structInput = rec;
        call.structInputSize = inSize;
        call.structOutput = rec;
        call.structOutputSize = outSize;
        return hx::kern::connectionCall(c, selector, call);
    }
    // An OSXDispatch request of a client kind.
    static IOReturn req(io_connect_t c, Kind k, uint32_t code, OSXDispatch& rec) {
        return hx::harness::callDriver(c, code, rec, k == S ? 6 : 0);
    }
    static IOReturn scalars(io_connect_t c, uint32_t selector, std::vector<uint64_t> in,
                            uint64_t* out = nullptr, uint32_t outCount = 0) {
        ConnectionCall call;
        call.scalarInput = in.data();
        call.scalarInputCount = uint32_t(in.size());
        call.scalarOutput = out;
        call.scalarOutputCount = out ? &outCount : nullptr;
        return hx::kern::connectionCall(c, selector, call);
    }
    std::vector<uint32_t> codes() {
        std::vector<uint32_t> v;
        hx::kern::UserInterest::Message m;
        while (interest && interest->next(m))
            if (m.type == kQnStateChangeMessage && m.argument.size() >= sizeof(QN_StateChange)) {
                QN_StateChange r;
                std::memcpy(&r, m.argument.data(), sizeof r);
                v.push_back(r.mCode);
            }
        return v;
    }
    ZrDevice* dev() { return h->device(); }
    ZrKernelDeviceKorvexHX5100* svc() { return h->service(); }
    std::vector<hx::usb::TraceEntry> traceOf(uint8_t request) {
        std::vector<hx::usb::TraceEntry> v;
        for (const auto& e : h->model()->trace())
            if (e.setup.bRequest == request) v.push_back(e);
        return v;
    }

    std::unique_ptr<hx::harness::ClientHarness> h;
    bool booted = false;
    task_t task = MACH_PORT_NULL;
    std::shared_ptr<hx::kern::UserInterest> interest;
};

IOUserClient* clientOf(io_connect_t c) {
    IOUserClient* u = hx::kern::connectionClient(c);
    if (u) u->release(); // the connection keeps its own reference
    return u;
}

TEST(UserClients, AreRegisteredUnderTheirNames) {
    EXPECT_TRUE(ZrUserClientsRegistered());
}

// One table of call shapes -> result and log line. Shapes refused by their
// size are refused before the dispatch lock: the test holds it meanwhile.
TEST(UserClientCalls, ShapesTable) {
    Rig r;
    ASSERT_TRUE(r.booted) << r.h->lastError();
    io_connect_t conn[4] = {r.open(A), r.open(M), r.open(C), r.open(S)};
    struct Case {
        Kind k;
        uint32_t selector;
        uint32_t scalarsIn;
        size_t in, out;
        IOReturn result;
        const char* line;
    } cases[] = {
        {A, 0, 0, 1547, 1548, kIOReturnBadArgument,
         "AudioUserClientKorvexHX5100::method_CallDriver: inStructSize:1547\n"},
        {A, 0, 0, 1549, 1548, kIOReturnBadArgument,
         "AudioUserClientKorvexHX5100::method_CallDriver: inStructSize:1549\n"},
        {A, 0, 0, 1548, 1547, kIOReturnBadArgument,
         "AudioUserClientKorvexHX5100::method_CallDriver: structureOutputSize:1547"},
        {A, 0, 0, 1548, 1549, kIOReturnBadArgument,
         "AudioUserClientKorvexHX5100 method_CallDriver invalid param\n"},
        {M, 0, 0, 1547, 1548, kIOReturnBadArgument, ""},
        {M, 0, 0, 1548, 1549, kIOReturnBadArgument, ""},
        {S, 6, 0, 1547, 1548, kIOReturnBadArgument,
         "AUDIOSERVERCLIENTCLASS::method_CallDriver: inStructSize:1547\n"},
        {S, 6, 0, 1548, 1549, kIOReturnBadArgument,
         "AUDIOSERVERCLIENTCLASS::method_CallDriver: "
         "inArguments->structureOutputSize!=sizeof(OSXDispatch) 1549\n"},
        {C, 0, 0, 1539, 1540, kIOReturnNotPrivileged, ""},
        {C, 0, 0, 1540, 1541, kIOReturnNotPrivileged, ""},
        {A, 3, 0, 0, 0, kIOReturnUnsupported, ""},
        {S, 8, 0, 0, 0, kIOReturnUnsupported, ""},
        {C, 1, 0, 0, 0, kIOReturnUnsupported, ""},
        {M, 1, 0, 0, 0, kIOReturnUnsupported, ""},
        {S, 2, 0, 0, 0, kIOReturnBadArgument, ""}, // StartHardware without its scalar
    };
    Mutex& lock = r.svc()->dispatchLock();
    ASSERT_TRUE(lock.lockMutex("ShapesTable"));
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.k) + " selector " + std::to_string(k.selector) + " in " +
                     std::to_string(k.in));
        hx::log::Capture cap;
        std::vector<uint8_t> in(k.in, 0x11), out(k.out, 0x22);
        std::vector<uint64_t> scalarsIn(k.scalarsIn, 0);
        uint64_t scalarOut = 0x33;
        uint32_t scalarOutCount = k.k == S && k.selector == 2 ? 1 : 0;
        size_t outSize = k.out;
        ConnectionCall call;
        call.scalarInput = scalarsIn.data();
        call.scalarInputCount = k.scalarsIn;
        call.structInput = in.data();
        call.structInputSize = k.in;
        call.structOutput = out.data();
        call.structOutputSize = &outSize;
        call.scalarOutput = &scalarOut;
        call.scalarOutputCount = &scalarOutCount;
        EXPECT_EQ(hx::kern::connectionCall(conn[k.k], k.selector, call), k.result);
        EXPECT_NE(cap.text().find(k.line), std::string::npos) << cap.text();
        // A failed call leaves the caller's buffers as they were.
        EXPECT_EQ(outSize, k.out);
        EXPECT_EQ(scalarOut, 0x33u);
        for (uint8_t b : out)
            ASSERT_EQ(b, 0x22);
    }
    lock.unlock();

    // GetUserClassID with no scalar or one: the Req 27 identity.
    OSXDispatch rec{};
    ASSERT_EQ(Rig::req(conn[S], S, 27, rec), kIOReturnSuccess);
    const uint64_t id = qnReadU64(&rec, 8);
    EXPECT_EQ(id, r.svc()->clientIdentifier(clientOf(conn[S])));
    for (size_t n : {0u, 1u}) {
        uint64_t out = 0;
        EXPECT_EQ(Rig::scalars(conn[S], 7, std::vector<uint64_t>(n, 5), &out, 1), kIOReturnSuccess);
        EXPECT_EQ(out, id);
    }
    // A control request's output size comes back as 1,540.
    QN_Dispatch d{};
    d.code = 1;
    size_t outSize = sizeof d;
    EXPECT_EQ(Rig::callStruct(conn[C], 0, &d, sizeof d, &outSize), kIOReturnSuccess);
    EXPECT_EQ(outSize, 1540u);

    // An audio-server client never started holds no device.
    auto* lone = new ASClientKorvexHX5100;
    ASSERT_TRUE(lone->initWithTask(r.task, nullptr, 3));
    std::vector<uint8_t> buf(1548);
    IOExternalMethodArguments args;
    args.structureInput = buf.data();
    args.structureInputSize = 1548;
    args.structureOutput = buf.data();
    args.structureOutputSize = 1548;
    EXPECT_EQ(lone->externalMethod(6, &args), kIOReturnNotAttached);
    lone->release();
}

// A succeeding call returns the input with only its reply fields changed.
TEST(UserClientCalls, SuccessChangesOnlyTheReply) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A);
    OSXDispatch rec;
    std::memset(&rec, 0x5C, sizeof rec);
    qnWriteU32(&rec, 8, 0x1234);
    ASSERT_EQ(Rig::req(a, A, 24, rec), kIOReturnSuccess);
    OSXDispatch before = rec;
    ASSERT_EQ(Rig::req(a, A, 25, rec), kIOReturnSuccess);
    EXPECT_EQ(qnReadU32(&rec, 8), 0x1234u);
    EXPECT_EQ(std::memcmp(rec.payload + 4, before.payload + 4, sizeof rec.payload - 4), 0);
    EXPECT_EQ(rec.frameSize, before.frameSize);
}

TEST(UserClientRequests, DeviceInfoChunksRebuildTheRecord) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A), s = r.open(S);
    std::vector<uint8_t> rebuilt;
    for (uint32_t n = 0; n <= 386; ++n) {
        OSXDispatch rec{};
        qnWriteU32(&rec, 8, n);
        ASSERT_EQ(Rig::req(n % 2 ? a : s, n % 2 ? A : S, 4, rec), kIOReturnSuccess) << n;
        const uint32_t count = rec.iReq;
        EXPECT_EQ(count, n == 386 ? 148u : 256u) << n;
        rebuilt.insert(rebuilt.end(), rec.payload, rec.payload + count);
    }
    ASSERT_EQ(rebuilt.size(), 98964u);
    EXPECT_EQ(std::memcmp(rebuilt.data(), r.svc()->getAPIDeviceInfoPtr(), rebuilt.size()), 0);
    for (uint32_t n : {387u, 1u << 24}) {
        OSXDispatch rec{};
        qnWriteU32(&rec, 8, n);
        EXPECT_EQ(Rig::req(a, A, 4, rec), kIOReturnBadArgument) << n;
        EXPECT_EQ(rec.iReq, 4u); // the zero count stays in the kernel
    }
}

void setRequest(OSXDispatch& rec, uint32_t length, uint16_t value, uint16_t index, int32_t in,
                int32_t type, int32_t recipient, uint8_t request) {
    qnWriteU32(&rec, 8 + 256, length);
    qnWriteU16(&rec, 8 + 260, value);
    qnWriteU16(&rec, 8 + 262, index);
    qnWriteU32(&rec, 8 + 264, uint32_t(in));
    qnWriteU32(&rec, 8 + 268, uint32_t(type));
    qnWriteU32(&rec, 8 + 272, uint32_t(recipient));
    rec.payload[276] = request;
}

TEST(UserClientRequests, ControlRequestsThroughReq13) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A), s = r.open(S);
    // Port register 2: one byte back.
    OSXDispatch rec{};
    setRequest(rec, 16, 0, 1, 128, 64, 0, 0x49);
    EXPECT_EQ(Rig::req(a, A, 13, rec),
              kIOReturnBadArgument); // the model wants exactly 1 byte: a stall
    rec = {};
    std::memset(rec.payload, 0xAA, 256);
    setRequest(rec, 1, 0, 1, 128, 64, 0, 0x49);
    ASSERT_EQ(Rig::req(a, A, 13, rec), kIOReturnSuccess);
    EXPECT_EQ(qnReadU32(&rec, 8 + 256), 1u);
    EXPECT_EQ(rec.payload[0], r.h->model()->portRegister2());
    EXPECT_EQ(rec.payload[1], 0xAA);
    // The configuration descriptor set: over 128 bytes, success, nothing copied.
    rec = {};
    std::memset(rec.payload, 0xAB, 256);
    setRequest(rec, 256, 0x0200, 0, 128, 0, 0, 6);
    ASSERT_EQ(Rig::req(s, S, 13, rec), kIOReturnSuccess);
    EXPECT_EQ(qnReadU32(&rec, 8 + 256), 256u);
    EXPECT_EQ(rec.payload[0], 0xAB);
    // Refused with nothing sent.
    const size_t sent = r.h->model()->trace().size();
    for (auto bad :
         {std::array<int32_t, 4>{257, 128, 64, 0}, std::array<int32_t, 4>{1, 1, 64, 0},
          std::array<int32_t, 4>{1, 128, 96, 0}, std::array<int32_t, 4>{1, 128, 64, 4}}) {
        for (auto [c, k] : {std::pair{a, A}, std::pair{s, S}}) {
            rec = {};
            setRequest(rec, uint32_t(bad[0]), 0, 1, bad[1], bad[2], bad[3], 0x49);
            EXPECT_EQ(Rig::req(c, k, 13, rec), kIOReturnBadArgument);
        }
    }
    EXPECT_EQ(r.h->model()->trace().size(), sent);
    // A stall: kIOReturnBadArgument on both, with the line.
    for (auto [c, k] : {std::pair{a, A}, std::pair{s, S}}) {
        hx::log::Capture cap;
        rec = {};
        setRequest(rec, 1, 0, 0, 128, 64, 0, 0x7E);
        EXPECT_EQ(Rig::req(c, k, 13, rec), kIOReturnBadArgument);
        EXPECT_NE(cap.text().find("method_CallDriver code:13 return kIOReturnBadArgument\n"),
                  std::string::npos);
    }
}

// Req 34: the device leaves the bus after the answer and comes back on its
// port; the service ends as on an unplug and a new one starts.
TEST(UserClientRequests, ReEnumerationEndsTheServiceAndANewOneStarts) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A);
    ZrKernelDeviceKorvexHX5100* old = r.svc();
    old->retain();
    r.codes();
    hx::log::Capture cap;
    OSXDispatch rec{};
    ASSERT_EQ(Rig::req(a, A, 34, rec), kIOReturnSuccess);
    EXPECT_NE(cap.text().find("ReEnumerateDevice\n"), std::string::npos);
    // Not a bus reset of the running service.
    EXPECT_EQ(cap.text().find("before m_pUSBDevice->ResetDevice"), std::string::npos);
    hx::kern::waitQuiet();
    EXPECT_TRUE(old->isInactive());
    const auto codes = r.codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), uint32_t(STC_ServiceTerminates)), codes.end());
    ZrKernelDeviceKorvexHX5100* now = nullptr;
    for (int i = 0; i < 200 && !now; ++i) {
        if (IOUSBHostDevice* dev = r.h->bus()->copyDevice(r.h->port())) {
            if (OSIterator* it = dev->getClientIterator()) {
                while (OSObject* o = it->getNextObject())
                    if (auto* s = OSDynamicCast(ZrKernelDeviceKorvexHX5100, o)) now = s;
                it->release();
            }
            dev->release();
        }
        if (!now) r.h->idle(5000);
    }
    ASSERT_NE(now, nullptr);
    EXPECT_NE(now, old);
    EXPECT_NE(now->getDevice(), nullptr);
    // The old connection has no device to talk to any more.
    EXPECT_EQ(Rig::req(a, A, 25, rec), kIOReturnCannotLock);
    old->release();
}

// Requests of two clients never overlap: a delayed control request of one
// holds the other's request until it is answered.
TEST(UserClientCalls, RequestsOfTwoClientsNeverOverlap) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A), s = r.open(S);
    hx::usb::RequestMatch match;
    match.requestType = 0xC0;
    match.request = 0x49;
    match.index = 1;
    r.h->bus()->addFault(r.h->port(), match, hx::usb::Fault::delay(50), 1);
    r.h->model()->clearTrace();
    const uint64_t start = hx::clock::nowNanos();
    hx::clock::Reservation reserved;
    std::thread first([&, reserved = std::move(reserved)]() mutable {
        hx::clock::Participant p(std::move(reserved));
        OSXDispatch rec{};
        setRequest(rec, 1, 0, 1, 128, 64, 0, 0x49);
        EXPECT_EQ(Rig::req(a, A, 13, rec), kIOReturnSuccess);
    });
    while (r.traceOf(0x49).empty())
        r.h->idle(1000);
    OSXDispatch rec{};
    qnWriteU16(&rec, 8, 1);
    qnWriteU16(&rec, 10, 2);
    EXPECT_EQ(Rig::req(s, S, 40, rec), kIOReturnSuccess);
    EXPECT_GE(hx::clock::nowNanos() - start, 50000000u);
    {
        hx::clock::Idle idle;
        first.join();
    }
    const auto trace = r.h->model()->trace();
    ASSERT_EQ(trace.size(), 2u);
    EXPECT_EQ(trace[0].setup.bRequest, 0x49);
    EXPECT_EQ(trace[1].setup.bRequest, 0x54);
}

TEST(UserClientRequests, UnservedCodesAndTheDispatcher) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A), s = r.open(S), m = r.open(M), c = r.open(C);
    struct Case {
        uint32_t code;
        IOReturn onA, onS, onM;
    } cases[] = {
        {9, kIOReturnBadArgument, kIOReturnSuccess, kIOReturnBadArgument},
        {20, kIOReturnBadArgument, kIOReturnSuccess, kIOReturnBadArgument},
        {46, kIOReturnSuccess, kIOReturnSuccess, kIOReturnBadArgument},
        {48, kIOReturnBadArgument, kIOReturnSuccess, kIOReturnBadArgument},
    };
    for (const Case& k : cases) {
        OSXDispatch rec{};
        EXPECT_EQ(Rig::req(a, A, k.code, rec), k.onA) << k.code;
        if (k.code == 46) {
            EXPECT_EQ(qnReadU32(&rec, 8), 3u);
        }
        rec = {};
        EXPECT_EQ(Rig::req(s, S, k.code, rec), k.onS) << k.code;
        rec = {};
        EXPECT_EQ(Rig::req(m, M, k.code, rec), k.onM) << k.code;
    }
    // Req 35 with an unserved dispatcher code.
    OSXDispatch rec{};
    qnWriteU32(&rec, 8, 0x4321);
    ASSERT_EQ(Rig::req(a, A, 24, rec), kIOReturnSuccess);
    for (auto [conn, k] : {std::pair{a, A}, std::pair{s, S}, std::pair{m, M}}) {
        rec = {};
        qnWriteU32(&rec, 8, 79);
        const IOReturn res = Rig::req(conn, k, 35, rec);
        if (k == A) {
            EXPECT_EQ(res, kIOReturnSuccess);
            EXPECT_EQ(qnReadU32(&rec, 8), 0x4321u);
        } else {
            EXPECT_EQ(res, kIOReturnBadArgument) << k;
        }
    }
    QN_Dispatch d{};
    d.code = 79;
    size_t out = sizeof d;
    EXPECT_EQ(Rig::callStruct(c, 0, &d, sizeof d, &out), kIOReturnBadArgument);
}

// Req 38 on both mixer-mode products and one other product, from A and S.
TEST(UserClientRequests, MixerModeTable) {
    struct Product {
        uint16_t id;
        bool mixer;
        uint32_t ins, outs;
    } products[] = {{kKorvexHX5100ProductID, true, 4, 4},
                    {kKorvexFourByFourProductID, true, 6, 2},
                    {kKorvexHX5100SiblingProductID, false, 0, 0}};
    for (const Product& p : products) {
        Rig r(p.id);
        ASSERT_TRUE(r.booted) << p.id << r.h->lastError();
        io_connect_t a = r.open(A), s = r.open(S);
        for (Kind k : {A, S})
            for (uint8_t mode = 0; mode <= 3; ++mode)
                for (uint8_t notify = 0; notify <= 2; ++notify) {
                    SCOPED_TRACE(std::to_string(p.id) + " kind " + std::to_string(k) + " mode " +
                                 std::to_string(mode) + " notify " + std::to_string(notify));
                    io_connect_t conn = k == A ? a : s;
                    const QnChannelSettings before = r.dev()->getCurrentSettings();
                    r.codes();
                    OSXDispatch rec{};
                    rec.payload[0] = notify;
                    rec.payload[1] = mode;
                    ASSERT_EQ(Rig::req(conn, k, 38, rec), kIOReturnSuccess);
                    const QnChannelSettings after = r.dev()->getCurrentSettings();
                    if (mode == 0) {
                        EXPECT_EQ(after.InChannels, 2u);
                        EXPECT_EQ(after.OutChannels, 2u);
                    } else if (mode <= 2 && p.mixer) {
                        EXPECT_EQ(after.InChannels, p.ins);
                        EXPECT_EQ(after.OutChannels, p.outs);
                    } else {
                        EXPECT_EQ(after.InChannels, before.InChannels);
                        EXPECT_EQ(after.OutChannels, before.OutChannels);
                    }
                    const bool stores = k == S || p.mixer;
                    const auto codes = r.codes();
                    EXPECT_EQ(
                        std::count(codes.begin(), codes.end(), uint32_t(STC_MixerModeChanged)),
                        stores && notify == 1 ? 1 : 0);
                    rec = {};
                    ASSERT_EQ(Rig::req(conn, k, 33, rec), kIOReturnSuccess);
                    EXPECT_EQ(rec.payload[0], stores ? 1 : 0);
                    EXPECT_EQ((rec.payload[1] & 0x10) != 0, mode == 0);
                    if (stores) {
                        EXPECT_EQ(rec.payload[2], mode);
                    }
                    // The flag is read once.
                    rec = {};
                    ASSERT_EQ(Rig::req(conn, k, 33, rec), kIOReturnSuccess);
                    EXPECT_EQ(rec.payload[0], 0);
                }
        auto* mm = OSDynamicCast(OSNumber, r.svc()->getProperty("MixerMode"));
        ASSERT_NE(mm, nullptr);
        EXPECT_EQ(mm->unsigned32BitValue(), 3u);
    }
}

TEST(UserClientRequests, MixerValuesReachTheDevice) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t a = r.open(A), s = r.open(S);
    for (auto [conn, k] : {std::pair{a, A}, std::pair{s, S}}) {
        r.codes();
        hx::log::Capture cap;
        OSXDispatch rec{};
        qnWriteU16(&rec, 8, 0x00F3);
        qnWriteU16(&rec, 10, 0xC001);
        ASSERT_EQ(Rig::req(conn, k, 40, rec), kIOReturnSuccess);
        EXPECT_NE(cap.text().find(k == A
                                      ? "Req_SetMixerValues bitmap F3 knob C001\n"
                                      : "Req_SetMixerValues bitmap F3 (243) knob C001 (-16383)\n"),
                  std::string::npos)
            << cap.text();
        const auto sent = r.traceOf(0x54);
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back().setup.bmRequestType, 0x40);
        EXPECT_EQ(sent.back().setup.wValue, 0xC001);
        EXPECT_EQ(sent.back().setup.wIndex, 0x00F3);
        EXPECT_EQ(sent.back().status, kIOReturnSuccess);
        EXPECT_EQ(r.codes(), std::vector<uint32_t>{STC_MixerValuesChanged});
        auto* values = OSDynamicCast(OSNumber, r.svc()->getProperty("MixerValues"));
        auto* knob = OSDynamicCast(OSNumber, r.svc()->getProperty("MixerKnob"));
        ASSERT_TRUE(values && knob);
        EXPECT_EQ(values->unsigned16BitValue(), 0x00F3);
        EXPECT_EQ(knob->unsigned16BitValue(), 0xC001);
        rec = {};
        ASSERT_EQ(Rig::req(conn, k, 39, rec), kIOReturnSuccess);
        EXPECT_EQ(qnReadU16(&rec, 8), 0x00F3);
        EXPECT_EQ(qnReadU16(&rec, 10), 0xC001);
    }
}

TEST(UserClientRequests, TimeStampsFillTheSharedArea) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t s = r.open(S);
    mach_vm_address_t addr = 0;
    ASSERT_EQ(hx::kern::connectionMap(s, 1, &addr, nullptr), kIOReturnSuccess);
    auto* user = reinterpret_cast<uint8_t*>(addr);
    std::memset(user + 14740, 0xEE, sizeof(QN_TimeStampsBufferData));
    OSXDispatch rec{};
    ASSERT_EQ(Rig::req(s, S, 41, rec), kIOReturnSuccess);
    QN_TimeStampsBufferData expected;
    std::memset(&expected, 0xEE, sizeof expected);
    r.dev()->getInputRing().CopyData(expected);
    EXPECT_EQ(std::memcmp(user + 14740, &expected, sizeof expected), 0);
}

// Client x memory type -> size or result.
TEST(UserClientMemory, TypesTable) {
    Rig r;
    ASSERT_TRUE(r.booted);
    io_connect_t conn[4] = {r.open(A), r.open(M), r.open(C), r.open(S)};
    const int64_t no = -int64_t(kIOReturnNoMemory), unsup = -int64_t(kIOReturnUnsupported);
    const int64_t expect[4][9] = {
        /* A */ {no, 30744, no, no, 540656, 540656, 1051668, 1051668, no},
        /* M */ {no, no, no, 459564, no, no, no, no, no},
        /* C */ {unsup, unsup, unsup, unsup, unsup, unsup, unsup, unsup, unsup},
        /* S */ {no, 30744, no, no, 540656, 540656, no, no, no},
    };
    for (int k = 0; k < 4; ++k)
        for (uint32_t type = 0; type <= 8; ++type) {
            mach_vm_address_t addr = 0;
            mach_vm_size_t size = 0;
            const IOReturn res = hx::kern::connectionMap(conn[k], type, &addr, &size);
            const int64_t got = res == kIOReturnSuccess ? int64_t(size) : -int64_t(res);
            EXPECT_EQ(got, expect[k][type]) << "kind " << k << " type " << type;
        }
    // Type 5 is made once: two mappings, one area, and the kernel sees what
    // the user writes.
    mach_vm_address_t x = 0, y = 0;
    ASSERT_EQ(hx::kern::connectionMap(conn[A], 5, &x, nullptr), kIOReturnSuccess);
    ASSERT_EQ(hx::kern::connectionMap(conn[A], 5, &y, nullptr), kIOReturnSuccess);
    EXPECT_NE(x, y);
    reinterpret_cast<uint8_t*>(x)[1000] = 0x42;
    EXPECT_EQ(reinterpret_cast<uint8_t*>(y)[1000], 0x42);
    auto* audio = static_cast<ZrStreamingClient*>(clientOf(conn[A]));
    bool served = false;
    SharedMemory* kernelView = audio->areaForType(5, &served);
    ASSERT_NE(kernelView, nullptr);
    EXPECT_NE(reinterpret_cast<uintptr_t>(kernelView->getMemory()), uintptr_t(x));
    EXPECT_EQ(static_cast<uint8_t*>(kernelView->getMemory())[1000], 0x42);
    // Mappings stay readable after close and unplug.
    mach_vm_address_t sm = 0;
    ASSERT_EQ(hx::kern::connectionMap(conn[A], 1, &sm, nullptr), kIOReturnSuccess);
    const uint16_t vendor = reinterpret_cast<DriverSM*>(sm)->mVendor;
    EXPECT_EQ(vendor, kKorvexVendorID);
    hx::kern::connectionClose(conn[A]);
    r.h->bus()->unplug(r.h->port());
    hx::kern::waitQuiet();
    EXPECT_EQ(reinterpret_cast<uint8_t*>(x)[1000], 0x42);
    EXPECT_EQ(reinterpret_cast<DriverSM*>(sm)->mVendor, vendor);
}

// The clients' life: attach edge cases, owner words, the open, closing.
TEST(UserClientLife, AttachEdgeCases) {
    Rig r;
    ASSERT_TRUE(r.booted);
    ASSERT_TRUE(r.h->openClient() && r.h->configure());
    io_connect_t a = r.open(A);
    OSXDispatch rec{};
    rec.frameSize = 512;
    // Before type 5 was ever asked for: no memory, and the caller keeps its buffer.
    qnWriteU32(&rec, 8, 7);
    EXPECT_EQ(Rig::req(a, A, 2, rec), kIOReturnNoMemory);
    EXPECT_EQ(qnReadU32(&rec, 8), 7u);
    mach_vm_address_t ring = 0;
    ASSERT_EQ(hx::kern::connectionMap(a, 5, &ring, nullptr), kIOReturnSuccess);
    r.codes();
    ASSERT_EQ(Rig::req(a, A, 2, rec), kIOReturnSuccess);
    EXPECT_EQ(r.codes(), std::vector<uint32_t>{STC_ClientAttached});
    EXPECT_EQ(Rig::req(a, A, 2, rec), kIOReturnBusy);
    EXPECT_TRUE(r.codes().empty());
    // Fill the other seven slots, then one more is refused.
    std::vector<io_connect_t> more;
    for (int i = 0; i < 7; ++i) {
        io_connect_t c = r.open(A);
        ASSERT_EQ(hx::kern::connectionMap(c, 5, &ring, nullptr), kIOReturnSuccess);
        OSXDispatch q{};
        ASSERT_EQ(Rig::req(c, A, 2, q), kIOReturnSuccess) << i;
        more.push_back(c);
    }
    io_connect_t ninth = r.open(A);
    ASSERT_EQ(hx::kern::connectionMap(ninth, 5, &ring, nullptr), kIOReturnSuccess);
    OSXDispatch q{};
    EXPECT_EQ(Rig::req(ninth, A, 2, q), kIOReturnNotAttached);
    // Closing an attached client: state change 12 before it leaves the list.
    r.codes();
    const int before = r.svc()->getUserClientCount();
    hx::kern::connectionClose(more.back());
    EXPECT_EQ(r.codes(), std::vector<uint32_t>{STC_ClientDetached});
    EXPECT_EQ(r.svc()->getUserClientCount(), before - 1);
    // The audio-server control values.
    io_connect_t s = r.open(S);
    uint64_t v = 9;
    EXPECT_EQ(Rig::scalars(s, 4, {1}, &v, 1), kIOReturnSuccess);
    EXPECT_EQ(v, 0u);
    EXPECT_EQ(Rig::scalars(s, 4, {2}, &v, 1), kIOReturnBadArgument);
    EXPECT_EQ(Rig::scalars(s, 5, {1, 3}), kIOReturnSuccess);
    EXPECT_EQ(Rig::scalars(s, 5, {2, 3}), kIOReturnBadArgument);
}

// The client takes the inputs and the private data through the dispatcher.
void takeOwnership(ZrDevice* dev, IOUserClient* client) {
    QN_Dispatch take{};
    take.code = 30; // inputs exclusive
    take.data.ulValue = 1;
    ASSERT_EQ(dev->dispatchFunction(client, &take), kIOReturnSuccess);
    take.code = 78; // private data
    take.data.ulValue = 1;
    ASSERT_EQ(dev->dispatchFunction(client, &take), kIOReturnSuccess);
}

TEST(UserClientLife, ClosingClearsOwnerWordsAndTheOpen) {
    Rig r;
    ASSERT_TRUE(r.booted);
    DriverSM* sm = r.dev()->getDriverSM();
    for (Kind k : {S, M, C}) {
        SCOPED_TRACE(k);
        io_connect_t c = r.open(k);
        const uint64_t id = r.svc()->clientIdentifier(clientOf(c));
        if (k != C) {
            OSXDispatch rec{};
            qnWriteU32(&rec, 8, 4242);
            if (k == S) {
                ASSERT_EQ(Rig::req(c, k, 30, rec), kIOReturnSuccess);
            }
        }
        // Owners are the kernel's own; the shared words only mirror them.
        takeOwnership(r.dev(), clientOf(c));
        ASSERT_EQ(uint64_t(sm->mExclusiveInputOwner), id);
        ASSERT_EQ(uint64_t(sm->mPrivateDataOwner), id);
        r.dev()->setHogOwner(4242);
        r.codes();
        ASSERT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
        EXPECT_EQ(uint64_t(sm->mExclusiveInputOwner), k == C ? id : 0u);
        EXPECT_EQ(uint64_t(sm->mPrivateDataOwner), k == C ? id : 0u);
        EXPECT_EQ(r.dev()->getHogOwner(), k == S ? -1 : 4242);
        const auto codes = r.codes();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), uint32_t(STC_HogOwnerChanged)),
                  k == S ? 1 : 0);
    }
    // One audio-server client holds the device open at a time.
    io_connect_t s1 = r.open(S), s2 = r.open(S);
    EXPECT_EQ(Rig::scalars(s1, 0, {}), kIOReturnSuccess);
    EXPECT_EQ(Rig::scalars(s2, 0, {}), kIOReturnExclusiveAccess);
    EXPECT_EQ(Rig::scalars(s2, 1, {}), kIOReturnNotOpen);
    EXPECT_EQ(Rig::scalars(s1, 1, {}), kIOReturnSuccess);
    EXPECT_EQ(Rig::scalars(s2, 0, {}), kIOReturnSuccess);
    EXPECT_EQ(Rig::scalars(s1, 0, {}), kIOReturnExclusiveAccess);
    hx::kern::connectionClose(s2);
    EXPECT_EQ(Rig::scalars(s1, 0, {}), kIOReturnSuccess);
}

// A client acts for its task from initWithTask until it closes, whether the
// user closes it or its task dies.
TEST(UserClientLife, CloseAndDeathClearTheOwningTask) {
    Rig r;
    ASSERT_TRUE(r.booted);
    for (Kind k : {A, M, C, S}) {
        SCOPED_TRACE(k);
        io_connect_t c = r.open(k);
        auto* client = static_cast<ZrUserClient*>(hx::kern::connectionClient(c));
        ASSERT_NE(client, nullptr);
        EXPECT_EQ(client->owningTask(), r.task);
        ASSERT_EQ(hx::kern::connectionClose(c), kIOReturnSuccess);
        EXPECT_EQ(client->owningTask(), task_t(MACH_PORT_NULL));
        client->release();
    }
    task_t other = hx::kern::createTask(889, "dies", 501);
    io_connect_t c = MACH_PORT_NULL;
    ASSERT_EQ(hx::kern::connectionOpen(r.svc(), other, C, &c), kIOReturnSuccess);
    auto* client = static_cast<ZrUserClient*>(hx::kern::connectionClient(c));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->owningTask(), other);
    hx::kern::killTask(other);
    EXPECT_EQ(client->owningTask(), task_t(MACH_PORT_NULL));
    client->release();
}

TEST(UserClientLife, UnplugWithAttachedClients) {
    Rig r;
    ASSERT_TRUE(r.booted);
    ASSERT_TRUE(r.h->openClient() && r.h->configure() && r.h->attachRing()) << r.h->lastError();
    io_connect_t s = r.open(S);
    mach_vm_address_t ring = 0;
    ASSERT_EQ(hx::kern::connectionMap(s, 5, &ring, nullptr), kIOReturnSuccess);
    uint64_t slot = 99;
    ASSERT_EQ(Rig::scalars(s, 2, {512}, &slot, 1), kIOReturnSuccess);
    EXPECT_EQ(slot, 1u);
    auto other = r.h->service()->subscribeUserInterest();
    r.codes();
    r.h->bus()->unplug(r.h->port());
    hx::kern::waitQuiet();
    const auto codes = r.codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), uint32_t(STC_ServiceTerminates)), codes.end());
    hx::kern::UserInterest::Message msg;
    bool terminates = false;
    while (other->next(msg))
        if (msg.type == kQnStateChangeMessage && msg.argument.size() >= sizeof(QN_StateChange)) {
            QN_StateChange sc;
            std::memcpy(&sc, msg.argument.data(), sizeof sc);
            terminates |= sc.mCode == STC_ServiceTerminates;
        }
    EXPECT_TRUE(terminates);
    hx::log::Capture cap;
    OSXDispatch rec{};
    EXPECT_EQ(Rig::req(s, S, 25, rec), kIOReturnCannotLock);
    EXPECT_NE(cap.text().find("method_CallDriver aborted. inStruct->iReq:25"), std::string::npos);
    EXPECT_EQ(hx::kern::connectionClose(s), kIOReturnSuccess);
    r.h->stop();
}

TEST(UserClientLife, KilledTaskLeavesOthersStreaming) {
    Rig r;
    ASSERT_TRUE(r.booted);
    // Opened first: opening an audio client takes the service 100 ms, which
    // would starve the streaming client's cycle.
    task_t victim = hx::kern::createTask(888, "victim", 501);
    io_connect_t v = MACH_PORT_NULL;
    ASSERT_EQ(hx::kern::connectionOpen(r.svc(), victim, A, &v), kIOReturnSuccess);
    const uint64_t id = r.svc()->clientIdentifier(clientOf(v));
    mach_vm_address_t ring = 0;
    ASSERT_EQ(hx::kern::connectionMap(v, 5, &ring, nullptr), kIOReturnSuccess);
    ASSERT_TRUE(r.h->openClient() && r.h->configure() && r.h->setRouting() && r.h->attachRing());
    r.h->run(100000);
    const uint64_t inBefore = r.h->report().framesIn;
    OSXDispatch rec{};
    ASSERT_EQ(Rig::req(v, A, 2, rec), kIOReturnSuccess);
    const uint32_t slot = qnReadU32(&rec, 8);
    takeOwnership(r.dev(), clientOf(v));
    ASSERT_EQ(uint64_t(r.dev()->getDriverSM()->mExclusiveInputOwner), id);
    r.codes();
    const int clients = r.svc()->getUserClientCount();
    hx::kern::killTask(victim);
    EXPECT_EQ(r.codes(), std::vector<uint32_t>{STC_ClientDetached});
    EXPECT_EQ(r.svc()->getUserClientCount(), clients - 1);
    EXPECT_EQ(uint64_t(r.dev()->getDriverSM()->mExclusiveInputOwner), 0u);
    EXPECT_EQ(r.dev()->getDriverData()->slotState(int(slot)), uint32_t(kAttachLaidOut));
    r.h->run(200000);
    const auto rep = r.h->report();
    EXPECT_GT(rep.framesIn, inBefore + 48u * 150);
    EXPECT_EQ(rep.streamBreaks, 0u);
    EXPECT_TRUE(rep.matched) << hx::harness::describe(rep);
}

} // namespace
