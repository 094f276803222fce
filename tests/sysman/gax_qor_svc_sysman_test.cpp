// The manager client's line codecs: verdicts, the handshake answer, the
// networks block and the transport block's parts.
#include <gtest/gtest.h>

#include "sysman/sysman_test_support.h"

using namespace gax;

TEST(SysManLines, VerdictOfAnAnswerLine) {
    const std::vector<std::pair<std::string, TClientErrorType>> cases = {
        {"BLOCK", TClientErrorType::cet_BLOCK},  {"DUPL", TClientErrorType::cet_DUPL},
        {"ERROR", TClientErrorType::cet_ERROR},  {"WRONG", TClientErrorType::cet_WRONG},
        {"BLOCKED", TClientErrorType::cet_OK},   {"block", TClientErrorType::cet_OK},
        {"12345", TClientErrorType::cet_OK},     {"", TClientErrorType::cet_ERROR},
        {"a\tb", TClientErrorType::cet_ERROR},   {std::string("a\0b", 3), TClientErrorType::cet_ERROR},
        {"caf\xC3\xA9", TClientErrorType::cet_OK},
    };
    for (const auto& [line, v] : cases) EXPECT_EQ(SysManVerdictOfLine(line), v) << line;
}

TEST(SysManLines, HandshakeAnswer) {
    struct Case {
        std::string line;
        TQORSysManAnswerParse result;
        int32_t code, flags;
    };
    const std::vector<Case> cases = {
        {"<AL>0</AL>", TQORSysManAnswerParse::Ok, 0, 0},
        {"<AL> 0 </AL><MEF>56</MEF>", TQORSysManAnswerParse::Ok, 0, 56},
        {"<AL>0</AL><MEF></MEF>", TQORSysManAnswerParse::Ok, 0, 0},
        {"<AL>-3</AL><MEF>z</MEF>", TQORSysManAnswerParse::Ok, -3, 0},
        {"<AL>0</AL><MEF>z</MEF>", TQORSysManAnswerParse::BadFlags, 0, 0},
        {"<AL></AL>", TQORSysManAnswerParse::Invalid, 0, 0},
        {"<AL>99999999999</AL>", TQORSysManAnswerParse::Invalid, 0, 0},
        {"<AL>0</AL><AL>1</AL>", TQORSysManAnswerParse::Invalid, 0, 0},
        {"<AL>0\x01</AL>", TQORSysManAnswerParse::Invalid, 0, 0},
        {"<AL>0</A", TQORSysManAnswerParse::Invalid, 0, 0},
        {"", TQORSysManAnswerParse::Invalid, 0, 0},
    };
    for (const Case& c : cases) {
        int32_t code = 7, flags = 7;
        std::string bad;
        EXPECT_EQ(ParseSysManHandshakeAnswer(c.line, code, flags, bad), c.result) << c.line;
        EXPECT_EQ(code, c.code) << c.line;
        EXPECT_EQ(flags, c.flags) << c.line;
    }
}

TEST(SysManLines, NetworksBlockListsOnlyTheManagersNetworks) {
    int active = -1;
    const std::vector<TQORSysManNetInfo> nets = {
        {"One", "One", 0x1}, {"Two", "Tw\xC3\xB6", 0x2 | 0x4}, {"Three", "Three", 0x1}};
    EXPECT_EQ(BuildSysManNetsListZ(nets, 1, active),
              "ZN:03\r\n0000\r\n03Two04Tw\xC3\xB6\r\n0000\r\n");
    EXPECT_EQ(active, 1);
    EXPECT_EQ(BuildSysManNetsListZ({}, 0, active), "ZN:00\r\n");
    EXPECT_EQ(active, 0);
}

TEST(SysManLines, TransportBlockPartsStayInsideTheBlock) {
    const std::string block = sysmantest::TransportBlock(
        {"CC:x", "<DS></DS>", "<IP>1</IP>", "M", "011", "", "00", "", "ZE:\r\n"});
    EXPECT_EQ(TransportBlockPart(block, 0), "CC:x");
    EXPECT_EQ(TransportBlockPart(block, 4), "011");
    EXPECT_EQ(TransportBlockPart(block, 5), "");
    EXPECT_EQ(TransportBlockPart(block, 8), "ZE:\r\n");
    EXPECT_EQ(TransportBlockPart(block, 9), "");
    EXPECT_EQ(TransportBlockPart(block.substr(0, 71), 0), "");
    EXPECT_EQ(TransportBlockPart(block.substr(0, block.size() - 1), 8), "");  // cut short
    std::string huge = block;
    huge[4] = char(0xFF), huge[5] = huge[6] = huge[7] = char(0xFF);  // length 0xFFFFFFFF
    EXPECT_EQ(TransportBlockPart(huge, 0), "");
}
