// The capability record, the rate list and the bandwidth-weighted choice of
// settings for a new rate.
#include "abi/DeviceFamilies.h"
#include "device/QnAudioPluginClassCommons.h"

#include <cstring>
#include <memory>

namespace {

constexpr uint32_t kIndexedRates[7] = {32000, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr uint32_t kListedRates[] = {32000, 44100, 48000, 64000, 88200, 96000, 176400, 192000};
constexpr uint32_t kResolutions[4] = {16, 20, 24, 32};
constexpr int kRateFactor[7] = {32, 45, 48, 89, 96, 177, 192};

int rateIndex(uint32_t rate) {
    for (int i = 0; i < 7; ++i)
        if (kIndexedRates[i] == rate) return i;
    return -1;
}

} // namespace

int QnAudioPluginClassCommons::calcBW(int r, int res, int ch) {
    if (r < 0 || r > 6 || res < 0 || res > 3 || ch < 0 || ch > 31) return 800;
    static constexpr int kBytes[4] = {2, 3, 3, 4};
    return (ch + 1) * kBytes[res] * kRateFactor[r];
}

void QnAudioPluginClassCommons::getCaps(XsDeviceCapabilitiesEx* caps) {
    std::memset(caps, 0, sizeof *caps);
    unsigned configs = mInfo.mNumConfigurations < 4 ? mInfo.mNumConfigurations : 4;
    for (unsigned c = 0; c < configs; ++c) {
        XsDeviceConfigCaps& cc = caps->mConfig[c];
        for (int r = 0; r < 7; ++r)
            for (int b = 0; b < 4; ++b)
                for (int ch = 0; ch < 32; ++ch) {
                    for (int dir = 0; dir < 2; ++dir) {
                        bool output = dir == 0;
                        bool found = scanAPIDeviceInfo(mInfo, c, kIndexedRates[r], kResolutions[b],
                                                       ch + 1, true, output)
                                         .mFound ||
                                     scanAPIDeviceInfo(mInfo, c, kIndexedRates[r], kResolutions[b],
                                                       ch + 1, false, output)
                                         .mFound;
                        (output ? cc.mOut : cc.mIn)[r][b][ch] = found;
                    }
                }
        caps->mCount = c + 1;
    }
}

static bool capsHaveRate(const XsDeviceCapabilitiesEx& caps, int r) {
    for (uint32_t c = 0; c < caps.mCount && c < 4; ++c)
        for (int b = 0; b < 4; ++b)
            for (int ch = 0; ch < 32; ++ch)
                if (caps.mConfig[c].mOut[r][b][ch] || caps.mConfig[c].mIn[r][b][ch]) return true;
    return false;
}

bool QnAudioPluginClassCommons::canSampleRate(uint32_t rate) {
    if (allowCurrentSROnly()) return rate == mCurrent.Frequency;
    if (isRateLocked() && rate != kernelRate()) return false;
    int r = rateIndex(rate);
    if (r < 0) return false;
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(caps.get());
    return capsHaveRate(*caps, r);
}

uint32_t QnAudioPluginClassCommons::getSampleRates(AudioValueRange* ranges, uint32_t count) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (ranges && count == 0) return 0;
    if (allowCurrentSROnly()) {
        if (ranges) ranges[0].mMinimum = ranges[0].mMaximum = mCurrent.Frequency;
        return 1;
    }
    // One capability fill answers every rate.
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(caps.get());
    const bool locked = isRateLocked();
    const uint32_t lockedRate = kernelRate();
    uint32_t n = 0;
    for (uint32_t rate : kListedRates) {
        int r = rateIndex(rate);
        if (r < 0 || (locked && rate != lockedRate) || !capsHaveRate(*caps, r)) continue;
        if (ranges) ranges[n].mMinimum = ranges[n].mMaximum = rate;
        if (++n == count && ranges) break;
    }
    return n;
}

void QnAudioPluginClassCommons::scoreRate(XsDeviceCapabilitiesEx& caps, int r,
                                          const QnChannelSettings& kernel) {
    for (uint32_t c = 0; c < caps.mCount; ++c) {
        XsDeviceConfigCaps& cc = caps.mConfig[c];
        for (int b = 0; b < 4; ++b)
            for (int ch = 0; ch < 32; ++ch) {
                cc.mOutScore[r][b][ch] = cc.mOut[r][b][ch] ? (b + 1) * (ch + 1) : 1;
                cc.mInScore[r][b][ch] = cc.mIn[r][b][ch] ? (b + 1) * (ch + 1) : 1;
                cc.mOutBonus[r][b][ch] =
                    cc.mOut[r][b][ch] && uint32_t(ch + 1) == kernel.OutChannels ? 100 : 0;
                cc.mInBonus[r][b][ch] =
                    cc.mIn[r][b][ch] && uint32_t(ch + 1) == kernel.InChannels ? 100 : 0;
            }
    }
}

// best: configuration, in channel index, in resolution index, out channel
// index, out resolution index. Returns the best score.
int64_t QnAudioPluginClassCommons::searchBest(XsDeviceCapabilitiesEx& caps, int r, int budget,
                                              int* best) {
    int64_t bestScore = 0;
    for (uint32_t c = 0; c < caps.mCount; ++c) {
        const XsDeviceConfigCaps& cc = caps.mConfig[c];
        for (int ic = 31; ic >= 0; --ic)
            for (int ib = 3; ib >= 0; --ib) {
                const bool inOk = cc.mIn[r][ib][ic];
                const int inBW = inOk ? calcBW(r, ib, ic) : 0;
                if (inBW > budget) continue;
                for (int oc = 31; oc >= 0; --oc)
                    for (int ob = 3; ob >= 0; --ob) {
                        const bool outOk = cc.mOut[r][ob][oc];
                        int64_t score = int64_t(cc.mInScore[r][ib][ic]) * cc.mOutScore[r][ob][oc];
                        if (ib == ob && inOk && outOk) score *= 4;
                        int64_t bonus = int64_t(cc.mInBonus[r][ib][ic]) * cc.mOutBonus[r][ob][oc];
                        if (bonus > 0) score += bonus;
                        if (score <= bestScore || inBW + (outOk ? calcBW(r, ob, oc) : 0) > budget)
                            continue;
                        bestScore = score;
                        int chosen[5] = {int(c), ic, ib, oc, ob};
                        std::memcpy(best, chosen, sizeof chosen);
                    }
            }
    }
    return bestScore;
}

bool QnAudioPluginClassCommons::setSampleRate(bool isInput, uint32_t rate, bool* changed,
                                              QnChannelSettings* s) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (changed) *changed = false;
    QnChannelSettings kernel{};
    readKernelSettings(&kernel);
    const bool forced =
        DeviceFamilies::contains(DeviceFamilies::kMonoAtHighRate, vendor(), product()) &&
        (rate == 88200 || rate == 96000);
    QnChannelSettings forcedChoice{rate, 0, 24, 0, 24, 0};
    if (forced) {
        if (kernel.InChannels == 1)
            forcedChoice.InChannels = forcedChoice.OutChannels = 1;
        else
            (isInput ? forcedChoice.InChannels : forcedChoice.OutChannels) = 2;
    }
    if (!canSampleRate(rate)) return false;
    int r = rateIndex(rate);
    if (r < 0) return false;
    auto caps = std::make_unique<XsDeviceCapabilitiesEx>();
    getCaps(caps.get());
    scoreRate(*caps, r, kernel);
    int best[5] = {0, 0, 0, 0, 0};
    int64_t score = searchBest(*caps, r, isUSB2Device() ? 24552 : 800, best);
    if (forced) {
        const XsDeviceConfigCaps& c0 = caps->mConfig[0];
        auto ok = [&](const uint8_t(*grid)[4][32], uint32_t ch) {
            return ch == 0 || grid[r][2][ch - 1];
        };
        if (caps->mCount > 0 && ok(c0.mIn, forcedChoice.InChannels) &&
            ok(c0.mOut, forcedChoice.OutChannels)) {
            *s = forcedChoice;
            if (changed) *changed = std::memcmp(s, &kernel, sizeof kernel) != 0;
            return true;
        }
    }
    if (score < 2) return false;
    const XsDeviceConfigCaps& cc = caps->mConfig[best[0]];
    const bool inOk = cc.mIn[r][best[2]][best[1]], outOk = cc.mOut[r][best[4]][best[3]];
    s->Frequency = rate;
    s->Configuration = uint32_t(best[0]);
    s->InChannels = inOk ? uint32_t(best[1] + 1) : 0;
    s->OutChannels = outOk ? uint32_t(best[3] + 1) : 0;
    s->InResolution = kResolutions[inOk ? best[2] : best[4]];
    s->OutResolution = kResolutions[outOk ? best[4] : best[2]];
    if (changed) *changed = std::memcmp(s, &kernel, sizeof kernel) != 0;
    return true;
}

bool QnAudioPluginClassCommons::setFrequency(bool isInput, uint32_t rate) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (rate == mCurrent.Frequency) return true;
    QnChannelSettings proposal{};
    bool changed = false;
    if (!setSampleRate(isInput, rate, &changed, &proposal)) return false;
    return setSettings(proposal, isInput, isRunningSomewhere(), false) == 0;
}

IOReturn QnAudioPluginClassCommons::applyPendingSettings(bool inputAttached, bool outputAttached) {
    std::lock_guard<std::recursive_mutex> lock(mDeviceMutex);
    if (mPendingDirection == 0) return 0;
    const uint32_t rate = mPending.Frequency;
    if ((rate == 88200 || rate == 96000) && !isUSB2Device()) {
        if (!inputAttached && mPending.InChannels == 2) {
            mPending.InChannels = 0;
            mPendingDirection = 2;
        } else if (!outputAttached && mPending.OutChannels == 2) {
            mPending.OutChannels = 0;
            mPendingDirection = 1;
        }
    }
    QnChannelSettings pending = mPending;
    return setSettings(pending, mPendingDirection == 1, false, false);
}
