// The provider's probe points, registered with the process's tracer.
#include "plugins/server/QnAudioServerProbes.h"

namespace qnas_probes {
hx::sys::ProbePoint latencyMonitor("QnAudioServer", "latencyMonitor");
hx::sys::ProbePoint zeroTimeStampMonitor("QnAudioServer", "zeroTimeStampMonitor");
hx::sys::ProbePoint inputMonitor("QnAudioServer", "inputMonitor");
hx::sys::ProbePoint outputMonitor("QnAudioServer", "outputMonitor");
hx::sys::ProbePoint inputOverloadMonitor("QnAudioServer", "inputOverloadMonitor");
hx::sys::ProbePoint driftCorrectionMonitor("QnAudioServer", "driftCorrectionMonitor");
hx::sys::ProbePoint lrMonitor("QnAudioServer", "lrMonitor");
} // namespace qnas_probes
