// Opening and closing a run through the exports: the driver "ASIOConfig.txt"
// picks, every way the open can fail and the state it leaves, the teardown
// order, and a second open over a run still open. Drivers are real modules
// reached through .reg files and COM. Thread: the test's own.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "host/asio_driver_list.h"
#include "host/library_state.h"
#include "host/tonegate.h"
#include "platform/com_test_server.h"
#include "support/log_reader.h"
#include "support/scoped_registry.h"
#include "support/card_test_helpers.h"
#include "support/test_card/test_card.h"

namespace {

bool failNextListAllocation = false;

}  // namespace

// Fails the one nothrow allocation of a driver list once armed; every other
// allocation goes to the ordinary operator new, so its delete still matches.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (failNextListAllocation && size == sizeof(AsioDriverList)) {
        failNextListAllocation = false;
        return nullptr;
    }
    try {
        return ::operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {

using namespace tonegate_test_card;
using tonegate_test::CardClassText;
using tonegate_test::ClsidOf;
using tonegate_test::ExpectAllReleased;
using tonegate_test::CurrentRunLines;
using Lines = std::vector<std::string>;

constexpr const char* kCardPath = TONEGATE_TEST_CARD_PATH;
constexpr const char* kFound = "Found ASIO Configuration file!";
constexpr const char* kReadError = "Error reading configuration file!";
constexpr const char* kSuccess = "asioOpenDriver success!";

// Zero-padded, so that enumeration order is number order.
std::string CardName(int index) {
    char name[16];
    std::snprintf(name, sizeof name, "Card %02d", index);
    return name;
}

Lines Concat(std::initializer_list<Lines> parts) {
    Lines all;
    for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// What the list logs for drivers of these names and server paths.
Lines Catalogue(const std::vector<std::pair<std::string, std::string>>& drivers) {
    Lines lines = {"Enumerating ASIO Drivers...", ""};
    for (size_t n = 0; n < drivers.size(); ++n)
        lines.insert(lines.end(), {"numDev: " + std::to_string(n), drivers[n].first, drivers[n].second, ""});
    return lines;
}

Lines CardCatalogue(int count) {
    std::vector<std::pair<std::string, std::string>> drivers;
    for (int i = 0; i < count; ++i) drivers.emplace_back(CardName(i), kCardPath);
    return Catalogue(drivers);
}

// The log was closed once, with nothing written after its footer.
void ExpectFooterLast(const std::filesystem::path& log = "Dbg.Log") {
    const Lines lines = tonegate_test::SplitLines(tonegate_test::ReadFile(log));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "Goodbye, and may all your code compile!");
    EXPECT_EQ(lines[lines.size() - 3], "Shutting down debug logging system...");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Shutting down debug logging system..."), 1);
}

bool IsLoaded(const char* modulePath) {
#ifdef _WIN32
    return GetModuleHandleA(modulePath) != nullptr;
#else
    void* module = dlopen(modulePath, RTLD_NOW | RTLD_NOLOAD);
    if (module != nullptr) dlclose(module);
    return module != nullptr;
#endif
}

class DriverOpeningTest : public tonegate_test::CardTest {
protected:

    void AddCards(int count) {
        for (int i = 0; i < count; ++i) registry_.AddDriver(CardName(i), CardClassText(i), kCardPath);
    }


};

struct Selection {
    const char* config;  // null: no configuration file
    int cards;
    Lines configLines;
    int opened;
};

void PrintTo(const Selection& s, std::ostream* out) {
    if (s.config == nullptr)
        *out << "no file";
    else
        *out << '"' << s.config << '"';
    *out << " with " << s.cards << " cards";
}

class DriverSelection : public DriverOpeningTest, public ::testing::WithParamInterface<Selection> {};

TEST_P(DriverSelection, OpensTheChosenDriverIntoTheFirstRecordAndReleasesItOnceAtClose) {
    const Selection& s = GetParam();
    AddCards(s.cards);
    if (s.config != nullptr) tonegate_test::WriteFile("ASIOConfig.txt", s.config);

    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_EQ(nDrvOpenResult, 0);
    const Lines expected = Concat({CardCatalogue(s.cards), s.configLines, {kSuccess}});
    EXPECT_EQ(CurrentRunLines(), expected);
    for (int i = 0; i < s.cards; ++i) {
        if (i == s.opened)
            EXPECT_EQ(LiveObjects(i), 1);
        else
            EXPECT_EQ(CardOf(i), nullptr) << i;
    }
    // The first record is the library's slot; the chosen one holds the same interface.
    ASSERT_NE(asioDrvrLst, nullptr);
    const DriverRecord* first = asioDrvrLst->lpdrvlist;
    for (const DriverRecord* record = first; record != nullptr; record = record->next) {
        const bool holds = record == first || record->number == s.opened;
        EXPECT_EQ(record->driver, holds ? first->driver : nullptr) << record->number;
    }
    EXPECT_NE(first->driver, nullptr);

    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_EQ(asioDrvrLst, nullptr);
    ExpectAllReleased(CardOf(s.opened));
    // Teardown writes nothing more before the footer.
    EXPECT_EQ(CurrentRunLines(), expected);
    ExpectFooterLast();
}

const Lines kUnreadable = {kFound, kReadError};

INSTANTIATE_TEST_SUITE_P(
    ConfigurationFile, DriverSelection,
    ::testing::Values(
        Selection{nullptr, 2, {}, 0}, Selection{"0", 2, {kFound, "nRequestedDrvNum: 0, Num devices: 2"}, 0},
        Selection{"1", 2, {kFound, "nRequestedDrvNum: 1, Num devices: 2"}, 1},
        Selection{"2 and the rest", 3, {kFound, "nRequestedDrvNum: 2, Num devices: 3"}, 2},
        Selection{"2", 2, {kFound, "nRequestedDrvNum: 2, Num devices: 2", "nRequestedDrvNum > lnumDevs!: 2"}, 0},
        Selection{"A", 17, {kFound, "nRequestedDrvNum: 17, Num devices: 17", "nRequestedDrvNum > lnumDevs!: 17"}, 0},
        Selection{"A", 18, {kFound, "nRequestedDrvNum: 17, Num devices: 18"}, 17}, Selection{" 1", 2, kUnreadable, 0},
        Selection{"\n1", 2, kUnreadable, 0}, Selection{"", 2, kUnreadable, 0}, Selection{"/", 2, kUnreadable, 0}));

struct Failure {
    const char* label;
    const char* module;  // null: a file in the working directory that is no module
    std::string clsid;
    HRESULT error;
};

void PrintTo(const Failure& f, std::ostream* out) { *out << f.label; }

class FailedInstantiation : public DriverOpeningTest, public ::testing::WithParamInterface<Failure> {};

TEST_P(FailedInstantiation, KeepsTheComErrorAndClosesCleanly) {
    const Failure& f = GetParam();
    const std::string module = f.module != nullptr ? f.module : (workingDirectory_.path() / "text.so").string();
    if (f.module == nullptr) tonegate_test::WriteFile(module, "no module\n");
    registry_.AddDriver("Failing", f.clsid, module);

    EXPECT_FALSE(ASIOOpenDriver());
    EXPECT_EQ(nDrvOpenResult, f.error);
    EXPECT_EQ(CurrentRunLines(), Concat({Catalogue({{"Failing", module}}), {"asioOpenDriver failed!"}}));
    ASSERT_NE(asioDrvrLst, nullptr);
    EXPECT_EQ(asioDrvrLst->lpdrvlist->driver, nullptr);

    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_EQ(asioDrvrLst, nullptr);
    EXPECT_EQ(nDrvOpenResult, f.error);  // closing does not reset it
    ExpectFooterLast();
}

INSTANTIATE_TEST_SUITE_P(
    CoCreateInstance, FailedInstantiation,
    ::testing::Values(Failure{"not loadable", nullptr, CardClassText(0), CO_E_DLLNOTFOUND},
                      Failure{"no DllGetClassObject", COM_NO_ENTRY_MODULE, CardClassText(0), CO_E_ERRORINDLL},
                      Failure{"class refused", COM_TEST_SERVER, com_test::kRefusedClass, CLASS_E_CLASSNOTAVAILABLE},
                      Failure{"creation fails", COM_TEST_SERVER, com_test::kFailingClass, E_OUTOFMEMORY}));

TEST_F(DriverOpeningTest, WithoutDriversTheEmptyListStaysUntilCloseAndComIsUntouched) {
    nDrvOpenResult = 0;
    EXPECT_FALSE(ASIOOpenDriver());
    EXPECT_EQ(nDrvOpenResult, 1);
    EXPECT_EQ(CurrentRunLines(), (Lines{"Enumerating ASIO Drivers...", "", "Couldn't find any ASIO drivers!"}));
    ASSERT_NE(asioDrvrLst, nullptr);
    EXPECT_EQ(asioDrvrLst->GetDriverCount(), 0);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();

    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_EQ(asioDrvrLst, nullptr);
    ExpectFooterLast();
}

TEST_F(DriverOpeningTest, WithoutMemoryForTheListNothingIsInstantiated) {
    AddCards(1);
    nDrvOpenResult = 0;
    failNextListAllocation = true;
    EXPECT_FALSE(ASIOOpenDriver());
    EXPECT_FALSE(failNextListAllocation);
    EXPECT_EQ(nDrvOpenResult, 1);
    EXPECT_EQ(asioDrvrLst, nullptr);
    EXPECT_EQ(CurrentRunLines(), (Lines{"Failed to create AsioDriverList!"}));
    EXPECT_EQ(CardOf(0), nullptr);

    EXPECT_EQ(ASIOCloseDriver(), 0);
    ExpectFooterLast();
}

TEST_F(DriverOpeningTest, CloseReleasesTheDriverBeforeUninitialisingCom) {
    // The server is unloaded at the last CoUninitialize only when none of
    // its objects is alive by then.
    registry_.AddDriver("Counter", com_test::kServedClass, COM_TEST_SERVER);
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_TRUE(IsLoaded(COM_TEST_SERVER));
    EXPECT_EQ(ASIOCloseDriver(), 0);
    EXPECT_FALSE(IsLoaded(COM_TEST_SERVER));
}

TEST_F(DriverOpeningTest, SecondOpenClosesTheRunStillOpenFirst) {
    AddCards(2);
    ASSERT_TRUE(ASIOOpenDriver());
    const Lines firstRun = CurrentRunLines();
    tonegate_test::WriteFile("ASIOConfig.txt", "1");

    ASSERT_TRUE(ASIOOpenDriver());
    ExpectAllReleased(CardOf(0));
    EXPECT_EQ(LiveObjects(1), 1);
    EXPECT_EQ(tonegate_test::RunLines(tonegate_test::ReadFile("Dbg1.Log")), firstRun);
    ExpectFooterLast("Dbg1.Log");
    EXPECT_EQ(CurrentRunLines(), Concat({CardCatalogue(2), {kFound, "nRequestedDrvNum: 1, Num devices: 2", kSuccess}}));

    EXPECT_EQ(ASIOCloseDriver(), 0);
    ExpectAllReleased(CardOf(1));
    ExpectFooterLast();
    EXPECT_FALSE(std::filesystem::exists("Dbg2.Log"));
}

}  // namespace
