// Peak meters of the audio passing through the driver: one plain function
// per channel count, raising the stored peak of each channel from one
// frame (32-bit words, 24 bits left-aligned). The stored peaks are one
// signed byte per channel, 0..127, read and cleared by level requests.
#pragma once

#include <cstdint>

typedef int (*LevelProcessorFnc)(char* levels, char* frame);

int LevelProcessor2CH(char* levels, char* frame);
int LevelProcessor4CH(char* levels, char* frame);
int LevelProcessor6CH(char* levels, char* frame);
int LevelProcessor8CH(char* levels, char* frame);
int LevelProcessor10CH(char* levels, char* frame);
int LevelProcessor16CH(char* levels, char* frame);
int LevelProcessor18CH(char* levels, char* frame);

// The meters of the hardware maker's own interfaces: no output meter; an
// input meter only on a high-speed bus and only for the 4- and 6-input
// layouts. The HX-5100's 2 inputs get none.
void chooseKorvexMeters(bool highSpeed, uint32_t inChannels, LevelProcessorFnc& input, LevelProcessorFnc& output);
