// WriteLog per entry beside the least any logger that opens and closes the file per entry
// must do: open for appending, write the same stamped CR LF line, close.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "config/configuration.h"
#include "log/log_file.h"

namespace {

const char kText[] = "Prozess QVLJOBSTR_ORACLE.EXE 7   PID(12345) erstellt. \n";

std::string BenchPath(const char* name) {
    return std::string("/tmp/qvl_log_bench.") + name;
}

void WriteLog_PerEntry(benchmark::State& state) {
    const std::string path = BenchPath("ours");
    std::snprintf(gControllerSettings.logPath, kPathBytes, "%s", path.c_str());
    std::snprintf(gControllerSettings.rotationPath, kPathBytes, "%s.old", path.c_str());
    unlink(path.c_str());
    for (auto _ : state)
        WriteLog(kText);
    unlink(path.c_str());
    unlink(gControllerSettings.rotationPath);
}

void Baseline_OpenWriteClose(benchmark::State& state) {
    const std::string path = BenchPath("baseline");
    unlink(path.c_str());
    for (auto _ : state) {
        std::time_t now = std::time(nullptr);
        std::tm tm;
        localtime_r(&now, &tm);
        char line[600];
        int n = static_cast<int>(std::strftime(line, 20, "%Y-%m-%d %H:%M:%S", &tm));
        n += std::snprintf(line + n, sizeof line - n, "  %.*s\r\n",
                           static_cast<int>(sizeof kText - 2), kText);
        int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        benchmark::DoNotOptimize(write(fd, line, n));
        close(fd);
    }
    unlink(path.c_str());
}

}  // namespace

BENCHMARK(WriteLog_PerEntry);
BENCHMARK(Baseline_OpenWriteClose);
BENCHMARK_MAIN();
