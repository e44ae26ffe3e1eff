// Faults of the host's surroundings rather than of the driver: a working
// folder that is read-only or full (the log goes, nothing else changes), a
// configuration file that is a folder, a FIFO or a gigabyte long, a
// registration that vanishes between the list and the open, and a driver
// module deleted after it was registered. ("Dbg.Log" being a folder is the
// log's own test.)
// Thread: the test's own.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "host/asio_driver_list.h"
#include "host/library_state.h"
#include "support/session_fixture.h"

namespace {

namespace fs = std::filesystem;
using namespace tonegate_test_card;
using tonegate_test::CardClassText;
using Lines = std::vector<std::string>;

constexpr const char* kFound = "Found ASIO Configuration file!";
constexpr const char* kReadError = "Error reading configuration file!";
constexpr const char* kNotRegular = "ASIOConfig.txt is not a regular file: ignored";

class HostEnvironmentTest : public tonegate_test::SessionTest {
protected:
    // A second card, listed after the fixture's "Test Card".
    void AddSecondCard() {
        registry_.AddDriver("Test Card 2", CardClassText(1), TONEGATE_TEST_CARD_PATH);
        ASSERT_NE(ClaimCard(control_, tonegate_test::ClsidOf(CardClassText(1))), nullptr);
    }
    Card& CardAt(int index) { return *FindCard(control_, tonegate_test::ClsidOf(CardClassText(index))); }
    // A copy of the card's module, which the test may delete without harm to the card.
    fs::path CopyOfTheCardModule(const std::string& name) {
        const fs::path copy = workingDirectory_.path() / (name + fs::path(TONEGATE_TEST_CARD_PATH).extension().string());
        fs::copy_file(TONEGATE_TEST_CARD_PATH, copy);
        return copy;
    }

    // A whole run through the exports, none of which may notice the log's
    // absence: returns ASIOCloseDriver's result.
    int32_t PlayARun(Card& card) {
        EXPECT_TRUE(ASIOOpenDriver());
        EXPECT_TRUE(ASIOSystemInit(GetDesktopWindow()));
        EXPECT_TRUE(ASIOSetSampleRate(48000));
        EXPECT_EQ(ASIOGetSampleRate(), 48000);
        const uint32_t notesBefore = noteCount;
        ASIOGenerateSineWavA(440.0, 1.0, 0);
        EXPECT_EQ(noteCount, notesBefore + 1);
        for (int32_t index : {0, 1, 0, 1}) EXPECT_TRUE(PumpBufferSwitch(card, index));
        const int32_t* channelA = static_cast<const int32_t*>(card.record.buffers[0].halves[1]);
        EXPECT_TRUE(std::any_of(channelA, channelA + script().preferredSize, [](int32_t s) { return s != 0; }));
        EXPECT_TRUE(BuffersIntact(card));
        return ASIOCloseDriver();
    }

    // A configuration file of another kind than a regular file was passed
    // over with its reason, and the first of two drivers opened.
    void ExpectConfigurationPassedOver() {
        EXPECT_EQ(LinesFrom(kNotRegular), (Lines{kNotRegular, "asioOpenDriver success!"}));
        EXPECT_EQ(CardAt(0).record.liveObjects, 1);
        EXPECT_EQ(CardAt(1).record.liveObjects, 0);
    }
};

#ifndef _WIN32
std::vector<std::string> FolderContents() {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(".")) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A mount namespace of the test's own, so what it mounts vanishes with it.
bool MountNamespaceOfOurOwn() {
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Takes the mount off the working folder `folder` and enters what lies below.
void LeaveMount(const fs::path& folder) {
    fs::current_path("/");
    umount2(folder.c_str(), MNT_DETACH);
    fs::current_path(folder);
}

bool CanCreateFileIn(const fs::path& folder) {
    const std::string probe = (folder / "probe").string();
    const int file = open(probe.c_str(), O_CREAT | O_WRONLY, 0600);
    if (file < 0) return false;
    close(file);
    unlink(probe.c_str());
    return true;
}

// Makes `folder`, the working folder, refuse every new file for its life:
// by its mode for an ordinary user, by a read-only bind mount for root,
// whom the mode does not stop. `reason` says why when neither worked.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const fs::path& folder) : folder_(folder) {
        if (geteuid() != 0) {
            chmod(folder_.c_str(), 0555);
            changedMode_ = true;
        } else if (MountNamespaceOfOurOwn() && mount(folder_.c_str(), folder_.c_str(), nullptr, MS_BIND, nullptr) == 0) {
            mounted_ = true;
            mount(nullptr, folder_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr);
            // Entered afresh, so the working folder is the mount's.
            fs::current_path(folder_);
        }
        if (CanCreateFileIn(folder_))
            reason = geteuid() == 0 ? "running as root, and no read-only mount was permitted"
                                    : "the folder's mode does not stop writes here";
    }
    ~ReadOnlyFolder() {
        if (changedMode_) chmod(folder_.c_str(), 0700);
        if (mounted_) LeaveMount(folder_);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    std::string reason;  // empty when the folder is read-only

private:
    fs::path folder_;
    bool changedMode_ = false;
    bool mounted_ = false;
};

// Puts a one-page file system over `folder`, the working folder, and fills
// it: with room for `files` files (the filler among them) and no byte left.
class FullFolder {
public:
    FullFolder(const fs::path& folder, int files) : folder_(folder) {
        const std::string options = "size=4k,nr_inodes=" + std::to_string(files + 1);
        if (!MountNamespaceOfOurOwn() || mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            reason = std::string("no small file system could be mounted: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
        fs::current_path(folder_);
        const int filler = open("filler", O_CREAT | O_WRONLY, 0600);
        const char page[512] = {};
        while (filler >= 0 && write(filler, page, sizeof page) > 0) {
        }
        if (filler >= 0) close(filler);
    }
    ~FullFolder() {
        if (mounted_) LeaveMount(folder_);
    }
    FullFolder(const FullFolder&) = delete;
    FullFolder& operator=(const FullFolder&) = delete;

    std::string reason;  // empty when the folder is full

private:
    fs::path folder_;
    bool mounted_ = false;
};

TEST_F(HostEnvironmentTest, ReadOnlyWorkingFolderLosesTheLogAndNothingElse) {
    AddSecondCard();
    // Still read: the configuration picks the second card.
    tonegate_test::WriteFile("ASIOConfig.txt", "1");
    ReadOnlyFolder readOnly(workingDirectory_.path());
    if (!readOnly.reason.empty()) GTEST_SKIP() << readOnly.reason;

    EXPECT_EQ(PlayARun(CardAt(1)), 0);
    EXPECT_EQ(CardAt(0).record.callCount, 0);
    EXPECT_EQ(FolderContents(), (std::vector<std::string>{"ASIOConfig.txt"}));
}

// Full with no file left to create, or with the log created but no byte for
// it: the run is the same. A log that never opened closes with 0; whether
// closing one that lost its writes fails is the C library's to say.
struct Fullness {
    const char* label;
    int files;
    std::vector<std::string> contents;
    bool logOpens;
};

void PrintTo(const Fullness& f, std::ostream* out) { *out << f.label; }

class FullWorkingFolder : public HostEnvironmentTest, public ::testing::WithParamInterface<Fullness> {};

TEST_P(FullWorkingFolder, LosesTheLogAndNothingElse) {
    const Fullness& f = GetParam();
    FullFolder full(workingDirectory_.path(), f.files);
    if (!full.reason.empty()) GTEST_SKIP() << full.reason;

    const int32_t closeResult = PlayARun(*card_);
    if (f.logOpens) {
        EXPECT_TRUE(closeResult == 0 || closeResult == -1) << closeResult;
    } else {
        EXPECT_EQ(closeResult, 0);
    }
    EXPECT_EQ(FolderContents(), f.contents);
    // A log that could be created got none of its lines.
    if (fs::exists("Dbg.Log")) {
        EXPECT_EQ(fs::file_size("Dbg.Log"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Environment, FullWorkingFolder,
    ::testing::Values(Fullness{"no file left", 1, {"filler"}, false},
                      Fullness{"no byte left", 8, {"Dbg.Log", "filler"}, true}));

// A registration read for the list and gone when the driver is created: the
// open fails with COM's error and nothing is instantiated.
TEST_F(HostEnvironmentTest, RegistrationRemovedBetweenListAndOpenFailsTheOpenCleanly) {
    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 1);
    for (const fs::directory_entry& entry : fs::directory_iterator(registry_.folder())) fs::remove(entry.path());
    IASIO* driver = nullptr;
    EXPECT_EQ(list.asioOpenDriver(0, &driver), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(list.lpdrvlist->driver, nullptr);
    EXPECT_EQ(record().liveObjects, 0);
    EXPECT_EQ(record().callCount, 0);
}

// Opening a FIFO waits for a writer: were the host to open it, a writer
// comes after two seconds, so that the test fails instead of hanging.
TEST_F(HostEnvironmentTest, ConfigurationFileThatIsAFifoFallsBackToTheFirstDriverAtOnce) {
    AddSecondCard();
    ASSERT_EQ(mkfifo("ASIOConfig.txt", 0600), 0) << std::strerror(errno);
    std::atomic<bool> opened{false};
    std::thread writer([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!opened.load() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // Without a reader waiting this open fails at once.
        const int fifo = open("ASIOConfig.txt", O_WRONLY | O_NONBLOCK);
        if (fifo >= 0) close(fifo);
    });
    const bool driverOpened = ASIOOpenDriver();
    opened.store(true);
    writer.join();
    EXPECT_TRUE(driverOpened);
    ExpectConfigurationPassedOver();
}

#endif  // !_WIN32

TEST_F(HostEnvironmentTest, ModuleDeletedBetweenListAndOpenFailsTheOpenCleanly) {
    const fs::path copy = CopyOfTheCardModule("vanishing");
    registry_.AddDriver("A Vanishing Card", CardClassText(1), copy.string());
    AsioDriverList list;
    ASSERT_EQ(list.GetDriverCount(), 2);
    fs::remove(copy);
    IASIO* driver = nullptr;
    const int32_t result = list.asioOpenDriver(0, &driver);
#ifndef _WIN32
    EXPECT_EQ(result, CO_E_DLLNOTFOUND);
#endif
    EXPECT_TRUE(FAILED(result));
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(list.lpdrvlist->driver, nullptr);
    // The other card is still there to be opened.
    EXPECT_EQ(list.asioOpenDriver(1, &driver), 0);
    EXPECT_NE(driver, nullptr);
}

TEST_F(HostEnvironmentTest, ModuleDeletedAfterRegistrationIsNotListed) {
    const fs::path copy = CopyOfTheCardModule("deleted");
    // Listed first, were it there.
    registry_.AddDriver("A Deleted Card", CardClassText(1), copy.string());
    fs::remove(copy);
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_EQ(asioDrvrLst->GetDriverCount(), 1);
    EXPECT_EQ(LinesFrom("numDev: 0"), (Lines{"numDev: 0", "Test Card", TONEGATE_TEST_CARD_PATH, "",
                                              "asioOpenDriver success!"}));
    EXPECT_EQ(record().liveObjects, 1);
}

TEST_F(HostEnvironmentTest, ConfigurationFileThatIsAFolderFallsBackToTheFirstDriver) {
    AddSecondCard();
    fs::create_directory("ASIOConfig.txt");
    ASSERT_TRUE(ASIOOpenDriver());
    ExpectConfigurationPassedOver();
}

// A gigabyte of configuration, sparse: only its first character counts, so
// it is read at once.
struct LongConfiguration {
    const char* first;  // the file's text before it is stretched
    Lines configLines;
    int opened;
};

void PrintTo(const LongConfiguration& c, std::ostream* out) { *out << '"' << c.first << '"'; }

class GigabyteConfiguration : public HostEnvironmentTest, public ::testing::WithParamInterface<LongConfiguration> {};

TEST_P(GigabyteConfiguration, IsReadByItsFirstCharacterOnly) {
    const LongConfiguration& c = GetParam();
    AddSecondCard();
    tonegate_test::WriteFile("ASIOConfig.txt", c.first);
    fs::resize_file("ASIOConfig.txt", 1ull << 30);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    Lines expected = c.configLines;
    expected.push_back("asioOpenDriver success!");
    EXPECT_EQ(LinesFrom(kFound), expected);
    EXPECT_EQ(CardAt(c.opened).record.liveObjects, 1);
    EXPECT_EQ(CardAt(1 - c.opened).record.liveObjects, 0);
}

INSTANTIATE_TEST_SUITE_P(Environment, GigabyteConfiguration,
                         ::testing::Values(LongConfiguration{"1", {kFound, "nRequestedDrvNum: 1, Num devices: 2"}, 1},
                                           LongConfiguration{"", {kFound, kReadError}, 0}));

}  // namespace
