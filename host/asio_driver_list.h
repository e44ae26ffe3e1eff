// The catalogue of installed drivers, read from the registry: one record per
// usable registration, numbered from 0, able to instantiate driver n.
// Thread: caller's thread only; the driver's callback thread never touches it.
#pragma once

#include <cstdint>

#include "host/asio_interface.h"
#include "host/driver_registrations.h"
#include "platform/win32.h"

// Result codes of the list's operations; other non-zero values are COM errors.
enum : int32_t {
    ListErrBadArgument = -5001,   // null output, or a text that does not fit the caller's buffer
    ListErrAlreadyOpen = -5002,   // driver n was already instantiated through the list
    ListErrNoSuchDriver = -5003,  // no record numbered n
};

struct DriverRecord {
    int32_t number;
    CLSID clsid;  // all zero when the registered text could not be parsed
    char serverPath[512];
    char name[128];
    IASIO* driver;  // set once the driver has been instantiated through the list
    DriverRecord* next;
};

class AsioDriverList {
public:
    // Reads the registrations, logs the catalogue, and initialises COM when at
    // least one driver was found.
    AsioDriverList();
    // Releases every interface handed out (each exactly once), frees the
    // records and uninitialises COM when the constructor initialised it.
    ~AsioDriverList();
    AsioDriverList(const AsioDriverList&) = delete;
    AsioDriverList& operator=(const AsioDriverList&) = delete;

    int32_t GetDriverCount() const { return driverCount; }
    int32_t asioOpenDriver(int n, IASIO** out);
    int32_t GetDriverName(int n, char* buffer, int size) const;
    int32_t GetDriverPath(int n, char* buffer, int size) const;
    int32_t GetDriverClsid(int n, CLSID* out) const;

    DriverRecord* lpdrvlist = nullptr;
    int32_t driverCount = 0;

private:
    DriverRecord* FindDriver(int n) const;
    void AddDriverRecord(const Registration& registration);
    void LogCatalogue() const;
    void FreeDriverRecords();
};
