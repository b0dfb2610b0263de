#include "driver/engine/kcore/KernelCoreBinding.h"

namespace QnKernel {

// The kernel build's check of every UTF-8 sequence its text source decodes.
void checkUtf8(bool ok) {
    QN_KASSERT(ok);
}

} // namespace QnKernel
