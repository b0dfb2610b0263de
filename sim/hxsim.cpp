// hxsim: boots the simulated machine with an HX-5100 and runs a road on it
// (a program on the HAL plug-in by default, the user-space device layer
// alone, or the kernel driver through its client harness), then reports
// what happened and writes the recording.
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/base/HXLog.h"
#include "platform/base/HXPath.h"
#include "sim/SimHelper.h"
#include "sim/SimKernelHost.h"
#include "sim/SimOptions.h"
#include "sim/SimProgress.h"
#include "sim/SimReport.h"
#include "sim/SimScenario.h"
#include "sim/WavWriter.h"

int main(int argc, char** argv) {
    using namespace hx::sim;
    Options options;
    std::string error;
    std::vector<std::string> args(argv + 1, argv + argc);

    // Kernel host mode: the machine's kernel served to other processes.
    std::string kernelHost;
    if (!args.empty() && args[0] == "--kernel-host") {
        if (args.size() < 2) {
            std::fprintf(stderr, "hxsim: option --kernel-host needs a socket path\n");
            return 2;
        }
        kernelHost = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }

    switch (parseOptions(args, options, error)) {
    case ParseResult::Help:
        std::fputs(usage().c_str(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "hxsim: %s\n", error.c_str());
        return 2;
    case ParseResult::Run:
        break;
    }

    if (const std::string why = hx::path::rootProblem(); !why.empty()) {
        std::fprintf(stderr, "hxsim: %s\n", why.c_str());
        return 2;
    }
    if (!kernelHost.empty()) return runKernelHost(kernelHost, options);

    // Everything the run writes is made sure of before streaming starts: an
    // unwritable root fails at once, not after the run. An older recording
    // is removed, so a failed run never leaves one that looks like its own.
    const std::string wavPath = hx::path::map(options.output);
    const std::string logPath = hx::path::map("/var/log/hxsim.log");
    if (!prepareOutput(wavPath, error) || !prepareOutput(logPath + ".probe", error)) {
        std::fprintf(stderr, "hxsim: %s\n", error.c_str());
        return 1;
    }
    // The kernel's log goes to a file, as a system log would, so the report
    // stays readable; HX_LOG set by the user still decides about stderr.
    setenv("HX_LOG", "0", 0);
    keepPrevious(logPath);
    if (!hx::log::openFile(logPath, error)) {
        std::fprintf(stderr, "hxsim: %s\n", error.c_str());
        return 1;
    }
    Report report;
    std::vector<int32_t> recorded;
    // The device layer prints its progress lines to standard output, as a
    // program of the other system would; during the run they go beside the
    // driver's log, so the report stays readable.
    std::fflush(stdout);
    const int savedStdout = ::dup(STDOUT_FILENO);
    const int layerOut = ::open((logPath + ".stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (layerOut >= 0) {
        ::dup2(layerOut, STDOUT_FILENO);
        ::close(layerOut);
    }
    {
        // Across processes the machine runs in a kernel host started here;
        // it is stopped once the road is done.
        KernelHostChild host;
        const bool across = options.transport == Transport::Process;
        std::string hostError;
        Progress progress(options.seconds, !options.quiet);
        HelperChild helper;
        if (across && !host.start(options, hostError)) {
            report.failure = hostError;
            report.transport = options.transport;
        } else if (options.helper && !helper.start(host, hostError)) {
            report.failure = hostError;
            report.transport = options.transport;
        } else if (options.road == Road::Server) {
            runServerScenario(options, progress, report, recorded, across ? &host : nullptr);
        } else if (options.road == Road::Hal) {
            runHalScenario(options, progress, report, recorded, across ? &host : nullptr);
        } else if (options.road == Road::Device) {
            runDeviceScenario(options, progress, report, recorded, across ? &host : nullptr);
        } else {
            runDefaultScenario(options, progress, report, recorded, across ? &host : nullptr);
        }
        if (options.helper) helper.finish(report);
    }
    std::fflush(stdout);
    if (savedStdout >= 0) {
        ::dup2(savedStdout, STDOUT_FILENO);
        ::close(savedStdout);
    }
    std::string logError;
    if (hx::log::closeFile(logError))
        report.driverLog = logPath;
    else
        report.driverLogError = logError;
    if (report.optionError) {
        std::fprintf(stderr, "hxsim: %s\n", report.failure.c_str());
        return 2;
    }

    // The recording is written even when the comparison failed: it is what
    // one wants to look at then.
    if (!recorded.empty() && report.machine.inChannels) {
        const size_t frames = recorded.size() / report.machine.inChannels;
        if (writeWav24(wavPath, report.machine.rate, uint16_t(report.machine.inChannels),
                       recorded.data(), frames, error)) {
            report.recording = wavPath;
            report.recordedFrames = frames;
        } else if (report.failure.empty()) {
            report.failure = error;
        }
    }
    if (!report.driverLogError.empty() && report.failure.empty())
        report.failure = report.driverLogError;

    const std::string text = formatReport(report);
    if (options.quiet) {
        const size_t at = text.rfind("result:");
        std::fputs(text.c_str() + at, stdout);
    } else {
        std::fputs(text.c_str(), stdout);
    }
    std::fflush(stdout);
    if (!report.failure.empty()) {
        std::fprintf(stderr, "hxsim: %s\n", report.failure.c_str());
        return 1;
    }
    return 0;
}
