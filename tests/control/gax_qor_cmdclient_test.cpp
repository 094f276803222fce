// The console's channel requests and the printers of list answers.
#include "control/gax_qor_cmdclient.h"

#include <gtest/gtest.h>

#include <sstream>

#include "foundation/gax_ansi_unicode_converter.h"
#include "foundation/gax_mlang.h"
#include "foundation/gax_strutils.h"
#include "protocol/gax_qor_fields.h"

using namespace gax;
using C = TQORSVCCommand;

namespace {

std::vector<std::u16string> Words(const std::string& line) {
    std::vector<std::u16string> v{u"QORServerConsole"};
    std::istringstream in(line);
    std::string w;
    while (in >> w) {
        for (char& c : w)
            if (c == '~') c = ' ';  // a blank inside one parameter
        v.push_back(Utf8StrToUnicodeLenient(w));
    }
    return v;
}

bool Parse(const std::string& line, C& cmd, TQORSVCCommandLineOptions& o) {
    int32_t n = 0;
    TQORSVCCommandRule rule;
    return ParseCommandLine(Words(line), n, o, cmd, rule);
}

std::string Fx(const std::string& s) {
    return HexLenStr(s);
}

const TCharsetsCodeList& Codes() {
    static const std::unique_ptr<TCharsetsCodeList> list = CreateCharsetsCodeList();
    return *list;
}

}  // namespace

TEST(ChannelRequests, EveryCommandsRequestTitleAndExchange) {
    struct Case {
        const char* line;
        std::string request;  // without CR LF
        bool list;
        const char16_t* title;
    };
    const std::string main = Fx("Main"), other = Fx("Other"), id = Fx("user@example.org");
    const Case cases[] = {
        {"managers", "00r:00", true, u"ERROR: get managers status"},
        {"managerauthenable 2", "00s:21", false, u"ERROR: Enable manager auth by index"},
        {"managerauthdisable 3", "00s:30", false, u"ERROR: Disable manager auth by index"},
        {"dsetloglevelmanidx 1 VERB", "00p:0106", false, u"ERROR: Set manager log level"},
        {"dsetmanpassidx 1 secret", "001:" + Fx("1") + Fx("secret"), false,
         u"ERROR: Set password for manager by index"},
        {"dsetmanemailidx 0 m@example.org", "00d:" + Fx("0") + Fx("m@example.org"), false,
         u"ERROR: Set email for manager by index"},
        {"dsetmanpassaddr mgr.example.org pw", "002:" + Fx("mgr.example.org") + Fx("pw"), false,
         u"ERROR: Set password for manager"},
        {"dsetmanpassaddremail mgr a@b.org pw", "00c:" + Fx("mgr") + Fx("a@b.org") + Fx("pw"),
         false, u"ERROR: Set password for manager"},
        {"drereadadmins", "003:00", false, u"ERROR: Reread default list of admins"},
        {"drereadintflags", "00t:00", false, u"ERROR: Reread default internal flags file"},
        {"frereadmutes m.dat", "004:" + Fx("m.dat"), false,
         u"ERROR: Reread list of muted clients: \"m.dat\""},
        {"frereadblocks", "005:00", false, u"ERROR: Read list of blocked clients: \"\""},
        {"frereadadmins a.dat", "003:" + Fx("a.dat"), false,
         u"ERROR: Reread list of admins \"a.dat\""},
        {"drereadall", "009:00", false, u"ERROR: Reread all default files"},
        {"memoryreport", "00A:0000", true, u"ERROR: Memory report"},
        {"dservmanmode light", "00N:02", false, u"ERROR: server manager mode"},
        {"dnetmanmode Q Main", "00O:" + main + "03", false, u"ERROR: network manager mode"},
        {"flushdata", "00Q:00", false, u"ERROR: flush data"},
        {"threads", "00P:00", true, u"ERROR: Number of client connections on worker threads"},
        {"list", "00C:00", true, u"ERROR: List of clients for the whole server"},
        {"-n Main list", "00C:" + main, true, u"ERROR: List of clients for the network"},
        {"listnet Main", "00C:" + main, true, u"ERROR: List of clients for the network"},
        {"disconnectmanidx 2", "00Y:02", false, u"ERROR: disconnect manager by index"},
        {"disconnectmanaddr mgr", "00Z:" + Fx("mgr") + "010", false,
         u"ERROR: disconnect manager by address"},
        {"setloglevel login", "00b:00" + Fx("4"), false, u"ERROR: log level"},
        {"setnetloglevel 7 Main", "00b:" + main + Fx("7"), false, u"ERROR: network log level"},
        {"disconnectall", "00T:0000", false, u"ERROR: disconnect all"},
        {"disconnectnet Main", "00T:" + main + "00", false, u"ERROR: disconnect network"},
        {"disconnectclient user@example.org Main", "00T:" + main + id, false,
         u"ERROR: disconnect client"},
        {"setintflags user@example.org Main A,B", "00i:01" + id + main + Fx("A,B"), false,
         u"ERROR: Set/clear internal client flags"},
        {"clearintflags user@example.org Main A", "00i:00" + id + main + Fx("A"), false,
         u"ERROR: Set/clear internal client flags"},
        {"getintflags user@example.org Main", "00i:02" + id + main, true, u"ERROR: getintflags"},
        {"listintflags", "00i:03", true, u"ERROR: listintflags"},
        {"sendhugesound user@example.org Main", "00m:" + id + main, false,
         u"ERROR: send huge sound"},
        {"connenable Main", "00K:" + main + "1", false, u"ERROR: Enable to connect listed only"},
        {"conndisable Main", "00K:" + main + "0", false, u"ERROR: Disable to connect listed only"},
        {"connstatus Main", "00K:" + main + "?", true, u"ERROR: conn status"},
        {"talkenable Main", "00L:" + main + "1", false, u"ERROR: Enable to speak marked only"},
        {"talkdisable Main", "00L:" + main + "0", false, u"ERROR: Disable to speak marked only"},
        {"talkstatus Main", "00L:" + main + "?", true, u"ERROR: talk status"},
        {"move user@example.org Main Other", "00S:" + id + main + other + "00", false,
         u"ERROR: move client"},
        {"-t 5m move user@example.org Main Other", "00S:" + id + main + other + "82012C", false,
         u"ERROR: move client"},
        {"movetemp 1h user@example.org Main Other", "00S:" + id + main + other + "820E10", false,
         u"ERROR: temp move client"},
        {"rightadd user@example.org Main", "00G:" + main + id + "1", false, u"ERROR: Right add"},
        {"rightdel user@example.org Main", "00G:" + main + id + "0", false, u"ERROR: Right delete"},
        {"rightmark user@example.org Main", "00H:" + main + id + "1", false, u"ERROR: Right mark"},
        {"rightunmark user@example.org Main", "00H:" + main + id + "0", false,
         u"ERROR: Right unmark"},
        {"adminadd user@example.org Main", "00F:" + main + id + "1", false, u"ERROR: Admin add"},
        {"admindel user@example.org Main", "00F:" + main + id + "0", false, u"ERROR: Admin delete"},
        {"mute user@example.org Main", "00D:" + main + "00" + id + "1", false,
         u"ERROR: Mute client"},
        {"-t 0s mute user@example.org Main", "00D:" + main + "00" + id + "1", false,
         u"ERROR: Mute client"},
        {"-t 2m mute user@example.org Main", "00D:" + main + Fx("120") + id + "1", false,
         u"ERROR: Mute client"},
        {"mutetemp 1m user@example.org Main", "00D:" + main + Fx("60") + id + "1", false,
         u"ERROR: Temporary mute client"},
        {"mutetemp 0 user@example.org Main", "00D:" + main + "00" + id + "1", false,
         u"ERROR: Temporary mute client"},
        {"unmute user@example.org Main", "00D:" + main + "00" + id + "0", false,
         u"ERROR: Unmute client"},
        {"-t 10m block user@example.org Main", "00E:" + main + "00" + id + "1", false,
         u"ERROR: Block client"},
        {"blocktemp 1d user@example.org Main", "00E:" + main + Fx("86400") + id + "1", false,
         u"ERROR: Temporary block client"},
        {"unblock user@example.org Main", "00E:" + main + "00" + id + "0", false,
         u"ERROR: Unblock client"},
        {"noticeset ~Members~only~ Main", "00I:" + main + Fx("Members only"), false,
         u"ERROR: set access info notice"},
        {"noticeclear Main", "00J:" + main, false, u"ERROR: clear access info notice"},
        {"dreopenlog", "00M:00", false, u"ERROR: reopen log"},
        {"dstop", "00B:00", false, u"ERROR: stop"},
        {"uptime", "00R:00", true, u"ERROR: uptime"},
        {"logtext h\xc3\xa9llo", "00W:" + Fx("h\xc3\xa9llo"), false, u"ERROR: log text"},
        {"dpid", "00X:00", true, u"ERROR: dpid"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        C cmd;
        TQORSVCCommandLineOptions o;
        ASSERT_TRUE(Parse(c.line, cmd, o));
        TQORChannelRequest r;
        ASSERT_TRUE(BuildChannelRequest(cmd, o, r));
        EXPECT_EQ(r.Line, c.request + "\r\n");
        EXPECT_EQ(r.List, c.list);
        EXPECT_EQ(r.Title, c.title);
    }
    // Commands of the other branches send nothing.
    for (const char* line : {"run", "getparameter S K", "setmanpassidx 1 pw", "logfilename"}) {
        C cmd;
        TQORSVCCommandLineOptions o;
        ASSERT_TRUE(Parse(line, cmd, o)) << line;
        TQORChannelRequest r;
        EXPECT_FALSE(BuildChannelRequest(cmd, o, r)) << line;
    }
}

TEST(ChannelRequests, TextsAreCleanedAndCut) {
    TQORSVCCommandLineOptions o;
    o.sclo_Par2 = u"  line one\r\nline\ttwo" + std::u16string(800, u'x');
    TQORChannelRequest r;
    ASSERT_TRUE(BuildChannelRequest(C::logtext, o, r));
    const std::string text = "line oneline\ttwo" + std::string(500 - 16, 'x');
    EXPECT_EQ(r.Line, "00W:" + Fx(text) + "\r\n");

    o.sclo_Par2 = std::u16string(499, u'n') + u"   tail";
    o.sclo_Par3 = u"Main";
    ASSERT_TRUE(BuildChannelRequest(C::noticeset, o, r));
    EXPECT_EQ(r.Line, "00I:" + Fx("Main") + Fx(std::string(499, 'n')) + "\r\n");
    o.sclo_Par2.clear();
    ASSERT_TRUE(BuildChannelRequest(C::noticeset, o, r));
    EXPECT_EQ(r.Line, "00I:" + Fx("Main") + "00\r\n");
}

TEST(ClientListItem, DecodesStatusAndFields) {
    TQORClientRec rec;
    ParseClientListItem("9E" + TypedFieldStr('2', "Call") + TypedFieldStr('8', "ID") +
                            TypedFieldStr('7', "skipped") + TypedFieldStr('6', "Z\xc3\xb6rich"),
                        rec, nullptr);
    EXPECT_EQ(rec.cr_Status, vs_Absent);
    EXPECT_TRUE(rec.cr_ListenOnly);
    EXPECT_TRUE(rec.cr_Muted);
    EXPECT_EQ(rec.cr_ClientType, clt_GATEWAY);
    EXPECT_TRUE(rec.cr_Unicode);
    EXPECT_EQ(rec.cr_CallsignOpname, u"Call");
    EXPECT_EQ(rec.cr_ClientIdU, u"ID");
    EXPECT_EQ(rec.cr_CityCityPart, u"Z\u00f6rich");

    // Without the UTF-8 bit, bytes are widened, or converted by the network's set.
    ParseClientListItem("20" + TypedFieldStr('2', "\xc4"), rec, nullptr);
    EXPECT_EQ(rec.cr_CallsignOpname, u"\u00c4");
    TAnsiUnicodeConverter cyr;
    cyr.SetCharsetsCodeList(&Codes());
    cyr.SetCharsetName(u"WINDOWS-1251");
    ParseClientListItem("20" + TypedFieldStr('2', "\xc4"), rec, &cyr);
    EXPECT_EQ(rec.cr_CallsignOpname, u"\u0414");

    const std::pair<std::string, const char16_t*> bad[] = {
        {"", u"Data is too short"},
        {"2", u"Data is too short"},
        {"G0", u"Invalid status"},
        {"03", u"Invalid status"},
        {"30", u"Invalid status"},
        {"202", u"Invalid TLV"},
        {"2020", u"Invalid TLV"},
        {"20205AB", u"Invalid format client line"},
        {"202" "84FF", u"Invalid TLV"},
    };
    for (const auto& [line, message] : bad) {
        SCOPED_TRACE(line);
        try {
            ParseClientListItem(line, rec, nullptr);
            ADD_FAILURE() << "no exception";
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), message);
        }
    }
}

namespace {

// Two networks: Main with its Parrot and two clients, Echo with only its Parrot.
TQORChannelCommandAnswerList CannedClientList() {
    const std::string parrotA(24, 'P'), parrotB(24, 'Q');
    auto item = [](const char* status, const std::string& call, const std::string& city,
                   const std::string& band, const std::string& desc, const std::string& country,
                   const std::string& id) {
        return std::string(status) + TypedFieldStr('2', call) + TypedFieldStr('3', band) +
               TypedFieldStr('4', desc) + TypedFieldStr('5', country) + TypedFieldStr('6', city) +
               TypedFieldStr('8', id);
    };
    return {
        Fx("Main") + Fx("") + Fx(parrotA),
        "3",
        item("A0", "Parrot", "", "Parrot", "", "", parrotA),
        // admin, muted, available, gateway
        item("98", "Call1", "Z\xc3\xb6rich", "Band1", "Desc1", "DE", "ID1"),
        // listen-only, not available, PC
        item("A5", "Call2", "City2", "PC Only", "Desc2", "FR", "ID2"),
        "0" + Fx("") + Fx("") + "00" + Fx("") + Fx(""),
        "1" + Fx("10.0.0.1") + Fx("one@example.org") + "03" + Fx("id0") + Fx("") + Fx("id2") +
            Fx("X1") + Fx("F1"),
        "0" + Fx("10.0.0.2") + Fx("two@example.org") + "00" + Fx("") + Fx(""),
        Fx("Echo") + Fx("") + Fx(parrotB),
        "1",
        item("A0", "Parrot", "", "Parrot", "", "", parrotB),
        "0" + Fx("") + Fx("") + "00" + Fx("") + Fx(""),
    };
}

std::string Format(const TQORChannelCommandAnswerList& list, const std::string& flags,
                   int expectCode = 0, std::u16string* error = nullptr) {
    C cmd;
    TQORSVCCommandLineOptions o;
    EXPECT_TRUE(Parse(flags + " list", cmd, o));
    std::string out;
    std::u16string err;
    EXPECT_EQ(FormatClientList(list, o, u"UTF-8", &Codes(), out, err), expectCode);
    if (error) *error = err;
    return out;
}

}  // namespace

TEST(ClientListPrinter, ColumnsAndForms) {
    const TQORChannelCommandAnswerList list = CannedClientList();
    EXPECT_EQ(Format(list, ""),
              "Main:\r\n"
              "    Call1;Z\xc3\xb6rich;Band1;Desc1;DE\r\n"
              "    Call2;City2;PC Only;Desc2;FR\r\n");
    // -y shows the network that holds only its Parrot, as its header alone.
    EXPECT_EQ(Format(list, "-y -e"),
              "Main:\r\n"
              "    Call1;Z\xc3\xb6rich;Band1;Desc1;DE;one@example.org\r\n"
              "    Call2;City2;PC Only;Desc2;FR;two@example.org\r\n"
              "Echo:\r\n");
    EXPECT_EQ(Format(list, "-l -e -i -d -m -p -y -r |"),
              "Main|Call1|Z\xc3\xb6rich|Band1|Desc1|DE|one@example.org|10.0.0.1|ID1|0=id0,2=id2|"
              "aGM.A/X1/F1\r\n"
              "Main|Call2|City2|PC Only|Desc2|FR|two@example.org|10.0.0.2|ID2||nP.L.//\r\n");
}

TEST(ClientListPrinter, MalformedAnswersPrintWhatCameBeforeAndFail) {
    const TQORChannelCommandAnswerList good = CannedClientList();
    const std::string mainLines =
        "Main:\r\n"
        "    Call1;Z\xc3\xb6rich;Band1;Desc1;DE\r\n"
        "    Call2;City2;PC Only;Desc2;FR\r\n";
    struct Case {
        const char* what;
        size_t line;  // replaced line of the canned answer
        std::string text;
        std::string printed;
        const char16_t* error;
    };
    const Case cases[] = {
        {"header field too long", 0, "05Main", "", u"Invalid format client line"},
        {"count not a number", 1, "three", "", u"Invalid format client line"},
        {"count beyond the lines", 9, "5", mainLines, u"Invalid format client line"},
        {"info field too long", 7, "0" + Fx("10.0.0.2") + "09x", "Main:\r\n    Call1;Z\xc3\xb6rich;Band1;Desc1;DE\r\n",
         u"Invalid format client line"},
        {"privilege out of range", 6, "7" + Fx("") + Fx("") + "00" + Fx("") + Fx(""), "Main:\r\n",
         u"Invalid format client line"},
        {"bad item status", 4, "F3", "", u"Invalid status"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TQORChannelCommandAnswerList list = good;
        list[c.line] = c.text;
        std::u16string error;
        EXPECT_EQ(Format(list, "", 3, &error), c.printed);
        EXPECT_EQ(error, c.error);
    }
    // A list cut after a count line is malformed too.
    TQORChannelCommandAnswerList cut(good.begin(), good.begin() + 9);
    std::u16string error;
    EXPECT_EQ(Format(cut, "", 3, &error), mainLines);
}

TEST(AnswerPrinters, LinesAndThreads) {
    EXPECT_EQ(FormatThreadsList({"3", "12"}),
              "Working thread #0: 3 connection(s)\r\nWorking thread #1: 12 connection(s)\r\n");
    EXPECT_EQ(FormatThreadsList({}), "");
    // UTF-8 lines come out in the asked set; an unknown set falls back to the default one.
    EXPECT_EQ(FormatAnswerLines({"Uptime: 1h02m05s", "\xd0\x94"}, &Codes(), u"WINDOWS-1251"),
              "Uptime: 1h02m05s\r\n\xc4\r\n");
    EXPECT_EQ(FormatAnswerLines({"ab"}, &Codes(), u"NO-SUCH-SET"), "ab\r\n");
}
