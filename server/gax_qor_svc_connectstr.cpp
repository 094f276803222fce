// The connect-string reader of a client session and the transport block it builds.
#include "server/gax_qor_svc_connectstr.h"

#include <cstring>
#include <string>

#include "foundation/gax_hex.h"
#include "foundation/gax_stringbld.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_connparams.h"
#include "protocol/gax_qor_fields.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_context.h"

namespace gax {

namespace {

using Cause = TQORSVCDisconnectCause;

// Blanks and control bytes (<= 32) off both ends, cut to a byte limit, and
// trimmed again so that a cut never leaves blanks at the end.
std::string_view TrimCutBytes(std::string_view v, int32_t aLimit) {
    v = TrimBlanksViewA(v);
    if (v.size() > static_cast<size_t>(aLimit)) v = TrimBlanksViewA(v.substr(0, aLimit));
    return v;
}

// The same for UTF-8 text, cut by characters.
std::string_view TrimCutChars(std::string_view v, int32_t aLimit) {
    v = TrimBlanksViewA(v);
    const int n = Utf8PrefixByteLen(v.data(), static_cast<int>(v.size()), aLimit);
    if (static_cast<size_t>(n) < v.size()) v = TrimBlanksViewA(v.substr(0, n));
    return v;
}

std::string_view TagValue(const TQORTagItemRec* aItem) {
    return aItem ? aItem->Value() : std::string_view{};
}

std::string PadToWords(std::string_view s) {
    std::string r(s);
    r.resize((r.size() + 3) & ~size_t{3}, '\0');
    return r;
}

// UTF-16 key of a client: the hex text of its e-mail bytes, a zero unit and its callsign.
std::u16string ClientTextKey(std::string_view aEMail, std::u16string_view aCallsign) {
    std::u16string k = BytesToHexW(aEMail);
    k.push_back(u'\0');
    k.append(aCallsign);
    return k;
}

size_t Round4(size_t n) {
    return (n + 3) & ~size_t{3};
}

void PutLE32(char* p, uint32_t v) {
    p[0] = static_cast<char>(v);
    p[1] = static_cast<char>(v >> 8);
    p[2] = static_cast<char>(v >> 16);
    p[3] = static_cast<char>(v >> 24);
}

uint32_t GetLE32(const char* p) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

size_t SizeF(std::string_view s) {
    return SizeHexLenStr(s.size());
}

// A client's bytes for a log line, escaped so that they cannot forge lines.
std::u16string LogSafe(std::string_view aValue) {
    TStringBldU b;
    AppendLogSafeText(b, ByteStrToUnicode(aValue));
    return ToText(b);
}

}  // namespace

std::string_view TransportBlockPart(std::string_view aBlock, TQORTransportPart aPart) {
    const auto i = static_cast<size_t>(aPart);
    if (i >= static_cast<size_t>(kQORTransportParts) || aBlock.size() < kQORTransportHeaderLen)
        return {};
    const uint64_t off = GetLE32(aBlock.data() + 8 * i);
    const uint64_t len = GetLE32(aBlock.data() + 8 * i + 4);
    if (len == 0 || off + len > aBlock.size()) return {};
    return aBlock.substr(off, len);
}

void TQORSVCContext::RefuseConnect(std::u16string_view aText) {
    DisconnectCauseW(Cause::fsdc_InvalidConnectString);
    f_ConnectError = TClientErrorType::cet_NONE;
    if (ClientLogLevel() >= kLogLevelDanger) {
        std::u16string t(u" ");
        t.append(aText);
        call_OnCtxError(t);
    }
}

void TQORSVCContext::WidenAnsiFields() {
    f_UnicodeBlock[ub_EMailA] = ByteStrToUnicode(f_EMailANSI);
    f_UnicodeBlock[ub_PasswordA] = ByteStrToUnicode(f_PasswordANSI);
    f_UnicodeBlock[ub_BandA] = ByteStrToUnicode(f_BandChannelANSI);
    f_UnicodeBlock[ub_CityA] = ByteStrToUnicode(f_CityCityPartANSI);
    f_UnicodeBlock[ub_CallsignA] = ByteStrToUnicode(f_CallsignOpnameANSI);
    f_UnicodeBlock[ub_DescriptionA] = ByteStrToUnicode(f_DescriptionANSI);
    f_UnicodeBlock[ub_CountryA] = ByteStrToUnicode(f_CountryANSI);
}

void TQORSVCContext::MakeSortKeys() {
    f_EMailSort = PadToWords(f_EMailANSI);
    f_CallsignOpnameANSISort = PadToWords(f_CallsignOpnameANSI);
}

void TQORSVCContext::TCP_QOR_ParseClientConnectStr(char* aLine, int32_t aLen) {
    const int32_t level = ClientLogLevel();
    f_LastClientVersion = kQORNoClientVersion;
    f_ConnectError = TClientErrorType::cet_NONE;
    f_ConnectNetwork = nullptr;

    auto parseError = [&](int aCode) {
        DisconnectCauseW(aCode == QOR_PARSE_INVALID_CHARACTERS ? Cause::fsdc_InvalidCharacter
                                                               : Cause::fsdc_InvalidConnectString);
        if (level >= kLogLevelDanger) {
            std::u16string t(u" Client connect error: ");
            t.append(TagParseErrorText(aCode));
            call_OnCtxError(t);
        }
    };

    // The tag and typed-field records point into the caller's line: nothing
    // is copied until a field is stored.
    TQORTagItemRec items[kQORConnectMaxTags];
    TQORTagParseRec tags;
    tags.Items = items;
    tags.Data = aLine;
    tags.DataLen = aLen > 0 ? aLen : 0;
    tags.Flags = QOR_TAGPARSE_CTRL_ERROR | QOR_TAGPARSE_NO_DUPLICATES;
    tags.Capacity = kQORConnectMaxTags;
    const int parsed = aLen > 0 ? ParseTagList(tags) : 0;
    if (parsed < 1) {
        parseError(parsed);
        return;
    }

    const TQORTagItemRec* u8tf = FindTag(tags, QOR_TAG_U8TF);
    TQORTypedFieldRec fields[kQORConnectMaxTypedFields];
    TQORTypedFieldParseRec typed;
    if (u8tf) {
        const std::string_view v = u8tf->Value();
        if (v.size() < 3) {
            parseError(0);
            return;
        }
        typed.Items = fields;
        typed.Data = v.data() + 1;
        typed.DataLen = static_cast<int32_t>(v.size() - 1);
        typed.MaxItems = kQORConnectMaxTypedFields;
        const int r = ParseTypedFields(typed);
        if (r < 0) {
            parseError(r);
            return;
        }
    }

    // ---- presence checks: a refusal here drops the connection unanswered ----
    const TQORTagItemRec* ea = FindTag(tags, QOR_TAG_EA);
    if (!ea) return RefuseConnect(kConnectFieldErrors[5]);
    const std::string_view eaValue = TrimCutBytes(ea->Value(), kQORLimitEMail);
    if (eaValue.empty()) return RefuseConnect(kConnectFieldErrors[6]);
    if (eaValue == "@") {
        f_ConnectError = TClientErrorType::cet_BLOCK;
        DisconnectCauseW(Cause::fsdc_ServerBlock);
        if (level >= kLogLevelAll) call_OnCtxInfo(u" Kelvoran testing server procedure EA=@");
        return;
    }
    const TQORTagItemRec* vx = FindTag(tags, QOR_TAG_VX);
    if (!vx) return RefuseConnect(kConnectFieldErrors[39]);
    struct Required {
        std::string_view Tag;
        int NoText, EmptyText;
    };
    static constexpr Required kRequired[] = {
        {QOR_TAG_PW, 21, 22}, {QOR_TAG_ON, 8, 9}, {QOR_TAG_BC, 17, 18}, {QOR_TAG_CT, 19, 20}};
    for (const Required& r : kRequired) {
        const TQORTagItemRec* t = FindTag(tags, r.Tag);
        if (!t) return RefuseConnect(kConnectFieldErrors[r.NoText]);
        if (TrimBlanksViewA(t->Value()).empty())
            return RefuseConnect(kConnectFieldErrors[r.EmptyText]);
    }
    const TQORTagItemRec* nn = FindTag(tags, QOR_TAG_NN);
    if (!nn && !e_Facts.HasDefaultCountry()) return RefuseConnect(kConnectFieldErrors[10]);
    const TQORTagItemRec* nt = FindTag(tags, QOR_TAG_NT);
    if (!nt && e_Facts.DefaultNetwork() == nullptr)
        return RefuseConnect(kConnectFieldErrors[12]);

    // ---- from here on every failure is answered "BLOCK" ----
    f_ConnectError = TClientErrorType::cet_BLOCK;

    const std::string_view vxValue = TrimBlanksViewA(vx->Value());
    if (vxValue.empty()) {
        if (level >= kLogLevelDanger) {
            std::u16string t(u" ");
            t.append(kConnectFieldErrors[40]);
            call_OnCtxError(t);
        }
        return;
    }
    int32_t version = 0;
    if (!TryParseIntBufA(vxValue.data(), static_cast<int>(vxValue.size()), version)) {
        if (level >= kLogLevelDanger)
            call_OnCtxError(u" Wrong value of ANSI VX [ClientVersion] field");
        return;
    }
    CliVersion = version;
    f_LastClientVersionA.assign(vxValue);
    f_LastClientVersion = version;

    f_BandChannelANSI.assign(TrimCutBytes(TagValue(FindTag(tags, QOR_TAG_BC)), kQORLimitBand));
    f_ClientType = ClientTypeFromBandChannel(f_BandChannelANSI);
    f_EMailANSI.assign(eaValue);
    f_PasswordANSI.assign(TrimCutBytes(TagValue(FindTag(tags, QOR_TAG_PW)), kQORLimitPassword));
    f_CallsignOpnameANSI.assign(
        TrimCutBytes(TagValue(FindTag(tags, QOR_TAG_ON)), kQORLimitCallsign));
    f_CityCityPartANSI.assign(TrimCutBytes(TagValue(FindTag(tags, QOR_TAG_CT)), kQORLimitCity));
    MakeSortKeys();
    CtxFlagsMask(~QOR_CF_CLIENT_TYPE, static_cast<uint32_t>(f_ClientType) << 4);

    f_ProtocolFlags = ProtocolFlagsFromVersion(f_ActLikeServerVersion, CliVersion,
                                               f_ActLikeServerVersion);

    f_WishedNetworkA.assign(TrimCutBytes(TagValue(nt), kQORLimitNetworkA));
    f_WishedNetworkA2 = ByteStrToUnicode(f_WishedNetworkA);
    if (const TQORTagItemRec* ds = FindTag(tags, QOR_TAG_DS))
        f_DescriptionANSI.assign(TrimCutBytes(ds->Value(), kQORLimitDescription));
    WidenAnsiFields();

    // ---- extension flags ----
    f_OriginallyRequestedExtFlags = f_RequestExtFlags = f_ConnectExtFlags = 0;
    if (const TQORTagItemRec* cef = FindTag(tags, QOR_TAG_CEF)) {
        const std::string_view v = TrimBlanksViewA(cef->Value());
        if (!v.empty()) {
            int32_t requested = 0;
            if (!TryParseIntBufA(v.data(), static_cast<int>(v.size()), requested)) {
                if (level >= kLogLevelDanger) {
                    std::u16string t(
                        u" Wrong CEF [Kelvoran Client-Server extension Flags] field: ");
                    t.append(LogSafe(v));
                    call_OnCtxError(t);
                }
                return;
            }
            f_OriginallyRequestedExtFlags = static_cast<uint32_t>(requested);
            if (level >= kLogLevelVerbose) {
                std::u16string t(u" Requested Kelvoran Client-Server extension flags: ");
                t.append(IntToDecStrW(requested)).append(u": ");
                t.append(ExtFlagsToText(f_OriginallyRequestedExtFlags));
                call_OnCtxInfo(t);
            }
            f_RequestExtFlags = NormalizeRequestedExtFlags(f_OriginallyRequestedExtFlags);
        }
    }

    // ---- the UTF-8 part ----
    if (f_RequestExtFlags & QOR_EXT_UTF8) {
        auto unicodeFail = [&]() {
            DisconnectCauseW(Cause::fsdc_WrongUnicodePart);
            f_ConnectError = TClientErrorType::cet_NONE;
        };
        if (!u8tf) return unicodeFail();
        const char typeDigit = u8tf->Value()[0];
        if (typeDigit < '0' || typeDigit > '2') {
            if (level >= kLogLevelDanger) call_OnCtxError(u" Wrong client type on Unicode(UTF8) part");
            return unicodeFail();
        }
        if (typeDigit - '0' != static_cast<int>(f_ClientType)) {
            call_OnCtxError(u" Wrong client type on Unicode(UTF8) part");
            return unicodeFail();
        }
        // The mask bits of e-mail, password, callsign, band and city.
        constexpr uint32_t kRequiredTypes = 0x1F;
        if ((typed.Mask & kRequiredTypes) != kRequiredTypes) {
            // Served as a client without UTF-8, with its request read again without it.
            f_CliUtf8 = false;
            f_RequestExtFlags = NormalizeRequestedExtFlags(f_OriginallyRequestedExtFlags &
                                                           ~QOR_EXT_UTF8);
        } else {
            auto field = [&](char aType, int32_t aLimit) -> std::string_view {
                const TQORTypedFieldRec* f = typed.Slots[QORTypedFieldSlot(aType)];
                return f ? TrimCutChars(f->Value(), aLimit) : std::string_view{};
            };
            auto store = [&](char aType, int32_t aLimit, std::string& aOut, int32_t aIndex,
                             int aEmptyText) -> bool {
                const std::string_view v = field(aType, aLimit);
                if (v.empty() && aEmptyText >= 0) {
                    if (level >= kLogLevelWarning) {
                        std::u16string t(u" ");
                        t.append(kConnectFieldErrors[aEmptyText]);
                        call_OnCtxError(t);
                    }
                    return false;
                }
                aOut.assign(v);
                f_UnicodeBlock[aIndex] = Utf8BufToUnicodeLenient(v.data(), static_cast<int>(v.size()));
                return true;
            };
            if (!store('0', kQORLimitEMail, f_EMailUTF8, ub_EMailU8, 0) ||
                !store('1', kQORLimitPassword, f_PasswordUTF8, ub_PasswordU8, 4) ||
                !store('2', kQORLimitCallsign, f_CallsignOpnameUTF8, ub_CallsignU8, 2) ||
                !store('3', kQORLimitBand, f_BandChannelUTF8, ub_BandU8, 1) ||
                !store('4', kQORLimitDescription, f_DescriptionUTF8, ub_DescriptionU8, -1) ||
                !store('5', kQORLimitCountry, f_CountryUTF8, ub_CountryU8, -1))
                return unicodeFail();
            if (f_CountryUTF8.empty()) {
                f_CountryUTF8.assign(e_Facts.DefaultCountryUTF8());
                f_UnicodeBlock[ub_CountryU8].assign(e_Facts.DefaultCountryU());
            }
            if (!store('6', kQORLimitCity, f_CityCityPartUTF8, ub_CityU8, 3)) return unicodeFail();
            const std::string_view wish = field('7', kQORLimitNetworkU8);
            if (!wish.empty()) {
                f_WishedNetworkUTF8.assign(wish);
                f_WishedNetworkUCS2 =
                    Utf8BufToUnicodeLenient(wish.data(), static_cast<int>(wish.size()));
            } else if (const TQORSVCClientNetwork* def = e_Facts.DefaultNetwork()) {
                f_WishedNetworkUTF8.assign(def->NetNameUTF8());
                f_WishedNetworkUCS2.assign(def->NetNameU());
            }
            f_CliUtf8 = true;
            CtxFlagsSet(QOR_CF_UTF8);
            f_ConnectExtFlags |= QOR_EXT_UTF8;
            f_UnicodeBlock[ub_KeyU8] = ClientTextKey(f_EMailUTF8, f_UnicodeBlock[ub_CallsignU8]);
        }
    }

    // ---- granted flags of the connect string ----
    const uint32_t req = f_RequestExtFlags;
    if (req != 0) {
        f_ProtocolFlags |= QOR_PF_EXT_FLAGS;
        if (req & QOR_EXT_SOUND_ACK) {
            CtxFlagsSet(QOR_CF_SOUND_ACK);
            f_ConnectExtFlags |= QOR_EXT_SOUND_ACK;
        }
        const uint32_t format = req & QOR_EXT_LIST_FORMAT_MASK;
        if (format != QOR_LIST_FORMAT_QOR) {
            CtxFlagsMask(~QOR_CF_LIST_FORMAT, (format << 8) | QOR_CF_EXTENDED);
            f_ConnectExtFlags = (f_ConnectExtFlags & ~QOR_EXT_LIST_FORMAT_MASK) | format;
        } else {
            CtxFlagsClear(QOR_CF_LIST_FORMAT | QOR_CF_EXTENDED);
            f_ConnectExtFlags &= ~QOR_EXT_LIST_FORMAT_MASK;
        }
        if (req & QOR_EXT_SPEAKER_INFO) {
            CtxFlagsSet(QOR_CF_SPEAKER_INFO);
            f_ConnectExtFlags |= QOR_EXT_SPEAKER_INFO;
        }
        if (req & QOR_EXT_CACHE_LIST) {
            CtxFlagsSet(QOR_CF_LIST_CACHE);
            f_ConnectExtFlags |= QOR_EXT_CACHE_LIST;
        }
    }
    f_UnicodeBlock[ub_KeyA] = ClientTextKey(f_EMailANSI, f_UnicodeBlock[ub_CallsignA]);
    {
        const uint32_t format = req & QOR_EXT_LIST_FORMAT_MASK;
        constexpr uint32_t kBoth = QOR_EXT_SPEAKER_INFO | QOR_EXT_CACHE_LIST;
        // A client without a list has no list to cache speaker data in: it gets the cache only.
        if ((format == QOR_LIST_FORMAT_NOLIST || format == QOR_LIST_FORMAT_COUNT) &&
            (req & kBoth) == kBoth) {
            CtxFlagsMask(~QOR_CF_SPEAKER_INFO, QOR_CF_LIST_CACHE);
            f_ConnectExtFlags = (f_ConnectExtFlags & ~QOR_EXT_SPEAKER_INFO) | QOR_EXT_CACHE_LIST;
        }
    }

    f_CliHashA = MakeSourceId(f_EMailANSI);
    f_CliHashA2 = ByteStrToUnicode(f_CliHashA);

    // ---- the network ----
    TQORSVCClientNetwork* net = nullptr;
    const int32_t count = e_Facts.NetworkCount();
    auto search = [&](auto aMatch) -> TQORSVCClientNetwork* {
        for (int32_t i = 0; i < count; ++i) {
            TQORSVCClientNetwork* n = e_Facts.NetworkAt(i);
            if (n && aMatch(*n)) return n;
        }
        return nullptr;
    };
    if (f_CliUtf8 && !f_WishedNetworkUTF8.empty())
        net = search([&](const TQORSVCClientNetwork& n) { return n.NetNameUTF8() == f_WishedNetworkUTF8; });
    if (!net && !f_WishedNetworkA.empty()) {
        net = search([&](const TQORSVCClientNetwork& n) { return n.NetNameUTF8() == f_WishedNetworkA; });
        if (!net)
            net = search([&](const TQORSVCClientNetwork& n) { return n.NetNameA() == f_WishedNetworkA; });
        if (!net) {
            const std::string upper = AsciiUpperCaseA(f_WishedNetworkA);
            net = search([&](const TQORSVCClientNetwork& n) {
                return !n.NetNameA().empty() && AsciiUpperCaseA(n.NetNameA()) == upper;
            });
        }
    }
    // Without a wish, or without a match, the client goes where a client without a wish goes.
    if (!net) net = e_Facts.DefaultNetwork();
    if (!net && count > 0) net = e_Facts.NetworkAt(0);
    if (!net) return;  // no network at all: "BLOCK"

    const std::string_view country = TrimCutBytes(TagValue(nn), kQORLimitCountry);
    f_CountryANSI.assign(country.empty() ? e_Facts.DefaultCountryA() : country);
    f_UnicodeBlock[ub_CountryA] = ByteStrToUnicode(f_CountryANSI);
    f_ConnectError = TClientErrorType::cet_OK;
    f_ConnectNetwork = net;

    BuildTransportBlock();
    BuildVisualSortKey();
    CtxInitialFlags = CtxFlags();
    CtxInitial2Flags = Ctx2Flags();
}

void TQORSVCContext::BuildTransportBlock() {
    const std::string_view e = f_EMailANSI, p = f_PasswordANSI, c = f_CallsignOpnameANSI,
                           b = f_BandChannelANSI, city = f_CityCityPartANSI,
                           country = f_CountryANSI, ds = f_DescriptionANSI, ip = Peer_Address();
    const std::string_view netName = f_ConnectNetwork ? f_ConnectNetwork->NetNameA() : std::string_view{};
    const std::string_view ue = f_EMailUTF8, up = f_PasswordUTF8, uc = f_CallsignOpnameUTF8,
                           ub = f_BandChannelUTF8, ucity = f_CityCityPartUTF8,
                           ucountry = f_CountryUTF8, uds = f_DescriptionUTF8;
    const bool utf8 = f_CliUtf8;
    const char typeDigit = static_cast<char>('0' + f_ClientType);
    const uint32_t typeValue = static_cast<uint32_t>(f_ClientType) + (utf8 ? 4 : 0);

    size_t len[kQORTransportParts] = {};
    len[tbp_Main] = QOR_TEXT_CLIENT_BLOCK.size() + SizeTag(2, e.size()) + SizeTag(2, p.size()) +
                    SizeTag(2, c.size()) + SizeTag(2, 1) + SizeTag(2, b.size()) +
                    SizeTag(2, country.size()) + SizeTag(2, city.size()) +
                    SizeTag(2, netName.size());
    len[tbp_Description] = SizeTag(2, ds.size());
    len[tbp_DescriptionLen] = SizeF(ds);
    len[tbp_Address] = SizeTag(2, ip.size());
    len[tbp_MainLen] = SizeHexLenInt(typeValue) + SizeF(e) + SizeF(p) + SizeF(c) + SizeF(b) +
                       SizeF(city) + SizeF(country);
    len[tbp_AddressLen] = SizeF(ip);
    if (utf8) {
        len[tbp_DescriptionUTF8Len] = SizeF(uds);
        len[tbp_UTF8Len] = SizeF(ue) + SizeF(up) + SizeF(uc) + SizeF(ub) + SizeF(ucity) +
                           SizeF(ucountry);
    }
    len[tbp_ConfirmEMail] = QOR_TEXT_EMAIL_CONFIRM.size() + SizeF(e) + SizeF(p) + SizeF(c) +
                            SizeF(country) +
                            (utf8 ? SizeF(ue) + SizeF(up) + SizeF(uc) + SizeF(ucountry) : 8) + 2;

    static constexpr TQORTransportPart kOrder[] = {
        tbp_Main,    tbp_Description, tbp_DescriptionLen,     tbp_Address, tbp_MainLen,
        tbp_AddressLen, tbp_DescriptionUTF8Len, tbp_UTF8Len, tbp_ConfirmEMail};
    size_t total = kQORTransportHeaderLen + 32;
    for (size_t l : len) total += Round4(l);
    f_TransportBlock.assign(total, '\0');
    char* const base = f_TransportBlock.data();

    size_t pos = kQORTransportHeaderLen;
    for (TQORTransportPart part : kOrder) {
        if (!utf8 && (part == tbp_DescriptionUTF8Len || part == tbp_UTF8Len)) continue;
        char* const start = base + pos;
        char* d = start;
        const char* err = nullptr;
        switch (part) {
            case tbp_Main:
                d = PutBuf(d, QOR_TEXT_CLIENT_BLOCK.data(), int32_t(QOR_TEXT_CLIENT_BLOCK.size()));
                d = PutTag2Str(d, QOR_TAG_EA, e);
                d = PutTag2Str(d, QOR_TAG_PW, p);
                d = PutTag2Str(d, QOR_TAG_ON, c);
                d = PutTag2Char(d, "CL", typeDigit);
                d = PutTag2Str(d, QOR_TAG_BC, b);
                d = PutTag2Str(d, QOR_TAG_NN, country);
                d = PutTag2Str(d, QOR_TAG_CT, city);
                d = PutTag2Str(d, QOR_TAG_NT, netName);
                err = "TransportBlock: original ClientConnectANSI main part fact length does not "
                      "match with calculated length";
                break;
            case tbp_Description:
                d = PutTag2Str(d, QOR_TAG_DS, ds);
                err = "TransportBlock: original DiscripionANSI part fact length does not match "
                      "with calculated length";
                break;
            case tbp_DescriptionLen:
                d = PutHexLenStr(d, ds);
                err = "TransportBlock: original Z Discripion ANSI part fact length does not match "
                      "with calculated length";
                break;
            case tbp_Address:
                d = PutTag2Str(d, QOR_TAG_IP, ip);
                err = "TransportBlock: IP part fact length does not match with calculated length";
                break;
            case tbp_MainLen:
                d = PutHexLenUInt(d, typeValue);
                for (std::string_view s : {e, p, c, b, city, country}) d = PutHexLenStr(d, s);
                err = "TransportBlock: Z ANSI main part fact length does not match with "
                      "calculated length";
                break;
            case tbp_AddressLen:
                d = PutHexLenStr(d, ip);
                err = "TransportBlock: IP part fact length does not match with calculated length";
                break;
            case tbp_DescriptionUTF8Len:
                d = PutHexLenStr(d, uds);
                err = "TransportBlock: Z U8TF DS part fact length does not match with calculated "
                      "length";
                break;
            case tbp_UTF8Len:
                for (std::string_view s : {ue, up, uc, ub, ucity, ucountry}) d = PutHexLenStr(d, s);
                err = "TransportBlock: Z ANSI main part fact length does not match with "
                      "calculated length";
                break;
            case tbp_ConfirmEMail:
                d = PutBuf(d, QOR_TEXT_EMAIL_CONFIRM.data(), int32_t(QOR_TEXT_EMAIL_CONFIRM.size()));
                for (std::string_view s : {e, p, c, country}) d = PutHexLenStr(d, s);
                if (utf8) {
                    for (std::string_view s : {ue, up, uc, ucountry}) d = PutHexLenStr(d, s);
                    err = "TransportBlock: ZE ConfirmEmail ANSI+U8TF part fact length does not "
                          "match with calculated length";
                } else {
                    d = PutBuf(d, "00000000", 8);
                    err = "TransportBlock: ZE ConfirmEmail ANSI-only part fact length does not "
                          "match with calculated length";
                }
                d = PutBuf(d, "\r\n", 2);
                break;
        }
        if (static_cast<size_t>(d - start) != len[part]) throw Exception(std::string_view(err));
        PutLE32(base + 8 * part, static_cast<uint32_t>(pos));
        PutLE32(base + 8 * part + 4, static_cast<uint32_t>(len[part]));
        pos += Round4(len[part]);
    }
}

}  // namespace gax
