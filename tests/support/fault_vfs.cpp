#include "support/fault_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<TWriteFault> write_fault{TWriteFault::None};
std::atomic<int> wal_flushes{0};

sqlite3_vfs* real_vfs = nullptr;
sqlite3_vfs fault_vfs;

// Our file handle, followed in the same allocation by the real file system's handle.
struct TFaultFile {
    sqlite3_file base;
    sqlite3_file* real;
    bool wal;
};

sqlite3_file* Real(sqlite3_file* file) {
    return reinterpret_cast<TFaultFile*>(file)->real;
}

int Close(sqlite3_file* f) {
    return Real(f)->pMethods->xClose(Real(f));
}
int Read(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    return Real(f)->pMethods->xRead(Real(f), buffer, amount, offset);
}
int Write(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    switch (write_fault.load()) {
    case TWriteFault::DiskFull:
        return SQLITE_FULL;
    case TWriteFault::ReadOnly:
        return SQLITE_READONLY;
    case TWriteFault::None:
        break;
    }
    return Real(f)->pMethods->xWrite(Real(f), buffer, amount, offset);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
    if (reinterpret_cast<TFaultFile*>(f)->wal) {
        ++wal_flushes;
    }
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int Unlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int DeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
    Real(f)->pMethods->xShmBarrier(Real(f));
}
int ShmUnmap(sqlite3_file* f, int remove) {
    return Real(f)->pMethods->xShmUnmap(Real(f), remove);
}
int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return Real(f)->pMethods->xFetch(Real(f), offset, amount, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return Real(f)->pMethods->xUnfetch(Real(f), offset, page);
}

// Version 3 methods; the real file's version is handed on, so SQLite never calls a method
// the real file lacks.
const sqlite3_io_methods* MethodsFor(int version) {
    static sqlite3_io_methods methods[3];
    static std::once_flag made;
    std::call_once(made, [] {
        for (int v = 1; v <= 3; ++v) {
            sqlite3_io_methods& m = methods[v - 1];
            m.iVersion = v;
            m.xClose = Close;
            m.xRead = Read;
            m.xWrite = Write;
            m.xTruncate = Truncate;
            m.xSync = Sync;
            m.xFileSize = FileSize;
            m.xLock = Lock;
            m.xUnlock = Unlock;
            m.xCheckReservedLock = CheckReservedLock;
            m.xFileControl = FileControl;
            m.xSectorSize = SectorSize;
            m.xDeviceCharacteristics = DeviceCharacteristics;
            if (v >= 2) {
                m.xShmMap = ShmMap;
                m.xShmLock = ShmLock;
                m.xShmBarrier = ShmBarrier;
                m.xShmUnmap = ShmUnmap;
            }
            if (v >= 3) {
                m.xFetch = Fetch;
                m.xUnfetch = Unfetch;
            }
        }
    });
    return &methods[version - 1];
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* out_flags) {
    auto* ours = reinterpret_cast<TFaultFile*>(file);
    ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
    ours->wal = (flags & SQLITE_OPEN_WAL) != 0;
    const int rc = real_vfs->xOpen(real_vfs, name, ours->real, flags, out_flags);
    const sqlite3_io_methods* real_methods = ours->real->pMethods;
    ours->base.pMethods = real_methods != nullptr ? MethodsFor(real_methods->iVersion) : nullptr;
    return rc;
}

void Install() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        real_vfs = sqlite3_vfs_find(nullptr);
        fault_vfs = *real_vfs;
        fault_vfs.zName = "ktev-fault";
        fault_vfs.szOsFile = static_cast<int>(sizeof(TFaultFile)) + real_vfs->szOsFile;
        fault_vfs.xOpen = Open;
        sqlite3_vfs_register(&fault_vfs, 1);
    });
}

} // namespace

void SetWriteFault(TWriteFault fault) {
    Install();
    write_fault.store(fault);
}

int WalFlushes() {
    return wal_flushes.load();
}
