// The hang capture's thread and its hand-over (see hang_capture.h); the capture itself is the
// backend's PlatformRunHangCapture.
#include "platform/hang_capture.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

struct Capture {
    std::uint32_t pid;
    std::string path, header;
    std::atomic<bool> cancel{false};
    std::atomic<bool> done{false};
    std::mutex lock;  // guards ok and error until done
    bool ok = false;
    std::string error;

    void Run() {
        std::string why;
        bool written = PlatformRunHangCapture(pid, path, header, cancel, &why);
        if (written && cancel) {  // finished too late: the caller has gone on without it
            PlatformRemoveHangReport(path);
            written = false;
            why = "abandoned";
        }
        std::lock_guard<std::mutex> guard(lock);
        ok = written;
        error = why;
        done = true;
    }
};

}  // namespace

struct HangCapture {
    std::shared_ptr<Capture> capture;
    std::thread worker;
};

HangCapture* PlatformStartHangCapture(std::uint32_t pid, const std::string& path,
                                      const std::string& header, std::string* error) {
    auto capture = std::make_shared<Capture>();
    capture->pid = pid;
    capture->path = path;
    capture->header = header;
    auto* h = new HangCapture{capture, {}};
    try {
        h->worker = std::thread([capture] { capture->Run(); });
    } catch (const std::exception& e) {
        *error = e.what();
        delete h;
        return nullptr;
    }
    return h;
}

bool PlatformHangCaptureDone(HangCapture* h, bool* ok, std::string* error) {
    if (!h->capture->done) return false;
    std::lock_guard<std::mutex> guard(h->capture->lock);
    *ok = h->capture->ok;
    *error = h->capture->error;
    return true;
}

void PlatformEndHangCapture(HangCapture* h) {
    if (!h) return;
    h->capture->cancel = true;
    // The capture looks at the cancellation between its steps; one step under way finishes
    // first. Past a second the thread is left to end by itself (it owns what it uses).
    const Clock::time_point end = Clock::now() + std::chrono::seconds(1);
    while (!h->capture->done && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (h->capture->done) {
        h->worker.join();
    } else {
        h->worker.detach();
    }
    delete h;
}
