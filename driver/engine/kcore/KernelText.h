// Text decoding of the kernel build of the core library: the text source
// both builds share (libs/core/shared/QnConvSource.h) in namespace QnKernel.
// The kernel build logs an assertion line for a malformed UTF-8 sequence
// besides setting the source's error state.
#pragma once

#include <cstdint>

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS QnKernel
#include "libs/core/shared/QnConvSource.h"
#pragma pop_macro("QN_CORE_NS")
