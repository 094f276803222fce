// Editing server.ini from the command line: round trips on a temporary file.
#include "control/gax_qor_paramedit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "foundation/file_test_support.h"
#include "foundation/gax_mlang.h"
#include "server/gax_qor_svc_setup.h"

using namespace gax;
using file_test::ReadAll;
using file_test::U;
using file_test::WriteFile;
using C = TQORSVCCommand;

namespace {

// In the INI writer's own form (byte-order mark, CR LF), so that a save
// that touches one line must leave every other byte as it was.
const char kIni[] =
    "\xEF\xBB\xBF; operator's notes\r\n"
    "[Server]\r\n"
    "PresentServerPort=10024\r\n"
    "ServerOwnerEMail=owner@example.org\r\n"
    "; ports\r\n"
    "ListenServerPorts = 10024\r\n"
    "\r\n"
    "[Command]\r\n"
    "CommandEnabled=1\r\n";

std::string Drain(std::FILE* f) {
    std::string s;
    std::rewind(f);
    char buf[1024];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
    std::fclose(f);
    return s;
}

class ParamEditTest : public file_test::TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ini = P("server.ini");
        WriteFile(ini, kIni);
    }
    struct Outcome {
        int code;
        std::string out, err;
    };
    Outcome Run(C aCommand, std::vector<std::u16string> aPars, const TQORServiceConfig& aConfig = {}) {
        TQORSVCCommandLineOptions o;
        std::u16string* slots[] = {&o.sclo_Par2, &o.sclo_Par3, &o.sclo_Par4, &o.sclo_Par5};
        for (size_t i = 0; i < aPars.size(); ++i) *slots[i] = aPars[i];
        if (aCommand == C::setmanpassidx || aCommand == C::setmanemailidx)
            o.sclo_ManagerIndex = int32_t(aPars[0][0] - u'0');
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        Outcome r;
        r.code = RunParameterCommand(aCommand, o, U(ini), aConfig, u"UTF-8", codes.get(), out, err);
        r.out = Drain(out);
        r.err = Drain(err);
        return r;
    }
    std::string ini;
    std::unique_ptr<TCharsetsCodeList> codes = CreateCharsetsCodeList();
};

}  // namespace

TEST_F(ParamEditTest, GetSetClearDeleteRoundTrips) {
    Outcome r = Run(C::getparameter, {u"server", u"listenserverports"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "10024\r\n");
    r = Run(C::getparameter, {u"Command", u"CommandPort"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");

    // Replacing a value leaves every other line byte for byte.
    EXPECT_EQ(Run(C::setparameter, {u"Server", u"ListenServerPorts", u"10024 10025/6"}).code, 0);
    std::string expect = kIni;
    expect.replace(expect.find("ListenServerPorts = 10024"), 25, "ListenServerPorts=10024 10025/6");
    EXPECT_EQ(ReadAll(ini), expect);
    r = Run(C::getparameter, {u"Server", u"ListenServerPorts"});
    EXPECT_EQ(r.out, "10024 10025/6\r\n");

    // A new key joins its section; a new section is appended.
    EXPECT_EQ(Run(C::setparameter, {u"System", u"LogFile", u"q\u00e9.log"}).code, 0);
    r = Run(C::getparameter, {u"System", u"LogFile"});
    EXPECT_EQ(r.out, "q\xc3\xa9.log\r\n");

    // Clear keeps the key with an empty value; delete removes it but not its section.
    EXPECT_EQ(Run(C::clearparameter, {u"Command", u"CommandEnabled"}).code, 0);
    EXPECT_NE(ReadAll(ini).find("CommandEnabled="), std::string::npos);
    EXPECT_EQ(Run(C::deleteparameter, {u"Command", u"CommandEnabled"}).code, 0);
    const std::string after = ReadAll(ini);
    EXPECT_EQ(after.find("CommandEnabled"), std::string::npos);
    EXPECT_NE(after.find("[Command]"), std::string::npos);
    EXPECT_EQ(after.rfind("\xEF\xBB\xBF; operator's notes\r\n[Server]\r\n", 0), 0u);
    // Deleting what is not there changes nothing.
    EXPECT_EQ(Run(C::deleteparameter, {u"Nowhere", u"Key"}).code, 0);
    EXPECT_EQ(ReadAll(ini), after);
}

TEST_F(ParamEditTest, FailureLeavesTheFileAndItsModeAlone) {
    ASSERT_EQ(::chmod(ini.c_str(), 0640), 0);
    const Outcome r = Run(C::setparameter, {u"Server", u"Bad=Name", u"x"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err.rfind("ERROR: ", 0), 0u) << r.err;
    EXPECT_EQ(ReadAll(ini), kIni);
    EXPECT_EQ(Run(C::setparameter, {u"Server", u"Value", u"line\nbreak"}).code, 2);
    EXPECT_EQ(ReadAll(ini), kIni);

    EXPECT_EQ(Run(C::setparameter, {u"Server", u"ServerInfo", u"1"}).code, 0);
    struct stat st {};
    ASSERT_EQ(::stat(ini.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // The editor never creates a file of its own: the start-up does that.
    ::unlink(ini.c_str());
    std::u16string error;
    std::u16string value;
    EXPECT_EQ(IniGetParameter(U(ini), u"Server", u"X", value), 2);
    EXPECT_THROW(IniSetParameter(U(ini), u"Server", u"X", error, u"1"), Exception);
    EXPECT_FALSE(FileExists(U(ini)));
}

TEST_F(ParamEditTest, SymlinkedConfigurationStaysALink) {
    const std::string real = P("real.ini");
    ASSERT_EQ(::rename(ini.c_str(), real.c_str()), 0);
    ASSERT_EQ(::symlink("real.ini", ini.c_str()), 0);
    EXPECT_EQ(Run(C::setparameter, {u"Server", u"ServerInfo", u"1"}).code, 0);
    struct stat st {};
    ASSERT_EQ(::lstat(ini.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(ReadAll(real).find("ServerInfo=1"), std::string::npos);
}

TEST_F(ParamEditTest, ManagerCommandsByIndexAndAddress) {
    WriteFile(ini, std::string(kIni) +
                       "[Manager]\nManagerEnabled=1\nManagerAddress=mgr.example.org\n"
                       "ManagerAuthEMail=a@example.org\nManagerAuthPassword=old\n"
                       "[Manager1]\nManagerEnabled=1\nManagerAddress=MGR.example.org\n"
                       "ManagerAuthEMail=b@example.org\nManagerAuthPassword=old\n"
                       "[Manager2]\nManagerEnabled=1\nManagerAddress=other.example.org\n"
                       "ManagerAuthEMail=c@example.org\nManagerAuthPassword=old\n");
    TQORServiceConfig config;
    ReadServiceConfigFile(config, U(ini), codes.get());
    const std::string before = ReadAll(ini);

    struct Case {
        C command;
        std::vector<std::u16string> pars;
        int code;
        const char* err;
    };
    const Case refused[] = {
        {C::setmanpassaddr, {u"nowhere.example.org", u"pw"}, 30,
         "ERROR: QOR System Manager not found: nowhere.example.org\r\n"},
        {C::setmanpassaddr, {u"mgr.EXAMPLE.org", u"pw"}, 31,
         "ERROR: Found too many QOR System Managers: mgr.EXAMPLE.org\r\n"},
        {C::setmanpassaddremail, {u"mgr.example.org", u"z@example.org", u"pw"}, 30,
         "ERROR: QOR System Manager not found: mgr.example.org/z@example.org\r\n"},
    };
    for (const Case& c : refused) {
        const Outcome r = Run(c.command, c.pars, config);
        EXPECT_EQ(r.code, c.code);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(ReadAll(ini), before);
    }

    EXPECT_EQ(Run(C::setmanpassaddremail, {u"mgr.example.org", u"b@example.org", u"pw1"}, config).code, 0);
    EXPECT_EQ(Run(C::setmanpassaddr, {u"other.example.org", u"pw2"}, config).code, 0);
    EXPECT_EQ(Run(C::setmanpassidx, {u"3", u"pw3"}, config).code, 0);
    EXPECT_EQ(Run(C::setmanemailidx, {u"0", u"new@example.org"}, config).code, 0);
    std::u16string v;
    EXPECT_EQ(IniGetParameter(U(ini), u"Manager1", u"ManagerAuthPassword", v), 0);
    EXPECT_EQ(v, u"pw1");
    EXPECT_EQ(IniGetParameter(U(ini), u"Manager", u"ManagerAuthPassword", v), 0);
    EXPECT_EQ(v, u"old");
    EXPECT_EQ(IniGetParameter(U(ini), u"Manager2", u"ManagerAuthPassword", v), 0);
    EXPECT_EQ(v, u"pw2");
    EXPECT_EQ(IniGetParameter(U(ini), u"Manager3", u"ManagerAuthPassword", v), 0);
    EXPECT_EQ(v, u"pw3");
    EXPECT_EQ(IniGetParameter(U(ini), u"Manager", u"ManagerAuthEMail", v), 0);
    EXPECT_EQ(v, u"new@example.org");
}
