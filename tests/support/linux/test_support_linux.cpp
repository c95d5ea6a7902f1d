// Linux side of the test helpers: posix_spawn with pipes, /proc/self/exe, mkdtemp.
#include "support/test_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <signal.h>
#include <cstddef>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

extern char** environ;

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (rc != 0) {
        close(in[1]);
        close(out[0]);
        close(err[0]);
        result.err = "spawn failed";
        return result;
    }
    // Feed the input and drain both outputs together so that no pipe fills up and blocks.
    size_t written = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    }
    fcntl(in[1], F_SETFL, O_NONBLOCK);
    bool outOpen = true, errOpen = true;
    while (outOpen || errOpen || in[1] >= 0) {
        pollfd fds[3] = {{outOpen ? out[0] : -1, POLLIN, 0},
                         {errOpen ? err[0] : -1, POLLIN, 0},
                         {in[1], POLLOUT, 0}};
        if (poll(fds, 3, -1) < 0 && errno != EINTR) break;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents == 0) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else {
                (i == 0 ? outOpen : errOpen) = false;
            }
        }
        if (in[1] >= 0 && fds[2].revents != 0) {
            ssize_t n = write(in[1], input.data() + written, input.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    close(out[0]);
    close(err[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

struct ChildProcess {
    pid_t pid;
};

ChildProcess* StartProcessWithOutput(const std::vector<std::string>& argv,
                                     const std::string& outputFile) {
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? new ChildProcess{pid} : nullptr;
}

ChildProcess* StartProcess(const std::vector<std::string>& argv) {
    return StartProcessWithOutput(argv, "");
}

bool CanPressCtrlC() {
    return true;
}

bool IsolatedFromMachine(std::string* why) {
    const char* marker = std::getenv("QVL_TEST_NAMESPACE");
    if (marker && std::strcmp(marker, "1") == 0) return true;
    *why =
        "not in PID and network namespaces of the suite's own (run it through "
        "tests/support/isolate.sh): it would end processes by name or take the "
        "controller's pipe names on this machine";
    return false;
}

std::uint32_t ChildProcessId(ChildProcess* child) {
    return static_cast<std::uint32_t>(child->pid);
}

void TerminateChild(ChildProcess* child) {
    kill(child->pid, SIGKILL);
}

int WaitProcess(ChildProcess* child) {
    if (!child) return -1;
    int status = 0;
    while (waitpid(child->pid, &status, 0) < 0 && errno == EINTR) {
    }
    delete child;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void RequestStop(ChildProcess* child, const std::string&) {
    if (child) kill(child->pid, SIGINT);
}

RenameBlocker::RenameBlocker(const std::string& logPath, const std::string& rotationPath)
    : logPath_(logPath), rotationPath_(rotationPath), active_(true) {
    std::filesystem::create_directories(rotationPath + "/keep");
}

void RenameBlocker::Release() {
    if (!active_) return;
    std::error_code ec;
    std::filesystem::remove_all(rotationPath_, ec);
    active_ = false;
}

std::string OtherWidthJobStarter(std::string* why) {
    *why = "another width is the Windows build's case";
    return "";
}

std::string BinDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/'));
}

std::string ExecutableFileName(const std::string& baseName) {
    return baseName;
}

std::string BuiltExecutable(const std::string& baseName) {
    return BinDir() + "/" + baseName;
}

std::string JoinPath(const std::string& dir, const std::string& name) {
    return dir + "/" + name;
}

std::vector<std::uint32_t> ProcessesOf(const std::string& path) {
    std::vector<std::uint32_t> found;
    DIR* proc = opendir("/proc");
    if (!proc) return found;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        const unsigned long pid = std::strtoul(e->d_name, &end, 10);
        if (*end != '\0' || pid == 0) continue;
        char target[4096];
        const std::string link = std::string("/proc/") + e->d_name + "/exe";
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path)
            found.push_back(static_cast<std::uint32_t>(pid));
    }
    closedir(proc);
    return found;
}

std::string CurrentDirectory() {
    return std::filesystem::current_path().string();
}

TempDir::TempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/qvltest.XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

// systemd has booted when /run/systemd/system exists (its own test, as sd_booted does). The
// namespace's fixture marks the tests that it runs, so that a machine's own systemd never
// gets test units.
bool ServiceManagerRuns() {
    struct stat st {};
    return stat("/run/systemd/system", &st) == 0 && S_ISDIR(st.st_mode);
}

bool HasServiceManager() {
    const char* marker = std::getenv("QVL_TEST_SYSTEMD_NAMESPACE");
    return marker != nullptr && std::strcmp(marker, "1") == 0 && ServiceManagerRuns();
}

bool StartInstalledService(const std::string& name) {
    return RunProcess({"systemctl", "start", "--no-block", name + ".service"}).exitCode == 0;
}

std::string RunServiceUnderAccount(const std::string& name, const std::string& environment) {
    const std::string dropIns = "/etc/systemd/system/" + name + ".service.d";
    std::filesystem::create_directories(dropIns);
    std::ofstream(dropIns + "/zz-test-account.conf")
        << "[Service]\nUser=nobody\nEnvironment=" << environment << "\n";
    RunProcess({"systemctl", "daemon-reload"});
    return "nobody";
}

bool SystemJudgesAccountRights() {
    return true;
}

bool StopInstalledService(const std::string& name) {
    return RunProcess({"systemctl", "stop", name + ".service"}).exitCode == 0;
}

bool QueryInstalledService(const std::string& name, InstalledService* out) {
    const ProcessResult r = RunProcess(
        {"systemctl", "show", name + ".service", "--property=LoadState", "--property=ActiveState",
         "--property=ExecMainStatus", "--property=StatusText", "--property=UnitFileState",
         "--property=Restart", "--property=MainPID", "--property=SubState"});
    if (r.exitCode != 0) return false;
    std::map<std::string, std::string> values;
    std::istringstream lines(r.out);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (values["LoadState"] != "loaded") return false;
    // Waiting for its restart after a failure, a unit counts as stopped (as on Windows).
    const std::string active =
        values["SubState"] == "auto-restart" ? "inactive" : values["ActiveState"];
    out->state = active == "active"         ? 4
                 : active == "activating"   ? 2
                 : active == "deactivating" ? 3
                                            : 1;
    out->exitCode = static_cast<unsigned>(std::atoi(values["ExecMainStatus"].c_str()));
    out->specificCode = 0;
    out->failed = active == "failed";
    out->startsAtBoot = values["UnitFileState"] == "enabled";
    out->statusText = values["StatusText"];
    out->restartsAfterFailure = values["Restart"] == "on-failure";
    out->pid = static_cast<unsigned>(std::atoi(values["MainPID"].c_str()));
    return true;
}

bool ShortenRestartDelay(const std::string& name, bool undo) {
    const std::string dir = "/etc/systemd/system/" + name + ".service.d";
    if (undo) {
        std::filesystem::remove_all(dir);
    } else {
        std::filesystem::create_directories(dir);
        WriteFileBytes(dir + "/zz-test-delay.conf", "[Service]\nRestartSec=1s\n");
    }
    return RunProcess({"systemctl", "daemon-reload"}).exitCode == 0;
}

bool EventSourceMessageFile(const std::string&, std::string*) {
    return false;
}

std::string ModuleMessageText(const std::string&, unsigned, const std::vector<std::string>&) {
    return "";
}

void SetEnvironment(const std::string& name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name.c_str());
    } else {
        setenv(name.c_str(), value.c_str(), 1);
    }
}

bool IsRoot() {
    return getuid() == 0;
}

std::vector<std::string> AsNobody(const std::vector<std::string>& argv) {
    std::vector<std::string> args = argv;
    if (IsRoot()) {
        args.insert(args.begin(),
                    {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    return args;
}

bool RunWithoutAdministratorRights(const std::vector<std::string>& argv, ProcessResult* result) {
    *result = RunProcess(AsNobody(argv));
    return true;
}

const bool kSystemd = true;
const char* const kServiceExistsCode = "0x11";  // EEXIST: the unit file exists
const char* const kAccessDeniedCode = "0xd";    // EACCES
const char* const kServiceMissingCode = "0x2";  // ENOENT: no such unit file
