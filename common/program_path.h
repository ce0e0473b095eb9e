#pragma once

#include <string>

// Full path of the running program (from /proc/self/exe), e.g. "/opt/ktev/ktev".
// Falls back to "./ktev" when the link cannot be read.
std::string ProgramPath();

// The folder of the running program, without a trailing "/".
std::string ProgramDir();

// The folder of a file's path, without a trailing "/": "/opt/ktev/ktev" gives "/opt/ktev",
// "/ktev" gives "/", a bare name gives ".".
std::string DirOf(const std::string& path);
