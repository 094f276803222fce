#include "server/gax_qor_svc_clientdescr.h"

#include "foundation/gax_hex.h"
#include "protocol/gax_qor_consts.h"
#include "server/gax_qor_svc_context.h"
#include "server/gax_qor_svc_wrkctx.h"

namespace gax {

namespace {

// The UTF-8 form of a field when it has one, else its 8-bit form.
const std::u16string& PreferUTF8(const TQORSVCContext& aCtx, int32_t aAnsi, int32_t aUtf8) {
    const std::u16string& u = aCtx.CliUnicode(aUtf8);
    return u.empty() ? aCtx.CliUnicode(aAnsi) : u;
}

void AppendAccented(TStringBldU& aB, std::u16string_view aText) {
    AppendChar(aB, u'`');
    AppendLogSafeText(aB, aText);
    AppendChar(aB, u'`');
}

void AppendField(TStringBldU& aB, std::u16string_view aName, std::u16string_view aText) {
    AppendStr(aB, aName);
    AppendAccented(aB, aText);
}

}  // namespace

void AddInternalFlagsSettings(FastStringA& aFast, const TQORSVCContext& aCtx) {
    const uint32_t f1 = aCtx.CtxFlags(), f2 = aCtx.Ctx2Flags();
    const struct {
        bool Set;
        std::string_view Name;
    } names[] = {
        {(f1 & QOR_CF_NO_SERVER_MESSAGES) != 0, "NOSERVERMESSAGES"},
        {(f1 & QOR_CF_NO_SERVER_SOUNDS) != 0, "NOSERVERSOUNDS"},
        {(f2 & QOR_C2F_IGNORE_SOUNDS) != 0, "IGNORECLIENTSOUNDS"},
        {(f2 & QOR_C2F_IGNORE_MESSAGES) != 0, "IGNORECLIENTMESSAGES"},
    };
    for (const auto& n : names) {
        if (!n.Set) continue;
        if (!aFast.Empty()) aFast.AppendChar(' ');
        aFast.Append(n.Name);
    }
}

void QORAddInternalFlags(FastStringA& aF, const TQORSVCContext& aCtx) {
    const uint32_t f1 = aCtx.CtxFlags(), f2 = aCtx.Ctx2Flags();
    const char s[7] = {'0',
                       '5',
                       (f1 & QOR_CF_AGGREGATE_LIST) ? 'A' : '.',
                       (f1 & QOR_CF_NO_SERVER_SOUNDS) ? 'S' : '.',
                       (f2 & QOR_C2F_IGNORE_SOUNDS) ? 's' : '.',
                       (f2 & QOR_C2F_IGNORE_MESSAGES) ? 'm' : '.',
                       (f2 & QOR_C2F_LIST_OFF) ? 'F' : '.'};
    aF.Append(s, sizeof s);
}

void QORParseProtoExtFlags1C(FastStringA& aF, const TQORSVCContext& aCtx) {
    const uint32_t f = aCtx.CtxFlags(), g = aCtx.CliAnswerExtFlags();
    static constexpr char kFormat[4] = {'.', 'N', 'C', 'D'};
    const char s[12] = {'0',
                        'A',
                        kFormat[(f & QOR_CF_LIST_FORMAT) >> 8],
                        (f & QOR_CF_UTF8) ? 'U' : '.',
                        (f & QOR_CF_SOUND_ACK) ? 'A' : '.',
                        (f & QOR_CF_SHORT_FRAMES) ? 'S' : '.',
                        (f & QOR_CF_NO_SERVER_MESSAGES) ? 'M' : '.',
                        (f & QOR_CF_SPEAKER_INFO) ? 'I' : '.',
                        (g & QOR_EXT_TEMP_MUTE_BLOCK) ? 'T' : '.',
                        (g & QOR_EXT_NET_CHANGE_INFO) ? 'G' : '.',
                        (g & QOR_EXT_MOVE_CLIENT) ? 'V' : '.',
                        (f & QOR_CF_LIST_CACHE) ? 'H' : '.'};
    aF.Append(s, sizeof s);
}

void AppendClientDescription(TStringBldU& aB, const TQORSVCContext& aCtx) {
    AppendField(aB, u" EMail=", PreferUTF8(aCtx, ub_EMailA, ub_EMailU8));
    AppendField(aB, u" Call=", PreferUTF8(aCtx, ub_CallsignA, ub_CallsignU8));
    if (const TQORSVCClientNetwork* net = aCtx.CtxNetwork())
        AppendField(aB, u" Net=", net->NetNameU());
    for (int32_t i = 0; i < kQORManagerSlots; ++i) {
        const TQORSVCContextManagerInfo& mi = aCtx.CliManagersInfo[i];
        if (mi.cmi_ManagerId.empty()) continue;
        AppendStr(aB, u" MID");
        AppendInt(aB, i);
        AppendChar(aB, u'=');
        AppendAccented(aB, mi.cmi_ManagerIdA2);
    }
    AppendField(aB, u" SID=", aCtx.CliHashA2());
    // City and band are left out when the client gave neither form.
    const std::u16string& city = PreferUTF8(aCtx, ub_CityA, ub_CityU8);
    if (!city.empty()) AppendField(aB, u" City=", city);
    const std::u16string& band = PreferUTF8(aCtx, ub_BandA, ub_BandU8);
    if (!band.empty()) AppendField(aB, u" Band=", band);
    AppendField(aB, u" Descr=", PreferUTF8(aCtx, ub_DescriptionA, ub_DescriptionU8));
    const std::u16string& country = PreferUTF8(aCtx, ub_CountryA, ub_CountryU8);
    if (!country.empty()) AppendField(aB, u" Country=", country);
    AppendStr(aB, u" Pass=`");
    AppendStr(aB, kQORMaskedPassword);
    AppendChar(aB, u'`');
    if (aCtx.CliPrivilege != clpr_USER) {
        AppendStr(aB, u" Priv=");
        AppendStr(aB, QORWord(QORClientPrivilegeNames, aCtx.CliPrivilege));
    }
    const uint32_t f = aCtx.CtxFlags(), g = aCtx.CliAnswerExtFlags();
    if (f & QOR_CF_TALK_DENIED) AppendSpaceStr(aB, QOR_OPTNAME_LISTEN_ONLY);
    if (f & QOR_CF_UTF8) AppendSpaceStr(aB, QOR_EXTNAME_UTF8);
    if (f & QOR_CF_SOUND_ACK) AppendSpaceStr(aB, QOR_EXTNAME_SOUND_ACK);
    if (const uint32_t format = (f & QOR_CF_LIST_FORMAT) >> 8) {
        AppendSpaceStr(aB, QOR_OPTNAME_LIST_FORMAT);
        AppendChar(aB, u'=');
        AppendStr(aB, QORWord(QORListFormatNames, format));
    }
    if (f & QOR_CF_SHORT_FRAMES) AppendSpaceStr(aB, QOR_EXTNAME_SHORT_FRAMES);
    if (f & QOR_CF_NO_SERVER_MESSAGES) AppendSpaceStr(aB, QOR_EXTNAME_NO_MESSAGES_FROM_SERVER);
    if (f & QOR_CF_SPEAKER_INFO) AppendSpaceStr(aB, QOR_EXTNAME_SPEAKER_INFO);
    if (g & QOR_EXT_TEMP_MUTE_BLOCK) AppendSpaceStr(aB, QOR_EXTNAME_TEMP_MUTE_BLOCK);
    if (g & QOR_EXT_NET_CHANGE_INFO) AppendSpaceStr(aB, QOR_EXTNAME_NET_CHANGE_INFO);
    if (g & QOR_EXT_MOVE_CLIENT) AppendSpaceStr(aB, QOR_EXTNAME_MOVE_CLIENT);
    if (g & QOR_EXT_CACHE_LIST) AppendSpaceStr(aB, QOR_EXTNAME_CACHE_LIST);
    AppendStr(aB, u" [");
    if (f & QOR_CF_EXTENDED) AppendStr(aB, u" EXTENDED");
    AppendChar(aB, u']');
}

void FormatAdminActionLogLine(TStringBldU& aB, const TQORSVCContext& aActor,
                              const TQORSVCContext& aSubject, std::u16string_view aAction) {
    aB.Len = 0;
    AppendStr(aB, aSubject.ConnectionStringU());
    AppendSpaceStr(aB, aAction);
    AppendStr(aB, u": by=");
    AppendStr(aB, QORWord(QORClientPrivilegeNames, aActor.CliPrivilege));
    AppendField(aB, u" byCall=", PreferUTF8(aActor, ub_CallsignA, ub_CallsignU8));
    AppendField(aB, u" byEMail=", PreferUTF8(aActor, ub_EMailA, ub_EMailU8));
    // The description opens with its own blank.
    AppendClientDescription(aB, aSubject);
}

}  // namespace gax
