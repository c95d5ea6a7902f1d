// The version this build was made from: the project's version, or the one given when the
// build was configured (QVL_VERSION), so that -version and the packages always agree.
#pragma once

const char* BuildVersion();
// Prints "<program> <version>" when `arg` asks for the version ("-version", "/version" or
// "--version", in any letter case); true then.
bool PrintVersionIfAsked(const char* program, const char* arg);
