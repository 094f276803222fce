// The client-side protocol helper: connect strings read back the way the
// server reads them, the handshake answer, commands, and the frame splitter
// over every frame kind and every byte boundary.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tools/qor_client_proto.h"

namespace {

using namespace qortool;
using namespace std::string_literals;

// Parses a connect-string line as the server does: after "CT:", without the
// line end, control bytes and repeated names refused.
std::map<std::string, std::string> ServerTags(const std::string& line) {
    EXPECT_EQ(line.substr(0, 3), "CT:");
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    std::string body = line.substr(3, line.size() - 5);
    gax::TQORTagItemRec items[64];
    gax::TQORTagParseRec rec;
    rec.Items = items;
    rec.Capacity = 64;
    rec.Data = body.data();
    rec.DataLen = int32_t(body.size());
    rec.Flags = gax::QOR_TAGPARSE_CTRL_ERROR | gax::QOR_TAGPARSE_NO_DUPLICATES;
    const int n = gax::ParseTagList(rec);
    EXPECT_GT(n, 0) << line;
    std::map<std::string, std::string> out;
    for (int i = 0; i < rec.Count; ++i)
        out[std::string(items[i].Name())] = std::string(items[i].Value());
    return out;
}

ConnectFields Station() {
    ConnectFields f;
    f.Email = "op@example.org";
    f.Password = "secret";
    f.Callsign = "N0CALL Op";
    f.City = "Rotterdam";
    f.Country = "Netherlands";
    f.Network = "Test";
    return f;
}

TEST(ConnectString, AnsiFormIsByteExactAndReadsBackAsTheServerReadsIt) {
    ConnectFields f = Station();
    f.ExtFlags = 1;
    const BuildResult r = BuildConnectString(f, ConnectForm::Ansi);
    ASSERT_TRUE(r.Ok()) << r.Error;
    EXPECT_EQ(r.Line,
              "CT:<VX>2014004</VX><EA>op@example.org</EA><PW>secret</PW><ON>N0CALL Op</ON>"
              "<BC>PC Only</BC><CT>Rotterdam</CT><NN>Netherlands</NN><NT>Test</NT>"
              "<CEF>1</CEF>\r\n");
    // Country and network travel even when empty: the server's defaults then apply.
    f.Country.clear();
    f.Network.clear();
    f.ExtFlags = -1;
    f.Description = "a <b>bold</b> desk";  // other tags inside a value are plain bytes
    const auto tags = ServerTags(BuildConnectString(f, ConnectForm::Ansi).Line);
    EXPECT_EQ(tags.at("NN"), "");
    EXPECT_EQ(tags.at("NT"), "");
    EXPECT_EQ(tags.at("DS"), "a <b>bold</b> desk");
    EXPECT_EQ(tags.count("CEF"), 0u);
    EXPECT_EQ(tags.count("U8TF"), 0u);
}

TEST(ConnectString, Utf8FormCarriesTheTextInItsTypedPartAndAStandInIn8Bit) {
    ConnectFields f = Station();
    f.City = "K\xC3\xB8" "benhavn";  // Københaven
    f.Callsign = "OZ1\xE2\x82\xAC";    // a three-byte character
    f.Description = "desk";
    f.ExtFlags = 3;
    const auto tags = ServerTags(BuildConnectString(f, ConnectForm::Utf8).Line);
    EXPECT_EQ(tags.at("CT"), "K?benhavn");
    EXPECT_EQ(tags.at("ON"), "OZ1?");
    EXPECT_EQ(tags.at("CEF"), "11");  // the UTF-8 bit joins the list format

    std::string part = tags.at("U8TF");
    ASSERT_FALSE(part.empty());
    EXPECT_EQ(part[0], '2');  // "PC Only" is a PC client
    gax::TQORTypedFieldRec fields[16];
    gax::TQORTypedFieldParseRec rec;
    rec.Items = fields;
    rec.MaxItems = 16;
    rec.Data = part.data() + 1;
    rec.DataLen = int32_t(part.size() - 1);
    ASSERT_EQ(gax::ParseTypedFields(rec), 8);
    EXPECT_EQ(rec.Mask & 0x1F, 0x1Fu);  // the required e-mail, password, callsign, band, city
    EXPECT_EQ(rec.Slots[6]->Value(), f.City);
    EXPECT_EQ(rec.Slots[2]->Value(), f.Callsign);
    EXPECT_EQ(rec.Slots[7]->Value(), "Test");

    f.BandChannel = "Crosslink";
    EXPECT_EQ(ServerTags(BuildConnectString(f, ConnectForm::Utf8).Line).at("U8TF")[0], '0');
}

TEST(ConnectString, RefusesFieldsTheServerWouldDropTheConnectionFor) {
    struct Case {
        const char* name;
        void (*change)(ConnectFields&);
    } cases[] = {
        {"empty e-mail", [](ConnectFields& f) { f.Email = ""; }},
        {"blank password", [](ConnectFields& f) { f.Password = "  "; }},
        {"empty version", [](ConnectFields& f) { f.Version = ""; }},
        {"empty city", [](ConnectFields& f) { f.City = ""; }},
        {"control byte", [](ConnectFields& f) { f.Callsign = "A\tB"; }},
        {"line end", [](ConnectFields& f) { f.Description = "x\r\n"; }},
        {"own closing tag", [](ConnectFields& f) { f.Network = "a</NT>b"; }},
    };
    for (const Case& c : cases) {
        ConnectFields f = Station();
        c.change(f);
        for (ConnectForm form : {ConnectForm::Ansi, ConnectForm::Utf8}) {
            const BuildResult r = BuildConnectString(f, form);
            EXPECT_FALSE(r.Ok()) << c.name;
            EXPECT_TRUE(r.Line.empty()) << c.name;
        }
    }
}

TEST(HandshakeAnswer, PositiveAndRefusedAnswers) {
    HandshakeAnswer a;
    ASSERT_TRUE(ParseHandshakeAnswer(
        "2014004",
        "<MT></MT><SV>2014004</SV><AL>OK</AL><BN>host</BN><BP>10024</BP><SEF>1</SEF>"
        "<ID>abcdefghijklmnopqrstuvwx</ID><NT>Test</NT><EM>S</EM><UT>12</UT>"
        "<AVR>r7348(2022-10-13)-Win32</AVR>",
        a));
    EXPECT_TRUE(a.Positive());
    EXPECT_EQ(a.VersionLine, "2014004");
    EXPECT_EQ(a.ClientId(), "abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(a.Network(), "Test");
    EXPECT_EQ(a.GrantedFlags(), 1u);
    EXPECT_EQ(a.Tag("MT"), "");

    for (const char* word : {"BLOCK", "WRONG", "DUPL"}) {
        ASSERT_TRUE(ParseHandshakeAnswer(
            "2014004", "<MT></MT><SV>2014004</SV><AL>"s + word + "</AL><BN></BN><BP></BP>", a));
        EXPECT_FALSE(a.Positive()) << word;
        EXPECT_EQ(a.Access(), word);
    }
    for (const char* owner : {"ADMIN", "NETOWNER", "OWNER"}) {
        ASSERT_TRUE(ParseHandshakeAnswer("2014004", "<AL>"s + owner + "</AL>", a));
        EXPECT_TRUE(a.Positive()) << owner;
    }

    std::string error;
    EXPECT_FALSE(ParseHandshakeAnswer("2014004", "not an answer", a, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(ParseHandshakeAnswer("2014004", "<SV>2014004</SV>", a, &error));  // no AL
    EXPECT_FALSE(ParseHandshakeAnswer("2014004", "", a, &error));
}

TEST(Commands, SoundAndTextCommandsAreExactOrRefused) {
    const std::string payload(kSoundPayload, '\n');  // line ends inside sound travel as they are
    EXPECT_EQ(CmdSound(payload), "TX1\r\n" + payload);
    EXPECT_EQ(CmdSound(payload.substr(1)), "");
    EXPECT_EQ(CmdSoundShort(std::string(kShortPayload, 'x')), "TX8\r\n" + std::string(65, 'x'));
    EXPECT_EQ(CmdSoundShort(payload), "");

    EXPECT_EQ(CmdText("hello all"), "TM:<MS>hello all</MS>\r\n");
    EXPECT_EQ(CmdText("hi", "abcdefghijklmnopqrstuvwx"),
              "TM:<MS>hi</MS><ID>abcdefghijklmnopqrstuvwx</ID>\r\n");
    EXPECT_EQ(CmdText("two\nlines"), "");
    EXPECT_EQ(CmdText("x</MS>y"), "");
    EXPECT_EQ(CmdTextExt("", "hi", "h\xC3\xAF"), "TME:0002hi03h\xC3\xAF\r\n");
}

// ---- frames ----

const std::string kId = "abcdefghijklmnopqrstuvwx";

// A V1 list item whose callsign holds a line end: it must be skipped by length.
std::string V1Item() {
    return "22" "502NL" "600" "307PC Only" "205AB\r\nC" "818" + kId + "400" "\r\n";
}

struct FrameCase {
    const char* name;
    std::string bytes;
};

std::vector<FrameCase> AllFrames() {
    std::string sound(kSoundFrame, '\0');
    sound[0] = char(kFrameSound);
    sound[2] = 3;
    for (size_t i = 3; i < sound.size(); ++i) sound[i] = char(i % 7 == 0 ? '\n' : i);
    std::string shortSound(kShortFrame, '\r');
    shortSound[0] = char(kFrameSoundShort);
    return {
        {"end of transmission", "\x00"s},
        {"approval", "\x01\x00\x03"s},
        {"sound", sound},
        {"short sound", shortSound},
        {"sound ack", "\x89"s},
        {"empty V0 list", "\x03\x00\x00" "0\r\n"s},
        {"V0 list", "\x03\x00\x02" "2\r\n<S>0</S><ON>A</ON>\r\n<S>5</S><ON>B</ON>\r\n"s},
        {"V0 list, index bytes CR LF", "\x03\x0D\x0A" "1\r\n<S>0</S>\r\n"s},
        {"count list", "\x82" "12\r\n"s},
        {"UTF-8 list", "\x83\x00\x01" "2\r\n"s + V1Item() + V1Item()},
        {"difference list",
         "\x84\x00\x00" "000004\r\n" "0002-1\r\n" "0000*22\r\n" "0001+"s + V1Item() + "0003=" +
             V1Item()},
        {"empty difference list", "\x84\x00\x00" "000000\r\n"s},
        {"text", "\x04" "3\r\n" + kId + "\r\nhello\r\nA\r\n"},
        {"text UTF-8", "\x85" "3\r\n" + kId + "\r\nh\xC3\xAF\r\nP\r\n"},
        {"networks", "\x05" "02\r\nTest\r\nNet01\r\n"s},
        {"modes", "\x0A" "2\r\n1\r\n0\r\n"s},
        {"empty mutes", "\x09" "0\r\n"s},
        {"notice, empty text", "\x0B" "1\r\n\r\n"s},
        {"admins", "\x06" "1\r\n<NN>NL</NN><ID>" + kId + "</ID>\r\n"},
        {"mutes UTF-8", "\x87" "1\r\n" "02" "903adm" "818" + kId + "C0A1700000000\r\n"},
        {"speaker info", "\x8E" + V1Item()},
        {"messenger info", "\x8F" + V1Item()},
        {"cache set", "\x91" "05" + V1Item()},
        {"cache set, long slot header", "\x91" "81C8" + V1Item()},
        {"speaker index", "\x92" "05\r\n"s},
        {"messenger index", "\x93" "1F\r\n"s},
        {"net change", "\x90<AL>OK</AL><NT>Test</NT>\r\n"s},
    };
}

TEST(FrameSplitter, EveryKindMeasuresWholeAndNoProperPrefixCounts) {
    for (const FrameCase& c : AllFrames()) {
        EXPECT_EQ(MeasureFrame(c.bytes.data(), c.bytes.size()), long(c.bytes.size())) << c.name;
        // A following frame does not change the measure.
        const std::string two = c.bytes + "\x00"s;
        EXPECT_EQ(MeasureFrame(two.data(), two.size()), long(c.bytes.size())) << c.name;
        for (size_t k = 0; k < c.bytes.size(); ++k)
            ASSERT_EQ(MeasureFrame(c.bytes.data(), k), 0) << c.name << " prefix " << k;
    }
}

TEST(FrameSplitter, BytesThatAreNoFrameAreRefused) {
    const FrameCase bad[] = {
        {"unknown code", "\x7F"s},
        {"count with a letter", "\x82" "1x\r\n"s},
        {"empty count", "\x82\r\n"s},
        {"line end without CR", "\x92" "05\n"s},
        {"diff entry of unknown kind", "\x84\x00\x00" "000001\r\n" "0001?\r\n"s},
        {"item field header 80", "\x8E" "22" "580"s},
        {"item field header beyond 84", "\x8E" "22" "585"s},
        {"item header not hex", "\x8E" "22" "5G0"s},
        {"item CR without LF", "\x8E" "22\rX"s},
        {"count above the limit", "\x03\x00\x00" "99999999\r\n"s},
    };
    for (const FrameCase& c : bad)
        EXPECT_EQ(MeasureFrame(c.bytes.data(), c.bytes.size()), -1) << c.name;
}

TEST(FrameSplitter, ReaderSplitsAStreamIdenticallyAtAnyChunking) {
    std::string stream = "2014004\r\n<AL>OK</AL><NT>Test</NT>\r\n";
    std::vector<std::string> want;
    for (int round = 0; round < 3; ++round)
        for (const FrameCase& c : AllFrames()) {
            stream += c.bytes;
            want.push_back(c.bytes);
        }
    std::mt19937 rng(20);
    for (size_t chunk : {size_t(1), size_t(2), size_t(7), size_t(0)}) {
        FrameReader reader;
        std::vector<std::string> lines, got;
        size_t at = 0;
        while (at < stream.size()) {
            const size_t n = std::min(stream.size() - at, chunk ? chunk : 1 + rng() % 700);
            reader.Feed(stream.data() + at, n);
            at += n;
            std::string line;
            while (lines.size() < 2 && reader.NextLine(line) > 0) lines.push_back(line);
            if (lines.size() < 2) continue;
            std::string_view f;
            int r;
            while ((r = reader.Next(f)) > 0) got.emplace_back(f);
            ASSERT_EQ(r, 0) << "chunk " << chunk;
        }
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_EQ(lines[0], "2014004");
        EXPECT_EQ(lines[1], "<AL>OK</AL><NT>Test</NT>");
        EXPECT_EQ(got, want) << "chunk " << chunk;
        EXPECT_EQ(reader.Buffered(), 0u);
    }
}

TEST(FrameSplitter, ReaderStopsForGoodAtBytesThatAreNoFrame) {
    FrameReader reader;
    const std::string bytes = "\x00\x01\x00\x01\x7F\x00"s;
    reader.Feed(bytes.data(), bytes.size());
    std::string_view f;
    EXPECT_EQ(reader.Next(f), 1);
    EXPECT_EQ(reader.Next(f), 1);
    EXPECT_EQ(f, "\x01\x00\x01"s);
    EXPECT_EQ(reader.Next(f), -1);
    EXPECT_EQ(reader.Next(f), -1);
}

TEST(FrameContents, TextSoundIndexAndListCount) {
    TextMessage m;
    ASSERT_TRUE(ParseTextFrame("\x04" "3\r\n" + kId + "\r\nhello there\r\nP\r\n", m));
    EXPECT_EQ(m.SenderId, kId);
    EXPECT_EQ(m.Text, "hello there");
    EXPECT_TRUE(m.Private);
    EXPECT_FALSE(ParseTextFrame("\x04" "2\r\n" + kId + "\r\nhello\r\n", m));
    EXPECT_FALSE(ParseTextFrame("\x04" "3\r\n" + kId + "\r\nhello\r\nX\r\n", m));
    EXPECT_FALSE(ParseTextFrame("\x82" "1\r\n", m));

    EXPECT_EQ(SoundIndex("\x02\x01\x02"s), 0x0102u);
    EXPECT_EQ(ListCount("\x03\x00\x00" "0\r\n"s), 0);
    EXPECT_EQ(ListCount("\x82" "17\r\n"s), 17);
    EXPECT_EQ(ListCount("\x83\x00\x01" "2\r\n"s), 2);
    EXPECT_EQ(ListCount("\x04" "3\r\n"s), -1);
}

// The byte 0x00 is named by what it means where the station stands.
TEST(FrameContents, TheZeroByteIsNamedByTheStationsFloor) {
    const std::string zero(1, '\0'), approval = "\x01"s, sound = "\x02\x00\x03"s;
    struct Case {
        std::vector<std::string> before;  // sent ("TX0", "RX0") or received frames
        const char* name;
    };
    const Case cases[] = {
        {{}, "KEEP-ALIVE"},
        {{"TX0"}, "TX-REFUSED"},
        {{"TX0", approval}, "TX-ENDED"},
        {{"TX0", approval, "RX0"}, "TX-ENDED"},
        {{"TX0", approval, "RX0", zero}, "KEEP-ALIVE"},
        {{"TX0", "RX0"}, "KEEP-ALIVE"},
        {{sound}, "END-TX"},
        {{sound, zero}, "KEEP-ALIVE"},
        {{"TX0", zero}, "KEEP-ALIVE"},
    };
    for (const Case& c : cases) {
        FloorTracker t;
        for (const std::string& step : c.before) {
            if (step == "TX0" || step == "RX0")
                t.Sent(step + "\r\n");
            else
                t.Received(step);
        }
        EXPECT_STREQ(t.Received(zero), c.name) << c.before.size();
    }
    FloorTracker t;
    EXPECT_STREQ(t.Received(sound), "SOUND");
}

}  // namespace
