#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "service/core/ports/NativeFrame.h"
#include "tests/support/ZrnOracle.h"

using namespace drv;

namespace {

std::string Answer(uint8_t addr, uint8_t cmd, std::string_view data, int cs_delta = 0) {
    return testsupport::AnswerFrame(addr, cmd, data, cs_delta);
}
using testsupport::Sum8;

size_t Len(const std::string& s) {
    return s.size();
}

}  // namespace

TEST(ZrnFramer, RequestCarriesAddressCommandDataAndAWrappingChecksum) {
    EXPECT_EQ(ZrnRequest(5, 'X', "94"),
              std::string("H\x05X94") + static_cast<char>(Sum8("H\x05X94E")) + "E");

    // Data bytes above 0x7F and a sum past 255: the checksum is the low byte.
    const std::string data = "\xF0\xF1\xF2\xFF";
    const std::string f = ZrnRequest(31, 0xC8, data);
    ASSERT_EQ(f.size(), data.size() + 5);
    EXPECT_EQ(f.substr(0, 3), std::string("H\x1F\xC8"));
    EXPECT_EQ(f.substr(3, data.size()), data);
    EXPECT_EQ(static_cast<uint8_t>(f[f.size() - 2]), Sum8("H\x1F\xC8" + data + "E"));
    EXPECT_EQ(f.back(), 'E');

    // Empty data and the longest data make frames too.
    EXPECT_EQ(ZrnRequest(0, 'S', "").size(), 5u);
    EXPECT_EQ(ZrnRequest(0, 'S', std::string(kZrnMaxData, '0')).size(), kZrnMaxFrame);
}

TEST(ZrnFramer, OnlyArgumentsThatMakeAFrameFit) {
    EXPECT_TRUE(ZrnRequestFits(0, 0, 1));
    EXPECT_TRUE(ZrnRequestFits(31, kZrnMaxData, 255));
    EXPECT_FALSE(ZrnRequestFits(32, 0, 9));
    EXPECT_FALSE(ZrnRequestFits(255, 0, 9));
    EXPECT_FALSE(ZrnRequestFits(1, kZrnMaxData + 1, 9));
    EXPECT_FALSE(ZrnRequestFits(1, 2, 0));
    EXPECT_FALSE(ZrnRequestFits(1, 2, -1));
    EXPECT_FALSE(ZrnRequestFits(1, 2, 256));
}

TEST(ZrnFramer, ReadIsCompleteWithTheAnswerButNotWhileOnlyTheEchoIsThere) {
    const std::string req = ZrnRequest(3, 'X', "94");  // 7 bytes
    const std::string ans = Answer(3, 'X', "123");     // 9 bytes
    EXPECT_EQ(ZrnReadLimit(9, req.size()), 16u);
    EXPECT_EQ(ZrnReadLimit(250, 100), kZrnMaxFrame);

    // Without echo: complete exactly when the expected length is there.
    EXPECT_FALSE(ZrnReadComplete("", req, 9));
    EXPECT_FALSE(ZrnReadComplete(ans.substr(0, 8), req, 9));
    EXPECT_TRUE(ZrnReadComplete(ans, req, 9));

    // With echo: the expected length of echo and part of the answer is not an answer yet.
    const std::string both = req + ans;
    EXPECT_FALSE(ZrnReadComplete(both.substr(0, 7), req, 9));
    EXPECT_FALSE(ZrnReadComplete(both.substr(0, 9), req, 9));
    EXPECT_FALSE(ZrnReadComplete(both.substr(0, 15), req, 9));
    EXPECT_TRUE(ZrnReadComplete(both, req, 9));
    // An echo shorter than the expected length, then something else: an answer.
    EXPECT_TRUE(ZrnReadComplete(req.substr(0, 4) + "zzzzz", req, 9));
    // The read limit ends it whatever came.
    EXPECT_TRUE(ZrnReadComplete(std::string(kZrnMaxFrame, 'H'), std::string(kZrnMaxFrame, 'H'),
                                kZrnMaxFrame));
}

TEST(ZrnFramer, OnlyAWholeEchoIsStripped) {
    const std::string req = ZrnRequest(3, 'X', "94");
    const std::string ans = Answer(3, 'X', "123");

    std::string rx = req + ans;
    EXPECT_TRUE(ZrnStripEcho(rx, req));
    EXPECT_EQ(rx, ans);

    rx = req;  // only the echo: nothing of the answer is left
    EXPECT_TRUE(ZrnStripEcho(rx, req));
    EXPECT_EQ(rx, "");

    rx = req.substr(0, 6);  // a cut echo stays: it is what came
    EXPECT_FALSE(ZrnStripEcho(rx, req));
    EXPECT_EQ(rx, req.substr(0, 6));

    rx = ans;
    EXPECT_FALSE(ZrnStripEcho(rx, req));
    EXPECT_EQ(rx, ans);
}

TEST(ZrnFramer, ChecksumLookingLikeAFrameStartIsRepaired) {
    // The checksum position holds 'H' and the final 'E' is missing or wrong.
    std::string good = Answer(1, 'X', "123");
    std::string a = good.substr(0, 7) + "H";  // expected - 1 bytes
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kChecksumAsStart);
    EXPECT_EQ(a, good.substr(0, 7) + "HE");

    a = good.substr(0, 7) + "Hx";  // right length, wrong last byte
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kChecksumAsStart);
    EXPECT_EQ(a, good.substr(0, 7) + "HE");

    a = good.substr(0, 7) + "H\x01X";  // over-long: this repair comes first
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kChecksumAsStart);
    EXPECT_EQ(a, good.substr(0, 7) + "HE");

    // A whole answer whose checksum really is 'H' is left alone.
    a = good.substr(0, 7) + "HE";
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kNone);
    EXPECT_EQ(a, good.substr(0, 7) + "HE");

    // Expected length 1 has no checksum position.
    a = "H";
    EXPECT_EQ(ZrnRepairAnswer(a, 1, true, kModeNormal), ZrnRepair::kNone);
    EXPECT_EQ(a, "H");
}

TEST(ZrnFramer, OverLongAnswersAreCutTruncatedOnesAreNot) {
    const std::string good = Answer(1, 'X', "123");
    std::string a = good + "zz";
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kTooLong);
    EXPECT_EQ(a, good);
    EXPECT_EQ(ZrnJudge(a, 9, 1, 'X', kModeNormal), ZrnVerdict::kValid);

    a = "AAB";
    EXPECT_EQ(ZrnRepairAnswer(a, 1, true, kModeNormal), ZrnRepair::kTooLong);
    EXPECT_EQ(a, "A");

    a = good.substr(0, 6);  // truncated, no 'H' at the checksum position
    EXPECT_EQ(ZrnRepairAnswer(a, 9, true, kModeNormal), ZrnRepair::kNone);
    EXPECT_EQ(a, good.substr(0, 6));
    EXPECT_EQ(ZrnJudge(a, 9, 1, 'X', kModeNormal), ZrnVerdict::kRejected);
}

TEST(ZrnFramer, SilenceIsAnAcknowledgementInModeThreeOnly) {
    std::string a;
    EXPECT_EQ(ZrnRepairAnswer(a, 1, false, kModeSilenceAck), ZrnRepair::kSilenceAck);
    EXPECT_EQ(a, "A");
    EXPECT_EQ(ZrnJudge(a, 1, 0, 'S', kModeSilenceAck), ZrnVerdict::kValid);

    // Expecting more than the acknowledgement, silence still fails.
    a.clear();
    EXPECT_EQ(ZrnRepairAnswer(a, 9, false, kModeSilenceAck), ZrnRepair::kSilenceAck);
    EXPECT_EQ(ZrnJudge(a, 9, 0, 'X', kModeSilenceAck), ZrnVerdict::kRejected);

    for (int mode : {kModeNormal, kModeChecksumLow1, kModeChecksumLow2}) {
        a.clear();
        EXPECT_EQ(ZrnRepairAnswer(a, 1, false, mode), ZrnRepair::kNone) << mode;
        EXPECT_EQ(a, "");
        EXPECT_EQ(ZrnJudge(a, 1, 0, 'S', mode), ZrnVerdict::kRejected) << mode;
    }

    // What did come in mode three is judged as it is.
    a = "B";
    EXPECT_EQ(ZrnRepairAnswer(a, 1, true, kModeSilenceAck), ZrnRepair::kNone);
    EXPECT_EQ(ZrnJudge(a, 1, 0, 'S', kModeSilenceAck), ZrnVerdict::kNak);
}

TEST(ZrnFramer, ValidAnswerHandsBackItsDataPart) {
    // High data bytes push the sum past 255; the 'A' is not part of it.
    const std::string data = "\xFE\xFD\xFC\x80";
    const std::string a = Answer(7, 'X', data);
    ASSERT_EQ(ZrnJudge(a, Len(a), 7, 'X', kModeNormal), ZrnVerdict::kValid);
    EXPECT_EQ(ZrnAnswerData(a, Len(a)), data);
    EXPECT_EQ(ZrnAnswerAddress(a), 7);

    // No data at all.
    const std::string empty = Answer(7, 'S', "");
    ASSERT_EQ(ZrnJudge(empty, 6, 7, 'S', kModeNormal), ZrnVerdict::kValid);
    EXPECT_EQ(ZrnAnswerData(empty, 6), "");

    // A bare acknowledgement needs only its length and the 'A', and comes back whole.
    EXPECT_EQ(ZrnJudge("A", 1, 7, 'S', kModeNormal), ZrnVerdict::kValid);
    EXPECT_EQ(ZrnJudge("A\x01\x02\x03\x04", 5, 7, 'S', kModeNormal), ZrnVerdict::kValid);
    EXPECT_EQ(ZrnAnswerData("A\x01\x02\x03\x04", 5), "A\x01\x02\x03\x04");
}

TEST(ZrnFramer, ChecksumTenBelowTheSumPassesOnlyInModesOneAndTwo) {
    const std::string low = Answer(2, 'X', "123", -0x10);
    const std::string high = Answer(2, 'X', "123", +0x10);
    const std::string off = Answer(2, 'X', "123", -1);
    EXPECT_EQ(ZrnJudge(low, 9, 2, 'X', kModeNormal), ZrnVerdict::kInvalid);
    EXPECT_EQ(ZrnJudge(low, 9, 2, 'X', kModeSilenceAck), ZrnVerdict::kInvalid);
    for (int mode : {kModeChecksumLow1, kModeChecksumLow2}) {
        EXPECT_EQ(ZrnJudge(low, 9, 2, 'X', mode), ZrnVerdict::kValid) << mode;
        EXPECT_EQ(ZrnJudge(high, 9, 2, 'X', mode), ZrnVerdict::kInvalid) << mode;
        EXPECT_EQ(ZrnJudge(off, 9, 2, 'X', mode), ZrnVerdict::kInvalid) << mode;
    }
    EXPECT_EQ(ZrnJudge(off, 9, 2, 'X', kModeNormal), ZrnVerdict::kInvalid);
}

TEST(ZrnFramer, AnswerAddressMayCarryFlagBitsAboveTheLowNibble) {
    for (int byte : {5, 0x25, 0x45, 0x85, 0xE5})
        EXPECT_EQ(ZrnJudge(Answer(static_cast<uint8_t>(byte), 'X', "123"), 9, 5, 'X', kModeNormal),
                  ZrnVerdict::kValid)
            << byte;
    EXPECT_EQ(ZrnJudge(Answer(0x15, 'X', "123"), 9, 5, 'X', kModeNormal), ZrnVerdict::kInvalid);
    EXPECT_EQ(ZrnJudge(Answer(6, 'X', "123"), 9, 5, 'X', kModeNormal), ZrnVerdict::kInvalid);
    // Above 15 the low nibble cannot name the address: only the address itself.
    EXPECT_EQ(ZrnJudge(Answer(21, 'X', "123"), 9, 21, 'X', kModeNormal), ZrnVerdict::kValid);
    for (int byte : {0x35, 0x55, 0xF5})
        EXPECT_EQ(ZrnJudge(Answer(static_cast<uint8_t>(byte), 'X', "123"), 9, 21, 'X', kModeNormal),
                  ZrnVerdict::kInvalid)
            << byte;
}

TEST(ZrnFramer, EachBrokenFieldRejectsTheAnswer) {
    const std::string good = Answer(4, 'X', "123");
    ASSERT_EQ(ZrnJudge(good, 9, 4, 'X', kModeNormal), ZrnVerdict::kValid);

    std::string a = good;
    a[1] = 'h';  // frame start, checksum kept right for the new byte
    a[7] = static_cast<char>(a[7] + ('h' - 'H'));
    EXPECT_EQ(ZrnJudge(a, 9, 4, 'X', kModeNormal), ZrnVerdict::kInvalid);

    EXPECT_EQ(ZrnJudge(good, 9, 4, 'Y', kModeNormal), ZrnVerdict::kInvalid);  // other command

    a = good;
    a[8] = 'F';  // end byte, checksum kept right
    a[7] = static_cast<char>(a[7] + 1);
    EXPECT_EQ(ZrnJudge(a, 9, 4, 'X', kModeNormal), ZrnVerdict::kInvalid);

    a = good;
    a[5] = '3';  // data changed, checksum not
    EXPECT_EQ(ZrnJudge(a, 9, 4, 'X', kModeNormal), ZrnVerdict::kInvalid);

    // Length and the leading byte come first.
    EXPECT_EQ(ZrnJudge(good, 10, 4, 'X', kModeNormal), ZrnVerdict::kRejected);
    EXPECT_EQ(ZrnJudge(good.substr(0, 8), 9, 4, 'X', kModeNormal), ZrnVerdict::kRejected);
    EXPECT_EQ(ZrnJudge("", 9, 4, 'X', kModeNormal), ZrnVerdict::kRejected);
    a = good;
    a[0] = 'Z';
    EXPECT_EQ(ZrnJudge(a, 9, 4, 'X', kModeNormal), ZrnVerdict::kRejected);
    a[0] = 'B';  // the controller's checksum complaint, whatever its length
    EXPECT_EQ(ZrnJudge(a, 9, 4, 'X', kModeNormal), ZrnVerdict::kNak);
    EXPECT_EQ(ZrnJudge("B", 9, 4, 'X', kModeNormal), ZrnVerdict::kNak);
    EXPECT_EQ(ZrnJudge("B", 1, 4, 'X', kModeNormal), ZrnVerdict::kNak);
}

TEST(ZrnFramer, EchoedAnswerWithALostByteGoesThroughTheWholeChain) {
    // What a port does with the bytes of one attempt, without the line.
    const std::string req = ZrnRequest(9, 'X', "94");
    std::string good = Answer(9, 'X', "1:3");
    std::string rx = req + good;
    ASSERT_TRUE(ZrnReadComplete(rx, req, 9));
    ASSERT_TRUE(ZrnStripEcho(rx, req));
    ASSERT_EQ(ZrnRepairAnswer(rx, 9, true, kModeNormal), ZrnRepair::kNone);
    ASSERT_EQ(ZrnJudge(rx, 9, 9, 'X', kModeNormal), ZrnVerdict::kValid);
    EXPECT_EQ(ZrnAnswerData(rx, 9), "1:3");

    // The same with the checksum replaced by a frame start and the end lost: repaired to a
    // frame whose checksum no longer matches, which the judgement refuses.
    rx = req + good.substr(0, 7) + "H";
    ASSERT_TRUE(ZrnStripEcho(rx, req));
    ASSERT_EQ(ZrnRepairAnswer(rx, 9, true, kModeNormal), ZrnRepair::kChecksumAsStart);
    EXPECT_EQ(ZrnJudge(rx, 9, 9, 'X', kModeNormal), ZrnVerdict::kInvalid);
}
