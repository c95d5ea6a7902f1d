// Scratch installations for the black-box tests (see installation.h).
#include "support/installation.h"

#include "config/protected_settings.h"
#include "config/settings_cipher.h"
#include "support/test_support.h"

std::string SettingsFileFor(const std::string& database) {
    std::vector<char> stored(StoredFormChars(static_cast<int>(database.size())));
    EncryptToHex(database.c_str(), stored.data(), kProtectedValueKey);
    return ";DB;\r\n0;DB_SYSTEM;" + std::string(stored.data()) + "\r\n";
}

std::vector<std::string> LogTexts(const std::string& logPath) {
    constexpr size_t kStampAndBlanks = 21;
    std::vector<std::string> texts;
    const std::string log = ReadFileBytes(logPath);
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find("\r\n", pos);
        if (end == std::string::npos) end = log.size();
        texts.push_back(end - pos > kStampAndBlanks
                            ? log.substr(pos + kStampAndBlanks, end - pos - kStampAndBlanks)
                            : "");
        pos = end + 2;
    }
    return texts;
}

std::string LayOutInstallation(const std::string& dir, const std::string& jobStarter,
                               const std::string& standIn) {
    const std::string name = FileExists(BuiltExecutable("QVLJOBCTL")) ? "QVLJOBCTL" : "qvljobctl";
    const std::string controller = JoinPath(dir, ExecutableFileName(name));
    const bool copied =
        CopyFileTo(BuiltExecutable(standIn.empty() ? name : standIn), controller) &&
        CopyFileTo(BuiltExecutable("KILL"), JoinPath(dir, ExecutableFileName("KILL"))) &&
        CopyFileTo(BuiltExecutable(jobStarter), JoinPath(dir, "QVLJOBSTR_ORACLE.EXE"));
    WriteFileBytes(JoinPath(dir, "QUARVELIN.INI"), SettingsFileFor("Oracle"));
    return copied ? controller : "";
}
