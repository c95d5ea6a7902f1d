// The event-log port: the system's log of a service's troubles (Windows' event log; syslog,
// facility daemon, on Linux), and the registration that lets the event viewer show the
// controller's entries as text.
#pragma once

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
