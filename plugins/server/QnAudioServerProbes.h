// The plug-in's trace provider "QnAudioServer" and its seven probe points.
// Each macro pair follows the tracing convention: test *_ENABLED() first,
// then compute the arguments and fire. Arguments are 64-bit integers.
//
// inputMonitor, outputMonitor and inputOverloadMonitor carry (sample time,
// own position, kernel position or expected position, frames).
#pragma once

#include <cstdint>

#include "platform/sys/DTraceProbes.h"

namespace qnas_probes {
extern hx::sys::ProbePoint latencyMonitor;
extern hx::sys::ProbePoint zeroTimeStampMonitor;
extern hx::sys::ProbePoint inputMonitor;
extern hx::sys::ProbePoint outputMonitor;
extern hx::sys::ProbePoint inputOverloadMonitor;
extern hx::sys::ProbePoint driftCorrectionMonitor;
extern hx::sys::ProbePoint lrMonitor;
} // namespace qnas_probes

#define QNAUDIOSERVER_PROBE_(probe, ...) qnas_probes::probe.fire({__VA_ARGS__})

#define QNAUDIOSERVER_LATENCYMONITOR_ENABLED() qnas_probes::latencyMonitor.enabled()
#define QNAUDIOSERVER_LATENCYMONITOR(in, out)                                                      \
    QNAUDIOSERVER_PROBE_(latencyMonitor, int64_t(in), int64_t(out))
#define QNAUDIOSERVER_ZEROTIMESTAMPMONITOR_ENABLED() qnas_probes::zeroTimeStampMonitor.enabled()
#define QNAUDIOSERVER_ZEROTIMESTAMPMONITOR(sample, host, seed, third)                              \
    QNAUDIOSERVER_PROBE_(zeroTimeStampMonitor, int64_t(sample), int64_t(host), int64_t(seed),      \
                         int64_t(third))
#define QNAUDIOSERVER_INPUTMONITOR_ENABLED() qnas_probes::inputMonitor.enabled()
#define QNAUDIOSERVER_INPUTMONITOR(sample, own, kernel, frames)                                    \
    QNAUDIOSERVER_PROBE_(inputMonitor, int64_t(sample), int64_t(own), int64_t(kernel),             \
                         int64_t(frames))
#define QNAUDIOSERVER_OUTPUTMONITOR_ENABLED() qnas_probes::outputMonitor.enabled()
#define QNAUDIOSERVER_OUTPUTMONITOR(sample, own, kernel, frames)                                   \
    QNAUDIOSERVER_PROBE_(outputMonitor, int64_t(sample), int64_t(own), int64_t(kernel),            \
                         int64_t(frames))
#define QNAUDIOSERVER_INPUTOVERLOADMONITOR_ENABLED() qnas_probes::inputOverloadMonitor.enabled()
#define QNAUDIOSERVER_INPUTOVERLOADMONITOR(sample, own, expected, frames)                          \
    QNAUDIOSERVER_PROBE_(inputOverloadMonitor, int64_t(sample), int64_t(own), int64_t(expected),   \
                         int64_t(frames))
#define QNAUDIOSERVER_DRIFTCORRECTIONMONITOR_ENABLED() qnas_probes::driftCorrectionMonitor.enabled()
#define QNAUDIOSERVER_DRIFTCORRECTIONMONITOR(a, b, c, d, e, f, g)                                  \
    QNAUDIOSERVER_PROBE_(driftCorrectionMonitor, int64_t(a), int64_t(b), int64_t(c), int64_t(d),   \
                         int64_t(e), int64_t(f), int64_t(g))
#define QNAUDIOSERVER_LRMONITOR_ENABLED() qnas_probes::lrMonitor.enabled()
#define QNAUDIOSERVER_LRMONITOR(a, b, c, d, e, f, g, h)                                            \
    QNAUDIOSERVER_PROBE_(lrMonitor, int64_t(a), int64_t(b), int64_t(c), int64_t(d), int64_t(e),    \
                         int64_t(f), int64_t(g), int64_t(h))
