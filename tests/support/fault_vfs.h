#pragma once

// A pass-through SQLite file system that can be told to fail writes, installed as the default
// one so that the program's own TSQLite opens through it unchanged.
//
// It exists because the tests run as root in CI: chmod does not stop root from writing, and a
// size-limited mount may not be allowed there, so a read-only or full disk is made at the
// lowest seam instead: the writes SQLite hands to the operating system.
enum class TWriteFault {
    None,
    DiskFull, // every write fails as on a full disk (SQLITE_FULL)
    ReadOnly, // every write is refused as on a file that may not be written (SQLITE_READONLY)
};

// Installs the shim (once per process) and sets what writes do from now on; any thread.
void SetWriteFault(TWriteFault fault);
// How many times a write-ahead log opened through the shim was flushed to the disk.
int WalFlushes();
