// The watch on the supervision's loop (see self_watch.h).
#include "supervision/self_watch.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "log/log_file.h"
#include "platform/files.h"
#include "platform/hang_capture.h"
#include "platform/processes.h"
#include "service/service_identity.h"
#include "service/status_report.h"
#include "service/version.h"
#include "supervision/hang_report.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

}  // namespace

struct SelfWatch {
    std::uint32_t limitMs;
    std::string dumpDir, instanceText;
    // When the loop last said what it does (steady ms), and when it is back from the wait it
    // began then at the latest.
    std::atomic<std::int64_t> markedAt{0};
    std::atomic<std::int64_t> backBy{0};
    std::atomic<const char*> phase{"starting"};
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};

namespace {

// Where the loop is stuck, into the dump folder when there is one: the report's path, or a
// sentence saying why there is none.
std::string Report(const SelfWatch& w, const std::string& line) {
    if (w.dumpDir.empty()) return "No report of it is written: QVLDUMPDIR is not set.";
    std::string why;
    if (!PlatformPrivateFolder(w.dumpDir.c_str(), &why)) {
        return "No report of it is written: the folder " + w.dumpDir + " is refused: " + why + ".";
    }
    const std::string path =
        HangReportPath(w.dumpDir, w.instanceText, "C" + std::to_string(PlatformCurrentProcessId()));
    const std::string header = "Report of the controller " +
                               std::string(gServiceIdentity.serviceName) + " itself (" +
                               BuildVersion() + "), process " +
                               std::to_string(PlatformCurrentProcessId()) + ": " + line + "\n";
    if (!PlatformCaptureSelf(path, header, &why)) return "No report of it is written: " + why + ".";
    return "Where it is stuck: " + path + ".";
}

// The loop is frozen: said, reported, and the process ends with a failure. Its own stream of
// the log is not used by the frozen loop any more (it is stopped for good).
[[noreturn]] void Frozen(SelfWatch& w) {
    const std::string line = "The controller's loop has made no progress for " +
                             std::to_string(w.limitMs) + " ms (while " + w.phase.load() +
                             "): the controller ends, so that it is started again.";
    const std::string report = Report(w, line);
    // The frozen thread may be stuck inside an entry of its own (a disk that hangs): the lines
    // wait a moment for it, then go to the console and the system's log alone.
    constexpr std::uint32_t kLogWaitMs = 1000;
    if (TryWriteLog((line + "\n").c_str(), kLogWaitMs))
        TryWriteLog((report + "\n").c_str(), kLogWaitMs);
    if (gConsoleMode) {
        std::printf("%s\n%s\n", line.c_str(), report.c_str());
        std::fflush(stdout);
    }
    ReportErrorEvent((line + " " + report).c_str(), 0);  // a frozen loop is no platform error
    std::_Exit(kRunFrozen);
}

// Late at two looks in a row: a process that was stopped as a whole (SIGSTOP, a debugger)
// and goes on again is given a look's time for its loop to come back before it counts.
void Watch(SelfWatch* w) {
    std::unique_lock<std::mutex> guard(w->lock);
    int lateLooks = 0;
    while (!w->stop) {
        w->wake.wait_for(guard, std::chrono::milliseconds(kSelfWatchLookMs));
        // Frozen: no progress for the limit since the loop last said what it does, and not in
        // a wait that may still go on (its waits end at its refresh, shorter than the limit).
        const std::int64_t now = NowMs();
        const bool late = now - w->markedAt.load() > static_cast<std::int64_t>(w->limitMs) &&
                          now > w->backBy.load();
        lateLooks = late ? lateLooks + 1 : 0;
        if (!w->stop && lateLooks >= 2) Frozen(*w);
    }
}

}  // namespace

SelfWatch* StartSelfWatch(std::uint32_t limitMs, const std::string& dumpDir,
                          const std::string& instanceText) {
    if (limitMs == 0) return nullptr;
    auto* w = new SelfWatch;
    w->limitMs = limitMs;
    w->dumpDir = dumpDir;
    w->instanceText = instanceText;
    w->backBy = w->markedAt = NowMs();
    try {
        w->thread = std::thread(Watch, w);
    } catch (const std::exception&) {  // no thread to be had: the run goes on unwatched
        delete w;
        return nullptr;
    }
    return w;
}

void SelfWatchMark(SelfWatch* w, std::uint32_t waitMs, const char* phase) {
    if (!w) return;
    w->phase = phase;
    const std::int64_t now = NowMs();
    w->backBy = now + waitMs;
    w->markedAt = now;
}

void StopSelfWatch(SelfWatch* w) {
    if (!w) return;
    {
        std::lock_guard<std::mutex> guard(w->lock);
        w->stop = true;
    }
    w->wake.notify_all();
    w->thread.join();
    delete w;
}
