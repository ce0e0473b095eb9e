#pragma once

#include "common/program_home.h"
#include "records/command_line.h"

// Carries out an export or a backup the command line asked for, without a window: messages on
// stderr, the catalogue of `home` as the window reads it. Returns the exit status: 0 done,
// 1 failed (the reason on stderr).
int RunCommandLine(int& argc, char** argv, const TCommandLine& line, const TProgramHome& home);
