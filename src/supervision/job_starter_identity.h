// Whether a running process is a job starter, decided from the raw facts the platform gives
// about it (platform/processes.h), the same way on both systems. Pure: what a script's "#!"
// line says is asked through the reader the caller hands in.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/processes.h"

// How many words of a command line may stand before a script's path: the interpreter, env,
// and their options ("/bin/sh -e SCRIPT", "/usr/bin/env -S python3 -u SCRIPT").
constexpr std::size_t kMaxWordsBeforeScript = 4;
// The instance argument of a process started without a number as its first argument.
constexpr long kNoInstanceArgument = -1;

// The words of the "#!" line of the file at `path` that the process names on its command line
// (PlatformScriptLine in the product); none when it is no script.
using ScriptLineReader = std::function<std::vector<std::string>(const std::string& path)>;

// Who a process is, asked about one image name.
struct Identity {
    bool named = false;  // one of its two names is the image name
    // Whether its command line could be read; when not, its arguments are unknown, never
    // taken as empty.
    bool argumentsKnown = false;
    std::string arguments;     // the words after its program, separated by blanks
    bool ownNamespace = true;  // of the asker's PID namespace (always so on Windows)
    // Of the asker's own account (the one the controller starts the job starter under). A
    // process of another account is never the job starter, whatever it is named; one whose
    // account cannot be told is not taken for it either.
    bool ownAccount = true;
};

// The process of `facts` asked about image name `image` (compared without regard to case),
// by an asker of account `ownAccount` in a PID namespace of depth `ownDepth` (0: unknown).
// Its two names are its
// executable's base name and the program it was started as: its command line's first word
// (a link keeps the link's name there), or for a script run through its "#!" line the
// script, wherever the interpreter, env and their options put it: a word is the script when
// every word before it is, by its base name, one of the words of that file's "#!" line. Only
// a word whose base name is `image` is ever asked about as a script, and only for a process
// of the asker's own account, so that no file another account names is ever opened.
Identity IdentifyAs(const ProcessFacts& facts, const char* image, const std::string& ownAccount,
                    std::size_t ownDepth, const ScriptLineReader& readScriptLine);

// Whether a starting controller takes over the job starter its previous run recorded (with
// QVLADOPT=1), decided from what it found of that process; every answer but kTaken says why
// not, and the first pass then runs as ever.
enum class TakeOver {
    kTaken,
    kKeyOff,           // QVLADOPT is 0
    kNoRecord,         // no believed state file, or one that records no job starter
    kEnded,            // no process has the recorded id
    kOtherProcess,     // the id is another process's by now (another creation time)
    kOtherAccount,     // it runs under another account than the controller's
    kNotThisInstance,  // not named as the job starter, or not with this instance's argument
};
struct TakeOverFacts {
    bool keyOn = false;
    std::uint32_t pid = 0;     // the recorded job starter (0: none)
    bool runs = false;         // a process with that id runs
    bool sameProcess = false;  // it has the recorded creation time
    std::string account;       // its account, asked of that very process ("" unknown)
    std::string ownAccount;
    Identity identity;                    // who it is, asked about the job starter's image
    long instance = kNoInstanceArgument;  // the instance argument the job starter has
};
TakeOver DecideTakeOver(const TakeOverFacts& facts);

// The instance argument of a process started with `arguments`: its first argument when that
// is a plain decimal number of at most nine digits (a numbered controller always gives its
// job starter one), else kNoInstanceArgument.
long InstanceArgument(const std::string& arguments);

// The base name of a path, after its last '/' or '\'.
std::string BaseNameOf(const std::string& path);
