// Libraries that only an optional feature needs, loaded when the feature is first used, so
// that a controller that never uses it neither maps them nor carries their memory: the
// journal's (warning events, and a service's job starter's output) and elfutils' unwinder
// (hang reports). Each is loaded once, by whichever thread comes first, and stays loaded.
// Where a library or one of its functions cannot be had, the loader gives null and the
// reason; the feature then fails as it fails for any other reason.
#pragma once

#include <elfutils/libdwfl.h>
#include <systemd/sd-journal.h>

#include <string>

struct JournalLibrary {
    decltype(&sd_journal_sendv) sendv;
    decltype(&sd_journal_stream_fd) streamFd;
};
const JournalLibrary* LoadJournalLibrary(std::string* why);

// The unwinder's functions, by their own names.
// clang-format off
#define QVL_UNWINDER_FUNCTIONS(X) \
    X(dwfl_addrmodule) \
    X(dwfl_begin) \
    X(dwfl_end) \
    X(dwfl_errmsg) \
    X(dwfl_frame_pc) \
    X(dwfl_frame_thread) \
    X(dwfl_getthreads) \
    X(dwfl_linux_proc_attach) \
    X(dwfl_linux_proc_find_elf) \
    X(dwfl_linux_proc_report) \
    X(dwfl_module_addrname) \
    X(dwfl_module_build_id) \
    X(dwfl_module_getelf) \
    X(dwfl_module_info) \
    X(dwfl_report_end) \
    X(dwfl_standard_find_debuginfo) \
    X(dwfl_thread_dwfl) \
    X(dwfl_thread_getframes) \
    X(dwfl_thread_tid)
// clang-format on
struct UnwinderLibrary {
#define QVL_UNWINDER_MEMBER(name) decltype(&::name) name;
    QVL_UNWINDER_FUNCTIONS(QVL_UNWINDER_MEMBER)
#undef QVL_UNWINDER_MEMBER
    Dwfl_Callbacks callbacks;  // a live process's modules, their debug information found
};
const UnwinderLibrary* LoadUnwinderLibrary(std::string* why);
