// How quickly the controller acts on what its one wait sees, over 30 restarts each:
//   after an exit: from a job starter's exit to its successor's start, with
//     QVLRESTARTONEXIT=1 and the back-off reset at once (a test hook), so that only the
//     controller's own reaction is timed; no KILL is due for a job starter that has exited,
//     so there is no pause to subtract;
//   for silence: from the heartbeat deadline (the job starter's one heartbeat plus the
//     1000 ms time-out) to the start of KILL;
// beside baselines measured in the same run: the start of the same program straight from
// here (what any restart costs at least), and a 1000 ms timed wait's lateness plus that
// start. The moments come from restart_probe on the monotonic clock all processes share.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "config/protected_settings.h"
#include "config/settings_cipher.h"

extern char** environ;

namespace {

constexpr int kRestarts = 30;
constexpr long long kTimeoutNs = 1000000000LL;  // the 1000 ms heartbeat time-out
const char kName[] = "QUARVELIN_JOB_CONTROLLER987654321";

using Clock = std::chrono::steady_clock;

long long Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

struct Event {
    char what;
    long long ns;
};

std::vector<Event> Events(const std::string& path) {
    std::vector<Event> events;
    std::ifstream in(path);
    char what;
    long long ns;
    while (in >> what >> ns)
        events.push_back({what, ns});
    return events;
}

int Count(const std::vector<Event>& events, char what) {
    return static_cast<int>(std::count_if(events.begin(), events.end(),
                                          [what](const Event& e) { return e.what == what; }));
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::vector<std::string> environment(env);
    for (char** e = environ; *e; ++e)
        environment.emplace_back(*e);
    std::vector<char*> argv, envp;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    for (const auto& e : environment)
        envp.push_back(const_cast<char*>(e.c_str()));
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0) return -1;
    return pid;
}

// Runs the controller in `dir` until the events file holds `count` events `what`.
std::vector<Event> Run(const std::string& dir, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, char what, int count) {
    const std::string events = dir + "/events.txt";
    std::filesystem::remove(events);
    std::vector<std::string> argv = {dir + "/qvljobctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment = env;
    environment.push_back("QVL_PROBE_EVENTS=" + events);
    const pid_t controller = Spawn(argv, environment);
    const auto end = Clock::now() + std::chrono::seconds(120);
    while (Count(Events(events), what) < count && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::ofstream(dir + "/stop.now") << "";
    waitpid(controller, nullptr, 0);
    if (std::system((dir + "/REALKILL QVLJOBSTR_ORACLE.EXE 987654321 >/dev/null").c_str()) != 0) {
    }  // none left is fine
    return Events(events);
}

struct Figures {
    double median, worst;
};

Figures Summarize(std::vector<long long> ns) {
    if (ns.empty()) return {-1, -1};
    std::sort(ns.begin(), ns.end());
    return {ns[ns.size() / 2] / 1e6, ns.back() / 1e6};
}

void Print(const char* what, Figures ours, const char* baselineWhat, Figures base) {
    std::printf("%-34s median %7.2f ms  worst %7.2f ms   | %-32s median %7.2f ms  worst %7.2f ms\n",
                what, ours.median, ours.worst, baselineWhat, base.median, base.worst);
}

}  // namespace

int main(int, char** argv) {
    const std::string bin = std::filesystem::canonical(argv[0]).parent_path().string();
    const std::string dir = std::filesystem::temp_directory_path().string() + "/qvl_restart_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    // The test controller is the controller's own run with times a test may shorten.
    std::filesystem::copy_file(bin + "/test_controller", dir + "/qvljobctl");
    std::filesystem::copy_file(bin + "/restart_probe", dir + "/QVLJOBSTR_ORACLE.EXE");
    std::filesystem::copy_file(bin + "/restart_probe", dir + "/KILL");
    std::filesystem::copy_file(bin + "/KILL", dir + "/REALKILL");
    char stored[32];
    EncryptToHex("Oracle", stored, kProtectedValueKey);
    std::ofstream(dir + "/QUARVELIN.INI") << ";DB;\r\n0;DB_SYSTEM;" << stored << "\r\n";

    // Baselines: the probe started from here, its start noted; a 1000 ms timed wait.
    std::vector<long long> spawn, wait;
    const std::string events = dir + "/baseline.txt";
    for (int i = 0; i < kRestarts; ++i) {
        std::filesystem::remove(events);
        const long long before = Now();
        const pid_t pid = Spawn({dir + "/QVLJOBSTR_ORACLE.EXE", "987654322"},
                                {"QVL_PROBE_EVENTS=" + events, "QVL_PROBE_LIFETIME_MS=0"});
        waitpid(pid, nullptr, 0);
        const std::vector<Event> e = Events(events);
        if (!e.empty()) spawn.push_back(e[0].ns - before);
        const long long start = Now();
        poll(nullptr, 0, 1000);
        wait.push_back(Now() - start - kTimeoutNs + spawn.back());
    }

    std::ofstream(dir + "/QVLJOBCTL.INI") << "[JOBATR]\r\nQVLRESTARTONEXIT=1\r\n";
    std::vector<Event> e = Run(dir, {"60000", kName, dir + "/stop.now", "reset=0"},
                               {"QVL_PROBE_LIFETIME_MS=100"}, 'S', kRestarts + 1);
    std::vector<long long> exitToStart;
    for (std::size_t i = 0; i < e.size(); ++i) {
        if (e[i].what != 'E') continue;
        for (std::size_t j = i + 1; j < e.size(); ++j) {
            if (e[j].what == 'S') {
                exitToStart.push_back(e[j].ns - e[i].ns);
                break;
            }
        }
    }

    std::ofstream(dir + "/QVLJOBCTL.INI") << "[JOBATR]\r\n";
    e = Run(dir, {"1000", kName, dir + "/stop.now", "pause=100"}, {}, 'K', kRestarts);
    std::vector<long long> deadlineToKill;
    long long lastHeartbeat = 0;
    for (const Event& ev : e) {
        if (ev.what == 'H') lastHeartbeat = ev.ns;
        if (ev.what == 'K' && lastHeartbeat != 0) {
            deadlineToKill.push_back(ev.ns - lastHeartbeat - kTimeoutNs);
            lastHeartbeat = 0;
        }
    }
    std::printf("restarts measured: %zu after an exit, %zu for silence\n", exitToStart.size(),
                deadlineToKill.size());
    Print("exit -> new job starter", Summarize(exitToStart), "baseline: start from here",
          Summarize(spawn));
    Print("deadline (1000 ms) -> KILL", Summarize(deadlineToKill),
          "baseline: 1000 ms wait late + start", Summarize(wait));
    std::filesystem::remove_all(dir);
    return 0;
}
