// Session setup: ASIOSystemInit's work, the driver survey of the session's
// construction, and the names of the sample types in the log.
// Thread: caller's thread.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#include "diag/debug_log.h"
#include "host/asio_driver_list.h"
#include "host/host_session.h"
#include "host/library_state.h"

namespace {

constexpr int kNameBytes = 128;
// The survey lists this many output channels at most: more than any card
// has, while a driver reporting billions would otherwise be asked about, and
// logged, channel by channel.
constexpr int32_t kMaxListedChannels = 1024;

const char* SampleTypeName(ASIOSampleType type) {
    switch (type) {
        case ASIOSTInt16MSB: return "ASIOSTInt16MSB";
        case ASIOSTInt24MSB: return "ASIOSTInt24MSB";
        case ASIOSTInt32MSB: return "ASIOSTInt32MSB";
        case ASIOSTFloat32MSB: return "ASIOSTFloat32MSB";
        case ASIOSTFloat64MSB: return "ASIOSTFloat64MSB";
        case ASIOSTInt32MSB16: return "ASIOSTInt32MSB16";
        case ASIOSTInt32MSB18: return "ASIOSTInt32MSB18";
        case ASIOSTInt32MSB20: return "ASIOSTInt32MSB20";
        case ASIOSTInt32MSB24: return "ASIOSTInt32MSB24";
        case ASIOSTInt16LSB: return "ASIOSTInt16LSB";
        case ASIOSTInt24LSB: return "ASIOSTInt24LSB";
        case ASIOSTInt32LSB: return "ASIOSTInt32LSB";
        case ASIOSTFloat32LSB: return "ASIOSTFloat32LSB";
        case ASIOSTFloat64LSB: return "ASIOSTFloat64LSB";
        case ASIOSTInt32LSB16: return "ASIOSTInt32LSB16";
        case ASIOSTInt32LSB18: return "ASIOSTInt32LSB18";
        case ASIOSTInt32LSB20: return "ASIOSTInt32LSB20";
        case ASIOSTInt32LSB24: return "ASIOSTInt32LSB24";
        default: return "Unknown format";
    }
}

// A driver need not terminate the texts it writes into our 128-byte fields.
void Terminate(char (&text)[kNameBytes]) { text[kNameBytes - 1] = '\0'; }

}  // namespace

int32_t SaturatingInt32(double value) {
    if (std::isnan(value)) return 0;
    if (value <= static_cast<double>(INT32_MIN)) return INT32_MIN;
    if (value >= static_cast<double>(INT32_MAX)) return INT32_MAX;
    return static_cast<int32_t>(value);
}

void LogSampleType(ASIOSampleType type) {
    LogText("ASIO sample type: ");
    LogLine(SampleTypeName(type));
}

bool SystemInit(HWND window) {
    if (asioDrvrLst == nullptr || nDrvOpenResult != 0) return false;
    // A session already running would be lost with its generators while the
    // driver may still call into them.
    if (pASIOBuffers != nullptr) {
        LogLine("Failed: ASIOSystemInit - ASIO system already initialized!");
        return false;
    }
    LogInt("Total num devices found", asioDrvrLst->GetDriverCount());

    // The facts of the list's first driver, whichever driver was opened.
    char name[kNameBytes] = {};
    char path[kNameBytes] = {};
    asioDrvrLst->GetDriverName(0, name, kNameBytes);
    asioDrvrLst->GetDriverPath(0, path, kNameBytes);
    LogLine("Diver selected...");
    LogLine(name);
    LogLine(path);
    LogLine("");

    if (asioDrvrLst->lpdrvlist == nullptr) {
        LogLine("asioDrvrLst->lpdrvlist == NULL");
        return false;
    }
    IASIO* driver = asioDrvrLst->lpdrvlist->driver;
    if (driver == nullptr) {
        LogLine("ptrASIO == NULL");
        return false;
    }
    pASIOBuffers = new (std::nothrow) HostSession(driver, window);
    if (pASIOBuffers == nullptr) {
        LogLine("pASIOBuffers == NULL");
        return false;
    }
    if (pASIOBuffers->bInitSuccess) {
        LogLine("pASIOBuffers->bInitSuccess");
        if (pASIOBuffers->CreatePrimaryBuffer()) {
            LogLine("CreatePrimaryBuffer success!");
            return true;
        }
    } else {
        LogLine("!pASIOBuffers->bInitSuccess");
        LogLine(pASIOBuffers->errorMessage);
    }
    delete pASIOBuffers;
    pASIOBuffers = nullptr;
    return false;
}

HostSession::HostSession(IASIO* driver, HWND window) : sysHandle(window) {
    ptrASIO = driver;
    pSineGeneratorA = nullptr;
    pSineGeneratorB = nullptr;
    bInitSuccess = Initialise();
    if (!bInitSuccess) return;
    asioDriverInfo.numOutputPairs = 1;

    // The driver wants outputReady after every switch only if it answers the probe.
    asioDriverInfo.bOutputReady = ptrASIO->outputReady() == ASE_OK;
    LogLine(asioDriverInfo.bOutputReady ? "bOutputReady = true" : "bOutputReady = false");

    asioCallbacks.bufferSwitch = &bufferSwitch;
    asioCallbacks.sampleRateDidChange = &sampleRateDidChange;
    asioCallbacks.asioMessage = &asioMessages;
    asioCallbacks.bufferSwitchTimeInfo = nullptr;
}

// The survey: every fact the library needs, each written to the log. What
// the driver answers is used as it is; only the output format is judged.
bool HostSession::Initialise() {
    LogLine("Tonegate 2.10 - test-tone host library");
    LogLine("Copyright (c) 2026 the Tonegate developers. All rights reserved.");
    LogLine("https://tonegate.example.org");

    char title[256] = {};
    const int titleLength = GetWindowTextA(sysHandle, title, sizeof title);
    title[std::clamp(titleLength, 0, static_cast<int>(sizeof title) - 1)] = '\0';
    LogLine(title);
    LogLine(GetCommandLineA());

    if (ptrASIO->init(sysHandle) == ASIOFalse) {
        ptrASIO->getErrorMessage(errorMessage);
        Terminate(errorMessage);
        return false;
    }

    std::memset(driverName, 0, sizeof driverName);
    ptrASIO->getDriverName(driverName);
    Terminate(driverName);
    lnDrvrVer = ptrASIO->getDriverVersion();
    LogLine(driverName);
    LogInt("lnDrvrVer", lnDrvrVer);

    DriverInfo& info = asioDriverInfo;
    info = DriverInfo{};
    ptrASIO->getChannels(&info.numInputChannels, &info.numOutputChannels);
    LogIntPair("numInputChannels", "numOutputChannels", info.numInputChannels, info.numOutputChannels);
    ptrASIO->getLatencies(&info.inputLatency, &info.outputLatency);
    LogIntPair("inputLatency", "outputLatency", info.inputLatency, info.outputLatency);
    ptrASIO->getBufferSize(&info.minSize, &info.maxSize, &info.preferredSize, &info.granularity);
    LogIntPair("minSize", "maxSize", info.minSize, info.maxSize);
    LogIntPair("preferredSize", "granularity", info.preferredSize, info.granularity);
    ptrASIO->getSampleRate(&info.sampleRate);
    LogInt("sampleRate", SaturatingInt32(info.sampleRate));

    LogLine("Channels available...");
    if (info.numOutputChannels < 1) {
        LogLine("There doesn't seem to be any analog I/O channels!");
        return false;
    }
    int32_t firstGroup = 0;
    int32_t firstGroupCount = 0;
    const int32_t listed = std::min(info.numOutputChannels, kMaxListedChannels);
    for (int32_t i = 0; i < listed; ++i) {
        ASIOChannelInfo channel{};
        channel.channel = i;
        channel.isInput = ASIOFalse;
        ptrASIO->getChannelInfo(&channel);
        channel.name[sizeof channel.name - 1] = '\0';
        if (i == 0) {
            outputSampleType = channel.type;
            firstGroup = channel.channelGroup;
            firstGroupCount = 1;
        } else if (channel.channelGroup == firstGroup) {
            ++firstGroupCount;
        }
        LogIntDash("Channel", i);
        LogIntDash("Group", channel.channelGroup);
        LogText(channel.name);
        LogText(", ");
        LogSampleType(channel.type);
    }
    // The first group is counted among the listed channels only.
    if (listed < info.numOutputChannels) LogInt("Output channels not listed", info.numOutputChannels - listed);
    LogInt("Num first group output channels", firstGroupCount);
    LogText("First group output ");
    LogSampleType(outputSampleType);

    if (outputSampleType != ASIOSTInt32LSB && outputSampleType != ASIOSTInt16LSB) {
        LogLine("Can't support sound card's internal format!");
        return false;
    }
    return true;
}
