#include "platform/usb/devices/HX5100Midi.h"

#include <algorithm>
#include <cstring>

#include "platform/usb/devices/HX5100Model.h"

namespace hx::usb::devices {

std::vector<uint8_t> HX5100Midi::packetBytes() const {
    std::vector<uint8_t> all;
    for (const auto& p : mPackets)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

void HX5100Midi::setStatusValues(uint8_t v1, uint8_t v2) {
    if (v1 != mStatus[0]) mWords.push_back(word(102, v1));
    if (v2 != mStatus[1]) mWords.push_back(word(103, v2));
    mStatus[0] = v1;
    mStatus[1] = v2;
}

void HX5100Midi::queueWords(const std::vector<uint32_t>& words) {
    mWords.insert(mWords.end(), words.begin(), words.end());
}

void HX5100Midi::queueRawBytes(const std::vector<uint8_t>& bytes) {
    mRaw.insert(mRaw.end(), bytes.begin(), bytes.end());
}

void HX5100Midi::footswitch(bool press, uint8_t value) {
    mWords.push_back(word(press ? 106 : 105, value));
}

void HX5100Midi::setLevels(const uint8_t (&levels)[kLevelControllers]) {
    std::memcpy(mLevels, levels, sizeof mLevels);
}

void HX5100Midi::modeByteChanged(uint8_t mode) {
    mWords.push_back(word(104, mode));
}

void HX5100Midi::out(uint64_t frame, const uint8_t* data, uint32_t length) {
    mPackets.emplace_back(data, data + length);
    mLastPacketFrame = frame;
    if (mLoop) mRaw.insert(mRaw.end(), data, data + length);
}

uint32_t HX5100Midi::in(uint64_t frame, bool highSpeed, uint8_t* data, uint32_t capacity) {
    if (!mLoop && frame >= mLastLevelFrame + kLevelPeriodFrames) {
        mLastLevelFrame = frame;
        for (uint32_t i = 0; i < kLevelControllers; ++i)
            mWords.push_back(word(uint8_t(107 + i), mLevels[i]));
    }
    if (!mRaw.empty()) {
        const uint32_t n = std::min<uint32_t>(capacity, uint32_t(mRaw.size()));
        std::copy_n(mRaw.begin(), n, data);
        mRaw.erase(mRaw.begin(), mRaw.begin() + n);
        return n;
    }
    if (mLoop) return 0;
    const uint32_t maxWords = std::min<uint32_t>(highSpeed ? 15 : 2, capacity / 4);
    uint32_t n = 0;
    while (n < maxWords && !mWords.empty()) {
        const uint32_t w = mWords.front();
        mWords.pop_front();
        for (int b = 0; b < 4; ++b)
            data[4 * n + b] = uint8_t(w >> (8 * b));
        ++n;
    }
    mWordsSent += n;
    if (n == 0) return 0;
    uint32_t length = 4 * n;
    const uint32_t zero = std::min<uint32_t>(4, capacity - length);
    std::memset(data + length, 0, zero);
    return length + zero;
}

// ---- The model's endpoints and knobs

IsochResult HX5100Model::bulkOut(uint8_t address, uint64_t frame, const uint8_t* data,
                                 uint32_t length) {
    if (address != HX5100Midi::kOutEndpoint || mDeepSleep) return {kIOReturnNotReady, 0};
    if (auto fault = mMidiKnobs.take(address, frame)) return *fault;
    mMidi.out(frame, data, length);
    return {kIOReturnSuccess, length};
}

IsochResult HX5100Model::bulkIn(uint8_t address, uint64_t frame, uint8_t* data, uint32_t capacity) {
    if (address != HX5100Midi::kInEndpoint || mDeepSleep) return {kIOReturnNotReady, 0};
    if (auto fault = mMidiKnobs.take(address, frame)) return *fault;
    const uint32_t n = mMidi.in(frame, speed() >= kUSBHostConnectionSpeedHigh, data, capacity);
    return n ? IsochResult{kIOReturnSuccess, n} : IsochResult{kIOReturnNotReady, 0};
}

void HX5100Model::armMidiFault(uint8_t address, const EndpointFault& fault) {
    std::lock_guard<std::mutex> g(mLock);
    mMidiKnobs.arm(address, fault);
}

void HX5100Model::setStatusValues(uint8_t v1, uint8_t v2) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.setStatusValues(v1, v2);
}

void HX5100Model::setLaunchButton(bool held) {
    std::lock_guard<std::mutex> g(mLock);
    const uint8_t mode = held ? uint8_t(mPortRegister2 & ~0x02) : uint8_t(mPortRegister2 | 0x02);
    if (mode == mPortRegister2) return;
    mPortRegister2 = mode;
    mMidi.modeByteChanged(mode);
}

void HX5100Model::setMidiLoop(bool loop) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.setLoop(loop);
}

void HX5100Model::queueEventWords(const std::vector<uint32_t>& words) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.queueWords(words);
}

void HX5100Model::queueMidiInBytes(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.queueRawBytes(bytes);
}

void HX5100Model::footswitch(bool press, uint8_t value) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.footswitch(press, value);
}

void HX5100Model::setMidiLevels(const uint8_t (&levels)[HX5100Midi::kLevelControllers]) {
    std::lock_guard<std::mutex> g(mLock);
    mMidi.setLevels(levels);
}

uint64_t HX5100Model::midiLastPacketFrame() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidi.lastPacketFrame();
}

std::vector<uint8_t> HX5100Model::midiReceived() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidi.packetBytes();
}

std::vector<std::vector<uint8_t>> HX5100Model::midiPackets() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidi.packets();
}

uint64_t HX5100Model::midiWordsSent() const {
    std::lock_guard<std::mutex> g(mLock);
    return mMidi.wordsSent();
}

} // namespace hx::usb::devices
