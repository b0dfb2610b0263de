// Messages, message targets and queued message requests of the kernel build
// of the core library: the declarations both builds share
// (libs/core/shared/QnMessaging.h) in namespace QnKernel, on the kernel
// build's binding.
#pragma once

#include "driver/engine/kcore/KernelCoreBinding.h"

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS QnKernel
#include "libs/core/shared/QnMessaging.h"
#pragma pop_macro("QN_CORE_NS")
