// qvlcrypt: the administrator's tool for the suite's settings file. It turns a text into the
// stored (encrypted, hex-encoded) form, back again, or prints a whole two-line record that
// the controller's settings reader finds by section, id or key.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "service/version.h"
#include "config/protected_settings.h"
#include "config/settings_cipher.h"

namespace {

constexpr int kExitOk = 0, kExitBadInput = 1, kExitUsage = 2;

const char kUsage[] =
    "usage: qvlcrypt [--key KEYTEXT] encrypt TEXT\n"
    "       qvlcrypt [--key KEYTEXT] decrypt STORED\n"
    "       qvlcrypt [--key KEYTEXT] record SECTION ID KEY TEXT\n"
    "       qvlcrypt --help\n"
    "\n"
    "encrypt  prints the stored form of TEXT (upper-case hexadecimal, 16 digits per block)\n"
    "decrypt  prints the text of a stored form\n"
    "record   prints the two lines of one settings-file record: ;SECTION; and ID;KEY;STORED\n"
    "A '-' in place of TEXT or STORED reads one line from standard input.\n"
    "The default key is the suite's own; --key replaces it.\n"
    "Exit status: 0 done, 1 input that cannot be used, 2 wrong command line.\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

int Refuse(const std::string& what) {
    std::fprintf(stderr, "qvlcrypt: %s\n", what.c_str());
    return kExitBadInput;
}

// TEXT or STORED as given, or one line of standard input when the argument is "-".
std::string Argument(const char* arg) {
    if (std::strcmp(arg, "-") != 0) return arg;
    std::string line;
    int c;
    while ((c = std::getchar()) != EOF && c != '\n')
        line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string Encrypt(const std::string& text, const char* key) {
    std::vector<char> out(StoredFormChars(static_cast<int>(text.size())));
    EncryptToHex(text.c_str(), out.data(), key);
    return out.data();
}

// Why `stored` is not a stored form, or empty when it is one.
std::string StoredFormProblem(const std::string& stored) {
    if (stored.empty()) return "empty stored form";
    for (char c : stored) {
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) {
            return "not upper-case hexadecimal: '" + std::string(1, c) + "'";
        }
    }
    if (stored.size() % kStoredBlockChars != 0) {
        return "length " + std::to_string(stored.size()) + " is not a multiple of 16";
    }
    return "";
}

bool HasFieldBreak(const std::string& s) {
    return s.find_first_of(";\r\n") != std::string::npos;
}

bool IsDecimal(const std::string& s) {
    size_t i = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
    if (i >= s.size() || s.size() > kProtectedIdChars) return false;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
    }
    return true;
}

int Record(const std::string& section, const std::string& id, const std::string& key,
           const std::string& text, const char* cipherKey) {
    if (HasFieldBreak(section)) return Refuse("SECTION must not hold ';' or a line end");
    if (HasFieldBreak(key)) return Refuse("KEY must not hold ';' or a line end");
    if (HasFieldBreak(text)) return Refuse("TEXT must not hold ';' or a line end");
    if (!IsDecimal(id)) return Refuse("ID must be a decimal number of at most 11 characters");
    if (section.size() > kProtectedFieldChars || key.size() > kProtectedFieldChars) {
        return Refuse("SECTION and KEY hold at most 200 characters");
    }
    if (text.size() > kProtectedTextChars) {
        return Refuse("TEXT holds at most " + std::to_string(kProtectedTextChars) +
                      " characters in a settings file");
    }
    std::printf(";%s;\n%s;%s;%s\n", section.c_str(), id.c_str(), key.c_str(),
                Encrypt(text, cipherKey).c_str());
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && PrintVersionIfAsked("qvlcrypt", argv[1])) return 0;
    std::string key = kProtectedValueKey;
    int i = 1;
    if (i < argc && std::strcmp(argv[i], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (i + 1 < argc && std::strcmp(argv[i], "--key") == 0) {
        key = argv[i + 1];
        i += 2;
    }
    if (i >= argc) return Usage();
    const std::string command = argv[i++];
    const int rest = argc - i;
    if (command == "encrypt" && rest == 1) {
        std::printf("%s\n", Encrypt(Argument(argv[i]), key.c_str()).c_str());
        return kExitOk;
    }
    if (command == "decrypt" && rest == 1) {
        const std::string stored = Argument(argv[i]);
        const std::string problem = StoredFormProblem(stored);
        if (!problem.empty()) return Refuse(problem);
        std::vector<char> out(DecryptedBytes(static_cast<int>(stored.size())));
        DecryptFromHex(stored.c_str(), out.data(), key.c_str());
        std::printf("%s\n", out.data());
        return kExitOk;
    }
    if (command == "record" && rest == 4) {
        return Record(argv[i], argv[i + 1], argv[i + 2], Argument(argv[i + 3]), key.c_str());
    }
    return Usage();
}
