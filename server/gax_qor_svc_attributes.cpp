// A client's standing on the network it enters (privilege, blocks, rights,
// mutes, granted extensions, connection limits), the re-decoding of its 8-bit
// texts with the network's character set, and its prebuilt list items.
#include <cstring>
#include <string>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_hex.h"
#include "protocol/gax_qor_fields.h"
#include "server/gax_qor_svc_context.h"

namespace gax {

namespace {

using Cause = TQORSVCDisconnectCause;

// What the admission keeps of the flags the session came with: visible status,
// client type, UTF-8, list format, sound ack, extended protocol, leaving and
// the three extension bits of the connect string.
constexpr uint32_t kAttrKeepFlags = 0x078123B3;
constexpr uint32_t kAttrSetFlags = QOR_CF_ADMITTED | QOR_CF_NOT_ADMIN | QOR_CF_NOT_OWNER |
                                   QOR_CF_NEWBIE;
// Granted bits of the connect string: list format, SoundAck, UTF8, 0x40, SpeakerInfo, CacheList.
constexpr uint32_t kAttrKeepGranted = 0x8CF;

constexpr uint32_t kFieldMax = 65535;

void AppendTyped(std::string& aOut, char aType, std::string_view aValue) {
    if (aValue.size() > kFieldMax) throw Exception(std::string_view("Field value too long"));
    char buf[16];
    buf[0] = aType;
    char* d = PutHexLenUInt(buf + 1, static_cast<uint32_t>(aValue.size()));
    aOut.append(buf, d);
    aOut.append(aValue);
}

void AppendPadded(std::string& aOut, std::string_view aValue, size_t aWidth) {
    const size_t n = aValue.size() < aWidth ? aValue.size() : aWidth;
    aOut.append(aValue.data(), n);
    aOut.append(aWidth - n, ' ');
}

}  // namespace

void TQORSVCContext::tmTakeConnect() {
    f_Network = f_ConnectNetwork;
    f_ClientError = f_ConnectError;
    f_AnswExtFlags = f_ConnectExtFlags;
    BuildClientListItemV0();
    BuildClientListItemV1A();
    if (f_CliUtf8) {
        BuildClientListItemV1U();
    } else {
        f_V1UIsV1A = true;
        f_ClientListItemV1U.clear();
    }
}

void TQORSVCContext::tmProcessAttributes(TQORSVCClientHandshakeType) {
    tmDecideStanding();
    // Whichever way the admission ended, the worker sees its outcome.
    PublishRights();
}

void TQORSVCContext::tmDecideStanding() {
    f_QORNetworkIndex = 0;
    CliDiffersWithRights = CliDiffersWithMutes = CliDiffersWithBlocks = CliDiffersWithAdmins =
        false;
    CtxFlagsMask(kAttrKeepFlags, kAttrSetFlags);
    f_AnswExtFlags &= kAttrKeepGranted;
    if (f_Network == nullptr) {
        // An admission without a network is a caller's fault; refuse rather than guess.
        f_ClientError = TClientErrorType::cet_BLOCK;
        DisconnectCauseW(Cause::fsdc_ServInternalError);
        return;
    }
    TQORSVCClientNetwork& net = *f_Network;

    constexpr uint32_t kOwnerBits = QOR_CF_PRIV_OWNER_CLASS | QOR_CF_PRIVILEGED | QOR_CF_NOT_ADMIN;
    constexpr uint32_t kAdminBits = QOR_CF_PRIV_ADMIN_CLASS | QOR_CF_PRIVILEGED | QOR_CF_NOT_OWNER;
    const std::string_view owner = e_Facts.ServOwnerId();
    bool differs = false;
    if (!owner.empty() && owner == f_CliHashA) {
        CliPrivilege = clpr_SERVOWNER;
        CtxFlagsMask(~QOR_CF_PRIV_BITS, kOwnerBits);
    } else if (net.IsNetOwnerByHash(f_CliHashA)) {
        CliPrivilege = clpr_NETOWNER;
        CtxFlagsMask(~QOR_CF_PRIV_BITS, kOwnerBits);
    } else if (net.NetFindAdmin(*this, differs)) {
        CliPrivilege = clpr_ADMIN;
        CliDiffersWithAdmins = differs;
        CtxFlagsMask(~QOR_CF_PRIV_BITS, kAdminBits);
    } else {
        CliPrivilege = clpr_USER;
    }

    differs = false;
    const bool blocked = net.IsBlockedOnNetwork(*this, differs);
    CliDiffersWithBlocks = differs;
    if (blocked && CliPrivilege == clpr_USER) {
        DisconnectCauseW(Cause::fsdc_AdminBlock);
        f_ClientError = TClientErrorType::cet_BLOCK;
        return;
    }

    const TQORSVCClientRights rights = net.GetRights(*this);
    CliDiffersWithRights = rights.Differs;
    const bool isOwner = CliPrivilege == clpr_SERVOWNER || CliPrivilege == clpr_NETOWNER;
    if (!rights.Access && !isOwner) {
        DisconnectCauseW(Cause::fsdc_AdminBlock);
        f_ClientError = TClientErrorType::cet_BLOCK;
        return;
    }

    differs = false;
    if (net.IsMutedOnNetwork(*this, differs)) CtxFlagsSet(QOR_CF_MUTED);
    CliDiffersWithMutes = differs;

    SetFlagsTalkEnable(rights.Talk);

    const uint32_t req = f_RequestExtFlags;
    if ((req & QOR_EXT_SHORT_FRAMES) && net.OptShortFrames()) {
        f_AnswExtFlags |= QOR_EXT_SHORT_FRAMES;
        CtxFlagsSet(QOR_CF_SHORT_FRAMES);
    }
    if (req & QOR_EXT_NO_MESSAGES_FROM_SERVER) {
        f_AnswExtFlags |= QOR_EXT_NO_MESSAGES_FROM_SERVER;
        CtxFlagsSet(QOR_CF_NO_SERVER_MESSAGES);
    }
    if ((req & QOR_EXT_TEMP_MUTE_BLOCK) && net.OptTempMuteBlock() && CliPrivilege != clpr_USER)
        f_AnswExtFlags |= QOR_EXT_TEMP_MUTE_BLOCK;
    if (req & QOR_EXT_NET_CHANGE_INFO) f_AnswExtFlags |= QOR_EXT_NET_CHANGE_INFO;
    if ((req & QOR_EXT_MOVE_CLIENT) &&
        (isOwner || (CliPrivilege == clpr_ADMIN && net.OptAdminMoveClient())))
        f_AnswExtFlags |= QOR_EXT_MOVE_CLIENT;

    if (ExceededConnectionsPerAddress && !net.AllowByPrivilege(CliPrivilege)) {
        DisconnectCauseW(Cause::fsdc_MaxClientConnectionsPerAddress);
        f_ClientError = TClientErrorType::cet_NONE;
        return;
    }
    if (ExceededConnectionsTotal && !net.AllowByPrivilege(CliPrivilege)) {
        DisconnectCauseW(Cause::fsdc_MaxClientConnectionsTotal);
        f_ClientError = TClientErrorType::cet_NONE;
        return;
    }

    OffsetInClientsListV0 = 0;
    pNetworkClientsListV0 = nullptr;
    OffsetInClientsListV1FU = 0;
    pNetworkClientsListV1FU = nullptr;
    if (f_ClientError == TClientErrorType::cet_OK && CliPrivilege == clpr_SERVOWNER)
        CliDiffersWithServOwner = e_Facts.ServOwnerInfoDiffers(*this);
}

void TQORSVCContext::tmRecaclCharsetA2(const TAnsiUnicodeConverter* aConv) {
    if (aConv == nullptr) return;
    f_UnicodeBlock[ub_EMailA] = aConv->AnsiToUnicode(f_EMailANSI);
    f_UnicodeBlock[ub_CallsignA] = aConv->AnsiToUnicode(f_CallsignOpnameANSI);
    f_UnicodeBlock[ub_PasswordA] = aConv->AnsiToUnicode(f_PasswordANSI);
    f_UnicodeBlock[ub_BandA] = aConv->AnsiToUnicode(f_BandChannelANSI);
    f_UnicodeBlock[ub_CityA] = aConv->AnsiToUnicode(f_CityCityPartANSI);
    f_UnicodeBlock[ub_CountryA] = aConv->AnsiToUnicode(f_CountryANSI);
    f_UnicodeBlock[ub_DescriptionA] = aConv->AnsiToUnicode(f_DescriptionANSI);
}

void TQORSVCContext::BuildVisualSortKey() {
    std::string k;
    k.reserve(kQORVisualSortKeyLen);
    k.push_back(static_cast<char>('0' + f_ClientType));
    AppendPadded(k, f_CountryANSI, 20);
    AppendPadded(k, f_CityCityPartANSI, 21);
    AppendPadded(k, f_CallsignOpnameANSI, 21);
    AppendPadded(k, f_BandChannelANSI, 21);
    for (int i = 0; i < 4; ++i) k.push_back(static_cast<char>(CtxGlobalKey() >> (8 * i)));
    SwapKeyWordsInPlace(k.data(), static_cast<int32_t>(k.size()));
    f_VisualSortKey = std::move(k);
}

void TQORSVCContext::BuildClientListItemV0() {
    const uint32_t flags = CtxFlags();
    std::string& s = f_ClientListItemV0;
    s.clear();
    s.reserve(82 + f_CountryANSI.size() + f_CityCityPartANSI.size() + f_BandChannelANSI.size() +
              f_CallsignOpnameANSI.size() + f_CliHashA.size() + f_DescriptionANSI.size());
    s.append("<S>");
    s.push_back(static_cast<char>('0' + (flags & QOR_CF_VISIBLE_STATUS) +
                                  ((flags & QOR_CF_TALK_DENIED) ? 5 : 0)));
    s.append("</S><M>");
    s.push_back((flags & QOR_CF_MUTED) ? '1' : '0');
    s.append("</M><NN>").append(f_CountryANSI);
    s.append("</NN><CT>").append(f_CityCityPartANSI);
    s.append("</CT><BC>").append(f_BandChannelANSI);
    s.append("</BC><CL>");
    s.push_back(static_cast<char>('0' + f_ClientType));
    s.append("</CL><ON>").append(f_CallsignOpnameANSI);
    s.append("</ON><ID>").append(f_CliHashA);
    s.append("</ID><DS>").append(f_DescriptionANSI);
    s.append("</DS>\r\n");
}

namespace {

std::string BuildV1(uint8_t aStatus, std::string_view aCountry, std::string_view aCity,
                    std::string_view aBand, std::string_view aCallsign, std::string_view aId,
                    std::string_view aDescription) {
    std::string s;
    char hex[2];
    BytesToHexBufA(hex, &aStatus, 1);
    s.append(hex, 2);
    AppendTyped(s, '5', aCountry);
    AppendTyped(s, '6', aCity);
    AppendTyped(s, '3', aBand);
    AppendTyped(s, '2', aCallsign);
    AppendTyped(s, '8', aId);
    AppendTyped(s, '4', aDescription);
    s.append("\r\n");
    return s;
}

}  // namespace

void TQORSVCContext::BuildClientListItemV1A() {
    f_ClientListItemV1A =
        BuildV1(static_cast<uint8_t>(CtxFlags() & 0x3F), f_CountryANSI, f_CityCityPartANSI,
                f_BandChannelANSI, f_CallsignOpnameANSI, f_CliHashA, f_DescriptionANSI);
}

void TQORSVCContext::BuildClientListItemV1U() {
    f_ClientListItemV1U =
        BuildV1(static_cast<uint8_t>(CtxFlags() & 0xBF), f_CountryUTF8, f_CityCityPartUTF8,
                f_BandChannelUTF8, f_CallsignOpnameUTF8, f_CliHashA, f_DescriptionUTF8);
    f_V1UIsV1A = false;
}

}  // namespace gax
