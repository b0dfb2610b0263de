// The choice of the stateless sample converters for a configuration: the
// wire unpacker and packer of the isochronous paths, the output packer the
// client mixer uses, the input post-processor and the output mixer.
//
// Each chooser is a pure function of the device's traits and the settings,
// picked once when the format is set; the real-time paths only call what was
// chosen. Those that hand their choice to the client mixer (DriverData) say
// so; DriverData keeps the channel counts that go with the packer.
#pragma once

#include <cstdint>

#include "abi/DriverSM.h"
#include "driver/engine/config/ZrConfigProducts.h"
#include "driver/transcoders/OutMixer.h"
#include "driver/transcoders/PCMConvert.h"
#include "driver/transcoders/PostProcess.h"

class DriverData;

// The output mixer by output channel count (2, 4, 6; none otherwise).
OUT_MIXER_FNC ZrOutMixerFor(uint32_t outputChannels);
// Chooses the output mixer, logs the choice and hands it to the client mixer.
OUT_MIXER_FNC ZrChooseOutMixer(uint32_t outputChannels, DriverData& driverData);

// The general input post-processor for the device's input channel count and
// the routing words and lock flag of ajExt. A count without a row gets none:
// a processor kept from an earlier configuration would rewrite channels of a
// format it was not made for.
INPUT_POSTPROCESS_FNC ZrChooseInputPostprocessor(const ZrDeviceTraits& device,
                                                 uint32_t inputChannels, const QnAjExtData& ajExt);
// The 6-input routing post-processor (the LX610 at high speed only).
INPUT_POSTPROCESS_FNC ZrChoose6InputPostprocessor(const ZrDeviceTraits& device,
                                                  const QnAjExtData& ajExt);

// The client mixer's output packer by the settings' output resolution; none
// for a width without a packer.
USB_ENC_FNC ZrISOOutEncoderFor(const ZrDeviceTraits& device, uint32_t outputChannels,
                               const QnChannelSettings& settings, const QnAjExtData& ajExt);
// Without a shared area nothing happens; otherwise the packer and the
// settings' channel counts go to the client mixer. Returns the packer.
USB_ENC_FNC ZrChooseISOOutEncoder(const ZrDeviceTraits& device, uint32_t outputChannels,
                                  DriverSM* sharedArea, DriverData& driverData);

// The wire converters of a configuration: the input unpacker the
// isochronous input takes and the output packer handed to the client mixer.
// "None" (null) means the transport converts by itself or the resolution has
// no converter.
struct ZrConverters {
    USB_DEC_FNC input = nullptr;
    USB_ENC_FNC output = nullptr;
};
// Chooses by the settings (an absent direction takes the other's
// resolution) and re-arms the placeholders' report, so choosing one is
// logged once per choice.
ZrConverters ZrChooseConverters(const ZrDeviceTraits& device, const QnChannelSettings& settings);
