#include "protocol/gax_qor_consts.h"

#include <gtest/gtest.h>

using namespace gax;

TEST(ExtFlags, NormalizeRequested) {
    const struct {
        uint32_t in, out;
    } cases[] = {
        {0x0FFC, 0x40},    // full list: only "no messages" survives
        {0x0A83, 0x01},    // DIFF without UTF-8 falls back to NOLIST, UTF-8 list data cleared
        {0x0A8B, 0x0A8B},  // with UTF-8 untouched
        {0x0A81, 0x01},   {0x0A82, 0x02},           {0x1F1F, 0x1F1F}, {0x00, 0x00},
        {0x40, 0x40},     {0xFFFFFFF1, 0xFFFFF571},  // unknown high bits are not this routine's
                                                     // business
    };
    for (const auto& c : cases)
        EXPECT_EQ(NormalizeRequestedExtFlags(c.in), c.out) << std::hex << c.in;
}

TEST(ExtFlags, ToTextInLogOrder) {
    EXPECT_EQ(ExtFlagsToText(0x0D), u"NOLIST, UTF8, SoundAck");
    EXPECT_EQ(ExtFlagsToText(0), u"");
    EXPECT_EQ(ExtFlagsToText(0x03), u"DIFF");
    EXPECT_EQ(ExtFlagsToText(0x1FFF),
              u"DIFF, UTF8, SoundAck, ShortFrames, NoMessagesFromServer, SpeakerInfo, "
              u"TempMuteBlock, NetChangeInfo, MoveClient, CacheList, Extender1");
    EXPECT_EQ(ExtFlagsToText(0x20 | 0x2000), u"");  // unnamed bits are not listed
}

TEST(WordTables, LookupsStayInsideTheTables) {
    EXPECT_EQ(QORWord(QORClientPrivilegeNames, clpr_SERVOWNER), u"SERVOWNER");
    EXPECT_EQ(QORWord(QORVisibleStatusShortNames, vs_Absent), u"AB");
    EXPECT_EQ(QORLetter(QORVisibleStatusLetters, vs_Absent), u'g');
    EXPECT_EQ(QORWord(QORProxyTypeNames, QOR_PROXY_TYPE_SOCKS5), u"SOCKS5");
    EXPECT_EQ(QORWord(QORSystemManagerModeNames, 4), u"");
    EXPECT_EQ(QORLetter(QORClientTypeLetters, 200), u'?');
    EXPECT_EQ(QORRightsOf(clpr_ADMIN), 1u);
    EXPECT_EQ(QORRightsOf(static_cast<TQORClientPrivilege>(9)), 0u);
    EXPECT_EQ(QOR_TEXT_EMPTY_CLIENT_LIST.size(), 6u);
    EXPECT_EQ(QOR_TEXT_EMPTY_CLIENT_LIST[1], '\0');
}
