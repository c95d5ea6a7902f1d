// The reports of hung job starters (see hang_report.h).
#include "supervision/hang_report.h"

#include <algorithm>
#include <ctime>
#include <vector>

#include "config/configuration.h"
#include "log/log_file.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "service/service_identity.h"
#include "service/version.h"
#include "supervision/job_starter_identity.h"

namespace {

std::string UtcTime(const char* format) {
    const std::time_t now = std::time(nullptr);
    char text[32] = "";
    if (const std::tm* tm = std::gmtime(&now)) std::strftime(text, sizeof text, format, tm);
    return text;
}

// The folder with a separator of its own kind at its end.
std::string Folder(const std::string& dir) {
    const char last = dir.back();
    if (last == '/' || last == '\\') return dir;
    return dir + (dir.find('\\') != std::string::npos ? "\\" : "/");
}

// The instance's reports begin so; the time after it orders them.
std::string Prefix(const std::string& instanceText) {
    return "QVLJOBCTL" + instanceText + "_";
}

// What the report says before the frames: whose it is, when, and the job starter's children
// (a hang is often a child's).
std::string Header(const HangReports& r, const std::string& commandLine) {
    std::string text = "Hang report of the job starter " + commandLine + ", process " +
                       std::to_string(r.pid) + ", by " + gServiceIdentity.serviceName + " (" +
                       BuildVersion() + ")\nWritten " + UtcTime("%Y-%m-%d %H:%M:%S") +
                       " UTC, as it stayed silent past its heartbeat time-out.\nChildren:";
    std::vector<ProcessEntry> all;
    bool any = false;
    if (PlatformListProcesses(&all)) {
        for (const ProcessEntry& p : all) {
            if (p.parentPid != r.pid || p.pid == r.pid) continue;
            ProcessFacts facts;
            std::string name = p.imageHint;
            if (name.empty() && PlatformProcessFacts(p.pid, &facts))
                name = BaseNameOf(facts.executablePath);
            text += "\n  " + std::to_string(p.pid) + " " + (name.empty() ? "?" : name);
            any = true;
        }
    }
    return text + (any ? "\n" : " none\n");
}

void SayOnce(HangReports* r, const std::string& why) {
    if (r->failureSaid) return;
    r->failureSaid = true;
    WriteLogFormatted("Prozess %s  PID(%ld): kein Bericht ueber den Haenger: %s. \n",
                      r->image.c_str(), static_cast<long>(r->pid), why.c_str());
}

// A relative folder is the controller's own folder's (it runs there): said whole in the log,
// the journal and -status, so that whoever reads it finds the reports.
std::string WholeFolder(const std::string& dir) {
    const bool relative =
        !dir.empty() && dir[0] != '/' && dir[0] != '\\' && (dir.size() < 2 || dir[1] != ':');
    char exe[kPathBytes];
    if (!relative || !PlatformExecutablePath(exe, sizeof exe)) return dir;
    const std::string self = exe;
    const std::size_t slash = self.find_last_of("/\\");
    if (slash == std::string::npos) return dir;
    const bool dotted = dir.size() >= 2 && dir[0] == '.' && (dir[1] == '/' || dir[1] == '\\');
    return self.substr(0, slash + 1) + dir.substr(dotted ? 2 : 0);
}

// The instance's newest `keep` reports within the cap; the oldest are removed first.
void KeepBounded(const HangReports& r, std::uint32_t keep) {
    std::vector<FolderFile> files;
    if (!PlatformListFolder(r.dir.c_str(), &files)) return;
    const std::string prefix = Prefix(r.instanceText), extension = PlatformHangReportExtension();
    std::vector<FolderFile> mine;
    for (const FolderFile& f : files) {
        if (f.name.compare(0, prefix.size(), prefix) == 0 && f.name.size() > extension.size() &&
            f.name.compare(f.name.size() - extension.size(), extension.size(), extension) == 0)
            mine.push_back(f);
    }
    std::sort(mine.begin(), mine.end(),
              [](const FolderFile& a, const FolderFile& b) { return a.name > b.name; });
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < mine.size(); ++i) {
        total += mine[i].bytes;
        if (i >= keep || (i > 0 && total > kHangReportsCapBytes))
            PlatformDeleteFile((Folder(r.dir) + mine[i].name).c_str());
    }
}

}  // namespace

std::string HangReportPath(const std::string& dir, const std::string& instanceText,
                           const std::string& who) {
    return Folder(dir) + Prefix(instanceText) + UtcTime("%Y%m%d-%H%M%S") + "_" + who +
           PlatformHangReportExtension();
}

void BeginHangReports(HangReports* reports, const std::string& dir, std::uint32_t keep,
                      const std::string& instanceText) {
    PlatformEndHangCapture(reports->capture);
    *reports = HangReports{};
    reports->dir = WholeFolder(dir);
    reports->keep = keep;
    reports->instanceText = instanceText;
}

bool StartHangReport(HangReports* r, const std::string& image, const std::string& commandLine,
                     std::uint32_t pid) {
    r->image = image;
    r->pid = pid;
    std::string why;
    if (pid == 0) return false;
    if (!PlatformPrivateFolder(r->dir.c_str(), &why)) {
        SayOnce(r, "the folder " + r->dir + " is refused: " + why);
        return false;
    }
    // Room for the new report is made first: in a full folder (a full disk) with QVLDUMPKEEP=1
    // no report could ever be written if the old ones went only after the new one.
    KeepBounded(*r, r->keep - 1);
    r->path = HangReportPath(r->dir, r->instanceText, std::to_string(pid));
    r->capture = PlatformStartHangCapture(pid, r->path, Header(*r, commandLine), &why);
    if (!r->capture) SayOnce(r, why);
    return r->capture != nullptr;
}

bool HangReportFinished(HangReports* r) {
    bool ok = false;
    std::string why;
    return r->capture == nullptr || PlatformHangCaptureDone(r->capture, &ok, &why);
}

std::string EndHangReport(HangReports* r, bool abandoned) {
    if (!r->capture) return "";
    bool ok = false;
    std::string why;
    const bool done = PlatformHangCaptureDone(r->capture, &ok, &why);
    PlatformEndHangCapture(r->capture);
    r->capture = nullptr;
    if (!done) {
        SayOnce(r, abandoned ? "abandoned at its time limit, or for a stop" : "abandoned");
        return "";
    }
    if (!ok) {
        SayOnce(r, why);
        return "";
    }
    // The folder is kept bounded before the report is named: whoever reads the line finds
    // the folder as it stays.
    KeepBounded(*r, r->keep);
    WriteLogFormatted("Prozess %s  PID(%ld) haengt: Bericht %s geschrieben. \n", r->image.c_str(),
                      static_cast<long>(r->pid), r->path.c_str());
    return r->path;
}
