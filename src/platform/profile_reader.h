// The project's own reader of INI ("profile") files, with the rules of the Windows profile
// API as far as the controller can see them. The Linux build reads the controller's INI file
// with it; the Windows build uses the system's reader, against which a test compares this one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Copies the value of `key` in `section` of the INI file at `path` into `out` (room `size`
// including the terminator), or `def` when the file, the section or the key is missing.
// Section and key names compare without regard to case; blanks around names and values are
// trimmed; a value wrapped in matching single or double quotes is unwrapped; the first
// matching section and key win. The copy is cut to size-1 characters. Returns the number of
// characters copied, without the terminator.
std::uint32_t ProfileReadString(const char* section, const char* key, const char* def, char* out,
                                std::uint32_t size, const char* path);
// The names of the keys in the first section named `section`, in file order; empty when
// the file or the section is missing.
std::vector<std::string> ProfileKeyNames(const char* section, const char* path);
