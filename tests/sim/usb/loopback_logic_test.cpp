// The loopback logic shared by the simulator's model and the test bus driver, on its own: the
// ring buffer across its wrap, the whole-or-nothing OUT, and the vendor requests' edges.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "loopback/loopback_logic.h"

namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kVendorIn = 0xC0;
constexpr uint8_t kStandardIn = 0x80;

class LoopbackLogicTest : public ::testing::Test {
protected:
    explicit LoopbackLogicTest(size_t capacity = 8) : storage_(capacity) {
        logic_.Initialize(storage_.data(), storage_.size());
    }

    LoopbackResult out(std::vector<uint8_t> bytes) {
        return logic_.Out(bytes.data(), bytes.size());
    }

    std::vector<uint8_t> in(size_t length, LoopbackOutcome expected = LoopbackOutcome::Done) {
        std::vector<uint8_t> buffer(length, 0xEE);
        const LoopbackResult r = logic_.In(buffer.data(), buffer.size());
        EXPECT_EQ(r.Outcome, expected);
        buffer.resize(r.Bytes);
        return buffer;
    }

    LoopbackResult control(uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                           std::vector<uint8_t>& data) {
        return logic_.Control({type, request, value, index}, data.data(), data.size());
    }

    std::vector<uint8_t> storage_;
    LoopbackLogic logic_{};
};

TEST_F(LoopbackLogicTest, BytesComeBackInOrderAcrossTheRingsWrap) {
    EXPECT_EQ(out({1, 2, 3, 4, 5, 6}).Bytes, 6u);
    EXPECT_EQ(in(4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(out({7, 8, 9, 10, 11}).Outcome, LoopbackOutcome::Done); // wraps past the end
    EXPECT_EQ(logic_.QueuedBytes(), 7u);
    EXPECT_EQ(in(3), (std::vector<uint8_t>{5, 6, 7}));
    EXPECT_EQ(in(10), (std::vector<uint8_t>{8, 9, 10, 11})); // short: what is there
    EXPECT_EQ(logic_.QueuedBytes(), 0u);
}

TEST_F(LoopbackLogicTest, OutWaitsWholeUntilThereIsRoomAndInWaitsForData) {
    in(4, LoopbackOutcome::Wait);
    EXPECT_TRUE(in(0).empty()); // a zero-length IN ends at once, even with nothing queued
    EXPECT_EQ(out({1, 2, 3, 4, 5}).Outcome, LoopbackOutcome::Done);
    const LoopbackResult full = out({6, 7, 8, 9});
    EXPECT_EQ(full.Outcome, LoopbackOutcome::Wait);
    EXPECT_EQ(logic_.QueuedBytes(), 5u) << "a waiting OUT queues nothing";
    in(1);
    EXPECT_EQ(out({6, 7, 8, 9}).Outcome, LoopbackOutcome::Done);
    EXPECT_EQ(in(8), (std::vector<uint8_t>{2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(LoopbackLogicTest, QueueTakesWhatFitsAndLongRunsKeepTheirOrder) {
    std::vector<uint8_t> many(20);
    std::iota(many.begin(), many.end(), uint8_t{0});
    EXPECT_EQ(logic_.Queue(many.data(), many.size()), 8u);
    std::vector<uint8_t> seen = in(8);
    for (uint8_t round = 0; round < 50; ++round) { // many wraps of an 8-byte ring
        const std::vector<uint8_t> chunk{uint8_t(round * 3), uint8_t(round * 3 + 1),
                                         uint8_t(round * 3 + 2)};
        ASSERT_EQ(out(chunk).Outcome, LoopbackOutcome::Done);
        ASSERT_EQ(in(3), chunk) << "round " << int(round);
    }
    EXPECT_EQ(seen, std::vector<uint8_t>(many.begin(), many.begin() + 8));
}

TEST_F(LoopbackLogicTest, VendorRequestsReadAndWriteTheMemory) {
    std::vector<uint8_t> none;
    EXPECT_EQ(control(kVendorOut, 0x01, 0x1234, 7, none).Outcome, LoopbackOutcome::Done);
    EXPECT_EQ(logic_.Memory()[7], 0x34) << "no data stage: the low byte of wValue";
    std::vector<uint8_t> four{0xA, 0xB, 0xC, 0xD};
    EXPECT_EQ(control(kVendorOut, 0x02, 0, kLoopbackMemoryBytes - 4, four).Bytes, 4u);
    std::vector<uint8_t> back(4);
    EXPECT_EQ(control(kVendorIn, 0x03, 0xFFFF, kLoopbackMemoryBytes - 4, back).Bytes, 4u);
    EXPECT_EQ(back, four);
}

TEST_F(LoopbackLogicTest, RequestsTheDeviceRefusesStall) {
    std::vector<uint8_t> none;
    std::vector<uint8_t> four(4);
    const struct {
        const char* what;
        uint8_t type;
        uint8_t request;
        uint16_t index;
        std::vector<uint8_t>& data;
    } cases[] = {
        {"not a vendor request", kStandardIn, 0x00, 0, four},
        {"the stall request", kVendorOut, kLoopbackRequestStall, 0, none},
        {"IN without a data stage", kVendorIn, 0x01, 0, none},
        {"byte write past the end", kVendorOut, 0x01, kLoopbackMemoryBytes, none},
        {"range past the end", kVendorIn, 0x01, kLoopbackMemoryBytes - 3, four},
        {"range beyond the end", kVendorOut, 0x01, kLoopbackMemoryBytes + 1, four},
    };
    for (const auto& c : cases) {
        const LoopbackResult r = control(c.type, c.request, 0, c.index, c.data);
        EXPECT_EQ(r.Outcome, LoopbackOutcome::Stall) << c.what;
        EXPECT_EQ(r.Bytes, 0u) << c.what;
    }
}

TEST_F(LoopbackLogicTest, ClearQueueRequestEmptiesTheQueueOnlyWhenSentOut) {
    out({1, 2, 3});
    std::vector<uint8_t> one(1);
    EXPECT_EQ(control(kVendorIn, kLoopbackRequestClearQueue, 0, 0, one).Bytes, 1u)
        << "IN 0xFE is a plain memory read";
    EXPECT_EQ(logic_.QueuedBytes(), 3u);
    std::vector<uint8_t> none;
    EXPECT_EQ(control(kVendorOut, kLoopbackRequestClearQueue, 0, 0, none).Outcome,
              LoopbackOutcome::Done);
    EXPECT_EQ(logic_.QueuedBytes(), 0u);
    in(1, LoopbackOutcome::Wait);
}

TEST(LoopbackDescriptors, LengthsAndEndpointsAgree) {
    EXPECT_EQ(kLoopbackDeviceDescriptor[0], sizeof(kLoopbackDeviceDescriptor));
    const uint16_t total = kLoopbackConfigurationDescriptor[2] | kLoopbackConfigurationDescriptor[3]
                                                                     << 8;
    EXPECT_EQ(total, sizeof(kLoopbackConfigurationDescriptor));
    EXPECT_EQ(kLoopbackConfigurationDescriptor[18 + 2], kLoopbackInEndpoint);
    EXPECT_EQ(kLoopbackConfigurationDescriptor[25 + 2], kLoopbackOutEndpoint);
}

TEST(LoopbackLogicWithoutStorage, EveryOutOfDataWaits) {
    LoopbackLogic logic{};
    logic.Initialize(nullptr, 64);
    const uint8_t byte = 1;
    EXPECT_EQ(logic.Out(&byte, 1).Outcome, LoopbackOutcome::Wait);
    EXPECT_EQ(logic.Out(&byte, 0).Outcome, LoopbackOutcome::Done);
    EXPECT_EQ(logic.Queue(&byte, 1), 0u);
}

} // namespace
