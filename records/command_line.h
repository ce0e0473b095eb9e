#pragma once

// The program's work without a window: an export of records or a copy of the database,
// asked for on the command line.

#include <span>
#include <string>

#include "database/record_filter.h"
#include "records/record_export.h"

struct TCommandLine {
    enum class TAction { Window, Help, Export, Backup };
    TAction action = TAction::Window;
    TExportFormat format = TExportFormat::Csv;
    // --home: the folder of the files that change; empty: KTEV_HOME, else the program's folder.
    std::string home;
    std::string db;
    std::string out;
    // Every record type unless --types names some.
    TRecordFilter filter;
};

// The usage text the program prints for --help and after a bad argument.
extern const char* const COMMAND_LINE_USAGE;

// Parses the arguments after the program's name. Without --export, --backup or --help the
// window starts (`action` Window) and the arguments besides --home are the toolkit's. False with
// `error` saying why for an unknown or missing argument, a bad value, a period that ends before it
// starts.
bool ParseCommandLine(std::span<const std::string> args, TCommandLine& line, std::string& error);
