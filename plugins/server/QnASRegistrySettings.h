// The audio server's preference domain as the device logic's settings store:
// the same domain and keys as the HAL build's, through the plug-in's own
// registry class.
#pragma once

#include <cstdio>

#include "device/QnAudioPluginClassCommons.h"
#include "plugins/server/OSXAsioRegistry.h"

class QnASRegistrySettings : public QnAudioPluginSettingsStore {
public:
    explicit QnASRegistrySettings(qnas::OSXAsioRegistry& inRegistry) : mRegistry(inRegistry) {}

    bool setUInt16Value(uint16_t value, const char* key) override {
        mRegistry.setUInt16Value(value, key);
        return true;
    }
    bool getUInt16Value(uint16_t& value, const char* key) override {
        return mRegistry.getUInt16Value(value, key);
    }
    void setWolfsonRegister(int codec, int reg, uint32_t value) override {
        mRegistry.setWolfsonRegister(codec, reg, value);
    }
    void setSampleRate(uint32_t rate) override { mRegistry.setUInt32Value(rate, "SampleRate"); }
    void setFootSwitchMode(uint32_t mode) override { mRegistry.setFootSwitchMode(mode); }
    void setFootSwitchProtocol(uint32_t protocol) override {
        mRegistry.setFootSwitchProtocol(protocol);
    }
    void setMixerFractions(const void* bytes) override { mRegistry.setMixerFractions(bytes); }
    void setRoutingMatrix(const void* bytes) override { mRegistry.setRoutingMatrix(bytes); }
    void setDigitalOutMode(uint32_t mode) override { mRegistry.setDigitalOutMode(mode); }
    void setClockSource(uint32_t source) override { mRegistry.setClockSource(source); }
    void setMixerMode(int32_t mode) override { mRegistry.setMixerMode(mode); }
    void setSorvikConfigAndMapping(const QN_Sorvik_ConfigAndMap& record,
                                   uint64_t identifier) override {
        char key[32];
        std::snprintf(key, sizeof key, "SORVIK_%16llX", (unsigned long long)identifier);
        QN_Sorvik_ConfigAndMap copy = record;
        mRegistry.setSorvikConfigAndMapping(copy, key);
    }
    bool getRouting(int first, int second, uint32_t& value) override {
        UInt32 v = 0;
        const bool ok = mRegistry.getRouting(first, second, v);
        value = v;
        return ok;
    }
    void setRouting(int first, int second, uint32_t value) override {
        mRegistry.setRouting(first, second, value);
    }
    void store() override { mRegistry.store(); }

private:
    qnas::OSXAsioRegistry& mRegistry;
};
