// The test card itself: reached through the registry and COM like any
// driver, it answers what its script says, records what it is asked, hands
// out guarded buffers and lets the test drive the host's callbacks.
#include <gtest/gtest.h>

#include <cstring>

#include "host/asio_interface.h"
#include "support/scoped_registry.h"
#include "support/test_card/test_card.h"

namespace {

using namespace tonegate_test_card;
using tonegate_test::ClsidOf;
using tonegate_test::ScopedRegistry;

constexpr const char* kFirstClass = "{0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";
constexpr const char* kSecondClass = "{1A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9}";

class TestCardTest : public ::testing::Test {
protected:
    void SetUp() override {
        control_ = OpenControl(TONEGATE_TEST_CARD_PATH);
        ASSERT_NE(control_, nullptr);
        *control_ = Control{};
        registry_.AddClass(kFirstClass, TONEGATE_TEST_CARD_PATH);
        registry_.AddClass(kSecondClass, TONEGATE_TEST_CARD_PATH);
        ASSERT_EQ(CoInitialize(nullptr), S_OK);
    }
    void TearDown() override { CoUninitialize(); }

    IASIO* Create(const char* clsidText) {
        const CLSID clsid = ClsidOf(clsidText);
        void* object = nullptr;
        EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, clsid, &object), S_OK);
        return static_cast<IASIO*>(object);
    }

    Card& CardOf(const char* clsidText) { return *ClaimCard(control_, ClsidOf(clsidText)); }

    Control* control_ = nullptr;
    ScopedRegistry registry_;
};

// The host's callbacks, as the card sees them; the buffer switch stops the
// card from inside itself on its second call, as a host's reset would.
IASIO* pumpedDriver;
int switches[2];
void BufferSwitch(int32_t index, ASIOBool) {
    ++switches[index];
    if (switches[0] + switches[1] == 2) pumpedDriver->stop();
}
void SampleRateDidChange(ASIOSampleRate) {}
int32_t AsioMessage(int32_t selector, int32_t value, void*, double*) { return selector * 100 + value; }

TEST_F(TestCardTest, AnswersItsScriptAndRecordsEveryCall) {
    Script& script = CardOf(kFirstClass).script;
    std::memset(script.driverName, 'x', sizeof script.driverName);  // no terminator at all
    script.driverVersion = 7;
    script.inputChannels = 1;
    script.outputChannels = 3;
    script.channelsResult = ASE_NotPresent;
    script.outputs[2] = ChannelScript{5, ASIOSTInt16LSB, "Third", ASIOFalse, ASE_NoClock};
    script.canSampleRateResult = ASE_NoClock;
    script.rateAnswerCount = 1;
    script.rateAnswers[0] = RateAnswer{96000.0, ASE_OK};
    script.rateAfterSet = 95999.9;

    IASIO* driver = Create(kFirstClass);
    ASSERT_NE(driver, nullptr);
    const Card& card = CardOf(kFirstClass);
    EXPECT_EQ(card.record.liveObjects, 1);

    EXPECT_EQ(driver->init(nullptr), ASIOTrue);
    char name[kNameBytes + 1] = {};
    driver->getDriverName(name);
    EXPECT_EQ(std::string(name), std::string(kNameBytes, 'x'));
    EXPECT_EQ(driver->getDriverVersion(), 7);
    int32_t inputs = 0, outputs = 0;
    EXPECT_EQ(driver->getChannels(&inputs, &outputs), ASE_NotPresent);
    EXPECT_EQ(inputs, 1);
    EXPECT_EQ(outputs, 3);

    ASIOChannelInfo info{};
    info.channel = 2;
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_NoClock);
    EXPECT_EQ(info.channelGroup, 5);
    EXPECT_EQ(info.type, ASIOSTInt16LSB);
    EXPECT_STREQ(info.name, "Third");
    EXPECT_EQ(info.isActive, ASIOFalse);
    info.channel = 3;  // past the scripted outputs
    EXPECT_EQ(driver->getChannelInfo(&info), ASE_InvalidParameter);

    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NoClock);
    EXPECT_EQ(driver->canSampleRate(96000.0), ASE_OK);
    EXPECT_EQ(driver->setSampleRate(96000.0), ASE_OK);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 95999.9);

    const Operation expected[] = {Operation::Init,           Operation::GetDriverName,  Operation::GetDriverVersion,
                                  Operation::GetChannels,    Operation::GetChannelInfo, Operation::GetChannelInfo,
                                  Operation::CanSampleRate,  Operation::CanSampleRate,  Operation::SetSampleRate,
                                  Operation::GetSampleRate};
    ASSERT_EQ(card.record.callCount, static_cast<int32_t>(std::size(expected)));
    for (size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(card.record.calls[i].operation, expected[i]) << i;
    EXPECT_EQ(card.record.calls[4].integers[0], 2);
    EXPECT_EQ(card.record.calls[5].integers[0], 3);
    EXPECT_EQ(card.record.calls[6].real, 44100.0);
    EXPECT_EQ(card.record.calls[8].real, 96000.0);

    driver->Release();
    EXPECT_EQ(card.record.liveObjects, 0);
    EXPECT_EQ(card.record.releases - card.record.addRefs, 1);  // the creation's own reference
}

TEST_F(TestCardTest, HandsOutGuardedBuffersAndPumpsTheHostsCallbacks) {
    CardOf(kFirstClass).script.outputs[1].type = ASIOSTInt16LSB;
    IASIO* driver = Create(kFirstClass);
    ASSERT_NE(driver, nullptr);
    Card& card = CardOf(kFirstClass);

    ASIOBufferInfo infos[2] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}};
    ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, AsioMessage, nullptr};
    ASSERT_EQ(driver->createBuffers(infos, 2, 64, &callbacks), ASE_OK);
    EXPECT_EQ(card.record.createBuffersChannels, 2);
    EXPECT_EQ(card.record.createBuffersSize, 64);
    ASSERT_EQ(card.record.bufferCount, 2);
    EXPECT_EQ(card.record.buffers[0].bytes, 64 * 4);
    EXPECT_EQ(card.record.buffers[1].bytes, 64 * 2);
    for (int channel = 0; channel < 2; ++channel) {
        for (int half = 0; half < 2; ++half) {
            EXPECT_EQ(infos[channel].buffers[half], card.record.buffers[channel].halves[half]);
            EXPECT_EQ(static_cast<uint8_t*>(infos[channel].buffers[half])[0], kFreshBufferByte);
        }
    }
    EXPECT_TRUE(BuffersIntact(card));
    static_cast<uint8_t*>(infos[1].buffers[0])[64 * 2] = 0;  // one byte past the half
    EXPECT_FALSE(BuffersIntact(card));

    pumpedDriver = driver;
    EXPECT_FALSE(PumpBufferSwitch(card, 0));  // not started yet
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_TRUE(PumpBufferSwitch(card, 0));
    EXPECT_TRUE(PumpBufferSwitch(card, 1));  // stops the card from inside the callback
    EXPECT_FALSE(PumpBufferSwitch(card, 0));
    EXPECT_EQ(switches[0], 1);
    EXPECT_EQ(switches[1], 1);
    EXPECT_EQ(SendAsioMessage(card, 3, 4), 304);

    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    EXPECT_EQ(card.record.brokenGuardsAtDispose, 1);
    EXPECT_EQ(SendAsioMessage(card, 3, 4), -1);
    driver->Release();
}

TEST_F(TestCardTest, EachClassIsACardOfItsOwn) {
    SetText(CardOf(kFirstClass).script.driverName, "First");
    SetText(CardOf(kSecondClass).script.driverName, "Second");
    CardOf(kSecondClass).script.initResult = ASIOFalse;
    IASIO* first = Create(kFirstClass);
    IASIO* second = Create(kSecondClass);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);

    char name[kNameBytes];
    second->getDriverName(name);
    EXPECT_STREQ(name, "Second");
    EXPECT_EQ(second->init(nullptr), ASIOFalse);
    first->getDriverName(name);
    EXPECT_STREQ(name, "First");
    EXPECT_EQ(CountCalls(CardOf(kFirstClass), Operation::GetDriverName), 1);
    EXPECT_EQ(CountCalls(CardOf(kSecondClass), Operation::Init), 1);
    EXPECT_EQ(CountCalls(CardOf(kFirstClass), Operation::Init), 0);

    first->Release();
    second->Release();
}

}  // namespace
