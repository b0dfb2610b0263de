#include "device/harness/DeviceRoad.h"

#include <cmath>
#include <cstring>
#include <string>

#include "abi/ServiceClass.h"
#include "device/DeviceManagerClient.h"
#include "device/DriverConnection.h"
#include "device/OSXDeviceManager.h"
#include "device/ZrOSXDevice.h"
#include "platform/usb/devices/HX5100Stream.h"

namespace hx::devroad {

namespace {

constexpr uint32_t kReqConfigure = 1;
constexpr uint32_t kResolution = 24;
constexpr uint32_t kBaseRate = 44100; // another client's format before the program asks
constexpr double kFloatScale = 8388608.0;

int32_t signExtend24(uint32_t v) {
    return int32_t(v << 8) >> 8;
}

} // namespace

int32_t RampProc::rampValue(uint64_t frame, uint32_t channel) {
    return signExtend24(hx::usb::devices::Ramp::sample(frame, channel));
}

OSStatus RampProc::proc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* in,
                        const AudioTimeStamp*, AudioBufferList* out, const AudioTimeStamp*,
                        void* clientData) {
    auto* self = static_cast<RampProc*>(clientData);
    ++self->calls;
    const uint32_t ch = self->channels;
    uint32_t frames = 0;
    if (out && out->mBuffers[0].mData && out->mBuffers[0].mNumberChannels == ch)
        frames = out->mBuffers[0].mDataByteSize / (4 * ch);
    if (in && in->mBuffers[0].mData && self->record) {
        const auto* src = static_cast<const float*>(in->mBuffers[0].mData);
        const uint32_t n = in->mBuffers[0].mDataByteSize / 4;
        if (frames && n != frames * ch) ++self->frameSizeErrors;
        if (self->recorded.size() + n <= self->recorded.capacity())
            self->recorded.insert(self->recorded.end(), src, src + n);
    }
    if (!frames) return 0;
    auto* dst = static_cast<float*>(out->mBuffers[0].mData);
    const uint64_t first = self->framesPlayed;
    for (uint32_t f = 0; f < frames; ++f)
        for (uint32_t c = 0; c < ch; ++c) {
            const int32_t n = rampValue(first + f, c);
            int32_t v = n;
            if (self->part == Part::Low)
                v = n >> 1;
            else if (self->part == Part::High)
                v = n - (n >> 1);
            else if (self->part == Part::Failing)
                v = 0x7FFFFF;
            dst[f * ch + c] = float(double(v) / kFloatScale);
        }
    self->framesPlayed += frames;
    return self->part == Part::Failing ? -1 : 0;
}

RampProc::Check RampProc::checkLoopback(bool silenceTolerated, uint64_t lapFrames) const {
    Check r;
    const size_t frames = recorded.size() / channels;
    size_t start = 0;
    while (start < frames) {
        bool silent = true;
        for (uint32_t c = 0; c < channels; ++c)
            silent = silent && recorded[start * channels + c] == 0.0f;
        if (!silent) break;
        ++start;
    }
    if (start == frames) return r;
    // The counter of the first frame that came back, from its first channel.
    const double s0 = double(recorded[start * channels]) * 2147483520.0;
    const int64_t n0 = std::llround(s0 / 256.0);
    const uint64_t counter = uint64_t(n0) & 0xFFFFFF;
    r.latency = int64_t(start) - int64_t(counter);
    for (size_t i = start; i < frames; ++i) {
        const uint64_t played = counter + (i - start);
        bool silent = silenceTolerated;
        for (uint32_t c = 0; c < channels && silent; ++c)
            silent = recorded[i * channels + c] == 0.0f;
        if (silent) {
            ++r.silent;
            ++r.checked;
            continue;
        }
        auto carries = [&](uint64_t frame) {
            for (uint32_t c = 0; c < channels; ++c) {
                const float want = ringToFloat(int32_t(uint32_t(rampValue(frame, c)) << 8));
                const float got = recorded[i * channels + c];
                if (std::memcmp(&want, &got, sizeof want) != 0) return false;
            }
            return true;
        };
        ++r.checked;
        if (carries(played)) continue;
        bool late = false;
        for (uint64_t k = 1; silenceTolerated && k <= 4 && !late && k * lapFrames <= played; ++k)
            late = carries(played - k * lapFrames);
        if (late) {
            ++r.stale;
            continue;
        }
        if (r.firstMismatch < 0) r.firstMismatch = int64_t(i);
        ++r.mismatches;
    }
    r.constantLatency = r.mismatches == 0 && r.checked > 0;
    return r;
}

RampProc::Segments RampProc::checkSegments() const {
    Segments r;
    const size_t frames = recorded.size() / channels;
    auto silent = [&](size_t i) {
        for (uint32_t c = 0; c < channels; ++c)
            if (recorded[i * channels + c] != 0.0f) return false;
        return true;
    };
    size_t i = 0;
    while (i < frames) {
        while (i < frames && silent(i))
            ++i;
        if (i == frames) break;
        ++r.runs;
        const int64_t n0 = std::llround(double(recorded[i * channels]) * 2147483520.0 / 256.0);
        const uint64_t counter = uint64_t(n0) & 0xFFFFFF;
        for (uint64_t k = 0; i < frames && !silent(i); ++i, ++k) {
            for (uint32_t c = 0; c < channels; ++c) {
                const float want = ringToFloat(int32_t(uint32_t(rampValue(counter + k, c)) << 8));
                if (std::memcmp(&want, &recorded[i * channels + c], sizeof want) != 0) {
                    ++r.mismatches;
                    break;
                }
            }
            ++r.checked;
        }
    }
    return r;
}

struct DeviceRoad::Client : DeviceManagerClient {
    void deviceRemoved(ZrOSXDevice*) override {}
    void deviceAdded(ZrOSXDevice*) override {}
    void deviceWillBeRemoved(ZrOSXDevice*) override {}
};

DeviceRoad::DeviceRoad(const RoadOptions& options)
    : mOptions(options), mClient(std::make_unique<Client>()) {
    hx::harness::HarnessOptions ho;
    ho.rate = options.rate;
    ho.highSpeed = options.highSpeed;
    ho.routing = options.routing;
    ho.clockMode = options.clock;
    ho.device = options.device;
    ho.channels = options.channels;
    ho.loopback = true;
    if (options.machineHere)
        mHarness = std::make_unique<hx::harness::ClientHarness>(ho);
    else
        mOwnClient = std::make_unique<hx::harness::HarnessClient>(ho);
}

hx::harness::HarnessClient& DeviceRoad::routingClient() {
    return mHarness ? mHarness->client() : *mOwnClient;
}

DeviceRoad::~DeviceRoad() {
    closeDevice();
    delete mConfigurer;
    mConfigurer = nullptr;
    mOwnClient.reset();
    mHarness.reset();
}

bool DeviceRoad::boot() {
    if (mHarness && !mHarness->boot()) {
        mError = mHarness->lastError();
        return false;
    }
    io_iterator_t it = 0;
    if (IOServiceGetMatchingServices(0, IOServiceMatching(kZrServiceClassName), &it) !=
        KERN_SUCCESS) {
        mError = "no driver service";
        return false;
    }
    const io_service_t service = IOIteratorNext(it);
    IOObjectRelease(it);
    if (!service) {
        mError = "no driver service";
        return false;
    }
    mConfigurer = new DriverConnection(service);
    IOObjectRelease(service);
    if (!mConfigurer->ioIsOpen()) {
        mError = "the configuring connection did not open";
        return false;
    }
    // The routing goes to the kernel as a control request on a client of
    // the harness's own, as another program would set it, configured or
    // not: a fresh device the layer restores streams through it as well.
    hx::harness::HarnessClient& router = routingClient();
    if (!router.openClient() || (mOptions.routeFirst && !router.setRouting())) {
        mError = router.lastError();
        return false;
    }
    if (!mOptions.configureFirst) return true;
    const QnChannelSettings cs{kBaseRate, 2, kResolution, 2, kResolution, 0};
    std::memcpy(reinterpret_cast<char*>(mConfigurer->driverSM()) +
                    offsetof(DriverSM, mChannelSettings),
                &cs, sizeof cs);
    if (!mConfigurer->callDriver(kReqConfigure)) {
        mError = "the device was not configured";
        return false;
    }
    return true;
}

ZrOSXDevice* DeviceRoad::openDevice() {
    mManager = std::make_unique<OSXDeviceManager>(nullptr, mClient.get(), false);
    ZrOSXDevice* device = mManager->getDevice(0);
    if (!device) {
        mError = "the device manager found no device";
        return nullptr;
    }
    // The program asks for its rate as a HAL client does; a rate the device
    // does not offer leaves the one it has (the caller compares).
    if (!device->setFrequency(false, mOptions.rate))
        mError = "the device does not offer " + std::to_string(mOptions.rate) + " Hz";
    return device;
}

void DeviceRoad::run(uint64_t micros) {
    if (mHarness)
        mHarness->idle(micros);
    else
        mOwnClient->idle(micros);
}

void DeviceRoad::closeDevice() {
    if (!mManager) return;
    if (ZrOSXDevice* device = mManager->getDevice(0)) device->closeDevice();
    mManager.reset();
}

uint32_t DeviceRoad::token() const {
    const DriverSM* sm = driverSM();
    uint32_t v = 0;
    if (sm)
        std::memcpy(&v, reinterpret_cast<const char*>(sm) + offsetof(DriverSM, mNewConfigPending),
                    sizeof v);
    return v;
}

bool DeviceRoad::callDriver(uint32_t req) {
    return mConfigurer && mConfigurer->callDriver(req);
}

DriverSM* DeviceRoad::driverSM() const {
    return mConfigurer ? mConfigurer->driverSM() : nullptr;
}

} // namespace hx::devroad
