#include "server/gax_qor_svc_netoptions.h"

#include <algorithm>
#include <limits>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_datetime.h"
#include "foundation/gax_strutils.h"
#include "server/gax_qor_svc_setup_t.h"

namespace gax {

namespace {

enum class Key : uint8_t {
    OwnerEMail,
    MaxClients,
    CharsetName,
    MaxSpeechTime,
    SpeechPause,
    QuarantineTime,
    AccessInfoMode,
    ServerInfo,
    NetChangeInfo,
    ParrotEnable,
    ParrotStartStopEnable,
    ParrotMuteEnable,
    ParrotMaxRecordTime,
    ParrotPause,
    ParrotRepeatCount,
    ParrotMessageDisable,
    ParrotPrefixFileName,
    ParrotPrefixMaxTime,
    ParrotPrefixRepeatEach,
    ManagerMode,
    OutputBufferLimit,
    OutputBufferFactor,
    LogClientLevel,
    ManagersMask,
    ShortFrames,
    SpeechLimit,
    AlwaysAllowServerOwner,
    AlwaysAllowNetworkOwner,
    AlwaysAllowAdmin,
    ClientSessionMaxTime,
    Hidden,
    LogAdmin,
    TempMuteBlock,
    LevelMuteBlock,
    ExactMuteBlock,
    UniqCallsign,
};

struct KeyName {
    std::u16string_view Name;  // the canonical spelling, also used in messages
    Key K;
};

constexpr KeyName kKeys[] = {
    {u"OwnerEMail", Key::OwnerEMail},
    {u"MaxClients", Key::MaxClients},
    {u"CharsetName", Key::CharsetName},
    {u"MaxSpeechTime", Key::MaxSpeechTime},
    {u"SpeechPause", Key::SpeechPause},
    {u"QuarantineTime", Key::QuarantineTime},
    {u"AccessInfoMode", Key::AccessInfoMode},
    {u"ServerInfo", Key::ServerInfo},
    {u"NetChangeInfo", Key::NetChangeInfo},
    {u"ParrotEnable", Key::ParrotEnable},
    {u"ParrotStartStopEnable", Key::ParrotStartStopEnable},
    {u"ParrotMuteEnable", Key::ParrotMuteEnable},
    {u"ParrotMaxRecordTime", Key::ParrotMaxRecordTime},
    {u"ParrotPause", Key::ParrotPause},
    {u"ParrotRepeatCount", Key::ParrotRepeatCount},
    {u"ParrotMessageDisable", Key::ParrotMessageDisable},
    {u"ParrotPrefixFileName", Key::ParrotPrefixFileName},
    {u"ParrotPrefixMaxTime", Key::ParrotPrefixMaxTime},
    {u"ParrotPrefixRepeatEach", Key::ParrotPrefixRepeatEach},
    {u"ManagerMode", Key::ManagerMode},
    {u"OutputBufferLimit", Key::OutputBufferLimit},
    {u"OutputBufferFactor", Key::OutputBufferFactor},
    {u"LogClientLevel", Key::LogClientLevel},
    {u"ManagersMask", Key::ManagersMask},
    {u"ShortFrames", Key::ShortFrames},
    {u"SpeechLimit", Key::SpeechLimit},
    {u"AlwaysAllowServerOwner", Key::AlwaysAllowServerOwner},
    {u"AlwaysAllowNetworkOwner", Key::AlwaysAllowNetworkOwner},
    {u"AlwaysAllowAdmin", Key::AlwaysAllowAdmin},
    {u"ClientSessionMaxTime", Key::ClientSessionMaxTime},
    {u"Hidden", Key::Hidden},
    {u"LogAdmin", Key::LogAdmin},
    {u"TempMuteBlock", Key::TempMuteBlock},
    {u"LevelMuteBlock", Key::LevelMuteBlock},
    {u"ExactMuteBlock", Key::ExactMuteBlock},
    {u"UniqCallsign", Key::UniqCallsign},
};

constexpr int32_t kDefaultMaxClients = 65533;
constexpr TGaxTick32 kDefaultParrotMaxRecordTicks = 120000;
constexpr TGaxTick32 kDefaultParrotPauseTicks = 2000;

const KeyName* FindKey(std::u16string_view aKey) {
    for (const KeyName& k : kKeys)
        if (SameTextAsciiW(k.Name, aKey)) return &k;
    return nullptr;
}

bool ParseInt(std::u16string_view v, int32_t& out) {
    return TryParseIntW(v, out);
}

// A logical value: invalid leaves aField unchanged.
void Logical(std::u16string_view v, bool& aField) {
    bool b;
    if (TryParseBoolW(v, b)) aField = b;
}

// A logical value: invalid takes aFallback.
void LogicalOr(std::u16string_view v, bool& aField, bool aFallback) {
    bool b;
    aField = TryParseBoolW(v, b) ? b : aFallback;
}

TQORSVCAccessInfoMode ParseAccessInfoMode(std::u16string_view v) {
    const std::u16string u = AsciiUpperCaseW(TrimBlanksViewW(v));
    int32_t n;
    if (ParseInt(u, n) && n >= 0 && n <= 2) return static_cast<TQORSVCAccessInfoMode>(n);
    if (u == u"ALWAYS" || u == u"A") return TQORSVCAccessInfoMode::fsaim_Always;
    if (u == u"NEVER" || u == u"N") return TQORSVCAccessInfoMode::fsaim_Never;
    return TQORSVCAccessInfoMode::fsaim_Original;
}

void ApplyCharsetName(const TQORServiceNetOptions& aServ, std::u16string_view aValue,
                      TQORSVCNetworkOptions& o, const TCharsetsCodeList* aCodeList) {
    if (aValue.empty()) {
        o.no_NetCharsetNameUCS2 = aServ.sno_CharsetName;
    } else {
        std::u16string context = u"Network option \"";
        context += FindKey(u"CharsetName")->Name;
        context += u"\"";
        TAnsiUnicodeConverter::ValidateCharsetName(aValue, context, aCodeList);
        o.no_NetCharsetNameUCS2 = std::u16string(aValue);
    }
    o.no_NetCharsetNameUTF8 = UnicodeToUtf8Str(o.no_NetCharsetNameUCS2);
}

void ApplyItem(const TQORServiceNetOptions& aServ, Key aKey, std::u16string_view v,
               TQORSVCNetworkOptions& o, const TCharsetsCodeList* aCodeList) {
    TQORSVCParrotOptions& p = o.no_Parrot;
    int32_t n = 0;
    switch (aKey) {
        case Key::OwnerEMail: {
            std::vector<std::u16string> owners;
            size_t start = 0;
            while (start <= v.size()) {
                size_t comma = v.find(u',', start);
                if (comma == std::u16string_view::npos) comma = v.size();
                const std::u16string_view part = TrimBlanksViewW(v.substr(start, comma - start));
                if (!part.empty()) owners.emplace_back(part);
                start = comma + 1;
            }
            if (!owners.empty()) o.no_NetOwnersEMails = std::move(owners);
            break;
        }
        case Key::MaxClients:
            if (ParseInt(v, n) && n >= 1 && n <= kDefaultMaxClients) o.no_NetMaxClients = n;
            break;
        case Key::CharsetName:
            ApplyCharsetName(aServ, v, o, aCodeList);
            break;
        // Read wide: a value past 32 bits is still a number, clamped like any other.
        case Key::MaxSpeechTime:
            if (int64_t w; TryParseInt64W(v, w))
                o.no_MaxSpeechTicks = static_cast<TGaxTick32>(
                    (w <= 0 ? 300 : std::clamp<int64_t>(w, 10, 1800)) * 1000);
            break;
        case Key::SpeechPause:
            if (int64_t w; TryParseInt64W(v, w))
                o.no_SpeechPauseTicks = static_cast<TGaxTick32>(std::clamp<int64_t>(w, 0, 10000));
            break;
        case Key::QuarantineTime:
            if (int64_t w; TryParseInt64W(v, w))
                o.no_QuarantineTicks = static_cast<TGaxTick32>(std::clamp<int64_t>(w, 0, 4000));
            break;
        case Key::AccessInfoMode:
            o.no_AccessInfoMode = ParseAccessInfoMode(v);
            break;
        case Key::ServerInfo:
            Logical(v, o.no_ServerInfo);
            break;
        case Key::NetChangeInfo:
            Logical(v, o.no_NetChangeInfo);
            break;
        case Key::ParrotEnable:
            Logical(v, p.ParrotEnable);
            break;
        case Key::ParrotStartStopEnable:
            Logical(v, p.ParrotStartStopEnable);
            break;
        case Key::ParrotMuteEnable:
            Logical(v, p.ParrotMuteEnable);
            break;
        case Key::ParrotMaxRecordTime:
            if (!ParseInt(v, n) || n <= 0)
                p.ParrotMaxRecordTicks = kDefaultParrotMaxRecordTicks;
            else
                p.ParrotMaxRecordTicks = static_cast<TGaxTick32>(std::clamp(n, 10, 300) * 1000);
            break;
        case Key::ParrotPause:
            if (!ParseInt(v, n) || n <= 0)
                p.ParrotPauseTicks = kDefaultParrotPauseTicks;
            else
                p.ParrotPauseTicks = static_cast<TGaxTick32>(std::clamp(n, 100, 10000));
            break;
        case Key::ParrotRepeatCount:
            p.po_ParrotRepeatCount = 1;
            if (ParseInt(v, n) && n > 0) p.po_ParrotRepeatCount = std::min(n, 50);
            break;
        case Key::ParrotMessageDisable:
            LogicalOr(v, p.ParrotMessageDisable, false);
            break;
        case Key::ParrotPrefixFileName:
            p.ParrotPrefixFileName = std::u16string(v);
            break;
        case Key::ParrotPrefixMaxTime:
            p.ParrotPrefixMaxTime = 10;
            if (ParseInt(v, n)) p.ParrotPrefixMaxTime = std::clamp(n, 0, 30);
            break;
        case Key::ParrotPrefixRepeatEach:
            LogicalOr(v, p.ParrotPrefixRepeatEach, false);
            break;
        case Key::ManagerMode: {
            TQORSystemManagerMode m = aServ.sno_ManagerMode;
            if (ParseManagerModeText(v, m)) {
                o.no_NetManagerMode = m;
                o.no_NetManagerModeSpecific = true;
            } else {
                o.no_NetManagerMode = aServ.sno_ManagerMode;
            }
            break;
        }
        case Key::OutputBufferLimit:
            // The server.ini rule with the server-wide value as the fallback.
            if (!ParseInt(v, n)) n = aServ.sno_OutputBufferLimit;
            o.no_OutputBufferLimit = n <= 0 ? 131072 : std::clamp(n, 4096, 16777216);
            break;
        case Key::OutputBufferFactor:
            if (!ParseInt(v, n))
                o.no_OutputBufferFactor = aServ.sno_OutputBufferFactor;
            else
                o.no_OutputBufferFactor = n < 0 ? 3 : (n == 0 ? 1 : std::min(n, 10));
            break;
        case Key::LogClientLevel:
            if (ParseInt(v, n)) o.no_LogClientLevel = std::clamp(n, 0, 7);
            break;
        case Key::ManagersMask:
            if (ParseInt(v, n) && n >= 0 && n <= 15) o.no_ManagersMask = n;
            break;
        case Key::ShortFrames:
            LogicalOr(v, o.no_ShortFrames, aServ.sno_ShortFrames);
            break;
        case Key::SpeechLimit:
            LogicalOr(v, o.no_SpeechLimit, aServ.sno_SpeechLimit);
            break;
        case Key::AlwaysAllowServerOwner:
            LogicalOr(v, o.no_AlwaysAllowServerOwner, aServ.sno_AlwayAllowServerOwner);
            break;
        case Key::AlwaysAllowNetworkOwner:
            LogicalOr(v, o.no_AlwaysAllowNetworkOwner, aServ.sno_AlwayAllowNetworkOwner);
            break;
        case Key::AlwaysAllowAdmin:
            LogicalOr(v, o.no_AlwaysAllowAdmin, aServ.sno_AlwayAllowAdmin);
            break;
        case Key::ClientSessionMaxTime: {
            TTimeIntervalRec rec;
            if (v.empty() || v.front() == u'-' || !ParseTimeInterval(v, rec)) break;
            const int64_t secs = TimeIntervalToSeconds(rec);
            if (secs < 0) break;
            o.no_SessionMaxTime = static_cast<int32_t>(
                std::min<int64_t>(secs, std::numeric_limits<int32_t>::max()));
            break;
        }
        case Key::Hidden:
            Logical(v, o.no_Hidden);
            break;
        case Key::LogAdmin:
            LogicalOr(v, o.no_LogAdmin, aServ.sno_LogAdmin);
            break;
        case Key::TempMuteBlock:
            LogicalOr(v, o.no_TempMuteBlock, aServ.sno_TempMuteBlock);
            break;
        case Key::LevelMuteBlock:
            LogicalOr(v, o.no_LevelMuteBlock, aServ.sno_LevelMuteBlock);
            break;
        case Key::ExactMuteBlock:
            LogicalOr(v, o.no_ExactMuteBlock, aServ.sno_ExactMuteBlock);
            break;
        case Key::UniqCallsign:
            LogicalOr(v, o.no_UniqCallsign, aServ.sno_UniqCallsign);
            break;
    }
}

constexpr std::u16string_view kManagerModeNames[] = {u"STANDALONE", u"NOTIFY", u"LIGHT", u"QOR"};

class ItemWriter {
  public:
    void Add(std::u16string_view aKey, std::u16string_view aValue) {
        if (!f_Text.empty()) f_Text += u"; ";
        f_Text += aKey;
        f_Text += u'=';
        f_Text += aValue;
    }
    void AddInt(std::u16string_view aKey, int64_t aValue) { Add(aKey, IntToDecStrW(aValue)); }
    void AddYesNo(std::u16string_view aKey, bool aValue) { Add(aKey, aValue ? u"Yes" : u"No"); }
    std::u16string Take() { return std::move(f_Text); }

  private:
    std::u16string f_Text;
};

}  // namespace

void FillServiceNetOptionsFromConfig(TQORServiceNetOptions& s, const TQORServiceConfig& c) {
    s.sno_CharsetName = c.cfg_QORServerCharsetName;
    s.sno_ManagerMode = c.cfg_ServManagerMode;
    s.sno_OutputBufferLimit = c.cfg_ServOutputBufferLimit;
    s.sno_OutputBufferFactor = c.cfg_ServOutputBufferFactor;
    s.sno_LogClientLevel = c.SystemLogClientLevel;
    s.sno_SessionMaxTime = c.cfg_ServSessionMaxTime;
    s.sno_MaxSpeechTicks = static_cast<TGaxTick32>(c.cfg_ServMaxSpeechTime) * 1000u;
    s.sno_SpeechPauseTicks = c.cfg_ServSpeechPauseTicks;
    s.sno_QuarantineTicks = c.cfg_ServQuarantineTicks;
    s.sno_ShortFrames = c.cfg_ShortFrames;
    s.sno_SpeechLimit = c.cfg_ServSpeechLimit;
    s.sno_LogAdmin = c.cfg_ServLogAdmin;
    s.sno_TempMuteBlock = c.cfg_ServTempMuteBlock;
    s.sno_LevelMuteBlock = c.cfg_ServLevelMuteBlock;
    s.sno_ExactMuteBlock = c.cfg_ServExactMuteBlock;
    s.sno_UniqCallsign = c.cfg_ServUniqCallsign;
    s.sno_AlwayAllowServerOwner = c.cfg_ServAlwaysAllowServerOwner;
    s.sno_AlwayAllowNetworkOwner = c.cfg_ServAlwaysAllowNetworkOwner;
    s.sno_AlwayAllowAdmin = c.cfg_ServAlwaysAllowAdmin;
    s.sno_ServerInfo = c.cfg_ServServerInfo;
    s.sno_NetChangeInfo = c.cfg_ServNetChangeInfo;
}

void InitNetworkOptionsFromDefaults(const TQORServiceNetOptions& s, TQORSVCNetworkOptions& o) {
    o = TQORSVCNetworkOptions{};
    o.no_NetCharsetNameUCS2 = s.sno_CharsetName;
    o.no_NetCharsetNameUTF8 = UnicodeToUtf8Str(s.sno_CharsetName);
    o.no_NetManagerMode = s.sno_ManagerMode;
    o.no_OutputBufferLimit = s.sno_OutputBufferLimit;
    o.no_OutputBufferFactor = s.sno_OutputBufferFactor;
    o.no_LogClientLevel = s.sno_LogClientLevel;
    o.no_SessionMaxTime = s.sno_SessionMaxTime;
    o.no_MaxSpeechTicks = s.sno_MaxSpeechTicks;
    o.no_SpeechPauseTicks = s.sno_SpeechPauseTicks;
    o.no_QuarantineTicks = s.sno_QuarantineTicks;
    o.no_ShortFrames = s.sno_ShortFrames;
    o.no_SpeechLimit = s.sno_SpeechLimit;
    o.no_LogAdmin = s.sno_LogAdmin;
    o.no_TempMuteBlock = s.sno_TempMuteBlock;
    o.no_LevelMuteBlock = s.sno_LevelMuteBlock;
    o.no_ExactMuteBlock = s.sno_ExactMuteBlock;
    o.no_UniqCallsign = s.sno_UniqCallsign;
    o.no_AlwaysAllowServerOwner = s.sno_AlwayAllowServerOwner;
    o.no_AlwaysAllowNetworkOwner = s.sno_AlwayAllowNetworkOwner;
    o.no_AlwaysAllowAdmin = s.sno_AlwayAllowAdmin;
    o.no_ServerInfo = s.sno_ServerInfo;
    o.no_NetChangeInfo = s.sno_NetChangeInfo;
}

void ParseNetworkOptionsText(const TQORServiceNetOptions& aServ, std::u16string_view aText,
                             TQORSVCNetworkOptions& aOpts, const TCharsetsCodeList* aCodeList) {
    InitNetworkOptionsFromDefaults(aServ, aOpts);
    size_t start = 0;
    while (start <= aText.size()) {
        size_t semi = aText.find(u';', start);
        if (semi == std::u16string_view::npos) semi = aText.size();
        const std::u16string_view item = TrimBlanksViewW(aText.substr(start, semi - start));
        start = semi + 1;
        if (item.empty()) continue;
        const size_t eq = item.find(u'=');
        const std::u16string_view key = TrimBlanksViewW(item.substr(0, eq));
        const std::u16string_view value =
            eq == std::u16string_view::npos ? std::u16string_view{} : TrimBlanksViewW(item.substr(eq + 1));
        if (const KeyName* k = FindKey(key)) ApplyItem(aServ, k->K, value, aOpts, aCodeList);
    }
}

std::u16string FormatNetworkOptionsText(const TQORServiceNetOptions& s,
                                        const TQORSVCNetworkOptions& o) {
    ItemWriter w;
    const TQORSVCParrotOptions& p = o.no_Parrot;
    if (o.no_NetManagerModeSpecific && o.no_NetManagerMode != s.sno_ManagerMode &&
        o.no_NetManagerMode <= smm_QOR)
        w.Add(u"ManagerMode", kManagerModeNames[o.no_NetManagerMode]);
    if (o.no_ManagersMask != 15) w.AddInt(u"ManagersMask", o.no_ManagersMask);
    if (!o.no_NetOwnersEMails.empty()) {
        std::u16string owners;
        for (const std::u16string& e : o.no_NetOwnersEMails) {
            if (!owners.empty()) owners += u',';
            owners += e;
        }
        w.Add(u"OwnerEMail", owners);
    }
    if (o.no_NetMaxClients != kDefaultMaxClients) w.AddInt(u"MaxClients", o.no_NetMaxClients);
    if (o.no_MaxSpeechTicks != s.sno_MaxSpeechTicks)
        w.AddInt(u"MaxSpeechTime", o.no_MaxSpeechTicks / 1000);
    if (o.no_SpeechPauseTicks != s.sno_SpeechPauseTicks)
        w.AddInt(u"SpeechPause", o.no_SpeechPauseTicks);
    if (o.no_QuarantineTicks != s.sno_QuarantineTicks)
        w.AddInt(u"QuarantineTime", o.no_QuarantineTicks);
    if (o.no_ShortFrames != s.sno_ShortFrames) w.AddYesNo(u"ShortFrames", o.no_ShortFrames);
    if (o.no_OutputBufferLimit != s.sno_OutputBufferLimit)
        w.AddInt(u"OutputBufferLimit", o.no_OutputBufferLimit);
    if (o.no_OutputBufferFactor != s.sno_OutputBufferFactor)
        w.AddInt(u"OutputBufferFactor", o.no_OutputBufferFactor);
    if (o.no_LogClientLevel != s.sno_LogClientLevel)
        w.AddInt(u"LogClientLevel", o.no_LogClientLevel);
    if (o.no_AccessInfoMode == TQORSVCAccessInfoMode::fsaim_Always)
        w.Add(u"AccessInfoMode", u"ALWAYS");
    else if (o.no_AccessInfoMode == TQORSVCAccessInfoMode::fsaim_Never)
        w.Add(u"AccessInfoMode", u"NEVER");
    if (o.no_SpeechLimit != s.sno_SpeechLimit) w.AddYesNo(u"SpeechLimit", o.no_SpeechLimit);
    if (o.no_AlwaysAllowServerOwner != s.sno_AlwayAllowServerOwner)
        w.AddYesNo(u"AlwaysAllowServerOwner", o.no_AlwaysAllowServerOwner);
    if (o.no_AlwaysAllowNetworkOwner != s.sno_AlwayAllowNetworkOwner)
        w.AddYesNo(u"AlwaysAllowNetworkOwner", o.no_AlwaysAllowNetworkOwner);
    if (o.no_AlwaysAllowAdmin != s.sno_AlwayAllowAdmin)
        w.AddYesNo(u"AlwaysAllowAdmin", o.no_AlwaysAllowAdmin);
    if (o.no_SessionMaxTime != s.sno_SessionMaxTime)
        w.AddInt(u"ClientSessionMaxTime", o.no_SessionMaxTime);
    if (o.no_Hidden) w.Add(u"Hidden", u"Yes");
    if (o.no_LogAdmin != s.sno_LogAdmin) w.AddYesNo(u"LogAdmin", o.no_LogAdmin);
    if (o.no_TempMuteBlock != s.sno_TempMuteBlock) w.AddYesNo(u"TempMuteBlock", o.no_TempMuteBlock);
    if (o.no_LevelMuteBlock != s.sno_LevelMuteBlock)
        w.AddYesNo(u"LevelMuteBlock", o.no_LevelMuteBlock);
    if (o.no_ExactMuteBlock != s.sno_ExactMuteBlock)
        w.AddYesNo(u"ExactMuteBlock", o.no_ExactMuteBlock);
    if (o.no_UniqCallsign != s.sno_UniqCallsign) w.AddYesNo(u"UniqCallsign", o.no_UniqCallsign);
    // Character-set names are matched without regard to case everywhere, so
    // "utf-8" over a server set of "UTF-8" is no difference worth showing.
    if (!SameTextAsciiW(o.no_NetCharsetNameUCS2, s.sno_CharsetName))
        w.Add(u"CharsetName", o.no_NetCharsetNameUCS2);
    if (o.no_ServerInfo != s.sno_ServerInfo) w.AddYesNo(u"ServerInfo", o.no_ServerInfo);
    if (o.no_NetChangeInfo != s.sno_NetChangeInfo) w.AddYesNo(u"NetChangeInfo", o.no_NetChangeInfo);
    if (p.ParrotEnable) w.Add(u"ParrotEnable", u"Yes");
    if (p.ParrotStartStopEnable) w.Add(u"ParrotStartStopEnable", u"Yes");
    if (p.ParrotMaxRecordTicks != kDefaultParrotMaxRecordTicks)
        w.AddInt(u"ParrotMaxRecordTime", p.ParrotMaxRecordTicks / 1000);
    if (p.ParrotPauseTicks != kDefaultParrotPauseTicks) w.AddInt(u"ParrotPause", p.ParrotPauseTicks);
    if (p.po_ParrotRepeatCount != 1) w.AddInt(u"ParrotRepeatCount", p.po_ParrotRepeatCount);
    if (p.ParrotMessageDisable) w.Add(u"ParrotMessageDisable", u"Yes");
    if (!p.ParrotPrefixFileName.empty()) w.Add(u"ParrotPrefixFileName", p.ParrotPrefixFileName);
    if (p.ParrotPrefixMaxTime != 10) w.AddInt(u"ParrotPrefixMaxTime", p.ParrotPrefixMaxTime);
    if (p.ParrotPrefixRepeatEach) w.Add(u"ParrotPrefixRepeatEach", u"Yes");
    return w.Take();
}

void CopyParrotOptions(TQORSVCParrotOptions& aDest, const TQORSVCParrotOptions& aSrc) {
    aDest = aSrc;
}

void CopyNetworkOptions(TQORSVCNetworkOptions& aDest, const TQORSVCNetworkOptions& aSrc) {
    const bool keep = aDest.no_AdminMoveClient;
    aDest = aSrc;
    aDest.no_AdminMoveClient = keep;
}

}  // namespace gax
