#include "foundation/gax_inifile_utf8.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "foundation/file_test_support.h"
#include "foundation/gax_fileutils.h"
#include "platform/plat_file.h"

using namespace gax;
using namespace file_test;

namespace {

class IniTest : public TempDirTest {
  protected:
    void SetUp() override {
        TempDirTest::SetUp();
        path = dir + "/server.ini";
        name = SysToFileName(path);
    }
    std::unique_ptr<TIniFileUTF8> Load(const std::string& content) {
        WriteFile(path, content);
        return std::make_unique<TIniFileUTF8>(name, true);
    }
    std::string LoadError(const std::string& content) {
        try {
            Load(content);
        } catch (const EIniFileUTF8Exception& e) {
            return std::string(e.what()) + "|" +
                   std::string(e.ClassName().begin(), e.ClassName().end());
        }
        return "<loaded>";
    }
    std::string path;
    std::u16string name;
};

}  // namespace

TEST_F(IniTest, ParsesTheFileFormat) {
    auto ini = Load(
        "\xEF\xBB\xBF# comment\r\n"
        "[Command]\r\n"
        "  Port = 10023  \r\n"
        "=ignored\r\n"
        "no equals sign\r\n"
        "a=b=c\r\n"
        "tab=x\ty\r\n"
        "[  Server ]trailing\n"
        "[broken\n"
        "Name=S1\n"
        "[A]\n"
        "x=1\n"
        "[a]\n"
        "y=2\n"
        "X=3\n"
        "\x1A"
        "after=eof\n");
    EXPECT_EQ(ini->ReadStringOriginal(u"command", u"PORT", u"-"), u" 10023  ");
    EXPECT_EQ(ini->ReadString(u"Command", u"Port", u"-"), u"10023");
    EXPECT_EQ(ini->ReadInteger(u"Command", u"Port", -1), 10023);
    EXPECT_EQ(ini->ReadIntegerDef3(u"Command", u"Port", -1, -2, -3), -3);
    EXPECT_EQ(ini->ReadString(u"Command", u"a", u""), u"b=c");
    EXPECT_EQ(ini->ReadString(u"Command", u"tab", u""), u"x\ty");
    EXPECT_EQ(ini->ReadString(u"Command", u"no equals sign", u"none"), u"none");
    EXPECT_EQ(ini->ReadString(u"Server", u"Name", u""), u"S1");
    EXPECT_EQ(ini->ReadInteger(u"A", u"x", 0), 3);
    EXPECT_EQ(ini->ReadInteger(u"A", u"y", 0), 2);
    EXPECT_FALSE(ini->SectionExists(u"broken"));
    EXPECT_EQ(ini->ReadString(u"A", u"after", u"none"), u"none");
    EXPECT_FALSE(ini->Modified());

    struct {
        const char* content;
        const char* error;
    } bad[] = {
        {"[S]\r\nx=1\r\n[ ]\r\n", "Wrong format on text line 3|EIniFileUTF8ExceptionWrongFormat"},
        {"[S]\r\n[]\r\n", "Wrong format on text line 2|EIniFileUTF8ExceptionWrongFormat"},
        {"[S]\nx=1\ry=2\n",
         "Invalid characters on text line 2|EIniFileUTF8ExceptionInvalidCharacters"},
        {"[S]\nx=1\r", "Invalid characters on text line 2|EIniFileUTF8ExceptionInvalidCharacters"},
        {"; \x01\n", "Invalid characters on text line 1|EIniFileUTF8ExceptionInvalidCharacters"},
    };
    for (auto& c : bad) EXPECT_EQ(LoadError(c.content), c.error) << c.content;
}

TEST_F(IniTest, TypedReaders) {
    auto ini = Load(
        "[S]\nempty=\nblank=   \nneg= -12\nbig=9000000000\nyes= Yes \nnum=7\nword=true\n"
        "f=1,5\nbad=1x\nlead=  v \n");
    EXPECT_EQ(ini->ReadString(u"S", u"missing", u" d "), u"d");
    EXPECT_EQ(ini->ReadString(u"S", u"missing", u"  "), u"  ");
    EXPECT_EQ(ini->ReadString(u"S", u"blank", u"def"), u"def");
    EXPECT_EQ(ini->ReadStringTrimLeft(u"S", u"lead", u""), u"v ");
    EXPECT_EQ(ini->ReadStringDef2(u"S", u"missing", u"ne", u"em"), u"ne");
    EXPECT_EQ(ini->ReadStringDef2(u"S", u"empty", u"ne", u"em"), u"em");
    EXPECT_EQ(ini->ReadIntegerDef3(u"S", u"missing", 1, 2, 3), 1);
    EXPECT_EQ(ini->ReadIntegerDef3(u"S", u"blank", 1, 2, 3), 2);
    EXPECT_EQ(ini->ReadIntegerDef3(u"S", u"neg", 1, 2, 3), -12);  // leading blank accepted
    EXPECT_EQ(ini->ReadIntegerDef3(u"S", u"bad", 1, 2, 3), 3);
    EXPECT_EQ(ini->ReadInteger(u"S", u"big", 5), 5);
    EXPECT_EQ(ini->ReadInt64(u"S", u"big", 5), 9000000000);
    EXPECT_TRUE(ini->ReadBool(u"S", u"num", false));
    EXPECT_TRUE(ini->ReadBool(u"S", u"word", false));
    EXPECT_TRUE(ini->ReadBool(u"S", u"yes", true));  // "Yes" is no Boolean word here
    EXPECT_FALSE(ini->ReadBool(u"S", u"yes", false));
    EXPECT_TRUE(ini->ReadLogical(u"S", u"yes", false));
    EXPECT_EQ(ini->ReadLogicalInt(u"S", u"num", -1), 1);
    EXPECT_EQ(ini->ReadLogicalInt(u"S", u"yes", -1), -1);  // stored value as it stands
    EXPECT_EQ(ini->ReadLogicalInt2(u"S", u"missing", -1, -2), -1);
    EXPECT_EQ(ini->ReadLogicalInt2(u"S", u"bad", -1, -2), -2);
    EXPECT_FLOAT_EQ(ini->ReadSingle(u"S", u"f", 0, u','), 1.5f);
    EXPECT_FLOAT_EQ(ini->ReadSingle(u"S", u"f", 9, u'.'), 9.0f);
}

TEST_F(IniTest, WritesTheExactFile) {
    auto ini = std::make_unique<TIniFileUTF8>(name, false);
    EXPECT_FALSE(ini->Exists());
    ini->WriteString(u"Empty", u"gone", u"1");
    EXPECT_TRUE(ini->DeleteParameter(u"Empty", u"gone"));
    ini->WriteString(u"Server", u"Name", u"Caf\u00e9");
    ini->WriteInteger(u"Server", u"Port", 10023);
    ini->WriteBool(u"Server", u"On", true);
    ini->WriteLogicalYN(u"Server", u"Yn", false);
    ini->WriteInt64(u"Other", u"Big", -9000000000);
    ini->WriteSingle(u"Other", u"F", 2.5f, u',');
    ini->WriteString(u"server", u"port", u" 1 ");
    ini->Save();
    EXPECT_FALSE(ini->Modified());
    EXPECT_EQ(ReadAll(path),
              "\xEF\xBB\xBF[Server]\r\nName=Caf\xC3\xA9\r\nPort= 1 \r\nOn=TRUE\r\nYn=no\r\n"
              "\r\n[Other]\r\nBig=-9000000000\r\nF=2,5\r\n");
    EXPECT_FALSE(FileExists(SysToFileName(dir + "/.server.ini.$new")));
    EXPECT_FALSE(FileExists(SysToFileName(dir + "/.server.ini.$old")));

    ini->WriteEmptySections = true;
    ini->WriteString(u"Server", u"x", u"");
    EXPECT_TRUE(ini->DeleteSection(u"OTHER"));
    EXPECT_FALSE(ini->DeleteSection(u"OTHER"));
    ini->Save();
    EXPECT_EQ(ReadAll(path),
              "\xEF\xBB\xBF[Empty]\r\n\r\n[Server]\r\nName=Caf\xC3\xA9\r\nPort= 1 \r\nOn=TRUE\r\n"
              "Yn=no\r\nx=\r\n");
}

TEST_F(IniTest, WritersRefuseWhatTheFileCannotHold) {
    auto ini = std::make_unique<TIniFileUTF8>(name, false);
    struct {
        const char16_t *section, *name, *value;
        bool invalidChars;
    } cases[] = {
        {u"S", u"n", u"a\nInjected=1", true},
        {u"S", u"n", u"a\rb", true},
        {u"S\x01", u"n", u"v", true},
        {u"S", u"n\x1f", u"v", true},
        {u"", u"n", u"v", false},
        {u"  ", u"n", u"v", false},
        {u"S", u"", u"v", false},
        {u"a]b", u"n", u"v", false},
        {u"S", u"a=b", u"v", false},
        {u"S", u";n", u"v", false},
        {u"S", u"#n", u"v", false},
        {u"S", u" [n", u"v", false},
    };
    for (auto& c : cases) {
        if (c.invalidChars)
            EXPECT_THROW(ini->WriteString(c.section, c.name, c.value),
                         EIniFileUTF8ExceptionInvalidCharacters);
        else
            EXPECT_THROW(ini->WriteString(c.section, c.name, c.value),
                         EIniFileUTF8ExceptionWrongFormat);
    }
    ini->WriteString(u"S", u"n", u"tab\tand blanks ");
    EXPECT_FALSE(ini->SectionExists(u"a]b"));
    ini->Save();
    TIniFileUTF8 back(name, true);
    EXPECT_EQ(back.ReadStringOriginal(u"S", u"n", u""), u"tab\tand blanks ");
    EXPECT_EQ(back.ReadString(u"S", u"Injected", u"no"), u"no");
}

TEST_F(IniTest, EditKeepsCommentsAndUndecodableBytes) {
    const std::string original =
        "\xEF\xBB\xBF; operator notes\r\n"
        "\r\n"
        "[Server]\r\n"
        "; the name\r\n"
        "Name=S1\r\n"
        "\r\n"
        "Raw=\xFF\xFE bytes\r\n"
        "Port=1\r\n"
        "\r\n"
        "# managers below\r\n"
        "[Manager1]\r\n"
        ";Enabled=yes\r\n"
        "\r\n"
        "[Old\xC0\xAF]\r\n"
        "k=v\r\n";
    auto ini = Load(original);
    EXPECT_EQ(ini->ReadStringOriginal(u"Server", u"Raw", u"-"), u"");
    ini->Save();  // nothing changed: nothing written
    ini->WriteInteger(u"Server", u"Port", 2);
    ini->Save();
    std::string want = original;
    want.replace(want.find("Port=1"), 6, "Port=2");
    EXPECT_EQ(ReadAll(path), want);
    // Writing the undecodable value replaces its bytes.
    ini->WriteString(u"Server", u"Raw", u"ok");
    ini->Save();
    const std::string saved = ReadAll(path);
    EXPECT_NE(saved.find("\r\nRaw=ok\r\n"), std::string::npos);
    // A second save still writes the undecodable header as it was, so the file loads.
    EXPECT_NE(saved.find("\r\n[Old\xC0\xAF]\r\nk=v\r\n"), std::string::npos);
    EXPECT_NO_THROW(TIniFileUTF8(name, true));
}

TEST_F(IniTest, ReadingNeverTouchesTheFile) {
    WriteFile(path, "[S]\r\nx=1\r\n");
    struct timespec old[2] = {{1000000, 0}, {1000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old, 0), 0);
    {
        TIniFileUTF8 ini(name, true);
        EXPECT_EQ(ini.ReadInteger(u"S", u"x", 0), 1);
        ini.Save();
    }
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(path, info), 0);
    EXPECT_EQ(info.mtimeNs, 1000000LL * 1000000000LL);
    std::vector<std::string> names;
    plat::ListDir(dir, names);
    EXPECT_EQ(names, std::vector<std::string>{"server.ini"});

    EXPECT_THROW(TIniFileUTF8(SysToFileName(dir + "/missing.ini"), true), EFileExceptionOpenError);
}

TEST_F(IniTest, SaveKeepsPermissionsAndNeverLosesTheOldFile) {
    auto ini = Load("[S]\r\nPassword=secret\r\n");
    chmod(path.c_str(), 0600);
    // An edit run by root must not take the file away from the service's user.
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(path.c_str(), 4321, 4322), 0);
    }
    ini->WriteString(u"S", u"Password", u"new");
    ini->Save();
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(path, info), 0);
    EXPECT_EQ(info.mode, 0600u);
    if (root) {
        EXPECT_TRUE(info.uid == 4321u && info.gid == 4322u);
    }

    // A leftover backup stops the save: old content kept, no new file left.
    const std::string before = ReadAll(path);
    WriteFile(dir + "/.server.ini.$old", "stale");
    ini->WriteString(u"S", u"Password", u"newer");
    try {
        ini->Save();
        FAIL();
    } catch (const EFileException& e) {
        std::string msg = e.what();
        EXPECT_EQ(msg.rfind("error [17] of renaming file/dir \"" + path + "\" to \"" + dir +
                                "/.server.ini.$old\": ",
                            0),
                  0u)
            << msg;
    }
    EXPECT_TRUE(ini->Modified());
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_FALSE(FileExists(SysToFileName(dir + "/.server.ini.$new")));
    EXPECT_EQ(ReadAll(dir + "/.server.ini.$old"), "stale");
    TryEraseFile(SysToFileName(dir + "/.server.ini.$old"));
    ini.reset();  // the fallback save in the destructor now succeeds
    EXPECT_NE(ReadAll(path).find("Password=newer"), std::string::npos);
}

TEST_F(IniTest, StagedCopyIsNeverReadableByOthers) {
    auto ini = Load("[S]\r\nPassword=secret\r\n");
    chmod(path.c_str(), 0600);
    // Someone who opened a world-readable leftover staging file must not see
    // what the next save writes.
    const std::string staged = dir + "/.server.ini.$new";
    WriteFile(staged, "");
    chmod(staged.c_str(), 0644);
    int spy = open(staged.c_str(), O_RDONLY);
    ASSERT_GE(spy, 0);
    ini->WriteString(u"S", u"Password", u"new");
    ini->Save();
    char buf[64];
    EXPECT_EQ(read(spy, buf, sizeof buf), 0);
    close(spy);
    EXPECT_NE(ReadAll(path).find("Password=new"), std::string::npos);

    // A file saved for the first time is private too.
    const std::string fresh = dir + "/fresh.ini";
    {
        TIniFileUTF8 created(SysToFileName(fresh), false);
        created.WriteString(u"S", u"Password", u"x");
        created.Save();
    }
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(fresh, info), 0);
    EXPECT_EQ(info.mode & 0777, 0600u);
}

TEST_F(IniTest, SaveGoesThroughASymbolicLink) {
    WriteFile(dir + "/real.ini", "[S]\r\nx=1\r\n");
    ASSERT_EQ(plat::Symlink("real.ini", path), 0);
    auto ini = std::make_unique<TIniFileUTF8>(name, true);
    ini->WriteInteger(u"S", u"x", 2);
    ini->Save();
    plat::FileInfo info;
    ASSERT_EQ(plat::Lstat(path, info), 0);
    EXPECT_TRUE(info.isLink);
    EXPECT_EQ(ReadAll(dir + "/real.ini"), "\xEF\xBB\xBF[S]\r\nx=2\r\n");
}

// Loading and saving is a fixed point: every section of the file comes back,
// empty or not, and only a written value changes.
TEST_F(IniTest, LoadThenSaveChangesNothingButTheWrittenValue) {
    const std::string original =
        "\xEF\xBB\xBF[Empty]\r\n"
        "\r\n"
        "[Server]\r\n"
        "Port=1\r\n"
        "\r\n"
        "[AlsoEmpty]\r\n"
        "\r\n"
        "[Bad\xFF]\r\n"
        "k=v\r\n";
    auto ini = Load(original);
    EXPECT_EQ(ini->Warnings(),
              std::vector<std::u16string>{u"Section name on text line 8 is not valid UTF-8"});
    EXPECT_EQ(ini->RenderBytes(), original);
    ini->WriteInteger(u"Server", u"Port", 2);
    ini->Save();
    std::string want = original;
    want.replace(want.find("Port=1"), 6, "Port=2");
    EXPECT_EQ(ReadAll(path), want);
    EXPECT_TRUE(TIniFileUTF8(name, true).Warnings().size() == 1);
}
