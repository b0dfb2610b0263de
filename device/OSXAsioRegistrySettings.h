// The HAL build's settings store as the device logic sees it.
#pragma once

#include "device/OSXAsioRegistry.h"
#include "device/QnAudioPluginClassCommons.h"

class OSXAsioRegistrySettings : public QnAudioPluginSettingsStore {
public:
    explicit OSXAsioRegistrySettings(OSXAsioRegistry& registry) : mRegistry(registry) {}

    bool setUInt16Value(uint16_t value, const char* key) override {
        return mRegistry.setUInt16Value(value, key);
    }
    bool getUInt16Value(uint16_t& value, const char* key) override {
        return mRegistry.getUInt16Value(value, key);
    }
    void setWolfsonRegister(int codec, int reg, uint32_t value) override {
        mRegistry.setWolfsonRegister(codec, reg, value);
    }
    void setSampleRate(uint32_t rate) override { mRegistry.setSampleRate(rate); }
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
        mRegistry.setSorvikConfigAndMapping(record, identifier);
    }
    bool getRouting(int first, int second, uint32_t& value) override {
        return mRegistry.getRouting(first, second, value);
    }
    void setRouting(int first, int second, uint32_t value) override {
        mRegistry.setRouting(first, second, value);
    }
    void store() override { mRegistry.store(); }

    OSXAsioRegistry& registry() { return mRegistry; }

private:
    OSXAsioRegistry& mRegistry;
};
