// The converter table after each load mode: which member stands in each of
// the 39 slots and in the two hooks, and that every slot converts exactly
// like its portable member. The expected members are spelled out here, not
// taken from the fill routines.
#include "driver/transcoders/x86/DMAConverterTable.h"
#include "tests/driver/transcoders/X86TestSupport.h"

#include <gtest/gtest.h>

using namespace hx::test::x86;

namespace {

struct Slot {
    const char* name;
    std::atomic<DMA_CONVERT_FNC>* slot;
    DMA_CONVERT_FNC c;
    DMA_CONVERT_FNC generalPurpose; // what the general-purpose fill leaves there
    DMA_CONVERT_FNC mmx;            // what the MMX fill leaves there
    bool decoder;
};

#define HX_SLOT_CAS(s, dec)                                                                        \
    { #s, &s, s##_C, s##_ASM, s##_SSE, dec }
#define HX_SLOT_CCC(s, dec)                                                                        \
    { #s, &s, s##_C, s##_C, s##_C, dec }
#define HX_SLOT_CCS(s, dec)                                                                        \
    { #s, &s, s##_C, s##_C, s##_SSE, dec }
#define HX_SLOT_CSS(s, dec)                                                                        \
    { #s, &s, s##_C, s##_SSE, s##_SSE, dec }

const std::vector<Slot>& slots() {
    static const std::vector<Slot> table = {
        HX_SLOT_CCC(dmaDecode16To08At32Bit_Brava, true),
        HX_SLOT_CCC(dmaDecode16To16At32Bit_Brava, true),
        HX_SLOT_CCC(dmaDecode16To32At32Bit_Brava, true),
        HX_SLOT_CCC(dmaEncode08_Brava, false),
        HX_SLOT_CCC(dmaEncode16_Brava, false),
        HX_SLOT_CCC(dmaEncode32_Brava, false),
        HX_SLOT_CAS(dmaDecode16To02At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To04At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To06At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To08At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To10At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To12At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To14At32Bit, true),
        HX_SLOT_CAS(dmaDecode16To16At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To18At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To20At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To22At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To24At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To26At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To28At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To30At32Bit, true),
        HX_SLOT_CAS(dmaDecode32To32At32Bit, true),
        HX_SLOT_CAS(dmaEncode02, false),
        HX_SLOT_CAS(dmaEncode04, false),
        HX_SLOT_CAS(dmaEncode06, false),
        HX_SLOT_CAS(dmaEncode08, false),
        HX_SLOT_CAS(dmaEncode06_Int964, false),
        HX_SLOT_CAS(dmaEncode08_Int964, false),
        HX_SLOT_CSS(dmaEncode16_Int964, false),
        HX_SLOT_CCS(dmaEncode10, false),
        HX_SLOT_CCS(dmaEncode12, false),
        HX_SLOT_CCS(dmaEncode14, false),
        HX_SLOT_CCS(dmaEncode16, false),
        HX_SLOT_CAS(dmaEncode10_12, false),
        HX_SLOT_CAS(dmaEncode10_34, false),
        HX_SLOT_CAS(dmaEncode10_56, false),
        HX_SLOT_CAS(dmaEncode10_78, false),
        HX_SLOT_CAS(dmaEncode10_KX, false),
        HX_SLOT_CAS(dmaEncode10_KX_Int964, false),
    };
    return table;
}

enum class Expect { Portable, GeneralPurpose, Mmx };

DMA_CONVERT_FNC expected(const Slot& s, Expect e) {
    switch (e) {
    case Expect::Portable:
        return s.c;
    case Expect::GeneralPurpose:
        return s.generalPurpose;
    case Expect::Mmx:
        return s.mmx;
    }
    return nullptr;
}

// A slot converts exactly like its portable member on a random block.
void expectSlotConvertsLikePortable(const Slot& s, std::mt19937_64& rng) {
    const DMA_CONVERT_FNC fn = *s.slot;
    std::vector<uint8_t> in(1280);
    fillRandom(rng, in.data(), in.size());
    std::vector<uint8_t> outS(1024, 0xA5), outC(1024, 0xA5);
    int32_t carryS = 0x01234500, carryC = carryS;
    DMA_CONVERT_DATA ds = makeRecord(in.data(), outS.data(), &carryS);
    DMA_CONVERT_DATA dc = makeRecord(in.data(), outC.data(), &carryC);
    EXPECT_EQ(callChecked(fn, &ds, s.name), s.c(&dc)) << s.name;
    EXPECT_EQ(outS, outC) << s.name;
    EXPECT_EQ(carryS, carryC) << s.name;
}

struct ModeCase {
    int32_t mode;
    Expect members;
    CPU_FX_FNC save, load;
};

class X86ConverterTable : public ::testing::TestWithParam<ModeCase> {};

TEST_P(X86ConverterTable, EverySlotAndHookHoldsTheModesMember) {
    const ModeCase& m = GetParam();
    // Start from a table filled by another mode, as a second device's load
    // would find it.
    DMAConverterInit(m.mode == 1 ? 0 : 1);
    DMAConverterInit(m.mode);
    ASSERT_EQ(slots().size(), 39u);
    for (const Slot& s : slots())
        EXPECT_EQ(s.slot->load(), expected(s, m.members)) << s.name << " after mode " << m.mode;
    EXPECT_EQ(cpuSaveFX.load(), m.save);
    EXPECT_EQ(cpuLoadFX.load(), m.load);
}

TEST_P(X86ConverterTable, EverySlotConvertsLikeItsPortableMember) {
    const ModeCase& m = GetParam();
    DMAConverterInit(m.mode);
    std::mt19937_64 rng(1000 + m.mode);
    for (const Slot& s : slots())
        expectSlotConvertsLikePortable(s, rng);
    // The hooks do nothing, and the MMX forms need nothing of them.
    cpuSaveFX.load()();
    cpuLoadFX.load()();
}

INSTANTIATE_TEST_SUITE_P(
    Modes, X86ConverterTable,
    ::testing::Values(ModeCase{0, Expect::Mmx, cpuSaveFX_ASM, cpuLoadFX_ASM},
                      ModeCase{1, Expect::Portable, cpuSaveFX_NULL, cpuLoadFX_NULL},
                      ModeCase{2, Expect::GeneralPurpose, cpuSaveFX_NULL, cpuLoadFX_NULL},
                      ModeCase{3, Expect::Mmx, cpuSaveFX_ASM, cpuLoadFX_ASM},
                      ModeCase{7, Expect::Mmx, cpuSaveFX_ASM, cpuLoadFX_ASM}),
    [](const ::testing::TestParamInfo<ModeCase>& info) {
        return "Mode" + std::to_string(info.param.mode);
    });

TEST(X86ConverterTableFill, GeneralPurposeFillLeavesTheTenToSixteenSlotsAlone) {
    dmaConvertInit_C();
    dmaConvertInit_SSE64();
    dmaConvertInit_ASM();
    EXPECT_EQ(dmaEncode10.load(), &dmaEncode10_SSE);
    EXPECT_EQ(dmaEncode16.load(), &dmaEncode16_SSE);
    EXPECT_EQ(dmaEncode16_Int964.load(), &dmaEncode16_Int964_SSE);
    EXPECT_EQ(dmaDecode16To02At32Bit.load(), &dmaDecode16To02At32Bit_ASM);
    // And the MMX fill leaves the Brava slots alone.
    dmaConvertInit_C();
    dmaEncode08_Brava.store(nullptr);
    dmaConvertInit_SSE64();
    EXPECT_EQ(dmaEncode08_Brava.load(), nullptr);
    dmaConvertInit_C();
}

TEST(X86CpuCheckFeature, OneForFeaturesOneToFourOnly) {
    struct {
        int32_t feature, want;
    } const cases[] = {{1, 1}, {2, 1},  {3, 1},         {4, 1},        {0, 0},
                       {5, 0}, {-1, 0}, {INT32_MIN, 0}, {INT32_MAX, 0}};
    for (const auto& c : cases)
        EXPECT_EQ(cpuCheckFeature(c.feature), c.want) << "feature " << c.feature;
}

} // namespace
