// Linux backend of the hang capture (see hang_capture.h): ptrace stops every thread of the
// process (PTRACE_SEIZE and PTRACE_INTERRUPT, their stops awaited without blocking so that
// an abandoned capture ends at once), libdwfl unwinds each, and the text is written to a file
// of mode 0600.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/hang_capture.h"
#include "platform/linux/linux_io.h"
#include "platform/linux/loaded_libraries.h"

namespace {

// The unwinder, once Unwind or PlatformCaptureSelf has found it loaded (neither goes on
// where it cannot be).
const UnwinderLibrary& Dw() {
    return *LoadUnwinderLibrary(nullptr);
}

constexpr int kMaxFrames = 64;

// A thread's name as any process may set it: bytes outside printable ASCII are written as
// \xNN, never as they are (a report is read in terminals and editors).
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u < 0x7f && c != '\\') {
            out += c;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", u);
            out += hex;
        }
    }
    return out;
}

// Where address `pc` lies, for whoever symbolises the report later (eu-addr2line, a
// debuginfod server), also for a stripped module: "function (module+0xOFFSET, build-id
// HEX)", the offset being the module's own address (its load bias taken off), "??" for the
// function where the module names none.
std::string WhereIs(Dwfl_Module* module, Dwarf_Addr pc) {
    if (!module) return "??";
    const char* name = Dw().dwfl_module_addrname(module, pc);
    const char* file = Dw().dwfl_module_info(module, nullptr, nullptr, nullptr, nullptr, nullptr,
                                             nullptr, nullptr);
    Dwarf_Addr bias = 0;
    char offset[32] = "";
    if (Dw().dwfl_module_getelf(module, &bias)) {
        std::snprintf(offset, sizeof offset, "+0x%llx", static_cast<unsigned long long>(pc - bias));
    }
    std::string where = std::string(name ? name : "??") + " (" + (file ? file : "?") + offset;
    const unsigned char* id = nullptr;
    GElf_Addr idAt = 0;
    const int bytes = Dw().dwfl_module_build_id(module, &id, &idAt);
    if (bytes > 0) {
        where += ", build-id ";
        for (int i = 0; i < bytes; ++i) {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", id[i]);
            where += hex;
        }
    }
    return where + ")";
}

// Where address `pc` of this process lies (see WhereIs).
std::string WhereInSelf(Dwfl* dwfl, unsigned long long pc) {
    return WhereIs(dwfl ? Dw().dwfl_addrmodule(dwfl, pc) : nullptr, pc);
}

// Writes `text` to a new file of mode 0600 at `path`; false with the reason when it could not.
bool WriteNewReport(const std::string& path, const std::string& text, std::string* why) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    bool ok = fd >= 0 && WriteAll(fd, text.data(), text.size());
    if (!ok) *why = std::strerror(errno);
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        *why = std::strerror(errno);
    }
    if (!ok && fd >= 0) unlink(path.c_str());
    return ok;
}
// deeper stacks are cut: the top is what tells the hang

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string StatusValue(const std::string& path, const std::string& key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            const std::size_t at = line.find_first_not_of(" \t", key.size() + 1);
            return at == std::string::npos ? "" : line.substr(at);
        }
    }
    return "";
}

std::vector<pid_t> Threads(pid_t pid) {
    std::vector<pid_t> tids;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            char* end = nullptr;
            const long tid = std::strtol(e->d_name, &end, 10);
            if (*end == '\0' && tid > 0) tids.push_back(static_cast<pid_t>(tid));
        }
        closedir(d);
    }
    return tids;
}

struct Capture {
    pid_t pid;
    const std::string& path;
    const std::string& header;
    const std::atomic<bool>& cancel;
    std::vector<pid_t> attached;
    std::map<pid_t, std::string> before;  // each thread's state and wait channel, as it hung

    bool Cancelled() const { return cancel.load(); }

    // Stops one thread for the unwinder; false with the reason when it cannot be, and `gone`
    // set when the thread ended meanwhile (a process that makes short-lived threads): that
    // one is left out and the capture goes on.
    bool Stop(pid_t tid, bool* gone, std::string* why) {
        *gone = false;
        if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) {
            *gone = errno == ESRCH;
            *why = errno == EPERM ? "it cannot be traced (no rights, or it is traced already)"
                                  : std::string("ptrace: ") + std::strerror(errno);
            return false;
        }
        attached.push_back(tid);
        if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
            *gone = errno == ESRCH;
            *why = std::string("ptrace: ") + std::strerror(errno);
            return false;
        }
        // A thread in an uninterruptible wait stops only when that ends: it is waited for until
        // the caller abandons the capture at its limit.
        for (;;) {
            int status = 0;
            const pid_t got = waitpid(tid, &status, __WALL | WNOHANG);
            if (got == tid && WIFSTOPPED(status)) return true;
            if (got == tid || (got < 0 && errno != EINTR)) {
                *gone = true;
                *why = "it ended while it was examined";
                return false;
            }
            if (Cancelled()) {
                *why = "it did not stop to be examined (an uninterruptible wait?)";
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    void LetGo() {
        for (const pid_t tid : attached)
            ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
        attached.clear();
    }

    // One line per frame: its number, address and function (or module) name.
    static int Frame(Dwfl_Frame* state, void* arg) {
        auto* text = static_cast<std::string*>(arg);
        Dwarf_Addr pc = 0;
        bool activation = false;
        if (!Dw().dwfl_frame_pc(state, &pc, &activation)) return DWARF_CB_ABORT;
        const Dwarf_Addr lookup = activation ? pc : pc - 1;
        Dwfl* dwfl = Dw().dwfl_thread_dwfl(Dw().dwfl_frame_thread(state));
        const int number = static_cast<int>(std::count(text->begin(), text->end(), '#'));
        char line[160];
        std::snprintf(line, sizeof line, "  #%-2d 0x%016llx ", number,
                      static_cast<unsigned long long>(pc));
        *text += std::string(line) + WhereIs(Dw().dwfl_addrmodule(dwfl, lookup), lookup) + "\n";
        return number + 1 >= kMaxFrames ? DWARF_CB_ABORT : DWARF_CB_OK;
    }

    struct Threads {
        Capture* capture;
        std::string text;
    };
    static int Thread(Dwfl_Thread* thread, void* arg) {
        auto* all = static_cast<Threads*>(arg);
        const pid_t tid = Dw().dwfl_thread_tid(thread);
        const std::string task =
            "/proc/" + std::to_string(all->capture->pid) + "/task/" + std::to_string(tid);
        std::string frames;
        const int rc = Dw().dwfl_thread_getframes(thread, Frame, &frames);
        all->text += "\nThread " + std::to_string(tid) + " (" + Escaped(FirstLine(task + "/comm")) +
                     "), " + all->capture->before[tid] + ":\n" + frames;
        if (rc != 0 && frames.empty())
            all->text += "  (not unwound: " + std::string(Dw().dwfl_errmsg(-1)) + ")\n";
        return all->capture->Cancelled() ? DWARF_CB_ABORT : DWARF_CB_OK;
    }

    // The threads' stacks; false with the reason when they cannot be had.
    bool Unwind(std::string* text, std::string* why) {
        std::string unloaded;
        if (!LoadUnwinderLibrary(&unloaded)) {
            *why = "the unwinder cannot be loaded: " + unloaded;
            return false;
        }
        std::unique_ptr<Dwfl, void (*)(Dwfl*)> dwfl(Dw().dwfl_begin(&Dw().callbacks),
                                                    Dw().dwfl_end);
        if (!dwfl) {
            *why = Dw().dwfl_errmsg(-1);
            return false;
        }
        if (Dw().dwfl_linux_proc_report(dwfl.get(), pid) != 0 ||
            Dw().dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0 ||
            Dw().dwfl_linux_proc_attach(dwfl.get(), pid, true) != 0) {
            *why = std::string("libdwfl: ") + Dw().dwfl_errmsg(-1);
            return false;
        }
        Threads all{this, ""};
        Dw().dwfl_getthreads(dwfl.get(), Thread, &all);
        *text += all.text;
        return true;
    }

    bool Run(std::string* why) {
        std::string text = header;
        const std::string proc = "/proc/" + std::to_string(pid);
        text += "State: " + StatusValue(proc + "/status", "State") + "\n";
        text += "Wait channel: " + FirstLine(proc + "/wchan") + "\n";
        // Each thread as it hung, before it is stopped for the unwinder (then all are in a
        // tracing stop).
        const std::vector<pid_t> tids = ::Threads(pid);
        for (const pid_t tid : tids) {
            const std::string task = proc + "/task/" + std::to_string(tid);
            before[tid] = "state " + StatusValue(task + "/status", "State") + ", wait channel " +
                          FirstLine(task + "/wchan");
        }
        bool ok = true;
        std::string ended;
        for (const pid_t tid : tids) {
            bool gone = false;
            ok = Stop(tid, &gone, why);
            if (!ok && gone && tid != pid) {
                ended += " " + std::to_string(tid);
                ok = true;
                continue;
            }
            if (!ok) break;
        }
        if (!ended.empty()) text += "Threads that ended during the capture:" + ended + "\n";
        ok = ok && !Cancelled() && Unwind(&text, why);
        LetGo();
        if (!ok || Cancelled()) return false;
        return WriteNewReport(path, text, why);
    }
};

}  // namespace

bool PlatformRunHangCapture(std::uint32_t pid, const std::string& path, const std::string& header,
                            const std::atomic<bool>& cancel, std::string* why) {
    Capture capture{static_cast<pid_t>(pid), path, header, cancel, {}, {}};
    return capture.Run(why);
}

bool PlatformCaptureSelf(const std::string& path, const std::string& header, std::string* why) {
    // Without the unwinder the report names no functions, but still says where each thread is.
    const bool unwinder = LoadUnwinderLibrary(nullptr) != nullptr;
    std::unique_ptr<Dwfl, void (*)(Dwfl*)> dwfl(
        unwinder ? Dw().dwfl_begin(&Dw().callbacks) : nullptr,
        unwinder ? Dw().dwfl_end : +[](Dwfl*) {});
    const pid_t self = getpid();
    // The modules alone: a process may not trace its own threads, so their stacks cannot be
    // unwound; /proc gives each one's instruction pointer where it waits or is stopped.
    if (dwfl && (Dw().dwfl_linux_proc_report(dwfl.get(), self) != 0 ||
                 Dw().dwfl_report_end(dwfl.get(), nullptr, nullptr) != 0)) {
        dwfl.reset();
    }
    std::string text = header +
                       "A process cannot trace its own threads: each thread's state, wait "
                       "channel and system call as /proc gives them, and the function its "
                       "instruction pointer lies in.\n";
    const std::string proc = "/proc/" + std::to_string(self);
    for (const pid_t tid : Threads(self)) {
        const std::string task = proc + "/task/" + std::to_string(tid);
        const std::string syscall = FirstLine(task + "/syscall");
        text += "\nThread " + std::to_string(tid) + " (" + Escaped(FirstLine(task + "/comm")) +
                "), state " + StatusValue(task + "/status", "State") + ", wait channel " +
                FirstLine(task + "/wchan") + "\n  system call: " + syscall + "\n";
        // "NR args... SP PC" in a system call, "-1 SP PC" when blocked otherwise.
        const std::size_t last = syscall.find_last_of(' ');
        if (last != std::string::npos && syscall.compare(0, 7, "running") != 0) {
            const unsigned long long pc = std::strtoull(syscall.c_str() + last + 1, nullptr, 16);
            if (pc != 0) text += "  at " + WhereInSelf(dwfl.get(), pc) + "\n";
        }
    }
    return WriteNewReport(path, text, why);
}

void PlatformRemoveHangReport(const std::string& path) {
    unlink(path.c_str());
}

const char* PlatformHangReportExtension() {
    return ".txt";
}
