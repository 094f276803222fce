#include "control/gax_qor_cmdwords.h"

#include <array>
#include <limits>

#include "foundation/gax_datetime.h"
#include "foundation/gax_strutils.h"
#include "foundation/gax_tgetopt.h"
#include "protocol/gax_qor_sourceid.h"
#include "server/gax_qor_svc_globals.h"

namespace gax {

namespace {

using C = TQORSVCCommand;

struct TWord {
    std::u16string_view Word;
    C Command;
};

// Lower case; the first word of a group names the command.
constexpr TWord kWords[] = {
    {u"charsets", C::charsets}, {u"charset", C::charsets},
    {u"ansi", C::ansi}, {u"qor", C::ansi}, {u"ansicharset", C::ansi}, {u"qorcharset", C::ansi},
    {u"default", C::ansi}, {u"defaultcharset", C::ansi},
    {u"oem", C::oem}, {u"oemcharset", C::oem}, {u"console", C::oem}, {u"consolecharset", C::oem},
    {u"servercharset", C::servercharset}, {u"servercharsetname", C::servercharset},
    {u"logfilename", C::logfilename}, {u"mutesfilename", C::mutesfilename},
    {u"blocksfilename", C::blocksfilename}, {u"adminsfilename", C::adminsfilename},
    {u"rightsfilename", C::rightsfilename}, {u"modesfilename", C::modesfilename},
    {u"noticesfilename", C::noticesfilename},
    {u"managers", C::managers}, {u"managerauthenable", C::managerauthenable},
    {u"managerauthdisable", C::managerauthdisable},
    {u"dsetloglevelmanidx", C::dsetloglevelmanidx}, {u"setmanpassidx", C::setmanpassidx},
    {u"dsetmanpassidx", C::dsetmanpassidx}, {u"setmanemailidx", C::setmanemailidx},
    {u"dsetmanemailidx", C::dsetmanemailidx}, {u"setmanpassaddr", C::setmanpassaddr},
    {u"dsetmanpassaddr", C::dsetmanpassaddr}, {u"setmanpassaddremail", C::setmanpassaddremail},
    {u"dsetmanpassaddremail", C::dsetmanpassaddremail},
    {u"disconnectmanidx", C::disconnectmanidx}, {u"disconnectmanaddr", C::disconnectmanaddr},
    {u"drereadadmins", C::drereadadmins}, {u"frereadadmins", C::frereadadmins},
    {u"drereadmutes", C::drereadmutes}, {u"frereadmutes", C::frereadmutes},
    {u"drereadblocks", C::drereadblocks}, {u"frereadblocks", C::frereadblocks},
    {u"drereadrights", C::drereadrights}, {u"frereadrights", C::frereadrights},
    {u"drereadmodes", C::drereadmodes}, {u"frereadmodes", C::frereadmodes},
    {u"drereadnotices", C::drereadnotices}, {u"frereadnotices", C::frereadnotices},
    {u"drereadintflags", C::drereadintflags}, {u"frereadintflags", C::frereadintflags},
    {u"drereadall", C::drereadall}, {u"syncintflags", C::syncintflags},
    {u"memoryreport", C::memoryreport}, {u"memreport", C::memoryreport},
    {u"memrep", C::memoryreport},
    {u"dservmanmode", C::dservmanmode}, {u"dnetmanmode", C::dnetmanmode},
    {u"flushdata", C::flushdata}, {u"threads", C::threads},
    {u"list", C::list}, {u"listall", C::list}, {u"alllist", C::list},
    {u"listnet", C::listnet}, {u"netlist", C::listnet},
    {u"setloglevel", C::setloglevel}, {u"loglevelset", C::setloglevel},
    {u"setnetloglevel", C::setnetloglevel}, {u"netloglevelset", C::setnetloglevel},
    {u"setloglevelnet", C::setnetloglevel},
    {u"disconnectall", C::disconnectall}, {u"alldisconnect", C::disconnectall},
    {u"disconnectnet", C::disconnectnet}, {u"netdisconnect", C::disconnectnet},
    {u"disconnectnetwork", C::disconnectnet}, {u"networkdisconnect", C::disconnectnet},
    {u"disconnectclient", C::disconnectclient}, {u"disconnectcli", C::disconnectclient},
    {u"clidisconnect", C::disconnectclient}, {u"clientdisconnect", C::disconnectclient},
    {u"setintflags", C::setintflags}, {u"intflagsset", C::setintflags},
    {u"clearintflags", C::clearintflags}, {u"intflagsclear", C::clearintflags},
    {u"getintflags", C::getintflags}, {u"intflagsget", C::getintflags},
    {u"listintflags", C::listintflags}, {u"intflagslist", C::listintflags},
    {u"sendhugesound", C::sendhugesound},
    {u"connenable", C::connenable}, {u"connectenable", C::connenable},
    {u"enableconn", C::connenable}, {u"enableconnect", C::connenable},
    {u"conndisable", C::conndisable}, {u"connectdisable", C::conndisable},
    {u"disableconn", C::conndisable}, {u"disableconnect", C::conndisable},
    {u"connstatus", C::connstatus}, {u"connectstatus", C::connstatus},
    {u"statusconn", C::connstatus}, {u"statusconnect", C::connstatus},
    {u"talkenable", C::talkenable}, {u"enabletalk", C::talkenable},
    {u"talkdisable", C::talkdisable}, {u"disabletalk", C::talkdisable},
    {u"talkstatus", C::talkstatus}, {u"statustalk", C::talkstatus},
    {u"move", C::move}, {u"clientmove", C::move}, {u"moveclient", C::move},
    {u"movetemp", C::movetemp}, {u"tempmove", C::movetemp}, {u"moveclienttemp", C::movetemp},
    {u"clientmovetemp", C::movetemp}, {u"tempmoveclient", C::movetemp},
    {u"tempclientmove", C::movetemp},
    {u"rightadd", C::rightadd}, {u"addright", C::rightadd},
    {u"rightdel", C::rightdel}, {u"rightdelete", C::rightdel}, {u"delright", C::rightdel},
    {u"deleteright", C::rightdel},
    {u"rightmark", C::rightmark}, {u"markright", C::rightmark},
    {u"rightunmark", C::rightunmark}, {u"unmarkright", C::rightunmark},
    {u"adminadd", C::adminadd}, {u"addadmin", C::adminadd},
    {u"admindel", C::admindel}, {u"admindelete", C::admindel}, {u"deladmin", C::admindel},
    {u"deleteadmin", C::admindel},
    {u"mute", C::mute}, {u"unmute", C::unmute}, {u"block", C::block}, {u"unblock", C::unblock},
    {u"mutetemp", C::mutetemp}, {u"tempmute", C::mutetemp},
    {u"blocktemp", C::blocktemp}, {u"tempblock", C::blocktemp},
    {u"noticeset", C::noticeset}, {u"setnotice", C::noticeset},
    {u"noticeclear", C::noticeclear}, {u"clearnotice", C::noticeclear},
    {u"noticeclr", C::noticeclear}, {u"clrnotice", C::noticeclear},
    {u"dreopenlog", C::dreopenlog}, {u"dreopenlogfile", C::dreopenlog},
    {u"dstop", C::dstop}, {u"uptime", C::uptime}, {u"logtext", C::logtext}, {u"dpid", C::dpid},
    {u"cmdport", C::cmdport}, {u"commandport", C::cmdport}, {u"portcommand", C::cmdport},
    {u"portcmd", C::cmdport},
    {u"getparameter", C::getparameter}, {u"parameterget", C::getparameter},
    {u"getparam", C::getparameter}, {u"paramget", C::getparameter},
    {u"setparameter", C::setparameter}, {u"parameterset", C::setparameter},
    {u"paramset", C::setparameter},
    {u"deleteparameter", C::deleteparameter}, {u"delparameter", C::deleteparameter},
    {u"delparam", C::deleteparameter}, {u"deleteparam", C::deleteparameter},
    {u"parameterdel", C::deleteparameter}, {u"paramdel", C::deleteparameter},
    {u"parameterdelete", C::deleteparameter}, {u"paramdelete", C::deleteparameter},
    {u"clearparameter", C::clearparameter}, {u"parameterclear", C::clearparameter},
    {u"parameterclr", C::clearparameter}, {u"paramclear", C::clearparameter},
    {u"paramclr", C::clearparameter}, {u"clrparameter", C::clearparameter},
    {u"clearparam", C::clearparameter}, {u"clrparam", C::clearparameter},
    {u"run", C::run}, {u"nostdout", C::run}, {u"debug", C::debug}, {u"help", C::help},
    {u"version", C::version}, {u"revision", C::version}, {u"ver", C::version},
    {u"rev", C::version},
    {u"clientid", C::clientid}, {u"serverid", C::clientid},
};

constexpr uint8_t P2 = kRulePos(2), P3 = kRulePos(3), P4 = kRulePos(4), P5 = kRulePos(5);

struct TRuleRow {
    C Command;
    uint8_t Required, RequiredNet, ConfigPos, Checks;
    bool Channel, MayCreate, NotParsed;
};

constexpr TRuleRow kRules[] = {
    {C::disconnectmanidx, 0, 0, 3, cchk_P2ManagerIndex, true, false, false},
    {C::managerauthenable, 0, 0, 3, cchk_P2ManagerIndex, true, false, false},
    {C::managerauthdisable, 0, 0, 3, cchk_P2ManagerIndex, true, false, false},
    {C::setloglevel, 0, 0, 3, cchk_P2LogLevel, true, false, false},
    {C::setnetloglevel, P3, P3, 4, cchk_P2LogLevel, true, false, false},
    {C::setmanpassidx, P3, 0, 4, cchk_P2ManagerIndex, false, false, false},
    {C::setmanemailidx, P3, 0, 4, cchk_P2ManagerIndex, false, false, false},
    {C::dsetmanpassidx, P3, 0, 4, cchk_P2ManagerIndex, true, false, false},
    {C::dsetmanemailidx, P3, 0, 4, cchk_P2ManagerIndex, true, false, false},
    {C::dsetloglevelmanidx, 0, 0, 4, cchk_P2ManagerIndex | cchk_P3LogLevel, true, false, false},
    {C::managers, 0, 0, 2, 0, true, false, false},
    {C::listintflags, 0, 0, 2, 0, true, false, false},
    {C::drereadintflags, 0, 0, 2, 0, true, false, false},
    {C::drereadadmins, 0, 0, 2, 0, true, false, false},
    {C::drereadmutes, 0, 0, 2, 0, true, false, false},
    {C::drereadblocks, 0, 0, 2, 0, true, false, false},
    {C::drereadrights, 0, 0, 2, 0, true, false, false},
    {C::drereadmodes, 0, 0, 2, 0, true, false, false},
    {C::drereadnotices, 0, 0, 2, 0, true, false, false},
    {C::drereadall, 0, 0, 2, 0, true, false, false},
    {C::memoryreport, 0, 0, 2, 0, true, false, false},
    {C::dstop, 0, 0, 2, 0, true, false, false},
    {C::dreopenlog, 0, 0, 2, 0, true, false, false},
    {C::list, 0, 0, 2, 0, true, false, false},
    {C::threads, 0, 0, 2, 0, true, false, false},
    {C::flushdata, 0, 0, 2, 0, true, false, false},
    {C::uptime, 0, 0, 2, 0, true, false, false},
    {C::dpid, 0, 0, 2, 0, true, false, false},
    {C::disconnectall, 0, 0, 2, 0, true, false, false},
    {C::frereadintflags, 0, 0, 3, 0, true, false, false},
    {C::frereadadmins, 0, 0, 3, 0, true, false, false},
    {C::frereadmutes, 0, 0, 3, 0, true, false, false},
    {C::frereadblocks, 0, 0, 3, 0, true, false, false},
    {C::frereadrights, 0, 0, 3, 0, true, false, false},
    {C::frereadmodes, 0, 0, 3, 0, true, false, false},
    {C::frereadnotices, 0, 0, 3, 0, true, false, false},
    {C::logtext, 0, 0, 3, 0, true, false, false},
    {C::disconnectmanaddr, P2, 0, 3, 0, true, false, false},
    {C::setmanpassaddr, P2 | P3, 0, 4, 0, false, false, false},
    {C::dsetmanpassaddr, P2 | P3, 0, 4, 0, true, false, false},
    {C::setmanpassaddremail, P2 | P3 | P4, 0, 5, 0, false, false, false},
    {C::dsetmanpassaddremail, P2 | P3 | P4, 0, 5, 0, true, false, false},
    {C::setintflags, P2 | P3 | P4, P3, 5, 0, true, false, false},
    {C::clearintflags, P2 | P3 | P4, P3, 5, 0, true, false, false},
    {C::getintflags, P2 | P3, P3, 4, 0, true, false, false},
    {C::sendhugesound, P3, P3, 4, cchk_P2ClientIdOrEmail, true, false, false},
    {C::dservmanmode, 0, 0, 3, cchk_P2ManagerMode, true, false, false},
    {C::dnetmanmode, P3, 0, 4, cchk_P2ManagerMode, true, false, false},
    {C::listnet, P2, P2, 3, 0, true, false, false},
    {C::noticeclear, P2, P2, 3, 0, true, false, false},
    {C::connenable, P2, P2, 3, 0, true, false, false},
    {C::conndisable, P2, P2, 3, 0, true, false, false},
    {C::connstatus, P2, P2, 3, 0, true, false, false},
    {C::talkenable, P2, P2, 3, 0, true, false, false},
    {C::talkdisable, P2, P2, 3, 0, true, false, false},
    {C::talkstatus, P2, P2, 3, 0, true, false, false},
    {C::disconnectnet, P2, P2, 3, 0, true, false, false},
    {C::mute, P2 | P3, P2, 4, 0, true, false, false},
    {C::unmute, P2 | P3, P2, 4, 0, true, false, false},
    {C::block, P2 | P3, P2, 4, 0, true, false, false},
    {C::unblock, P2 | P3, P2, 4, 0, true, false, false},
    {C::adminadd, P2 | P3, P2, 4, 0, true, false, false},
    {C::admindel, P2 | P3, P2, 4, 0, true, false, false},
    {C::rightadd, P2 | P3, P2, 4, 0, true, false, false},
    {C::rightdel, P2 | P3, P2, 4, 0, true, false, false},
    {C::rightmark, P2 | P3, P2, 4, 0, true, false, false},
    {C::rightunmark, P2 | P3, P2, 4, 0, true, false, false},
    {C::disconnectclient, P2 | P3, P2, 4, 0, true, false, false},
    {C::noticeset, P3, P3, 4, 0, true, false, false},
    {C::mutetemp, P3 | P4, P3, 5, cchk_P2TimeInterval, true, false, false},
    {C::blocktemp, P3 | P4, P3, 5, cchk_P2TimeInterval, true, false, false},
    {C::move, P2 | P3 | P4, P3 | P4, 5, 0, true, false, false},
    {C::movetemp, P3 | P4 | P5, P4 | P5, 6, cchk_P2TimeInterval, true, false, false},
    {C::clientid, P2, 0, 0, 0, false, false, false},
    {C::run, 0, 0, 2, 0, false, false, false},
    {C::debug, 0, 0, 2, 0, false, false, false},
    {C::logfilename, 0, 0, 2, 0, false, false, false},
    {C::mutesfilename, 0, 0, 2, 0, false, false, false},
    {C::blocksfilename, 0, 0, 2, 0, false, false, false},
    {C::adminsfilename, 0, 0, 2, 0, false, false, false},
    {C::rightsfilename, 0, 0, 2, 0, false, false, false},
    {C::modesfilename, 0, 0, 2, 0, false, false, false},
    {C::noticesfilename, 0, 0, 2, 0, false, false, false},
    {C::servercharset, 0, 0, 2, 0, false, false, false},
    {C::getparameter, P2 | P3, 0, 4, 0, false, false, true},
    {C::deleteparameter, P2 | P3, 0, 4, 0, false, false, true},
    {C::clearparameter, P2 | P3, 0, 4, 0, false, false, true},
    {C::setparameter, P2 | P3, 0, 5, 0, false, true, true},
};

// Trimmed of characters up to and including the blank at both ends, as every
// positional parameter is.
std::u16string TrimArg(std::u16string_view s) {
    return std::u16string(TrimBlanksViewW(s));
}

bool ParseTimeSeconds(std::u16string_view aText, int64_t& aSeconds) {
    TTimeIntervalRec rec;
    if (!ParseTimeInterval(aText, rec)) return false;
    const int64_t secs = TimeIntervalToSeconds(rec);
    // The server takes at most a signed 32-bit count of seconds (68 years)
    // and closes the connection on more: refuse it here, with a message.
    if (secs < 0 || secs > std::numeric_limits<int32_t>::max()) return false;
    aSeconds = secs;
    return true;
}

bool IsEmailChar(char16_t c) {
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
           c == u'+' || c == u'-' || c == u'.' || c == u'_' || c == u'@' || c > 0x0401;
}

}  // namespace

const std::u16string& TQORSVCCommandLineOptions::Par(int aPos) const {
    static const std::u16string kEmpty;
    switch (aPos) {
        case 2: return sclo_Par2;
        case 3: return sclo_Par3;
        case 4: return sclo_Par4;
        case 5: return sclo_Par5;
        case 6: return sclo_Par6;
        default: return kEmpty;
    }
}

TQORSVCCommand FindCommandWord(std::u16string_view aWord) {
    const std::u16string lower = AsciiLowerCaseW(aWord);
    for (const TWord& w : kWords)
        if (w.Word == lower) return w.Command;
    return C::none;
}

TQORSVCCommandRule FindCommandRule(TQORSVCCommand aCommand) {
    TQORSVCCommandRule r;
    for (const TRuleRow& row : kRules) {
        if (row.Command != aCommand) continue;
        r.Required = row.Required;
        r.RequiredNet = row.RequiredNet;
        r.ConfigPos = row.ConfigPos;
        r.Checks = row.Checks;
        r.Channel = row.Channel;
        r.MayCreate = row.MayCreate;
        r.NotParsed = row.NotParsed;
        r.HasRow = true;
        break;
    }
    return r;
}

std::u16string_view CommandName(TQORSVCCommand aCommand) {
    for (const TWord& w : kWords)
        if (w.Command == aCommand) return w.Word;
    return {};
}

namespace cmdwords {

bool ParseLogLevelText(std::u16string_view aText, int32_t& aLevel) {
    const std::u16string t = TrimSpaceW(aText);
    if (t.empty()) return false;
    int32_t n = 0;
    if (TryParseIntW(t, n)) {
        if (n < 0 || n >= int32_t(kLogLevelCount)) return false;
        aLevel = n;
        return true;
    }
    std::u16string up = t;
    for (char16_t& c : up)
        if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    // The names that agree with the text over the shorter of the two lengths,
    // among those whose shorter length reaches k; the first k that leaves one
    // name decides ("E" stays ambiguous between ERROR and EXTRA).
    for (size_t k = 1; k <= up.size(); ++k) {
        int found = -1, count = 0;
        for (size_t i = 0; i < kLogLevelCount; ++i) {
            const std::u16string_view name = kLogLevelNames[i];
            const size_t len = std::min(up.size(), name.size());
            if (len < k) continue;
            if (name.substr(0, len) != std::u16string_view(up).substr(0, len)) continue;
            found = int(i);
            ++count;
        }
        if (count == 1) {
            aLevel = found;
            return true;
        }
        if (count == 0) return false;
    }
    return false;
}

bool CheckEMailSyntax(std::u16string_view aText) {
    if (aText.empty() || aText.back() == u'.') return false;
    const size_t at = aText.find(u'@');
    if (at == std::u16string_view::npos || aText.find(u'@', at + 1) != std::u16string_view::npos)
        return false;
    for (size_t i = 0; i < aText.size(); ++i) {
        const char16_t c = aText[i];
        if (!IsEmailChar(c)) return false;
        if ((c == u'+' || c == u'_') && i > at) return false;
        if (c == u'.' && i > at && (aText[i - 1] == u'@' || aText[i - 1] == u'.')) return false;
    }
    const size_t lastDot = aText.rfind(u'.');
    if (lastDot == std::u16string_view::npos || lastDot < at) return false;
    return aText.size() - lastDot - 1 >= 2;
}

}  // namespace cmdwords

bool ParseCommandLine(const std::vector<std::u16string>& aArgs, int32_t& aArgCount,
                      TQORSVCCommandLineOptions& aOptions, TQORSVCCommand& aCommand,
                      TQORSVCCommandRule& aRule) {
    aOptions = TQORSVCCommandLineOptions{};
    aCommand = C::none;
    aRule = TQORSVCCommandRule{};
    aArgCount = 0;
    TQORSVCCommandLineOptions& o = aOptions;
    bool help = false;
    std::vector<std::u16string> remain;
    try {
        std::vector<std::u16string> params = aArgs;
        if (params.empty()) params.emplace_back();
        TGetopt g(std::move(params), u"8:r:t:n:c:hlyidepmfuoa2");
        const std::pair<std::u16string_view, char16_t> longs[] = {
            {u"heap", u'8'},  {u"deli", u'r'},     {u"delimiter", u'r'}, {u"time", u't'},
            {u"net", u'n'},   {u"network", u'n'},  {u"cfg", u'c'},       {u"config", u'c'},
            {u"help", u'h'},  {u"flat", u'l'},     {u"empty", u'y'},     {u"ip", u'i'},
            {u"id", u'd'},    {u"serverid", u'd'}, {u"email", u'e'},     {u"proto", u'p'},
            {u"manid", u'm'}, {u"managerid", u'm'}, {u"full", u'f'},     {u"utf8", u'u'},
            {u"utf", u'u'},   {u"ansi", u'a'},     {u"oem", u'o'},       {u"dont-verify-db", u'2'},
        };
        for (const auto& [name, letter] : longs) g.AddLongOption(name, letter);
        auto setCharset = [&](TQORConsoleCharset cs) {
            if (o.sclo_Charset != ccs_UNKNOWN) {
                o.sclo_ErrorText = u"Multiple charset definitions";
                return false;
            }
            o.sclo_Charset = cs;
            return true;
        };
        while (g.getopt()) {
            const std::u16string arg = TrimArg(g.Argument());
            switch (g.Option()) {
                case u'8': o.sclo_HeapFileName = arg; break;
                case u'r':
                    o.sclo_ListDelimiter = ParseDelimiterCharSpec(g.Argument(), u';');
                    break;
                case u't':
                    o.sclo_TimeOpt = true;
                    if (!ParseTimeSeconds(arg, o.sclo_TimeInterval)) {
                        o.sclo_ErrorText = u"Invalid time interval";
                        return false;
                    }
                    break;
                case u'n':
                    o.sclo_NetOpt = true;
                    o.sclo_NetworkNameU = arg;
                    if (arg.empty()) {
                        o.sclo_ErrorText = u"Empty network name";
                        return false;
                    }
                    break;
                case u'c':
                    o.sclo_ConfigOpt = true;
                    o.sclo_ConfigFileNameU = arg;
                    break;
                case u'h': help = true; break;
                case u'l': o.sclo_Flat = true; break;
                case u'y': o.sclo_Empty = true; break;
                case u'i': o.sclo_Ip = true; break;
                case u'd': o.sclo_ServerId = true; break;
                case u'e': o.sclo_Email = true; break;
                case u'p': o.sclo_Proto = true; break;
                case u'm': o.sclo_ManagerId = true; break;
                case u'f':
                    o.sclo_Ip = o.sclo_Email = o.sclo_ServerId = o.sclo_Proto = true;
                    o.sclo_ManagerId = true;
                    break;
                case u'u': if (!setCharset(ccs_UTF8)) return false; break;
                case u'a': if (!setCharset(ccs_ANSI)) return false; break;
                case u'o': if (!setCharset(ccs_OEM)) return false; break;
                case u'2': o.sclo_DontVerifyDB = true; break;
                default: return false;
            }
        }
        remain = g.RemainingArguments();
    } catch (const Exception&) {
        // An unknown flag or a missing argument: the report has no details.
        return false;
    }

    if (help) {
        aArgCount = 1;
        o.sclo_Par1 = u"help";
        aCommand = C::help;
        return true;
    }
    aArgCount = int32_t(remain.size());
    std::u16string* pars[] = {&o.sclo_Par1, &o.sclo_Par2, &o.sclo_Par3,
                              &o.sclo_Par4, &o.sclo_Par5, &o.sclo_Par6};
    for (size_t i = 0; i < 6 && i < remain.size(); ++i) *pars[i] = TrimArg(remain[i]);
    if (remain.empty()) {
        aArgCount = 1;
        return true;
    }
    aCommand = FindCommandWord(o.sclo_Par1);
    // The words without an action of their own are refused like unknown ones
    // rather than falling through to starting a server on an unread configuration.
    if (aCommand == C::none || aCommand == C::syncintflags || aCommand == C::cmdport) {
        aCommand = C::none;
        return false;
    }
    aRule = FindCommandRule(aCommand);
    const TQORSVCCommandRule& r = aRule;
    for (int pos = 2; pos <= 5; ++pos)
        if ((r.Required & kRulePos(pos)) && o.Par(pos).empty()) return false;
    if (r.ConfigPos != 0) {
        if (aArgCount < r.ConfigPos) {
            o.sclo_DefaultConfig = true;
        } else {
            if (o.Par(r.ConfigPos).empty()) return false;
            if (o.sclo_ConfigOpt) {
                o.sclo_ErrorText = u"Ambiguous config file name";
                return false;
            }
            o.sclo_ConfigFileNameU = o.Par(r.ConfigPos);
        }
    }
    if (r.RequiredNet != 0 && o.sclo_NetOpt) {
        o.sclo_ErrorText = u"Ambiguous network(room) name";
        return false;
    }
    if (r.Checks & cchk_P2ManagerIndex) {
        int32_t idx = -1;
        if (!TryParseIntW(o.sclo_Par2, idx) || idx < 0 || idx > 3) {
            o.sclo_ErrorText = u"Invalid manager index";
            return false;
        }
        o.sclo_ManagerIndex = idx;
    }
    if (r.Checks & cchk_P2LogLevel) {
        if (!cmdwords::ParseLogLevelText(o.sclo_Par2, o.sclo_LogLevel)) {
            o.sclo_ErrorText = u"Invalid log level: " + o.sclo_Par2;
            return false;
        }
    }
    if (r.Checks & cchk_P3LogLevel) {
        if (!cmdwords::ParseLogLevelText(o.sclo_Par3, o.sclo_LogLevel)) {
            o.sclo_ErrorText = u"Invalid log level: " + o.sclo_Par3;
            return false;
        }
    }
    if (r.Checks & cchk_P2ManagerMode) {
        if (!ParseManagerModeText(o.sclo_Par2, o.sclo_ManagerMode)) {
            o.sclo_ErrorText = u"Invalid manager mode";
            return false;
        }
    }
    if (r.Checks & cchk_P2TimeInterval) {
        if (o.sclo_TimeOpt) {
            o.sclo_ErrorText = u"Ambiguous time setting";
            return false;
        }
        if (!ParseTimeSeconds(o.sclo_Par2, o.sclo_TimeInterval)) {
            o.sclo_ErrorText = u"Invalid time interval";
            return false;
        }
    }
    if (r.Checks & cchk_P2ClientIdOrEmail) {
        std::string bytes;
        std::u16string narrowed;
        for (char16_t c : o.sclo_Par2) {
            bytes.push_back(char(uint8_t(c)));
            narrowed.push_back(char16_t(uint8_t(c)));
        }
        if (!IsValidSourceIdStr(bytes) && !cmdwords::CheckEMailSyntax(narrowed)) {
            o.sclo_ErrorText = u"Wrong clientid or email: " + o.sclo_Par2;
            return false;
        }
    }
    return true;
}

}  // namespace gax
