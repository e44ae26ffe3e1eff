// Tests of the string and file functions: CharLowerBuffA, MultiByteToWideChar
// (UTF-8 to UTF-16) and OpenFile with OF_EXIST. CharLowerBuffA on ASCII and
// OpenFile run against Windows' own as against our POSIX layer. The ANSI code
// page is UTF-8 in our layer and a single-byte page on Windows, so the rest
// is the POSIX layer's alone. Thread: the test's own.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// ---- CharLowerBuffA ----

TEST(CharLowerBuffA, LowersOnlyAsciiLettersAndReturnsTheLength) {
    std::string text = "{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}";
    EXPECT_EQ(CharLowerBuffA(text.data(), static_cast<DWORD>(text.size())), text.size());
    EXPECT_EQ(text, "{8a5b1c7e-3f2d-4e6a-9b0c-1d2e3f405162}");

    // The neighbours of A..Z in ASCII stay as they are.
    std::string edges = "@AZ[`az{";
    CharLowerBuffA(edges.data(), static_cast<DWORD>(edges.size()));
    EXPECT_EQ(edges, "@az[`az{");
#ifndef _WIN32
    // Bytes above ASCII are parts of UTF-8 characters: lowering one would
    // break its character.
    std::string above = "\xC4\xD6\xDC\xC3\x84";
    CharLowerBuffA(above.data(), static_cast<DWORD>(above.size()));
    EXPECT_EQ(above, "\xC4\xD6\xDC\xC3\x84");
#endif
}

TEST(CharLowerBuffA, CoversExactlyTheGivenLengthEvenPastATerminator) {
    std::string text = "AB\0CD\0EF"s;
    EXPECT_EQ(CharLowerBuffA(text.data(), 5), 5u);
    EXPECT_EQ(text, "ab\0cd\0EF"s);
    EXPECT_EQ(CharLowerBuffA(text.data(), 0), 0u);
    EXPECT_EQ(text, "ab\0cd\0EF"s);
}

#ifndef _WIN32

// ---- MultiByteToWideChar ----

std::u16string Convert(const std::string& bytes, int textBytes) {
    const int needed = MultiByteToWideChar(CP_ACP, 0, bytes.data(), textBytes, nullptr, 0);
    std::u16string wide(static_cast<size_t>(needed), u'?');
    if (needed > 0) {
        EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes.data(), textBytes, wide.data(), needed), needed);
    }
    return wide;
}

std::u16string ConvertAll(const std::string& bytes) { return Convert(bytes, static_cast<int>(bytes.size())); }

TEST(MultiByteToWideChar, MinusOneConvertsUpToAndIncludingTheTerminator) {
    EXPECT_EQ(Convert("{8A5B}", -1), u"{8A5B}\0"s);
    EXPECT_EQ(Convert("", -1), u"\0"s);
    EXPECT_EQ(Convert("abc", 3), u"abc");
    EXPECT_EQ(Convert("a\0b"s, 3), u"a\0b"s);
}

TEST(MultiByteToWideChar, ZeroRoomAsksForTheSizeAndWritesNothing) {
    char16_t wide[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 0), 4);
    EXPECT_EQ(wide[0], u'x');
}

TEST(MultiByteToWideChar, TooLittleRoomFailsAndExactRoomFits) {
    char16_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 4), 4);
    EXPECT_EQ(std::u16string(wide, 4), u"abc\0"s);
    // A character outside the basic plane needs both halves of its pair.
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xF0\x9D\x84\x9E", 4, wide, 1), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "\xF0\x9D\x84\x9E", 4, wide, 2), 2);
}

TEST(MultiByteToWideChar, ReadsUtf8IntoUtf16) {
    EXPECT_EQ(ConvertAll("caf\xC3\xA9"), u"caf\u00E9");
    EXPECT_EQ(ConvertAll("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(ConvertAll("\xEF\xBF\xBF"), u"\uFFFF");
    EXPECT_EQ(ConvertAll("\xF0\x9D\x84\x9E"), u"\U0001D11E");
    EXPECT_EQ(ConvertAll("\xF4\x8F\xBF\xBF"), u"\U0010FFFF");
    EXPECT_EQ(Convert("\xC3\xA9", -1), u"\u00E9\0"s);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xC3\xA9", 2, nullptr, 0), 1);
}

TEST(MultiByteToWideChar, ReplacesMalformedSequences) {
    // A stray continuation byte, an impossible lead byte.
    EXPECT_EQ(ConvertAll("a\x80z"), u"a\uFFFDz");
    EXPECT_EQ(ConvertAll("\xFF"), u"\uFFFD");
    // A sequence cut short, at the end or by another character: one
    // replacement for the prefix, then the next character as it is.
    EXPECT_EQ(ConvertAll("\xE2\x82"), u"\uFFFD");
    EXPECT_EQ(ConvertAll("\xE2\x82z"), u"\uFFFDz");
    EXPECT_EQ(ConvertAll("\xF0\x9D\x84"), u"\uFFFD");
    // Overlong forms, encoded surrogates and values beyond U+10FFFF are not
    // characters: each byte is replaced.
    EXPECT_EQ(ConvertAll("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(ConvertAll("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ConvertAll("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(ConvertAll("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");
    // A terminator inside a cut sequence is a character of its own.
    EXPECT_EQ(Convert("\xE2\x82", -1), u"\uFFFD\0"s);
}

TEST(MultiByteToWideChar, RefusesBadArguments) {
    char16_t wide[8];
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, -1, wide, 8), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 0, wide, 8), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -2, wide, 8), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, wide, -1), 0);
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", 3, nullptr, 8), 0);
}

#endif  // !_WIN32

// ---- OpenFile with OF_EXIST ----

class OpenFileExist : public tonegate_test::FreshDirectoryTest {
protected:
    std::string FullPath(const std::string& name) const {
        return (fs::canonical(workingDirectory_.path()) / name).string();
    }
};

TEST_F(OpenFileExist, FindsAnExistingFileAndGivesItsFullPath) {
    tonegate_test::WriteFile("driver.so", "x");
    OFSTRUCT info;
    EXPECT_NE(OpenFile("driver.so", &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(info.cBytes, sizeof(OFSTRUCT));
    EXPECT_EQ(info.nErrCode, 0);
    EXPECT_STREQ(info.szPathName, FullPath("driver.so").c_str());

    EXPECT_NE(OpenFile(FullPath("driver.so").c_str(), &info, OF_EXIST), HFILE_ERROR);
    tonegate_test::WriteFile("empty", "");
    EXPECT_NE(OpenFile("empty", &info, OF_EXIST), HFILE_ERROR);
}

TEST_F(OpenFileExist, FailsForWhatIsNotAnExistingFile) {
    fs::create_directory("folder");
    OFSTRUCT info;
    EXPECT_EQ(OpenFile("missing.so", &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(info.nErrCode, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(OpenFile("folder", &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(OpenFile("folder/missing.so", &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(OpenFile("", &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(OpenFile(nullptr, &info, OF_EXIST), HFILE_ERROR);
}

#ifndef _WIN32
TEST_F(OpenFileExist, DoesNotWaitOnAFifoWithoutAWriter) {
    ASSERT_EQ(mkfifo("pipe", 0600), 0);
    OFSTRUCT info;
    EXPECT_NE(OpenFile("pipe", &info, OF_EXIST), HFILE_ERROR);
}
#endif

// Windows refuses (ERROR_INVALID_DATA) a file whose full path name, with its
// terminator, does not fit into szPathName, however the path was given.
TEST_F(OpenFileExist, RefusesAnExistingFileWhoseFullPathNameDoesNotFit) {
    const size_t folderLength = FullPath("").size();
    ASSERT_LT(folderLength, OFS_MAXPATHNAME - 1u);
    const std::string fits(OFS_MAXPATHNAME - 1 - folderLength, 'f');
    const std::string tooLong(OFS_MAXPATHNAME - folderLength, 'n');
    tonegate_test::WriteFile(fits, "x");
    tonegate_test::WriteFile(tooLong, "x");
    OFSTRUCT info;
    EXPECT_NE(OpenFile(fits.c_str(), &info, OF_EXIST), HFILE_ERROR);
    EXPECT_EQ(std::string(info.szPathName), FullPath(fits));

    for (const std::string& path : {tooLong, FullPath(tooLong)}) {
        std::memset(&info, 'x', sizeof info);
        EXPECT_EQ(OpenFile(path.c_str(), &info, OF_EXIST), HFILE_ERROR);
        EXPECT_EQ(info.nErrCode, 13);  // ERROR_INVALID_DATA
    }
}

}  // namespace
