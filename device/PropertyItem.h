// A device value that clients watch: an unsigned 32-bit value whose changes
// the owning host hears about (frame size and the two latencies).
#pragma once

#include <atomic>
#include <cstdint>

class PropertyItem;

class PropertyItemHost {
public:
    virtual ~PropertyItemHost() = default;
    virtual void onPropertyChanged(PropertyItem* item) = 0;
};

enum EPropType : uint32_t {
    ePropUInt32 = 0,
};

class PropertyItem {
public:
    explicit PropertyItem(PropertyItemHost* host, EPropType type = ePropUInt32)
        : mHost(host), mType(type) {}

    // Stores a changed value and, with notify, tells the host; false when the
    // value was the same or the item is of another type.
    bool set(uint32_t value, bool notify);
    uint32_t getUInt32() const;
    EPropType type() const { return mType; }

private:
    PropertyItemHost* mHost;
    EPropType mType;
    // Read by the audio thread while client threads set it.
    std::atomic<uint32_t> mValue{0};
};
