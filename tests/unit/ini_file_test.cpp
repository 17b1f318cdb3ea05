#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "platform/IniFile.h"
#include "support/ReadOnlyFolder.h"
#include "support/ScopedUmask.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// --- Reading ---

struct ReadCase {
    const char* what;
    std::string content;
    const char* section;
    const char* key;
    std::optional<std::string> expected;
};

const std::string MixedEnds = "[A]\rcr=1\rlf=2\ncrlf=3\r\nlfcr=4\n\rlast=5";
const std::string Duplicates = "[A]\r\nx=1\r\nX=2\r\n[B]\r\ny=2\r\n[a]\r\nx=9\r\nz=3\r\n";

const std::vector<ReadCase> ReadCases = {
    {"names ignore letter case", "[Amp]\r\nVolume=5\r\n", "aMP", "VOLUME", "5"},
    {"lines trimmed at both ends", " \t[A] \t\r\n \tx=5 \t\r\n", "A", "x", "5"},
    {"blanks around = trimmed", "[A]\r\nmy key \t= \ta b \t\r\n", "A", "my key", "a b"},
    {"double quotes removed", "[A]\r\nx=\"a b\"", "A", "x", "a b"},
    {"single quotes removed", "[A]\r\nx='a b'", "A", "x", "a b"},
    {"quotes inside the blanks kept", "[A]\r\nx= \" a \" ", "A", "x", " a "},
    {"only one pair removed", "[A]\r\nx=\"\"a\"\"", "A", "x", "\"a\""},
    {"empty quotes give empty", "[A]\r\nx=''", "A", "x", ""},
    {"unmatched quotes kept", "[A]\r\nx=\"a'", "A", "x", "\"a'"},
    {"lone quote kept", "[A]\r\nx=\"", "A", "x", "\""},
    {"inner quotes kept", "[A]\r\nx=a\"b\"", "A", "x", "a\"b\""},
    {"comment line", "[A]\r\n;x=1\r\n", "A", ";x", std::nullopt},
    {"indented comment line", "[A]\r\n \t;x=1\r\n", "A", ";x", std::nullopt},
    {"semicolon after a value is text", "[A]\r\nx=1 ;c", "A", "x", "1 ;c"},
    {"first key of a name wins", Duplicates, "A", "x", "1"},
    {"repeated section not used", Duplicates, "A", "z", std::nullopt},
    {"section after a repeat still read", Duplicates, "B", "y", "2"},
    {"section name ends at first ]", "[A]B]\r\nx=1", "A", "x", "1"},
    {"no section up to last ]", "[A]B]\r\nx=1", "A]B", "x", std::nullopt},
    {"text after ] ignored", "[A] tail\r\nx=1", "A", "x", "1"},
    {"[ without ] names the rest", "[Open\r\nx=1", "Open", "x", "1"},
    {"blanks inside brackets trimmed", "[ A ]\r\nx=1", "A", "x", "1"},
    {"CR ends a line", MixedEnds, "A", "cr", "1"},
    {"LF after CR ends a line", MixedEnds, "A", "lf", "2"},
    {"CR LF ends a line", MixedEnds, "A", "crlf", "3"},
    {"LF CR is two line ends", MixedEnds, "A", "lfcr", "4"},
    {"last line without end", MixedEnds, "A", "last", "5"},
    {"line without = ignored", "[A]\r\nx\r\ny=2", "A", "x", std::nullopt},
    {"line without = skips to next", "[A]\r\nx\r\ny=2", "A", "y", "2"},
    {"empty value is present", "[A]\r\nx=\r\n", "A", "x", ""},
    {"value keeps later =", "[A]\r\nx=a=b", "A", "x", "a=b"},
    {"empty key name", "[A]\r\n=v", "A", "", "v"},
    {"UTF-8 value unchanged", "[A]\r\nName=Salle \xC3\xA0 manger \xE2\x99\xAA", "A", "Name",
     "Salle \xC3\xA0 manger \xE2\x99\xAA"},
    {"UTF-8 section name", "[Zo\xC3\xAB]\r\nx=1", "Zo\xC3\xAB", "x", "1"},
    {"case folding is ASCII only", "[\xC3\x84]\r\nx=1", "\xC3\xA4", "x", std::nullopt},
    {"other bytes pass through", "[A]\r\nx=a\0b\x7F"s, "A", "x", "a\0b\x7F"s},
    {"key before any section unused", "x=1\r\n[A]\r\ny=2", "", "x", std::nullopt},
    {"missing section", "[A]\r\nx=1", "B", "x", std::nullopt},
    {"missing key", "[A]\r\nx=1", "A", "y", std::nullopt},
    {"empty file", "", "A", "x", std::nullopt},
};

TEST(IniFileRead, FollowsTheProfileRules) {
    for (const ReadCase& c : ReadCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(CIniFile::Parse(c.content).Find(c.section, c.key), c.expected);
    }
}

TEST(IniFileRead, ReadStringGivesTheDefaultOnlyWhenTheKeyIsMissing) {
    const CIniFile ini = CIniFile::Parse("[A]\r\nempty=\r\nname=Amp 1\r\n");
    EXPECT_EQ(ini.ReadString("A", "name", "def"), "Amp 1");
    EXPECT_EQ(ini.ReadString("A", "empty", "def"), "");
    EXPECT_EQ(ini.ReadString("A", "none", "def"), "def");
    EXPECT_EQ(ini.ReadString("B", "name", "def"), "def");
}

TEST(IniFileRead, ParsedDocumentKeepsOnlyWhatALookupCanReach) {
    const CIniFile ini =
        CIniFile::Parse("k=0\r\n[A]\r\n;c=1\r\nx=1\r\nX=2\r\n[a]\r\ny=2\r\n[B]\r\nx=\"q\"\n");
    EXPECT_EQ(ini.Serialize(), "[A]\r\nx=1\r\n[B]\r\nx=q\r\n");
}

// --- Integers and booleans ---

struct IntegerCase {
    const char* text;
    std::optional<std::int32_t> expected;
};

const std::vector<IntegerCase> IntegerCases = {
    {"0", 0},
    {"42", 42},
    {"-42", -42},
    {"+7", 7},
    {"007", 7},
    {"2147483647", INT32_MAX},
    {"-2147483648", INT32_MIN},
    {"0x1F", 31},
    {"0X1f", 31},
    {"$ff", 255},
    {"$FFFFFFFF", -1},
    {"0x80000000", INT32_MIN},
    {"$7FFFFFFF", INT32_MAX},
    {"0x0000000001", 1},
    {"2147483648", std::nullopt},
    {"-2147483649", std::nullopt},
    {"99999999999999999999", std::nullopt},
    {"$100000000", std::nullopt},
    {"0x", std::nullopt},
    {"$", std::nullopt},
    {"0x1G", std::nullopt},
    {"$0x1", std::nullopt},
    {"-$1", std::nullopt},
    {"$-1", std::nullopt},
    {"12abc", std::nullopt},
    {"abc", std::nullopt},
    {"", std::nullopt},
    {"-", std::nullopt},
    {"+", std::nullopt},
    {"+-5", std::nullopt},
    {"--5", std::nullopt},
    {"1 2", std::nullopt},
    {"1.5", std::nullopt},
    {" 5", std::nullopt},
};

TEST(IniFileInteger, DecodesDecimalAndHexOnlyWhenTheWholeTextIsANumber) {
    for (const IntegerCase& c : IntegerCases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(CIniFile::DecodeInteger(c.text), c.expected);
    }
}

TEST(IniFileInteger, ReadIntegerDecodesTheValueAsReadOrGivesTheDefault) {
    const CIniFile ini = CIniFile::Parse("[A]\r\nn = 12 \r\nq='$10'\r\nempty=\r\nbad=12abc\r\n");
    EXPECT_EQ(ini.ReadInteger("A", "n", -1), 12);
    EXPECT_EQ(ini.ReadInteger("A", "q", -1), 16);
    EXPECT_EQ(ini.ReadInteger("A", "empty", -1), -1);
    EXPECT_EQ(ini.ReadInteger("A", "bad", -1), -1);
    EXPECT_EQ(ini.ReadInteger("A", "none", 77), 77);
}

TEST(IniFileBool, AnyNonZeroIntegerIsTrueAndNonNumbersGiveTheDefault) {
    const CIniFile ini =
        CIniFile::Parse("[A]\r\none=1\r\nzero=0\r\ntwo=2\r\nneg=-1\r\nhex0=0x0\r\nbad=yes\r\n");
    for (bool def : {false, true}) {
        SCOPED_TRACE(def);
        EXPECT_TRUE(ini.ReadBool("A", "one", def));
        EXPECT_FALSE(ini.ReadBool("A", "zero", def));
        EXPECT_TRUE(ini.ReadBool("A", "two", def));
        EXPECT_TRUE(ini.ReadBool("A", "neg", def));
        EXPECT_FALSE(ini.ReadBool("A", "hex0", def));
        EXPECT_EQ(ini.ReadBool("A", "bad", def), def);
        EXPECT_EQ(ini.ReadBool("A", "none", def), def);
    }
}

// --- Writing ---

TEST(IniFileWrite, KeepsFirstWriteOrderAndReplacesInPlace) {
    CIniFile ini;
    ini.WriteString("Amp", "Volume", "1");
    ini.WriteString("Zone", "Name", "Hall");
    ini.WriteInteger("Amp", "Gain", -12);
    ini.WriteString("AMP", "VOLUME", "3");
    ini.WriteBool("Zone", "Muted", true);
    ini.WriteBool("Zone", "Enabled", false);
    ini.WriteInteger("Zone", "Low", INT32_MIN);
    ini.WriteString("zone", "name", "");
    EXPECT_EQ(ini.Serialize(),
              "[Amp]\r\nVolume=3\r\nGain=-12\r\n"
              "[Zone]\r\nName=\r\nMuted=1\r\nEnabled=0\r\nLow=-2147483648\r\n");
}

TEST(IniFileWrite, EmptyDocumentSerializesToNothing) {
    EXPECT_EQ(CIniFile().Serialize(), "");
}

struct CleanCase {
    const char* what;
    std::string section;
    std::string key;
    std::string value;
    std::string serialized;
};

std::string AllControlBytes() {
    std::string bytes;
    for (int c = 0; c < 0x20; ++c) bytes += static_cast<char>(c);
    return bytes + '\x7F';
}

const std::vector<CleanCase> CleanCases = {
    {"line breaks in a value", "S", "k", "A\r\n[Evil]\r\nx=1", "[S]\r\nk=A  [Evil]  x=1\r\n"},
    {"every control byte in a value", "S", "k", "x" + AllControlBytes() + "y",
     "[S]\r\nk=x" + std::string(33, ' ') + "y\r\n"},
    {"other bytes kept", "S", "k", "\xC3\xA0=;[]'\"", "[S]\r\nk=\xC3\xA0=;[]'\"\r\n"},
    {"= in a key", "S", "a=b", "v", "[S]\r\na b=v\r\n"},
    {"line break in a key", "S", "a\r\n[Evil]", "v", "[S]\r\na  [Evil]=v\r\n"},
    {"key that would be a header", "S", "[Evil]", "v", "[S]\r\nEvil]=v\r\n"},
    {"key that would be a comment", "S", " ;[k", "v", "[S]\r\nk=v\r\n"},
    {"] in a section name", "A]B", "k", "v", "[A B]\r\nk=v\r\n"},
    {"line break in a section name", "A\r\nx=1", "k", "v", "[A  x=1]\r\nk=v\r\n"},
    {"blanks around names", " \tS\t ", "\tk ", "v", "[S]\r\nk=v\r\n"},
};

TEST(IniFileWrite, NoNameOrValueCanAddLinesKeysOrSections) {
    for (const CleanCase& c : CleanCases) {
        SCOPED_TRACE(c.what);
        CIniFile ini;
        ini.WriteString(c.section, c.key, c.value);
        EXPECT_EQ(ini.Serialize(), c.serialized);
        // Read back, the file holds one section with one key.
        const CIniFile back = CIniFile::Parse(ini.Serialize());
        EXPECT_EQ(back.Serialize(), c.serialized);
    }
}

TEST(IniFileWrite, HostileValueReadsBackAsOneValue) {
    CIniFile ini;
    ini.WriteString("S", "k", "A\r\n[Evil]\r\nx=1");
    const CIniFile back = CIniFile::Parse(ini.Serialize());
    EXPECT_EQ(back.Find("S", "k"), "A  [Evil]  x=1");
    EXPECT_EQ(back.Find("S", "x"), std::nullopt);
    EXPECT_EQ(back.Find("Evil", "x"), std::nullopt);
}

TEST(IniFileWrite, RoundTripsThroughText) {
    const std::vector<std::vector<std::string>> rows = {
        {"General", "Devices", "3"},
        {"Device 1", "Name", "Salle \xC3\xA0 manger"},
        {"Device 1", "Address", "192.168.1.20:8080"},
        {"Device 1", "Formula", "a=b;c [d]"},
        {"Device 1", "Inner", "say \"hi\" 'x"},
        {"Device 1", "Empty", ""},
        {"Device 2", "Name", "Amp 2"},
        // Values that reading would change if they were written bare: blanks at either end,
        // outer quotes of their own, nothing but blanks.
        {"Device 3", "Name", "Amp 3 "},
        {"Device 3", "Lead", "  left"},
        {"Device 3", "Quoted", "\"Front of house\""},
        {"Device 3", "Single", "'x'"},
        {"Device 3", "Blanks", "   "},
        {"Device 3", "QuotedBlanks", "'   '"},
    };
    CIniFile ini;
    for (const auto& row : rows) ini.WriteString(row[0], row[1], row[2]);
    const CIniFile back = CIniFile::Parse(ini.Serialize());
    for (const auto& row : rows) {
        SCOPED_TRACE(row[0] + "/" + row[1]);
        EXPECT_EQ(back.Find(row[0], row[1]), row[2]);
    }
    EXPECT_EQ(back.Serialize(), ini.Serialize());
}

// --- Files ---

class CTempFolder {
public:
    CTempFolder() {
        std::string pattern = testing::TempDir() + "ini_file_test.XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~CTempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const std::string& Path() const { return path_; }
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

private:
    std::string path_;
};

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

CIniFile SampleDocument() {
    CIniFile ini;
    ini.WriteString("General", "Name", "Monitor");
    ini.WriteInteger("Device 1", "Port", 8080);
    return ini;
}

// A new settings file is the user's alone whatever the umask: 000 would leave it for anyone
// to change, and one that takes the owner's own bits would leave it unreadable.
TEST(IniFileSave, WritesTheSerializedTextAndLeavesNoTemporary) {
    for (const mode_t mask : {00, 022, 0277}) {
        SCOPED_TRACE(mask);
        CTempFolder folder;
        ASSERT_FALSE(folder.Path().empty());
        const std::string path = folder.Path() + "/settings.ini";
        const CIniFile ini = SampleDocument();
        {
            const ScopedUmask scoped(mask);
            ASSERT_TRUE(ini.Save(path));
        }
        EXPECT_EQ(ReadBytes(path), ini.Serialize());
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"settings.ini"});
        EXPECT_EQ(ModeOf(path), 0600u);
    }
}

TEST(IniFileSave, ReplacesAnExistingFileAndKeepsItsPermissions) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    WriteBytes(path, "[Old]\r\n" + std::string(10000, 'x') + "=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const CIniFile ini = SampleDocument();
    ASSERT_TRUE(ini.Save(path));
    EXPECT_EQ(ReadBytes(path), ini.Serialize());
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"settings.ini"});
}

TEST(IniFileSave, FailsIntoAMissingFolder) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string missing = folder.Path() + "/missing";
    EXPECT_FALSE(SampleDocument().Save(missing + "/settings.ini"));
    EXPECT_FALSE(fs::exists(missing));
}

TEST(IniFileSave, FailsOverAFolderAndRemovesItsTemporary) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    ASSERT_TRUE(fs::create_directory(path));
    EXPECT_FALSE(SampleDocument().Save(path));
    EXPECT_TRUE(fs::is_directory(path));
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"settings.ini"});
}

TEST(IniFileSave, SaysWhichStepFailedAndWhy) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    std::string failure;
    EXPECT_FALSE(SampleDocument().Save(folder.Path() + "/missing/settings.ini", &failure));
    EXPECT_EQ(failure,
              "cannot create a file in " + folder.Path() + "/missing: No such file or directory");
    const std::string path = folder.Path() + "/settings.ini";
    ASSERT_TRUE(fs::create_directory(path));
    EXPECT_FALSE(SampleDocument().Save(path, &failure));
    EXPECT_EQ(failure, "cannot replace " + path + ": Is a directory");
}

// The folder of an installed program refuses new files, so no temporary can be made beside
// the settings file; the file itself is the user's and writable.
TEST(IniFileSave, RewritesAWritableFileInPlaceWhenItsFolderRefusesNewFiles) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    // Longer than the new text: what is left of the old one must be cut off.
    WriteBytes(path, "[Old]\r\n" + std::string(10000, 'x') + "=1\r\n");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    struct stat before {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    {
        ReadOnlyFolder readOnly(folder.Path());
        if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
        std::string failure;
        EXPECT_TRUE(SampleDocument().Save(path, &failure)) << failure;
        EXPECT_EQ(ReadBytes(path), SampleDocument().Serialize());

        CIniFile shorter;
        shorter.WriteBool("A", "b", true);
        EXPECT_TRUE(shorter.Save(path, &failure)) << failure;
        EXPECT_EQ(ReadBytes(path), "[A]\r\nb=1\r\n");
    }
    struct stat after {};
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino) << "the file was replaced, not rewritten";
    EXPECT_EQ(ModeOf(path), 0640u);
    EXPECT_EQ(folder.Names(), std::vector<std::string>{"settings.ini"});
}

TEST(IniFileSave, FailsWithoutAFileWhenItsFolderRefusesNewFiles) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    ReadOnlyFolder readOnly(folder.Path());
    if (!readOnly.Refuses()) GTEST_SKIP() << ReadOnlyFolder::WhyNot();
    std::string failure;
    EXPECT_FALSE(SampleDocument().Save(path, &failure));
    EXPECT_EQ(failure.rfind("cannot create a file in " + folder.Path() + ": ", 0), 0u) << failure;
    EXPECT_FALSE(fs::exists(path));
}

TEST(IniFileLoad, ReadsTheFileAsBytes) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    WriteBytes(path, "[A]\rname=\xC3\xA0\0b\rn=$10"s);
    const CIniFile ini = CIniFile::Load(path);
    EXPECT_EQ(ini.Find("a", "NAME"), "\xC3\xA0\0b"s);
    EXPECT_EQ(ini.ReadInteger("A", "n", 0), 16);
}

TEST(IniFileLoad, TellsAMissingFileFromOneThatCouldNotBeReadWhole) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    WriteBytes(folder.Path() + "/plain.ini", "[A]\r\nn=1\r\n");
    ASSERT_TRUE(fs::create_directory(folder.Path() + "/folder.ini"));
    const struct {
        const char* what;
        std::string path;
        bool missing;
        int error;
    } cases[] = {
        {"no such file", folder.Path() + "/missing.ini", true, 0},
        {"no such folder", folder.Path() + "/missing/x.ini", true, 0},
        {"a file in the way of the folder", folder.Path() + "/plain.ini/x.ini", true, 0},
        {"a folder in the file's place", folder.Path() + "/folder.ini", false, EISDIR},
        // Reading this process's memory from address 0 is an I/O error on an open file.
        {"an I/O error while reading", "/proc/self/mem", false, EIO},
        {"a file read whole", folder.Path() + "/plain.ini", false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CIniFile::LoadOutcome outcome;
        outcome.error = -1;
        const CIniFile ini = CIniFile::Load(c.path, &outcome);
        EXPECT_EQ(outcome.missing, c.missing);
        EXPECT_EQ(outcome.error, c.error) << std::strerror(outcome.error);
        EXPECT_EQ(outcome.Unreadable(), c.error != 0);
        // Whatever could not be read gives an empty document.
        EXPECT_EQ(ini.ReadInteger("A", "n", 5), c.error == 0 && !c.missing ? 1 : 5);
    }
}

TEST(IniFileLoad, ReadsBackWhatSaveWrote) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const std::string path = folder.Path() + "/settings.ini";
    ASSERT_TRUE(SampleDocument().Save(path));
    const CIniFile back = CIniFile::Load(path);
    EXPECT_EQ(back.ReadString("general", "name", ""), "Monitor");
    EXPECT_EQ(back.ReadInteger("DEVICE 1", "port", 0), 8080);
}

}  // namespace

// A save killed in the middle leaves its temporary; the next start removes those of processes
// that are gone, and nothing else.
TEST(IniFileSave, RemovesTemporariesOfProcessesThatAreGone) {
    CTempFolder folder;
    ASSERT_FALSE(folder.Path().empty());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(0);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    const std::string gone = std::to_string(child);
    const std::string path = folder.Path() + "/site.ini";
    const std::vector<std::string> stale = {"site.ini.tmp." + gone + ".0",
                                            "site.ini.tmp." + gone + ".17"};
    const std::vector<std::string> kept = {
        "site.ini",
        "site.ini.tmp." + std::to_string(getpid()) + ".0",   // this process's own save
        "site.ini.tmp." + std::to_string(getppid()) + ".2",  // a process that still runs
        "site.ini.tmp.notapid.0",
        "other.ini.tmp." + gone + ".0",
    };
    for (const auto& names : {stale, kept}) {
        for (const std::string& name : names) WriteBytes(folder.Path() + "/" + name, "x");
    }
    EXPECT_EQ(CIniFile::RemoveStaleTemporaries(path), 2);
    std::vector<std::string> left = folder.Names();
    std::sort(left.begin(), left.end());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
    EXPECT_EQ(CIniFile::RemoveStaleTemporaries(folder.Path() + "/missing/site.ini"), 0);
}
