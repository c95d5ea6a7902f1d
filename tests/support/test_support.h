// Helpers shared by the test executables: real child processes with captured output,
// scratch directories, whole-file reads and writes, and where the built executables are.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with the given arguments, feeds `input` to its standard input and
// waits for it to end. Output is captured byte for byte (no text-mode translation here).
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& input = "");

// The directory holding the running test executable (and every other built executable).
std::string BinDir();
// Path of a built executable by its base name: "qvlcrypt" -> bin/qvlcrypt[.exe],
// "KILL" -> bin/KILL[.EXE].
std::string BuiltExecutable(const std::string& baseName);
// File name of an executable as the platform spells it ("QVLJOBSTR_ORACLE" ->
// "QVLJOBSTR_ORACLE.EXE" on Windows, unchanged on Linux).
std::string ExecutableFileName(const std::string& baseName);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool FileExists(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
std::string CurrentDirectory();
bool CopyFileTo(const std::string& from, const std::string& to);

// A fresh directory under the system's temporary folder, removed with its content at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return JoinPath(path_, name); }

private:
    std::string path_;
};
