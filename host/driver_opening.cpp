// Driver selection and opening, and the fixed teardown order of a run.
// Thread: caller's thread.
#include "host/driver_opening.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>

#include "diag/debug_log.h"
#include "host/asio_driver_list.h"
#include "host/host_session.h"
#include "host/library_state.h"

namespace {

// The driver number that "ASIOConfig.txt" asks for, or 0.
int RequestedDriverNumber(int32_t driverCount) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status("ASIOConfig.txt", error);
    if (!std::filesystem::exists(status)) return 0;
    // Opening a FIFO waits for a writer, for ever if none comes; a folder or
    // a device holds no driver number either.
    if (!std::filesystem::is_regular_file(status)) {
        LogLine("ASIOConfig.txt is not a regular file: ignored");
        return 0;
    }
    FILE* config = std::fopen("ASIOConfig.txt", "rt");
    if (config == nullptr) return 0;
    LogLine("Found ASIO Configuration file!");
    const int first = std::fgetc(config);  // -1 at end of file
    std::fclose(config);
    int n = first - '0';
    if (n < 0) {
        LogLine("Error reading configuration file!");
        return 0;
    }
    LogIntPair("nRequestedDrvNum", "Num devices", n, driverCount);
    if (n >= driverCount) {
        LogInt("nRequestedDrvNum > lnumDevs!", driverCount);
        n = 0;
    }
    return n;
}

}  // namespace

bool OpenDriverRun() {
    // A run still open is closed first, exactly as ASIOCloseDriver would, so
    // nothing of it leaks and the log rotates once more.
    CloseDriverRun();
    nDrvOpenResult = 1;
    LogStart();

    asioDrvrLst = new (std::nothrow) AsioDriverList();
    if (asioDrvrLst == nullptr) {
        LogLine("Failed to create AsioDriverList!");
        return false;
    }
    const int32_t count = asioDrvrLst->GetDriverCount();
    if (count == 0) {
        LogLine("Couldn't find any ASIO drivers!");
        return false;
    }
    const int n = RequestedDriverNumber(count);
    // The first record's driver field is the library's slot for the open driver.
    nDrvOpenResult = asioDrvrLst->asioOpenDriver(n, &asioDrvrLst->lpdrvlist->driver);
    if (nDrvOpenResult == 0) {
        LogLine("asioOpenDriver success!");
        return true;
    }
    LogLine("asioOpenDriver failed!");
    return false;
}

int32_t CloseDriverRun() {
    // The driver is stopped before its interface is released, the interface
    // before COM is uninitialised, and the log closed last so that every step
    // can still write to it.
    if (pASIOBuffers != nullptr) {
        delete pASIOBuffers;
        pASIOBuffers = nullptr;
    }
    if (asioDrvrLst != nullptr) {
        delete asioDrvrLst;
        asioDrvrLst = nullptr;
    }
    return LogStop();
}
