// The part of IASIO every output card of ours answers alike: its name and
// version, the latest reason for a failure, the channels and buffer sizes of
// its CardCore, no clock sources, no sample position, no control panel, no
// extra selectors, outputReady counted, and the text of the latest failure
// of an operation (error_, written with SetText). A card says whether it is
// ready for these questions (initialised, or joined to its server) and what
// its latest failure was; everything else about its stream is its own.
// Thread: the host's, except outputReady, which the host may call from the
// card's real-time thread (one relaxed atomic increment; no allocation), and
// SetText, which touches only the text it is given.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "drivers/common/card_core.h"
#include "drivers/common/com_server.h"
#include "host/asio_interface.h"

namespace tonegate_driver {

class OutputCard : public ComObject<IASIO> {
public:
    // Room for an error message, terminator included: the host's buffer holds 124.
    static constexpr size_t kErrorBytes = 124;

    // `classId` is the driver's class; `name` must outlive the card (a
    // literal) and fit the host's 32 bytes.
    OutputCard(REFCLSID classId, const char* name) : ComObject(classId), name_(name) {}

    void getDriverName(char* name) override {
        if (name != nullptr) std::memcpy(name, name_, std::strlen(name_) + 1);
    }
    int32_t getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override {
        if (text == nullptr) return;
        const char* reason = LatestFailure();
        const size_t length = std::min(std::strlen(reason), kErrorBytes - 1);
        std::memcpy(text, reason, length);
        text[length] = '\0';
    }
    ASIOError getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) override {
        if (!Ready()) return ASE_NotPresent;
        return card_.GetChannels(numInputChannels, numOutputChannels);
    }
    ASIOError getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                            int32_t* granularity) override {
        if (!Ready()) return ASE_NotPresent;
        return card_.GetBufferSize(minSize, maxSize, preferredSize, granularity);
    }
    ASIOError getChannelInfo(ASIOChannelInfo* info) override {
        if (!Ready()) return ASE_NotPresent;
        return card_.GetChannelInfo(info);
    }
    ASIOError getClockSources(void* /*clocks*/, int32_t* /*numSources*/) override { return ASE_NotPresent; }
    ASIOError setClockSource(int32_t /*reference*/) override { return ASE_NotPresent; }
    ASIOError getSamplePosition(void* /*samplePosition*/, void* /*timeStamp*/) override { return ASE_NotPresent; }
    ASIOError controlPanel() override { return ASE_NotPresent; }
    ASIOError future(int32_t /*selector*/, void* /*opt*/) override { return ASE_InvalidParameter; }
    ASIOError outputReady() override {
        outputReadyCalls_.fetch_add(1, std::memory_order_relaxed);
        return ASE_OK;
    }

protected:
    // Whether the card can answer: false before a successful init.
    virtual bool Ready() const = 0;
    // The reason getErrorMessage gives; "" when there is none.
    virtual const char* LatestFailure() const = 0;

    // Writes a printf-style reason into `text` (error_, or a reason a card
    // keeps for its own thread), cut to what getErrorMessage hands out.
    static void SetText(char (&text)[kErrorBytes], const char* format, ...) {
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(text, sizeof text, format, arguments);
        va_end(arguments);
    }

    CardCore card_;
    // The latest failure of an operation the host called.
    char error_[kErrorBytes] = "";
    std::atomic<uint32_t> outputReadyCalls_{0};

private:
    const char* const name_;
};

}  // namespace tonegate_driver
