// Job starter identity from a process's facts (see job_starter_identity.h).
#include "supervision/job_starter_identity.h"

#include <cstdlib>

#include "platform/ascii_text.h"
#include "platform/processes.h"

namespace {

bool IsImage(const std::string& word, const char* image) {
    const std::string base = BaseNameOf(word);
    return !base.empty() && EqualsIgnoringAsciiCase(base.c_str(), image);
}

// True when word `k` is a script that the words before it run: the kernel runs a script as
// "INTERPRETER [OPTION] SCRIPT ARGS", and env, when it is the interpreter, runs the named
// program as "PROGRAM [OPTIONS] SCRIPT ARGS"; so every word before the script is, by its base
// name, one of the words of the script's "#!" line. A program that merely names the file (an
// editor, a pager) is not among them.
bool IsScriptRunBy(const std::vector<std::string>& words, std::size_t k,
                   const ScriptLineReader& readScriptLine) {
    const std::vector<std::string> shebang = readScriptLine(words[k]);
    if (shebang.empty()) return false;
    for (std::size_t i = 0; i < k; ++i) {
        for (const std::string& part : SplitAtBlanks(words[i])) {
            bool named = false;
            for (const std::string& s : shebang)
                named = named || BaseNameOf(s) == BaseNameOf(part);
            if (!named) return false;
        }
    }
    return true;
}

}  // namespace

std::string BaseNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

Identity IdentifyAs(const ProcessFacts& facts, const char* image, const std::string& ownAccount,
                    std::size_t ownDepth, const ScriptLineReader& readScriptLine) {
    Identity id;
    id.named = IsImage(facts.executablePath, image);
    id.ownNamespace =
        facts.namespaceDepth == 0 || ownDepth == 0 || facts.namespaceDepth == ownDepth;
    id.ownAccount = !facts.account.empty() && facts.account == ownAccount;
    id.argumentsKnown = facts.commandLineKnown && !facts.words.empty();
    if (!id.argumentsKnown) return id;
    const std::vector<std::string>& words = facts.words;
    std::size_t program = 0;
    if (IsImage(words[0], image)) {
        id.named = true;
    } else if (id.ownAccount) {
        for (std::size_t k = 1; k < words.size() && k <= kMaxWordsBeforeScript; ++k) {
            if (IsImage(words[k], image) && IsScriptRunBy(words, k, readScriptLine)) {
                program = k;
                id.named = true;
                break;
            }
        }
    }
    for (std::size_t i = program + 1; i < words.size(); ++i) {
        if (!id.arguments.empty()) id.arguments += ' ';
        id.arguments += words[i];
    }
    return id;
}

TakeOver DecideTakeOver(const TakeOverFacts& f) {
    if (!f.keyOn) return TakeOver::kKeyOff;
    if (f.pid == 0) return TakeOver::kNoRecord;
    if (!f.runs) return TakeOver::kEnded;
    if (!f.sameProcess) return TakeOver::kOtherProcess;
    if (f.account.empty() || f.account != f.ownAccount) return TakeOver::kOtherAccount;
    const Identity& id = f.identity;
    if (!id.named || !id.ownNamespace || !id.argumentsKnown ||
        InstanceArgument(id.arguments) != f.instance) {
        return TakeOver::kNotThisInstance;
    }
    return TakeOver::kTaken;
}

long InstanceArgument(const std::string& arguments) {
    constexpr std::size_t kMaxDigits = 9;  // an instance number fits a 32-bit long
    const std::string first = arguments.substr(0, arguments.find_first_of(" \t"));
    if (first.empty() || first.size() > kMaxDigits ||
        first.find_first_not_of("0123456789") != std::string::npos) {
        return kNoInstanceArgument;
    }
    return std::atol(first.c_str());
}
