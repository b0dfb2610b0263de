// The bulk and interrupt audio transports (see the header).
#include "driver/engine/transport/ZrBulkStreaming.h"

#include <algorithm>
#include <cstring>

#include "abi/QN_StateChange.h"
#include "driver/engine/stream/AudioSMKernel.h"
#include "driver/engine/stream/DriverData.h"
#include "driver/engine/stream/ZrFramePatternObserver.h"
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "platform/base/HXClock.h"
#include "platform/kern/IOLib.h"

namespace {

constexpr uint32_t kGuardCompletions = 750;
constexpr uint32_t kUnderrunResetFrames = 5001;
constexpr uint32_t kUnderrunResetCount = 5001;
constexpr uint32_t kStagingBytes = 8192;
// The input work buffer: 8 packets of up to 32 frames of 32 channels, and
// the inserted frame.
constexpr uint32_t kWorkSamples = 8 * 32 * 32 + 32;

uint32_t packetSizeOf(IOUSBHostPipe* pipe) {
    const StandardUSB::EndpointDescriptor* ep = pipe ? pipe->getEndpointDescriptor() : nullptr;
    return ep ? (ep->wMaxPacketSize & 0x7FF) : 0;
}

bool isInterruptPipe(IOUSBHostPipe* pipe) {
    const StandardUSB::EndpointDescriptor* ep = pipe ? pipe->getEndpointDescriptor() : nullptr;
    return ep && (ep->bmAttributes & 3) == 3;
}

uint32_t nominal(DMA_CONVERT_FNC f) {
    return f ? uint32_t(f(nullptr)) : 0;
}

} // namespace

// ---- Choices and checks

BulkFramesPerPacket bulkFramesPerPacket(uint32_t width, bool brava, uint32_t rate,
                                        uint32_t inMaxPacket, uint32_t outMaxPacket) {
    BulkFramesPerPacket f{width == 16 ? 8u : 4u, 10u};
    if (brava) {
        if (rate >= 176400)
            f = {16, 20};
        else if (rate > 88199)
            f = {8, 10};
        else
            f = {4, 5};
    }
    if (outMaxPacket >= 513) f.out *= 2;
    if (inMaxPacket >= 513) f.in *= 2;
    return f;
}

DMA_CONVERT_FNC chooseDMADecoder(uint32_t inChannels, uint32_t width, bool brava) {
    if (brava) {
        IOLog("chooseDMADecoder for PROD_QUARNEL_BRAVA_k48_USB chan:%d\n", int(inChannels));
        switch (inChannels) {
        case 8:
            return dmaDecode16To08At32Bit_Brava;
        case 16:
            return dmaDecode16To16At32Bit_Brava;
        case 32:
            return dmaDecode16To32At32Bit_Brava;
        default:
            IOLog("...not supported\n");
            return nullptr;
        }
    }
    static std::atomic<DMA_CONVERT_FNC>* const k16[] = {
        &dmaDecode16To02At32Bit, &dmaDecode16To04At32Bit, &dmaDecode16To06At32Bit,
        &dmaDecode16To08At32Bit, &dmaDecode16To10At32Bit, &dmaDecode16To12At32Bit,
        &dmaDecode16To14At32Bit, &dmaDecode16To16At32Bit};
    static std::atomic<DMA_CONVERT_FNC>* const k32[] = {
        &dmaDecode32To18At32Bit, &dmaDecode32To20At32Bit, &dmaDecode32To22At32Bit,
        &dmaDecode32To24At32Bit, &dmaDecode32To26At32Bit, &dmaDecode32To28At32Bit,
        &dmaDecode32To30At32Bit, &dmaDecode32To32At32Bit};
    if (inChannels % 2 || inChannels < 2 || inChannels > 32) return nullptr;
    if (inChannels <= 16) return width == 16 ? k16[inChannels / 2 - 1]->load() : nullptr;
    return width == 32 ? k32[(inChannels - 18) / 2]->load() : nullptr;
}

DMA_CONVERT_FNC chooseDMAEncoder(const BulkStreamSettings& s, bool int964) {
    const uint32_t ch = s.outChannels;
    if (s.brava) {
        IOLog("chooseDMAEncoder for PROD_QUARNEL_BRAVA_k48_USB chan:%d\n", int(ch));
        switch (ch) {
        case 8:
            return dmaEncode08_Brava;
        case 16:
            return dmaEncode16_Brava;
        case 32:
            return dmaEncode32_Brava;
        default:
            IOLog("...not supported\n");
            return nullptr;
        }
    }
    switch (ch) {
    case 2:
        return dmaEncode02;
    case 4:
        return dmaEncode04;
    case 6:
        if (int964) {
            IOLog("Using dmaEncode06_Int964 for interrupt transfer\n");
            return dmaEncode06_Int964;
        }
        return dmaEncode06;
    case 8: {
        DMA_CONVERT_FNC f = dmaEncode08;
        if (s.selectorProduct) {
            static std::atomic<DMA_CONVERT_FNC>* const kSel[] = {&dmaEncode10_12, &dmaEncode10_34,
                                                                 &dmaEncode10_56, &dmaEncode10_78};
            f = kSel[s.digitalOutSelector < 4 ? s.digitalOutSelector : 0]->load();
        }
        if (int964) {
            IOLog("Using dmaEncode08_Int964 for interrupt transfer\n");
            f = dmaEncode08_Int964;
        }
        return f;
    }
    case 10:
        if (s.kxProduct) {
            if (int964) {
                IOLog("Using dmaEncode10_Int964 for interrupt transfer\n");
                return dmaEncode10_KX_Int964;
            }
            return dmaEncode10_KX;
        }
        return dmaEncode10;
    case 16:
        if (int964) {
            IOLog("Using dmaEncode16_Int964 for interrupt transfer\n");
            return dmaEncode16_Int964;
        }
        return dmaEncode16;
    default:
        return nullptr;
    }
}

bool bulkCountsAgree(const BulkStreamSettings& s, uint32_t inMaxPacket, uint32_t outMaxPacket,
                     bool hasIn, bool hasOut) {
    auto refuse = [](const char* why, int a, int b) {
        IOLog("ZrDevice::bulk configuration refused: %s (%d, %d)\n", why, a, b);
        return false;
    };
    // Nothing else moves the ring that paces the output.
    if (!hasIn) return refuse("no in pipe", 0, 0);
    if (inMaxPacket != 512 && inMaxPacket != 1024)
        return refuse("in packet size", int(inMaxPacket), 0);
    const uint32_t width = s.brava ? 16 : bulkDmaWidth(s.inChannels);
    const BulkFramesPerPacket f =
        bulkFramesPerPacket(width, s.brava, s.rate, inMaxPacket, hasOut ? outMaxPacket : 0);
    DMA_CONVERT_FNC dec = chooseDMADecoder(s.inChannels, width, s.brava);
    if (!dec) return refuse("no decoder for the inputs", int(s.inChannels), int(width));
    const uint32_t decFrames = nominal(dec) / std::max<uint32_t>(s.inChannels, 1);
    if (f.in * 512 / inMaxPacket != decFrames)
        return refuse("in frames per 512 bytes", int(f.in * 512 / inMaxPacket), int(decFrames));
    if (!hasOut) return true;
    const bool int964 = s.useInterruptTransfers && outMaxPacket == 964;
    DMA_CONVERT_FNC enc = chooseDMAEncoder(s, int964);
    if (!enc) return refuse("no encoder for the outputs", int(s.outChannels), 0);
    const uint32_t bytes = nominal(enc);
    const uint32_t encFrames = bytes / 4 / std::max<uint32_t>(s.outChannels, 1);
    if (f.out != encFrames) return refuse("out frames per packet", int(f.out), int(encFrames));
    const bool is964 = enc == dmaEncode06_Int964.load() || enc == dmaEncode08_Int964.load() ||
                       enc == dmaEncode16_Int964.load() || enc == dmaEncode10_KX_Int964.load();
    if (is964 ? outMaxPacket != 964 : (outMaxPacket < 482 || outMaxPacket > 512))
        return refuse("out packet size", int(outMaxPacket), 0);
    if (uint64_t(bytes) * kBulkIRPPackets > kBulkPcmBlockBytes)
        return refuse("PCM block", int(bytes), int(kBulkPcmBlockBytes));
    return true;
}

bool interruptCountsAgree(uint32_t inChannels, uint32_t outChannels, uint32_t inMaxPacket,
                          uint32_t outMaxPacket, bool farlane) {
    auto refuse = [](const char* why, int a, int b) {
        IOLog("ZrDevice::interrupt configuration refused: %s (%d, %d)\n", why, a, b);
        return false;
    };
    if (!inMaxPacket) return refuse("no in pipe", 0, 0);
    if (farlane) {
        if (inMaxPacket != 32 + 28 * std::max<uint32_t>(inChannels, 1))
            return refuse("in packet size", int(inMaxPacket), int(inChannels));
        if (outMaxPacket && outMaxPacket != 32 + 28 * std::max<uint32_t>(outChannels, 1))
            return refuse("out packet size", int(outMaxPacket), int(outChannels));
        return true;
    }
    const uint32_t inFrame = 4 * (inChannels ? inChannels : 2);
    const uint32_t outFrame = 4 * (outChannels ? outChannels : 2);
    if (inMaxPacket % inFrame) return refuse("in packet holds part frames", int(inMaxPacket), 0);
    if (outMaxPacket % outFrame)
        return refuse("out packet holds part frames", int(outMaxPacket), 0);
    return true;
}

// ---- Life

ZrBulkStreaming::ZrBulkStreaming(BulkStreamHost& host, KeThread& thread)
    : mHost(host), mThread(thread) {
    for (auto& r : mBulkIn)
        r.init(this);
    for (auto& r : mBulkOut)
        r.init(this);
    for (auto& r : mIntIn)
        r.init(this);
    for (auto& r : mIntOut)
        r.init(this);
}

ZrBulkStreaming::~ZrBulkStreaming() {
    stop(true);
    release();
}

bool ZrBulkStreaming::configure(BulkTransport transport, IOUSBHostPipe* in, IOUSBHostPipe* out,
                                const BulkStreamSettings& settings) {
    // The converter table is filled once, as at load, by the first
    // configuration (a general-purpose fill alone leaves the 10- to
    // 16-channel encoders empty).
    if (!dmaEncode02.load() || !dmaEncode16.load()) DMAConverterInit(0);
    // A record keeps its buffer only for the pipe it was sized for.
    if (in != mInPipe || out != mOutPipe || transport != mTransport) release();
    mTransport = BulkTransport::None;
    mSettings = settings;
    mInPipe = in;
    mOutPipe = out;
    mInPacketSize = packetSizeOf(in);
    mOutPacketSize = packetSizeOf(out);
    bool ok = false;
    switch (transport) {
    case BulkTransport::Bulk:
        ok =
            bulkCountsAgree(settings, mInPacketSize, mOutPacketSize, in != nullptr, out != nullptr);
        if (ok) {
            // bulkAudioInitIRPS.
            for (auto& r : mBulkIn)
                if (in && !r.data()) r.allocData(in);
            for (auto& r : mBulkOut)
                if (out && !r.data()) r.allocData(out);
        }
        break;
    case BulkTransport::Interrupt:
    case BulkTransport::InterruptFarlane:
        ok = in && out &&
             interruptCountsAgree(settings.inChannels, settings.outChannels, mInPacketSize,
                                  mOutPacketSize, transport == BulkTransport::InterruptFarlane);
        if (ok) {
            // interruptAudioInitIRPS.
            for (auto& r : mIntIn)
                if (!r.data()) r.allocData(in);
            for (auto& r : mIntOut)
                if (!r.data()) r.allocData(out);
        }
        break;
    case BulkTransport::None:
        break;
    }
    if (!ok) return false;
    if (!mPcmBlock) mPcmBlock = static_cast<int32_t*>(IOMalloc(kBulkPcmBlockBytes));
    if (!mWork) mWork = static_cast<int32_t*>(IOMalloc(kWorkSamples * 4));
    if (!mPcmBlock || !mWork) return false;
    std::memset(mPcmBlock, 0, kBulkPcmBlockBytes);
    mTransport = transport;
    return true;
}

void ZrBulkStreaming::release() {
    for (auto& r : mBulkIn)
        r.term();
    for (auto& r : mBulkOut)
        r.term();
    for (auto& r : mIntIn)
        r.term();
    for (auto& r : mIntOut)
        r.term();
    if (mPcmBlock) IOFree(mPcmBlock, kBulkPcmBlockBytes);
    if (mWork) IOFree(mWork, kWorkSamples * 4);
    mPcmBlock = nullptr;
    mWork = nullptr;
    mInPipe = mOutPipe = nullptr;
    mTransport = BulkTransport::None;
}

void ZrBulkStreaming::resetGuards() {
    mGuardCriticalPoint = mSettings.rate / 700;
    mGuardCriticalPointLow = mSettings.rate / 1370;
    mGuardOutSum = mGuardPosSum = mGuardCumSum = 0;
    mGuardCount = 0;
    mPendingInserts.store(0);
    mDevicePosition = 0;
    mOutFramePosition = 0;
    mLastServicedFrame = 0;
    mNumUnderrun = 0;
    mLastUnderrunReset = 0;
    mFlbCounter = 0;
    mCarry = 0;
    mClientsLed = false;
    mStartFrame = 0;
    mBroken.store(false);
    mResetRequested.store(false);
}

bool ZrBulkStreaming::configureUnbound(BulkTransport transport, uint32_t inPacket,
                                       uint32_t outPacket, const BulkStreamSettings& settings) {
    if (!dmaEncode02.load() || !dmaEncode16.load()) DMAConverterInit(0);
    release();
    mSettings = settings;
    mInPacketSize = inPacket;
    mOutPacketSize = outPacket;
    const bool bulk = transport == BulkTransport::Bulk;
    const bool ok =
        bulk ? bulkCountsAgree(settings, inPacket, outPacket, inPacket != 0, outPacket != 0)
             : interruptCountsAgree(settings.inChannels, settings.outChannels, inPacket, outPacket,
                                    transport == BulkTransport::InterruptFarlane);
    if (!ok) return false;
    for (auto& r : mBulkIn)
        if (bulk && inPacket) r.allocateUnbound(inPacket, kBulkIRPPackets);
    for (auto& r : mBulkOut)
        if (bulk && outPacket) r.allocateUnbound(outPacket, kBulkIRPPackets);
    for (auto& r : mIntIn)
        if (!bulk && inPacket) r.allocateUnbound(inPacket, kInterruptInPackets);
    for (auto& r : mIntOut)
        if (!bulk && outPacket) r.allocateUnbound(outPacket, kInterruptOutPackets);
    mPcmBlock = static_cast<int32_t*>(IOMalloc(kBulkPcmBlockBytes));
    mWork = static_cast<int32_t*>(IOMalloc(kWorkSamples * 4));
    mTransport = transport;
    resetGuards();
    if (bulk) {
        mDmaWidth = bulkDmaWidth(settings.inChannels);
        const BulkFramesPerPacket f =
            bulkFramesPerPacket(mDmaWidth, settings.brava, settings.rate, inPacket, outPacket);
        mInFramesPerPacket = f.in;
        mOutFramesPerPacket = f.out;
        mOutputLead = settings.rate * 3 / 1000;
        mMaxPacketsPerCycle = (settings.rate * 8 / 1000) / f.out;
        mDecoder = chooseDMADecoder(settings.inChannels, mDmaWidth, settings.brava);
        mEncoder = outPacket ? chooseDMAEncoder(settings,
                                                settings.useInterruptTransfers && outPacket == 964)
                             : nullptr;
        mBytesPerBulkFromClient.store(nominal(mEncoder));
    } else {
        const bool flb = transport == BulkTransport::InterruptFarlane;
        const uint32_t outCh = settings.outChannels ? settings.outChannels : 2;
        mInFramesPerPacket = flb ? 7 : 4;
        mOutFramesPerPacket = flb ? 7 : (outPacket / outCh / 4);
        mOutputLead = settings.rate * 5 / 1000;
        mMaxPacketsPerCycle = flb ? settings.rate * 8 / 7000
                                  : (settings.rate * 8 / 1000) / std::max(mOutFramesPerPacket, 1u);
    }
    mStarted.store(true);
    return true;
}

bool ZrBulkStreaming::run(bool installService) {
    resetGuards();
    switch (mTransport) {
    case BulkTransport::Bulk:
        if (!bulkAudioRun()) return false;
        if (installService) mThread.setService(&ZrBulkStreaming::rtsBulkOutBulkIn, this);
        return true;
    case BulkTransport::Interrupt:
        if (!interruptAudioRun()) return false;
        mThread.setService(&ZrBulkStreaming::rtsInterruptOutInterruptIn, this);
        return true;
    case BulkTransport::InterruptFarlane:
        if (!interruptAudioRun_Flb()) return false;
        mThread.setService(&ZrBulkStreaming::rtsInterruptOutInterruptIn_Flb, this);
        return true;
    case BulkTransport::None:
        break;
    }
    return false;
}

bool ZrBulkStreaming::stop(bool wait) {
    const bool was = mStarted.exchange(false, std::memory_order_acq_rel);
    if (wait)
        mThread.stopBarrier();
    else
        mThread.setService(nullptr);
    if (mTransport == BulkTransport::Bulk)
        bulkAudioStop(wait);
    else if (mTransport != BulkTransport::None)
        interruptAudioStop(wait);
    return was;
}

void ZrBulkStreaming::declareBroken(const char* line) {
    mHost.stopStreaming(false);
    IOLog("%s", line);
    bool no = false;
    if (mBroken.compare_exchange_strong(no, true)) mHost.stcNotifyStreaming(STC_STREAM_BROKEN);
}

template <class R, size_t N> R* ZrBulkStreaming::oldest(R (&records)[N]) {
    R* best = nullptr;
    for (R& r : records) {
        const uint32_t n = r.useNumber();
        // Sequence numbers compared modulo 2^32.
        if (n && (!best || int32_t(n - best->useNumber()) < 0)) best = &r;
    }
    return best;
}

bool ZrBulkStreaming::prepareService() {
    if (!isStreamingStarted()) return false;
    IOUSBHostPipe* pipe = mInPipe ? mInPipe : mOutPipe;
    const uint64_t now = pipe ? pipe->getFrameNumber() : 0;
    if (!now) return false;
    const uint32_t frame = uint32_t(now);
    if (frame == mLastServicedFrame) return false;
    mLastServicedFrame = frame;
    mCurrentFrame = frame;
    if (!mHost.lockInputRing()) return false;
    if (mDriverData && mInputRing) {
        uint64_t hostTime = 0, sampleTime = 0;
        mInputRing->GetLastTimeStamp(hostTime, sampleTime);
        mDriverData->rtsCheckAttachClients(sampleTime, mDevicePosition, hostTime);
    }
    if (!mStartFrame) mStartFrame = frame;
    return true;
}

bool ZrBulkStreaming::submitIn(AudioTransferRecord& r, uint32_t length,
                               IOUSBHostCompletionAction action, uint32_t timeout) {
    r.mCompletion = {this, action, &r};
    r.descriptor()->prepare();
    const IOReturn st = r.pipe()->io(r.descriptor(), length, &r.mCompletion, timeout);
    if (st != kIOReturnSuccess) {
        r.unuse();
        return false;
    }
    return true;
}

// ---- Drift guard (both sets): when the out side runs ahead of the ring
// by the critical point on average over 750 completions, the in side
// inserts frames until it is back at the low threshold.
void ZrBulkStreaming::guard(uint64_t frames, int32_t& pending, bool log) {
    mGuardOutSum += frames;
    if (!mInputRing) return;
    mGuardPosSum += mInputRing->getFramePos();
    mGuardCumSum += mGuardOutSum;
    if (++mGuardCount < kGuardCompletions) return;
    const int64_t diff = int64_t(mGuardCumSum / mGuardCount) - int64_t(mGuardPosSum / mGuardCount);
    if (diff >= int64_t(mGuardCriticalPoint)) {
        if (log)
            IOLog(
                "1: iDiff(%d) >= mBulkIOGuard_CiticalPoint(%d)   mBulkIOGuard_CiticalPointLow:%d\n",
                int(diff), int(mGuardCriticalPoint), int(mGuardCriticalPointLow));
        pending = int32_t(diff - int64_t(mGuardCriticalPointLow));
    }
    mGuardPosSum = mGuardCumSum = 0;
    mGuardCount = 0;
}

uint32_t writeDmaInputChannels(BulkStreamHost& host, uint32_t inChannels, bool brava) {
    uint8_t reg = 0;
    host.readDmaRegister(reg);
    const bool narrow = inChannels <= 16 || brava;
    reg = uint8_t(narrow ? (reg | 0x20) : (reg & ~0x20)) | 0x10;
    host.writeDmaRegister(reg);
    return inChannels <= 16 ? 16 : 32;
}

// ---- Bulk transport

bool ZrBulkStreaming::bulkAudioRun() {
    // 1. The in pipe's rate.
    mHost.setPipeRates(mSettings.rate);
    if (!mInPipe && !mOutPipe) return false;
    // 2. The DMA width (bit 0x20: 8-bit units; bit 0x10 always set).
    IOSleep(50);
    mDmaWidth = mHost.setAJDMAInputChannels(mSettings.inChannels, mSettings.brava);
    // 3, 4. Frames per packet, the lead and the per-cycle limit.
    const BulkFramesPerPacket f = bulkFramesPerPacket(mDmaWidth, mSettings.brava, mSettings.rate,
                                                      mInPacketSize, mOutPacketSize);
    mInFramesPerPacket = f.in;
    mOutFramesPerPacket = f.out;
    mOutputLead = mSettings.rate * 3 / 1000;
    mMaxPacketsPerCycle = (mSettings.rate * 8 / 1000) / mOutFramesPerPacket;
    // 5. The converters.
    mStarted.store(true, std::memory_order_release);
    mDecoder =
        mInPipe ? chooseDMADecoder(mSettings.inChannels, mDmaWidth, mSettings.brava) : nullptr;
    const bool int964 = mSettings.useInterruptTransfers && mOutPacketSize == 964;
    mEncoder = mOutPipe ? chooseDMAEncoder(mSettings, int964) : nullptr;
    if ((mInPipe && !mDecoder) || (mOutPipe && !mEncoder)) return false;
    // 6.
    mBytesPerBulkFromClient.store(nominal(mEncoder));
    IOLog("ZrDevice::bulkAudioRun mRtsBulkInFramesPerBlock:%d mRtsBulkOutFramesPerBlock:%d "
          "mBytesPerBulkFromClient:%d\n",
          int(mInFramesPerPacket), int(mOutFramesPerPacket), int(mBytesPerBulkFromClient.load()));
    // 7.
    for (auto& r : mBulkIn)
        r.prepare();
    for (auto& r : mBulkOut)
        r.prepare();
    if (!mPcmBlock) return false;
    mNextIn.store(1);
    mNextOut.store(1);
    bulkAudioGo();
    return true;
}

void ZrBulkStreaming::bulkAudioGo() {
    if (mSettings.goClearStall) {
        if (mInPipe) mInPipe->clearStall(true);
        if (mOutPipe) mOutPipe->clearStall(true);
    }
    const uint32_t bytes = mBytesPerBulkFromClient.exchange(0);
    for (int i = 0; i < 3 && mInPipe; ++i)
        bulkAudioIn();
    for (int i = 0; i < 3 && mOutPipe; ++i)
        bulkAudioOut();
    mBytesPerBulkFromClient.store(bytes);
}

bool ZrBulkStreaming::bulkAudioIn() {
    if (stopping() || !mInPipe) return false;
    for (auto& r : mBulkIn)
        if (r.useIn(mNextIn.load())) {
            mNextIn.fetch_add(1);
            return submitIn(r, r.size(), &ZrBulkStreaming::bulkAudioInCompletion,
                            isInterruptPipe(mInPipe) ? 0 : 50);
        }
    return false;
}

bool ZrBulkStreaming::bulkAudioOut() {
    if (stopping() || !mOutPipe) return false;
    for (auto& r : mBulkOut)
        if (r.useOut(mNextOut.load(), false)) {
            mNextOut.fetch_add(1);
            r.mCompletion = {this, &ZrBulkStreaming::bulkAudioOutCompletion, &r};
            r.descriptor()->prepare();
            const IOReturn st = mOutPipe->io(r.descriptor(), r.size(), &r.mCompletion, 0);
            if (st != kIOReturnSuccess) {
                IOLog("ZrDevice::bulkAudioOut Write returned :%08X size:%d\n", unsigned(st),
                      int(r.size()));
                r.unuse();
                return false;
            }
            return true;
        }
    return false;
}

void ZrBulkStreaming::bulkAudioInCompletion(void* owner, void* parameter, IOReturn status,
                                            uint32_t bytes) {
    auto* self = static_cast<ZrBulkStreaming*>(owner);
    auto* irp = static_cast<AudioBulkIRP*>(parameter);
    irp->mTransferedBytes.store(bytes);
    irp->mStatus.store(status);
    if (status == kIOReturnAborted) {
        IOLog("ZrDevice::bulkAudioInCompletion Transfer aborted, giving up\n");
    } else {
        if (status != kIOReturnSuccess)
            IOLog("ZrDevice::bulkAudioInCompletion status:%08X mTransferedBytes:%08X\n",
                  unsigned(status), unsigned(bytes));
        // Only whole packets count; a partial packet's tail is stale.
        const uint32_t packets = bulkDonePackets(bytes, irp->packetSize(), kBulkIRPPackets);
        if (self->mInputRing && packets)
            self->mInputRing->AddTimeStamp(mach_absolute_time(),
                                           uint64_t(packets) * self->mInFramesPerPacket, true);
        self->bulkInpEvent(irp);
    }
    irp->setDone();
    irp->unuse();
}

void ZrBulkStreaming::bulkInpEvent(AudioBulkIRP* irp) {
    const IOReturn st = irp->mStatus.load();
    if (st == kIOReturnSuccess) {
        bulkAudioIn();
        return;
    }
    if (version_major >= 15 && mSettings.bulkInIsocOut) {
        bulkAudioIn();
        return;
    }
    if (stopping()) return;
    if (st == kIOReturnAborted) {
        mHost.stopStreaming(false);
        return;
    }
    declareBroken("ZrDevice::bulkInpEvent: STC_STREAM_BROKEN\n");
}

void ZrBulkStreaming::bulkAudioOutCompletion(void* owner, void* parameter, IOReturn status,
                                             uint32_t bytes) {
    auto* self = static_cast<ZrBulkStreaming*>(owner);
    auto* irp = static_cast<AudioBulkIRP*>(parameter);
    irp->mTransferedBytes.store(bytes);
    irp->mStatus.store(status);
    self->bulkOutEvent(irp);
    irp->setDone();
    irp->unuse();
}

void ZrBulkStreaming::bulkOutEvent(AudioBulkIRP* irp) {
    const IOReturn st = irp->mStatus.load();
    if (st == kIOReturnSuccess && !mResetRequested.load()) {
        bulkAudioOut();
        int32_t pending = mPendingInserts.load();
        guard(uint64_t(kBulkIRPPackets) * mOutFramesPerPacket, pending, true);
        mPendingInserts.store(pending);
        return;
    }
    if (stopping() || st == kIOReturnAborted) return;
    declareBroken("ZrDevice::bulkOutEvent: STC_STREAM_BROKEN\n");
}

namespace {

// Polls every 10 ms until no record of either list is in use.
template <class In, class Out> void waitWhileInUse(const char* who, In& in, Out& out) {
    auto busy = [&] {
        for (auto& r : in)
            if (r.useCount() >= 1) return true;
        for (auto& r : out)
            if (r.useCount() >= 1) return true;
        return false;
    };
    while (busy()) {
        IOLog("%s still active\n", who);
        IOSleep(10);
    }
}

} // namespace

void ZrBulkStreaming::bulkAudioStop(bool wait) {
    for (auto& r : mBulkIn)
        r.cancel();
    for (auto& r : mBulkOut)
        r.cancel();
    if (mInPipe) mInPipe->abort(kAbortAsynchronous);
    if (mOutPipe) mOutPipe->abort(kAbortAsynchronous);
    // Without pipes no transfer is in flight: nothing to wait for.
    if (!wait || (!mInPipe && !mOutPipe)) return;
    waitWhileInUse("bulkAudioStop", mBulkIn, mBulkOut);
}

void ZrBulkStreaming::writeGroup(uint32_t frames) {
    if (!mInputRing || !frames) return;
    if (mPendingInserts.load(std::memory_order_acquire) > 0) {
        const int32_t left = mPendingInserts.fetch_sub(1) - 1;
        IOLog("insert frame mBulkIOGuard_CiticalPointDiff:%d\n", int(left));
        mInputRing->writeFrames(mWork, 1, 0);
        mInsertsTotal.fetch_add(1, std::memory_order_relaxed);
    }
    mInputRing->writeFrames(mWork, frames, 0);
}

uint32_t ZrBulkStreaming::rtsProcessBulkIn() {
    uint32_t decoded = 0;
    const uint32_t ch = std::max<uint32_t>(mSettings.inChannels, 1);
    const uint32_t halves = mInPacketSize > 512 ? 2 : 1;
    const uint32_t framesPerHalf = mInFramesPerPacket / halves;
    while (AudioBulkIRP* r = oldest(mBulkIn)) {
        const bool done = r->isDone();
        const uint32_t arrived =
            done ? bulkDonePackets(r->mTransferedBytes.load(), mInPacketSize, kBulkIRPPackets)
                 : bulkArrivedPackets(r->data(), mInPacketSize, kBulkIRPPackets, r->mProcessed);
        uint32_t frames = 0, group = 0;
        for (uint32_t k = r->mProcessed; k < arrived && mDecoder; ++k) {
            for (uint32_t h = 0; h < halves; ++h) {
                int32_t* dst = mWork + uint64_t(frames) * ch;
                DMA_CONVERT_DATA d{};
                d.src = r->data() + uint64_t(k) * mInPacketSize + h * 512;
                d.dst = dst;
                mDecoder(&d);
                if (mSettings.inputMeter && mpInputLevels)
                    for (uint32_t i = 0; i < framesPerHalf; ++i)
                        mSettings.inputMeter(mpInputLevels, reinterpret_cast<char*>(dst + i * ch));
                if (mSettings.postProcessor) mSettings.postProcessor(dst, framesPerHalf * ch);
                if (mpInputPeaks) raiseChannelPeaks(mpInputPeaks, dst, framesPerHalf, ch);
                frames += framesPerHalf;
            }
            ++decoded;
            if (++group == 8) {
                writeGroup(frames);
                frames = group = 0;
            }
        }
        writeGroup(frames);
        if (arrived > r->mProcessed && mInputRing) mInputRing->writeTimestamp(mach_absolute_time());
        r->mProcessed = std::max(r->mProcessed, arrived);
        // A done record is consumed once its whole packets are; a running
        // one once all 20 arrived.
        if (r->mProcessed >= kBulkIRPPackets || (done && r->mProcessed >= arrived)) {
            r->setUseNumber(0);
            continue;
        }
        break;
    }
    return decoded;
}

bool ZrBulkStreaming::underrun(uint32_t needed, uint32_t available) {
    const uint32_t since = mCurrentFrame - mLastUnderrunReset;
    if (mNumUnderrun < 2)
        IOLog("UNDERRUN iBlocksToProcess:%d > iAvailableBlocksFromClients:%d, delay:%d mRts:%d "
              "m_uNumUnderrun=%d\n",
              int(needed), int(available), int(since), int(mOutFramesPerPacket), int(mNumUnderrun));
    ++mNumUnderrun;
    mUnderrunsTotal.fetch_add(1, std::memory_order_relaxed);
    if (since >= kUnderrunResetFrames && mSettings.quarnelBulkDevice) {
        mLastUnderrunReset = mCurrentFrame;
        IOLog("RESET_ON_UNDER_DELAY, m_uNumUnderrun=%d\n", int(mNumUnderrun));
        if (mNumUnderrun >= kUnderrunResetCount) {
            IOLog("Issueing Reset, framePos=%08x, interval=%d, num Underruns=%d\n",
                  unsigned(mCurrentFrame), int(since), int(mNumUnderrun));
            mResetRequested.store(true, std::memory_order_release);
        }
        mNumUnderrun = 0;
        return true;
    }
    return false;
}

void ZrBulkStreaming::fillMidiBytes(uint8_t* p) {
    auto midi = [this](uint8_t* at, bool small) {
        uint8_t b = 0;
        if (mHost.nextMidiSlotFlagged() && mHost.takeMidiByte(b))
            *at = b;
        else if (small)
            *at = 0xFD;
    };
    auto control = [this](uint8_t* at) {
        uint8_t b = 0;
        *at = mHost.takeControlByte(b) ? uint8_t(b | 0x18) : 0xFF;
    };
    if (mOutPacketSize <= 512) {
        if (mOutPacketSize < 482) return;
        midi(p + 480, true);
        control(p + 481);
    } else if (mOutPacketSize >= 916) {
        midi(p + 432, false);
        control(p + 433);
        midi(p + 914, false);
        control(p + 915);
    }
}

DMA_CONVERT_FNC ZrBulkStreaming::chooseDMAEncoderForSelector(uint32_t selector) {
    mSettings.digitalOutSelector = selector;
    DMA_CONVERT_FNC current = __atomic_load_n(&mEncoder, __ATOMIC_ACQUIRE);
    if (mTransport != BulkTransport::Bulk || !mOutPacketSize) return current;
    const bool int964 = mSettings.useInterruptTransfers && mOutPacketSize == 964;
    DMA_CONVERT_FNC chosen = chooseDMAEncoder(mSettings, int964);
    // The packet layout was checked for the encoder in force: another one
    // consuming a different PCM count would not fit it.
    if (!chosen || (current && nominal(chosen) != nominal(current))) return current;
    __atomic_store_n(&mEncoder, chosen, __ATOMIC_RELEASE);
    return chosen;
}

void ZrBulkStreaming::rtsProcessBulkOut() {
    const DMA_CONVERT_FNC encoder = __atomic_load_n(&mEncoder, __ATOMIC_ACQUIRE);
    if (!encoder || !mOutFramesPerPacket) return;
    const uint32_t bytesPerPacket = mBytesPerBulkFromClient.load(std::memory_order_relaxed);
    const uint64_t ringPos = mInputRing ? mInputRing->getFramePos() : 0;
    const int64_t need = int64_t(ringPos + mOutputLead) - int64_t(mDevicePosition);
    if (need < 0) return;
    uint32_t needed = uint32_t((need + mOutFramesPerPacket - 1) / mOutFramesPerPacket);
    uint32_t toFill = needed;
    if (mDriverData) {
        int minimum = 0, clients = 0;
        mDriverData->rtsGetMinAvailableFrames(minimum, clients, mDevicePosition);
        if (clients > 0) {
            const uint32_t available = uint32_t(std::max(minimum, 0)) / mOutFramesPerPacket;
            if (needed > available) {
                if (!startShortfall()) underrun(needed, available);
            } else {
                mClientsLed = mClientsLed || needed > 0;
                toFill = available;
            }
        }
    }
    while (AudioBulkIRP* r = oldest(mBulkOut)) {
        const uint32_t fill =
            std::min({toFill, mMaxPacketsPerCycle, kBulkIRPPackets - r->mProcessed});
        if (fill < 1) {
            if (r->mProcessed >= kBulkIRPPackets) {
                r->setUseNumber(0);
                continue;
            }
            return;
        }
        const uint32_t frames = fill * mOutFramesPerPacket;
        if (mDriverData)
            mDriverData->rtsBulkOutput(mPcmBlock, fill * bytesPerPacket / 4, mDevicePosition,
                                       frames);
        else
            std::memset(mPcmBlock, 0, uint64_t(fill) * bytesPerPacket);
        const uint8_t* pcm = reinterpret_cast<const uint8_t*>(mPcmBlock);
        const uint32_t ch = std::max<uint32_t>(mSettings.outChannels, 1);
        for (uint32_t k = r->mProcessed; k < r->mProcessed + fill; ++k) {
            uint8_t* packet = r->data() + uint64_t(k) * mOutPacketSize;
            if (mSettings.outputMeter && mpOutputLevels)
                for (uint32_t i = 0; i < mOutFramesPerPacket; ++i)
                    mSettings.outputMeter(mpOutputLevels,
                                          const_cast<char*>(reinterpret_cast<const char*>(pcm)) +
                                              uint64_t(i) * ch * 4);
            DMA_CONVERT_DATA d{};
            d.src = pcm;
            d.dst = packet;
            d.carry = &mCarry;
            pcm += encoder(&d);
            fillMidiBytes(packet);
        }
        r->mProcessed += fill;
        mDevicePosition += frames;
        if (r->mProcessed >= kBulkIRPPackets) r->setUseNumber(0);
        if (toFill <= fill) return;
        toFill -= fill;
    }
}

void ZrBulkStreaming::rtsBulkOutBulkIn(void* engine) {
    auto* self = static_cast<ZrBulkStreaming*>(engine);
    if (!self || !self->prepareService()) return;
    self->rtsProcessBulkIn();
    self->rtsProcessBulkOut();
    self->mHost.unlockInputRing();
}

// ---- Interrupt transport

bool ZrBulkStreaming::interruptAudioRun() {
    mHost.setPipeRates(mSettings.rate);
    if (!mInPipe && !mOutPipe) return false;
    IOSleep(100);
    mDmaWidth = 2;
    mInFramesPerPacket = 4;
    const uint32_t outCh = mSettings.outChannels ? mSettings.outChannels : 2;
    mOutFramesPerPacket = mOutPacketSize / outCh / 4;
    if (!mOutFramesPerPacket) return false;
    mOutputLead = mSettings.rate * 5 / 1000;
    mMaxPacketsPerCycle = (mSettings.rate * 8 / 1000) / mOutFramesPerPacket;
    mStarted.store(true, std::memory_order_release);
    mDecoder = mEncoder = nullptr;
    for (auto& r : mIntIn)
        r.prepare();
    for (auto& r : mIntOut)
        r.prepare();
    if (!mPcmBlock) return false;
    mNextIn.store(1);
    mNextOut.store(1);
    interruptAudioGo(false);
    return true;
}

bool ZrBulkStreaming::interruptAudioRun_Flb() {
    if (!mInPipe && !mOutPipe) return false;
    IOSleep(100);
    mDmaWidth = 2;
    mInFramesPerPacket = 7;
    mOutFramesPerPacket = 7;
    mOutputLead = mSettings.rate * 5 / 1000;
    mMaxPacketsPerCycle = mSettings.rate * 8 / 7000;
    mStarted.store(true, std::memory_order_release);
    mDecoder = mEncoder = nullptr;
    for (auto& r : mIntIn)
        r.prepare();
    for (auto& r : mIntOut)
        r.prepare();
    mNextIn.store(1);
    mNextOut.store(1);
    interruptAudioGo(true);
    return true;
}

void ZrBulkStreaming::interruptAudioGo(bool flb) {
    if (flb) IOLog("ZrDevice::interruptAudioGo_Flb()\n");
    if (mOutPipe) mOutPipe->clearStall(true);
    const uint32_t size = mOutPacketSize;
    mOutPacketSize = 0;
    if (flb) IOLog("ZrDevice::interruptAudioGo_Flb - start in()\n");
    for (int i = 0; i < 3 && mInPipe; ++i)
        interruptAudioIn(flb, flb);
    mOutPacketSize = size;
    if (flb) IOLog("ZrDevice::interruptAudioGo_Flb - start out()\n");
    for (int i = 0; i < 7 && mOutPipe; ++i)
        interruptAudioOut(flb, flb);
}

bool ZrBulkStreaming::interruptAudioIn(bool flb, bool log) {
    if (stopping() || !mInPipe) return false;
    if (flb && log) IOLog("ZrDevice::interruptAudioIn_Flb %p\n", static_cast<void*>(this));
    for (auto& r : mIntIn)
        if (r.useIn(mNextIn.load(), log)) {
            const uint32_t n = mNextIn.fetch_add(1);
            if (flb && log) IOLog("Interrupt IN number requesting %d %d\n", int(n), int(r.size()));
            r.mCompletion = {this, &ZrBulkStreaming::interruptAudioInCompletion, &r};
            r.descriptor()->prepare();
            const IOReturn st = mInPipe->io(r.descriptor(), r.size(), &r.mCompletion, 0);
            if (flb && log)
                IOLog("m_pcInterruptInPipe->mhPipe->io(%p, %d,  %p, %d) returned %08x\n",
                      static_cast<void*>(r.descriptor()), int(r.size()),
                      static_cast<void*>(&r.mCompletion), 0, unsigned(st));
            if (st != kIOReturnSuccess) {
                r.unuse();
                return false;
            }
            return true;
        }
    return false;
}

bool ZrBulkStreaming::interruptAudioOut(bool flb, bool log) {
    if (stopping() || !mOutPipe) {
        IOLog("m_bStreamingStarted %d m_pcInterruptOutPipe %p m_pcInterruptOutPipe->mhPipe %p\n",
              int(isStreamingStarted()), static_cast<void*>(mOutPipe),
              static_cast<void*>(mOutPipe));
        return false;
    }
    if (flb && log) IOLog("ZrDevice::interruptAudioOut_Flb() %p\n", static_cast<void*>(this));
    for (auto& r : mIntOut) {
        const bool claimed =
            flb ? r.useOut_Flb2(mNextOut.load(), mFlbCounter, log) : r.useOut(mNextOut.load());
        if (!claimed) continue;
        mNextOut.fetch_add(1);
        r.mCompletion = {this, &ZrBulkStreaming::interruptAudioOutCompletion, &r};
        r.descriptor()->prepare();
        const IOReturn st = mOutPipe->io(r.descriptor(), r.size(), &r.mCompletion, 0);
        if (flb && log)
            IOLog("m_pcInterruptOutPipe->mhPipe->io(%p, %d, %p, %d) returned %08x\n",
                  static_cast<void*>(r.descriptor()), int(r.size()),
                  static_cast<void*>(&r.mCompletion), 0, unsigned(st));
        if (st != kIOReturnSuccess) {
            if (flb) IOLog("ZrDevice::interruptAudioOut_Flb Write returned :%08X\n", unsigned(st));
            r.unuse();
            return false;
        }
        return true;
    }
    if (flb && log) IOLog("ZrDevice::interruptAudioOut_Flb() no free irp found\n");
    return false;
}

void ZrBulkStreaming::interruptAudioInCompletion(void* owner, void* parameter, IOReturn status,
                                                 uint32_t bytes) {
    auto* self = static_cast<ZrBulkStreaming*>(owner);
    auto* irp = static_cast<AudioInterruptIRP*>(parameter);
    const bool flb = self->mTransport == BulkTransport::InterruptFarlane;
    irp->mTransferedBytes.store(bytes);
    irp->mStatus.store(status);
    if (status == kIOReturnAborted) {
        IOLog("ZrDevice::interruptAudioInCompletion Transfer aborted, giving up\n");
    } else {
        const uint32_t packets = bulkDonePackets(bytes, irp->packetSize(), irp->packetCount());
        uint64_t frames = 0;
        if (flb)
            frames = uint64_t(7) * packets;
        else
            frames = uint64_t(packets) * irp->packetSize() / 4 /
                     (self->mSettings.inChannels ? self->mSettings.inChannels : 2);
        if (self->mInputRing && frames)
            self->mInputRing->AddTimeStamp(mach_absolute_time(), frames, true);
        // The in event.
        if (status == kIOReturnSuccess)
            self->interruptAudioIn(flb, false);
        else if (!self->stopping())
            self->declareBroken(flb ? "ZrDevice::interruptInpEvent_Flb: STC_STREAM_BROKEN\n"
                                    : "ZrDevice::interruptInpEvent: STC_STREAM_BROKEN\n");
    }
    irp->setDone();
    irp->unuse();
}

void ZrBulkStreaming::interruptAudioOutCompletion(void* owner, void* parameter, IOReturn status,
                                                  uint32_t bytes) {
    auto* self = static_cast<ZrBulkStreaming*>(owner);
    auto* irp = static_cast<AudioInterruptIRP*>(parameter);
    const bool flb = self->mTransport == BulkTransport::InterruptFarlane;
    irp->mTransferedBytes.store(bytes);
    irp->mStatus.store(status);
    if (flb && irp->mProcessed != irp->packetCount())
        IOLog("ZrDevice::interruptAudioOutCompletion_Flb not completely processed. %d of %d\n",
              int(irp->mProcessed), int(irp->packetCount()));
    // The out event.
    if (status == kIOReturnSuccess) {
        self->interruptAudioOut(flb, false);
        int32_t pending = self->mPendingInserts.load();
        self->guard(uint64_t(irp->packetCount()) * self->mOutFramesPerPacket, pending, false);
        self->mPendingInserts.store(pending);
    } else if (status != kIOReturnAborted && !self->stopping()) {
        self->declareBroken(flb ? "ZrDevice::interruptOutEvent_Flb: STC_STREAM_BROKEN\n"
                                : "ZrDevice::interruptOutEvent: STC_STREAM_BROKEN\n");
    }
    irp->setDone();
    irp->unuse();
}

void ZrBulkStreaming::interruptAudioStop(bool wait) {
    // The pipes go first: a record's buffer stays until the configuration
    // goes, and nothing is released under a transfer in flight.
    if (mInPipe) mInPipe->abort(kAbortAsynchronous);
    if (mOutPipe) mOutPipe->abort(kAbortAsynchronous);
    // Without pipes no transfer is in flight: nothing to wait for.
    if (!wait || (!mInPipe && !mOutPipe)) return;
    waitWhileInUse("interruptAudioStop", mIntIn, mIntOut);
}

void ZrBulkStreaming::rtsProcessInterruptIn() {
    const uint32_t ch = mSettings.inChannels ? mSettings.inChannels : 2;
    const uint32_t framesPerPacket = mInPacketSize / ch / 4;
    while (AudioInterruptIRP* r = oldest(mIntIn)) {
        const bool done = r->isDone();
        const uint32_t count = r->packetCount();
        const uint32_t filled =
            done ? bulkDonePackets(r->mTransferedBytes.load(), mInPacketSize, count)
                 : bulkArrivedPackets(r->data(), mInPacketSize, count, r->mProcessed);
        uint32_t k = r->mProcessed;
        while (k < filled) {
            // A chunk: up to 4 packets within the 8,192-byte staging size.
            uint32_t n = 0;
            while (k + n < filled && n < 4 && (n + 1) * mInPacketSize <= kStagingBytes)
                ++n;
            if (!n) break;
            const int32_t* src =
                reinterpret_cast<const int32_t*>(r->data() + uint64_t(k) * mInPacketSize);
            if (mInputRing) {
                if (mPendingInserts.load(std::memory_order_acquire) > 0) {
                    const int32_t left = mPendingInserts.fetch_sub(1) - 1;
                    IOLog("insert frame mInterruptIOGuard_CiticalPointDiff:%d\n", int(left));
                    mInputRing->writeFrames(src, 1, 0);
                    mInsertsTotal.fetch_add(1, std::memory_order_relaxed);
                }
                mInputRing->writeFrames(src, n * framesPerPacket, 0);
            }
            if (mpInputPeaks) raiseChannelPeaks(mpInputPeaks, src, n * framesPerPacket, ch);
            k += n;
        }
        if (filled > r->mProcessed && mInputRing) mInputRing->writeTimestamp(mach_absolute_time());
        r->mProcessed = std::max(r->mProcessed, filled);
        if (r->mProcessed >= count || (done && r->mProcessed >= filled)) {
            r->setUseNumber(0);
            continue;
        }
        return;
    }
}

void ZrBulkStreaming::rtsProcessInterruptIn_Flb() {
    const uint32_t ch = mSettings.inChannels ? mSettings.inChannels : 2;
    while (AudioInterruptIRP* r = oldest(mIntIn)) {
        const bool done = r->isDone();
        const uint32_t count = r->packetCount();
        const uint32_t filled =
            done ? bulkDonePackets(r->mTransferedBytes.load(), mInPacketSize, count)
                 : bulkArrivedPackets(r->data(), mInPacketSize, count, r->mProcessed);
        for (uint32_t k = r->mProcessed; k < filled; ++k) {
            uint8_t* p = r->data() + uint64_t(k) * mInPacketSize;
            uint32_t errors = 0;
            const uint32_t frames = mPattern ? mPattern->onRtsFrame_Sfb2(p[0], errors) : 7;
            const uint32_t words = (mInPacketSize - 32) / 4;
            int32_t* s = reinterpret_cast<int32_t*>(p + 32);
            for (uint32_t i = 0; i < words; ++i)
                s[i] = int32_t(__builtin_bswap32(uint32_t(s[i])));
            // A repaired count never reads past the packet's 7 frames.
            const uint32_t write = std::min<uint32_t>(frames, words / ch);
            if (mInputRing) mInputRing->writeFrames(s, write, 0, nullptr, p + 4);
            if (mpInputPeaks) raiseChannelPeaks(mpInputPeaks, s, write, ch);
        }
        if (filled > r->mProcessed && mInputRing) mInputRing->writeTimestamp(mach_absolute_time());
        r->mProcessed = std::max(r->mProcessed, filled);
        if (r->mProcessed >= count || (done && r->mProcessed >= filled)) {
            r->setUseNumber(0);
            continue;
        }
        return;
    }
}

void ZrBulkStreaming::rtsProcessInterruptOut(bool flb) {
    if (!mOutFramesPerPacket || !mOutPacketSize) return;
    const uint64_t ringPos = mInputRing ? mInputRing->getFramePos() : 0;
    // Positions compared modulo 2^32 as signed values.
    const int32_t need = int32_t(uint32_t(ringPos) + mOutputLead - uint32_t(mOutFramePosition));
    if (need < 0) return;
    uint32_t toFill = (uint32_t(need) + mOutFramesPerPacket - 1) / mOutFramesPerPacket;
    if (mDriverData) {
        int minimum = 0, clients = 0;
        mDriverData->rtsGetMinAvailableFrames(minimum, clients, mOutFramePosition);
        if (clients > 0) {
            const uint32_t available = uint32_t(std::max(minimum, 0)) / mOutFramesPerPacket;
            if (available >= toFill && toFill > 0) mClientsLed = true;
            if (available > toFill)
                toFill = available;
            else if (available < toFill && !startShortfall()) {
                if (mNumUnderrun < 2)
                    IOLog("UNDERRUN iBlocksToProcess:%d > iAvailableBlocksFromClients:%d, "
                          "delay:%d mRts:%d m_uNumUnderrun=%d\n",
                          int(toFill), int(available), 0, int(mOutFramesPerPacket),
                          int(mNumUnderrun));
                ++mNumUnderrun;
                mUnderrunsTotal.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }
    const uint32_t ch = mSettings.outChannels ? mSettings.outChannels : 2;
    while (AudioInterruptIRP* r = oldest(mIntOut)) {
        const uint32_t fill =
            std::min({toFill, mMaxPacketsPerCycle, r->packetCount() - r->mProcessed});
        if (fill < 1) {
            if (r->mProcessed >= r->packetCount()) {
                r->setUseNumber(0);
                continue;
            }
            return;
        }
        if (!flb) {
            int32_t* dst =
                reinterpret_cast<int32_t*>(r->data() + uint64_t(r->mProcessed) * mOutPacketSize);
            const uint32_t bytes = fill * mOutPacketSize;
            if (mDriverData)
                mDriverData->rtsInterruptOutput(dst, bytes / 4, mOutFramePosition,
                                                fill * mOutFramesPerPacket);
            else
                std::memset(dst, 0, bytes);
            mOutFramePosition += uint64_t(fill) * mOutFramesPerPacket;
        } else {
            for (uint32_t k = r->mProcessed; k < r->mProcessed + fill; ++k) {
                uint8_t* p = r->data() + uint64_t(k) * mOutPacketSize;
                uint8_t extra[256] = {};
                if (mDriverData)
                    mDriverData->rtsIsocOutput(reinterpret_cast<char*>(p + 32), 28 * ch,
                                               mOutFramePosition, 7, extra);
                else
                    std::memset(p + 32, 0, 28 * ch);
                std::memcpy(p + 4, extra, 28);
                p[1] = 0xFF;
                for (uint8_t i = 0; i < 28; ++i)
                    if (extra[i]) {
                        p[1] = i;
                        break;
                    }
                mOutFramePosition += 7;
            }
        }
        r->mProcessed += fill;
        mDevicePosition = mOutFramePosition;
        if (r->mProcessed >= r->packetCount()) r->setUseNumber(0);
        if (toFill <= fill) return;
        toFill -= fill;
    }
}

void ZrBulkStreaming::rtsInterruptOutInterruptIn(void* engine) {
    auto* self = static_cast<ZrBulkStreaming*>(engine);
    if (!self || !self->prepareService()) return;
    self->rtsProcessInterruptIn();
    self->rtsProcessInterruptOut(false);
    self->mHost.unlockInputRing();
}

void ZrBulkStreaming::rtsInterruptOutInterruptIn_Flb(void* engine) {
    auto* self = static_cast<ZrBulkStreaming*>(engine);
    if (!self || !self->prepareService()) return;
    self->rtsProcessInterruptIn_Flb();
    self->rtsProcessInterruptOut(true);
    self->mHost.unlockInputRing();
}
