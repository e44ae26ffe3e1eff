// The driver catalogue read from real .reg files: which registrations become
// records and under which number and name, the bounds of the name, path and
// class queries, the catalogue lines of the log, and instantiation and
// release through COM with the scriptable test card.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "diag/debug_log.h"
#include "host/asio_driver_list.h"
#include "support/log_reader.h"
#include "support/scoped_registry.h"
#include "support/card_test_helpers.h"
#include "support/test_card/test_card.h"

namespace {

using namespace tonegate_test_card;
using tonegate_test::CardClassText;
using tonegate_test::ClsidOf;
using tonegate_test::ExpectAllReleased;

constexpr const char* kCardPath = TONEGATE_TEST_CARD_PATH;

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Letters in a running pattern, so a cut shows where it was made.
std::string Pattern(size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

class DriverListTest : public tonegate_test::CardTest {
protected:

    // A registration under SOFTWARE\ASIO with only the values given (an
    // empty text leaves the value out); its class is not registered here.
    void AddRegistration(const std::string& name, const std::string& clsid, const std::string& description) {
        std::string text = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\" + name + "]\n";
        if (!clsid.empty()) text += "\"CLSID\"=\"" + clsid + "\"\n";
        if (!description.empty()) text += "\"Description\"=\"" + description + "\"\n";
        AddRegFile(text);
    }

    void AddRegFile(const std::string& sections) { registry_.AddRegText(sections); }


    std::string Name(const AsioDriverList& list, int n) const {
        char name[128] = {};
        EXPECT_EQ(list.GetDriverName(n, name, sizeof name), 0);
        return name;
    }

};

TEST_F(DriverListTest, UnusableRegistrationsAreSkippedAndTakeNoNumber) {
    registry_.AddDriver("A first", CardClassText(0), kCardPath);
    AddRegistration("B no clsid", "", "B");
    AddRegistration("C no description", CardClassText(2), "");
    registry_.AddClass(CardClassText(2), kCardPath);
    AddRegistration("D class not registered", CardClassText(3), "D");
    AddRegistration("E no server value", CardClassText(4), "E");
    AddRegFile("[HKEY_CLASSES_ROOT\\CLSID\\" + CardClassText(4) + "\\InprocServer32]\n\"ThreadingModel\"=\"Both\"\n");
    const std::string deleted = (workingDirectory_.path() / "deleted.so").string();
    tonegate_test::WriteFile(deleted, "x");
    registry_.AddDriver("F server deleted", CardClassText(5), deleted);
    std::filesystem::remove(deleted);
    registry_.AddDriver("G last", CardClassText(6), kCardPath);

    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 3);
    std::vector<int32_t> numbers;
    for (const DriverRecord* record = list.lpdrvlist; record != nullptr; record = record->next)
        numbers.push_back(record->number);
    EXPECT_EQ(numbers, (std::vector<int32_t>{0, 1, 2}));
    EXPECT_EQ(Name(list, 0), "A first");
    EXPECT_EQ(Name(list, 1), "C no description");
    EXPECT_EQ(Name(list, 2), "G last");
    CLSID clsid{};
    EXPECT_EQ(list.GetDriverClsid(1, &clsid), 0);
    EXPECT_TRUE(clsid == ClsidOf(CardClassText(2)));
    EXPECT_STREQ(list.lpdrvlist->next->serverPath, kCardPath);
}

TEST_F(DriverListTest, ClassIsFoundWhateverTheCaseOfEitherText) {
    AddRegistration("Upper", CardClassText(10), "Upper");
    registry_.AddClass(Lower(CardClassText(10)), kCardPath);
    AddRegistration("Lower", Lower(CardClassText(11)), "Lower");
    registry_.AddClass(CardClassText(11), kCardPath);

    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 2);
    for (int n = 0; n < 2; ++n) {
        CLSID clsid{};
        EXPECT_EQ(list.GetDriverClsid(n, &clsid), 0);
        EXPECT_TRUE(clsid == ClsidOf(CardClassText(11 - n)));  // "Lower" sorts first
        IASIO* driver = nullptr;
        EXPECT_EQ(list.asioOpenDriver(n, &driver), 0);
        EXPECT_NE(driver, nullptr);
    }
}

TEST_F(DriverListTest, UnparsableClassTextIsKeptWithANullClassThatCannotBeCreated) {
    AddRegistration("Odd", "Not A Clsid", "Odd");
    registry_.AddClass("Not A Clsid", kCardPath);

    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 1);
    CLSID clsid = ClsidOf(CardClassText(0));
    EXPECT_EQ(list.GetDriverClsid(0, &clsid), 0);
    EXPECT_TRUE(clsid == CLSID{});
    IASIO* driver = nullptr;
    EXPECT_EQ(list.asioOpenDriver(0, &driver), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(list.lpdrvlist->driver, nullptr);
}

TEST_F(DriverListTest, SubkeyNameTooLongForItsBufferEndsTheEnumeration) {
    const std::string longest = "B" + std::string(126, 'b');
    registry_.AddDriver("A", CardClassText(0), kCardPath);
    registry_.AddDriver(longest, CardClassText(1), kCardPath);
    registry_.AddDriver("C" + std::string(127, 'c'), CardClassText(2), kCardPath);
    registry_.AddDriver("D", CardClassText(3), kCardPath);

    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 2);
    EXPECT_EQ(Name(list, 0), "A");
    EXPECT_EQ(Name(list, 1), longest);
}

TEST_F(DriverListTest, DescriptionTooLongForTheNameIsCutAndOneTooLongToReadGivesTheKeyName) {
    const std::string fits = Pattern(127), cut = Pattern(255), unreadable = Pattern(256);
    for (int i = 0; i < 3; ++i) registry_.AddClass(CardClassText(i), kCardPath);
    AddRegistration("A", CardClassText(0), fits);
    AddRegistration("B", CardClassText(1), cut);
    AddRegistration("C", CardClassText(2), unreadable);

    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 3);
    EXPECT_EQ(std::string(list.lpdrvlist->name), fits);
    EXPECT_EQ(std::string(list.lpdrvlist->next->name), cut.substr(0, 127));
    EXPECT_EQ(std::string(list.lpdrvlist->next->next->name), "C");
}

TEST_F(DriverListTest, NameQueryCutsWithAnEllipsisAndStaysInsideTheBuffer) {
    registry_.AddDriver("Twelve chars", CardClassText(0), kCardPath);
    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 1);

    const struct {
        int size;
        const char* expected;
    } cases[] = {{13, "Twelve chars"}, {12, "Twelve c..."}, {10, "Twelve..."}, {4, "..."}, {3, "Tw"}, {1, ""}};
    for (const auto& c : cases) {
        char buffer[32];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(list.GetDriverName(0, buffer, c.size), 0) << c.size;
        EXPECT_STREQ(buffer, c.expected) << c.size;
        EXPECT_EQ(buffer[c.size], '#') << c.size;
    }
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(list.GetDriverName(0, buffer, 0), ListErrBadArgument);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(list.GetDriverName(0, nullptr, 32), ListErrBadArgument);
    EXPECT_EQ(list.GetDriverName(1, buffer, 32), ListErrNoSuchDriver);
    EXPECT_EQ(list.GetDriverName(-1, buffer, 32), ListErrNoSuchDriver);
}

TEST_F(DriverListTest, PathQueryNeverCutsAndClassQueryChecksItsArguments) {
    registry_.AddDriver("Card", CardClassText(0), kCardPath);
    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 1);
    const int length = static_cast<int>(std::strlen(kCardPath));

    std::vector<char> buffer(length + 8, '#');
    EXPECT_EQ(list.GetDriverPath(0, buffer.data(), length), ListErrBadArgument);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(list.GetDriverPath(0, buffer.data(), length + 1), 0);
    EXPECT_STREQ(buffer.data(), kCardPath);
    EXPECT_EQ(list.GetDriverPath(0, nullptr, length + 1), ListErrBadArgument);
    EXPECT_EQ(list.GetDriverPath(1, buffer.data(), length + 1), ListErrNoSuchDriver);

    CLSID clsid{};
    EXPECT_EQ(list.GetDriverClsid(0, nullptr), ListErrBadArgument);
    EXPECT_EQ(list.GetDriverClsid(1, &clsid), ListErrNoSuchDriver);
    EXPECT_TRUE(clsid == CLSID{});
}

TEST_F(DriverListTest, OpenChecksItsArgumentsAndInstantiatesADriverOnlyOnce) {
    registry_.AddDriver("Card", CardClassText(0), kCardPath);
    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 1);

    IASIO* driver = nullptr;
    EXPECT_EQ(list.asioOpenDriver(0, nullptr), ListErrBadArgument);
    EXPECT_EQ(list.asioOpenDriver(1, &driver), ListErrNoSuchDriver);
    EXPECT_EQ(CardOf(0), nullptr);  // nothing was instantiated

    ASSERT_EQ(list.asioOpenDriver(0, &driver), 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(list.lpdrvlist->driver, driver);
    IASIO* again = nullptr;
    EXPECT_EQ(list.asioOpenDriver(0, &again), ListErrAlreadyOpen);
    EXPECT_EQ(list.lpdrvlist->driver, driver);
    EXPECT_EQ(LiveObjects(0), 1);
}

// OpenFile, which tells whether the server file exists, takes no path of 128
// characters or more, as on Windows: such a registration is not listed, so
// every listed path fits the 128-byte buffers the session asks with.
TEST_F(DriverListTest, AServerPathTooLongForOpenFileIsNotListed) {
    const std::string prefix = workingDirectory_.path().string() + "/";
    const std::string longPath = prefix + std::string(128 - prefix.size() - 3, 'p') + ".so";
    ASSERT_EQ(longPath.size(), 128u);
    tonegate_test::WriteFile(longPath, "x");
    registry_.AddDriver("Card A", CardClassText(0), kCardPath);
    registry_.AddDriver("Card B", CardClassText(1), longPath);

    LogStart();
    {
        AsioDriverList list;
        EXPECT_EQ(list.GetDriverCount(), 1);
    }
    EXPECT_EQ(LogStop(), 0);
    const std::vector<std::string> expected = {"Enumerating ASIO Drivers...", "", "numDev: 0", "Card A", kCardPath, ""};
    EXPECT_EQ(tonegate_test::CurrentRunLines(), expected);
}

// A relative module path would be looked up wherever the loader looks, the
// working folder among them: such a registration is passed over, named in
// the log, even when the working folder holds a file of that name.
TEST_F(DriverListTest, ARelativeServerPathIsNotListed) {
    tonegate_test::WriteFile("card.so", "x");
    registry_.AddDriver("A bare name", CardClassText(0), "card.so");
    registry_.AddDriver("B dot", CardClassText(1), "./card.so");
    registry_.AddDriver("C absolute", CardClassText(2), kCardPath);

    LogStart();
    {
        AsioDriverList list;
        EXPECT_EQ(list.GetDriverCount(), 1);
    }
    EXPECT_EQ(LogStop(), 0);
    const std::vector<std::string> expected = {"Passed over A bare name: module path is relative (card.so)",
                                               "Passed over B dot: module path is relative (./card.so)",
                                               "Enumerating ASIO Drivers...", "", "numDev: 0", "C absolute",
                                               kCardPath, ""};
    EXPECT_EQ(tonegate_test::CurrentRunLines(), expected);
    // The command's catalogue, from the same walk, numbers them alike.
    int usable = 0;
    ForEachRegistration(
        [](const Registration& registration, void* count) {
            if (registration.status == RegistrationStatus::Usable) ++*static_cast<int*>(count);
        },
        &usable);
    EXPECT_EQ(usable, 1);
}

TEST_F(DriverListTest, ComIsInitialisedOnlyWhileAListWithDriversExists) {
    {
        AsioDriverList empty;
        EXPECT_EQ(empty.GetDriverCount(), 0);
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        CoUninitialize();
    }
    registry_.AddDriver("Card", CardClassText(0), kCardPath);
    {
        AsioDriverList list;
        EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
        CoUninitialize();
    }
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

TEST_F(DriverListTest, DestructionReleasesEveryInterfaceOnce) {
    for (int i = 0; i < 3; ++i) registry_.AddDriver("Card " + std::to_string(i), CardClassText(i), kCardPath);
    {
        AsioDriverList list;
        IASIO* driver = nullptr;
        ASSERT_EQ(list.asioOpenDriver(0, &driver), 0);
        ASSERT_EQ(list.asioOpenDriver(2, &driver), 0);
    }
    ExpectAllReleased(CardOf(0));
    ExpectAllReleased(CardOf(2));
    EXPECT_EQ(CardOf(1), nullptr);

    *control_ = Control{};
    {
        // Driver 1 opened into the first record's slot: both records hold it.
        AsioDriverList list;
        ASSERT_EQ(list.asioOpenDriver(1, &list.lpdrvlist->driver), 0);
        EXPECT_EQ(list.lpdrvlist->next->driver, list.lpdrvlist->driver);
        EXPECT_EQ(list.asioOpenDriver(0, &list.lpdrvlist->driver), ListErrAlreadyOpen);
    }
    ExpectAllReleased(CardOf(1));
    EXPECT_EQ(CardOf(0), nullptr);
}

}  // namespace
