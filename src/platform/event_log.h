// The event-log port: the system's log of a service's troubles and its restarts (Windows'
// event log; on Linux syslog, facility daemon, for errors and the journal for the rest), and the
// registration that lets the event viewer show the controller's entries as text.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Registers event source `source` under the Application log with its message texts in
// `messageFile` (Windows: the registry key the event viewer reads, with EventMessageFile
// and TypesSupported; Linux: syslog needs none, nothing to do). False, with the last error
// set, when it could not be registered; nothing is left half made.
bool PlatformRegisterEventSource(const char* source, const char* messageFile);
// Deletes that registration; true also when there was none.
bool PlatformDeregisterEventSource(const char* source);
// Writes one error entry with two insertion strings under the event source `source`. False
// when no source could be opened; the entry is then not written.
bool PlatformReportErrorEvent(const char* source, const char* line, const char* text);

// One warning entry of its own kind (a restart, a KILL that failed, a forced end) under the
// event source `source`. Windows: event `messageId` of the message table in the executable,
// with `inserts` as its insertion strings %1, %2, ... in order. Linux: a journal entry with
// MESSAGE=`text` (the same message with the inserts in place), MESSAGE_ID=`journalId`,
// PRIORITY=warning, SYSLOG_IDENTIFIER=`source` and `fields` (name, value) as fields of their
// own. False when the entry could not be handed over.
struct WarningEntry {
    std::uint32_t messageId;
    const char* journalId;
    std::string text;
    std::vector<std::string> inserts;
    std::vector<std::pair<std::string, std::string>> fields;
};
bool PlatformReportWarningEvent(const char* source, const WarningEntry& entry);
