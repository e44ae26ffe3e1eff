// Tests of the .reg parser of the POSIX registry store: section and value
// syntax, escapes, the Classes alias, and hostile input. Thread: the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <string>

#include "platform/posix/registry_store.h"

using tonegate_posix::RegistryKey;
using tonegate_posix::RegistryRoot;
using tonegate_posix::RegistryTree;
using namespace std::string_literals;

namespace {

std::optional<std::string> ValueText(const RegistryTree& tree, RegistryRoot root, const std::string& path,
                                     const std::string& name) {
    const RegistryKey* key = RegistryTree::Find(tree.Root(root), path);
    if (key == nullptr) return std::nullopt;
    const tonegate_posix::RegistryValue* value = key->Value(name);
    if (value == nullptr) return std::nullopt;
    return value->text;
}

std::optional<std::string> MachineValue(const RegistryTree& tree, const std::string& path, const std::string& name) {
    return ValueText(tree, RegistryRoot::LocalMachine, path, name);
}

bool HasKey(const RegistryTree& tree, RegistryRoot root, const std::string& path) {
    return RegistryTree::Find(tree.Root(root), path) != nullptr;
}

constexpr char kDriverFile[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Tonegate WAV Sink]\n"
    "\"CLSID\"=\"{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\"\n"
    "\"Description\"=\"Tonegate WAV Sink\"\n"
    "\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32]\n"
    "@=\"/opt/tonegate/lib/libtonegate_wavsink.so\"\n";

// ---- Sections and values ----

TEST(RegParserSyntax, ReadsSectionsAndStringValues) {
    RegistryTree tree;
    tree.Merge(kDriverFile);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\ASIO\\Tonegate WAV Sink", "CLSID"),
              "{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\ASIO\\Tonegate WAV Sink", "Description"), "Tonegate WAV Sink");
    EXPECT_EQ(ValueText(tree, RegistryRoot::ClassesRoot,
                        "CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32", ""),
              "/opt/tonegate/lib/libtonegate_wavsink.so");
}

TEST(RegParserSyntax, SectionCreatesTheKeyAndAllItsParents) {
    RegistryTree tree;
    tree.Merge("[HKEY_LOCAL_MACHINE\\SOFTWARE\\One\\Two\\Three]\n");
    EXPECT_TRUE(HasKey(tree, RegistryRoot::LocalMachine, "SOFTWARE\\One"));
    EXPECT_TRUE(HasKey(tree, RegistryRoot::LocalMachine, "SOFTWARE\\One\\Two"));
    const RegistryKey* leaf = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE\\One\\Two\\Three");
    ASSERT_NE(leaf, nullptr);
    EXPECT_TRUE(leaf->values.empty());
    EXPECT_TRUE(leaf->subkeys.empty());
}

TEST(RegParserSyntax, ToleratesBlanksAroundTheEqualsSignAndIndentation) {
    RegistryTree tree;
    tree.Merge("  [HKLM\\SOFTWARE\\T]  \n"
               "\t\"a\" = \"1\"\n"
               "  @ =\"2\"   \n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "1");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", ""), "2");
}

TEST(RegParserSyntax, SkipsOtherValueTypesAndKeepsTheirNeighbours) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"before\"=\"kept\"\n"
               "\"count\"=dword:00000010\n"
               "\"blob\"=hex:01,02,\\\n"
               "  03,04\n"
               "\"expand\"=hex(2):25,00\n"
               "\"after\"=\"kept too\"\n");
    const RegistryKey* key = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE\\T");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), 2u);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "before"), "kept");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "after"), "kept too");
}

TEST(RegParserSyntax, RejectsTrailingTextAfterAValue) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"a\"=\"1\" junk\n"
               "\"b\"=\"2\"\"3\"\n"
               "\"c\"\"=\"4\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "c"), std::nullopt);
}

// ---- Escapes ----

TEST(RegParserEscapes, UndoesBackslashAndQuoteEscapes) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"path\"=\"C:\\\\Program Files\\\\Card\\\\card.dll\"\n"
               "\"quoted\"=\"say \\\"hi\\\"\"\n"
               "\"ends in backslash\"=\"dir\\\\\"\n"
               "\"name with \\\"quotes\\\"\"=\"x\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "path"), "C:\\Program Files\\Card\\card.dll");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "quoted"), "say \"hi\"");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "ends in backslash"), "dir\\");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "name with \"quotes\""), "x");
}

TEST(RegParserEscapes, KeepsABackslashBeforeAnyOtherCharacter) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"a\"=\"one\\ntwo\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "one\\ntwo");
}

TEST(RegParserEscapes, AnEscapedClosingQuoteLeavesTheStringUnterminated) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"a\"=\"dir\\\"\n"
               "\"b\"=\"fine\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), "fine");
}

// ---- Default values ----

TEST(RegParserDefaults, AtSignSetsTheDefaultValueBesideNamedOnes) {
    RegistryTree tree;
    tree.Merge("[HKCR\\CLSID\\{X}\\InprocServer32]\n"
               "@=\"/lib/card.so\"\n"
               "\"ThreadingModel\"=\"Both\"\n");
    const RegistryKey* key = RegistryTree::Find(tree.Root(RegistryRoot::ClassesRoot), "CLSID\\{X}\\InprocServer32");
    ASSERT_NE(key, nullptr);
    ASSERT_NE(key->Value(""), nullptr);
    EXPECT_EQ(key->Value("")->text, "/lib/card.so");
    EXPECT_EQ(key->Value("ThreadingModel")->text, "Both");
}

TEST(RegParserDefaults, AQuotedAtSignIsAnOrdinaryName) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"@\"=\"named\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "@"), "named");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", ""), std::nullopt);
}

// ---- Comments, header lines, line ends, byte-order marks ----

TEST(RegParserLines, IgnoresCommentsAndHeaderLines) {
    RegistryTree tree;
    tree.Merge("REGEDIT4\n"
               "; [HKEY_LOCAL_MACHINE\\SOFTWARE\\Commented]\n"
               "[HKLM\\SOFTWARE\\T]\n"
               ";\"a\"=\"commented\"\n"
               "   ; \"b\"=\"indented comment\"\n"
               "Windows Registry Editor Version 5.00\n"
               "\"c\"=\"kept\"\n");
    EXPECT_FALSE(HasKey(tree, RegistryRoot::LocalMachine, "SOFTWARE\\Commented"));
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "c"), "kept");
}

TEST(RegParserLines, ReadsCrlfLineEndsAndALastLineWithoutOne) {
    RegistryTree tree;
    tree.Merge("Windows Registry Editor Version 5.00\r\n\r\n"
               "[HKLM\\SOFTWARE\\T]\r\n"
               "\"a\"=\"1\"\r\n"
               "@=\"2\"");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "1");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", ""), "2");
}

TEST(RegParserLines, ReadsAUtf8FileWithAByteOrderMarkBeforeItsFirstSection) {
    RegistryTree tree;
    tree.Merge("\xEF\xBB\xBF[HKLM\\SOFTWARE\\T]\n\"a\"=\"caf\xC3\xA9\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "caf\xC3\xA9");
}

TEST(RegParserLines, ReadsUtf16LittleEndianExports) {
    const std::u16string text =
        u"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\r\n"
        u"\"a\"=\"caf\u00E9 \u20AC \U0001D11E\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    RegistryTree tree;
    tree.Merge(bytes);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9D\x84\x9E");
}

// ---- The Classes alias and root names ----

TEST(RegParserClasses, ClassesRootIsSoftwareClassesOfTheMachineBothWays) {
    RegistryTree tree;
    tree.Merge("[HKEY_CLASSES_ROOT\\CLSID\\{A}\\InprocServer32]\n"
               "@=\"/lib/a.so\"\n"
               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{B}\\InprocServer32]\n"
               "@=\"/lib/b.so\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\Classes\\CLSID\\{A}\\InprocServer32", ""), "/lib/a.so");
    EXPECT_EQ(ValueText(tree, RegistryRoot::ClassesRoot, "CLSID\\{B}\\InprocServer32", ""), "/lib/b.so");
}

TEST(RegParserClasses, BothSpellingsMergeIntoOneKey) {
    RegistryTree tree;
    tree.Merge("[HKCR\\CLSID\\{A}]\n"
               "\"first\"=\"1\"\n"
               "[hklm\\software\\classes\\clsid\\{a}]\n"
               "\"second\"=\"2\"\n"
               "\"FIRST\"=\"overridden\"\n");
    const RegistryKey* key = RegistryTree::Find(tree.Root(RegistryRoot::ClassesRoot), "CLSID\\{A}");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), 2u);
    EXPECT_EQ(key->Value("first")->text, "overridden");
    EXPECT_EQ(key->Value("second")->text, "2");
    EXPECT_EQ(tree.Root(RegistryRoot::ClassesRoot).subkeys.size(), 1u);
}

TEST(RegParserClasses, AcceptsRootNamesInAnyCaseAndAbbreviated) {
    RegistryTree tree;
    tree.Merge("[hkey_local_machine\\SOFTWARE\\A]\n\"v\"=\"a\"\n"
               "[Hklm\\SOFTWARE\\B]\n\"v\"=\"b\"\n"
               "[hkcr\\C]\n\"v\"=\"c\"\n"
               "[Hkey_Classes_Root\\D]\n\"v\"=\"d\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\A", "v"), "a");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\B", "v"), "b");
    EXPECT_EQ(ValueText(tree, RegistryRoot::ClassesRoot, "C", "v"), "c");
    EXPECT_EQ(ValueText(tree, RegistryRoot::ClassesRoot, "D", "v"), "d");
}

TEST(RegParserClasses, ClassesRootExistsInAnEmptyTree) {
    RegistryTree tree;
    EXPECT_EQ(&tree.Root(RegistryRoot::ClassesRoot),
              RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "software\\classes"));
}

// ---- Names without regard to case, enumeration order, overrides ----

TEST(RegParserNames, MatchesWithoutRegardToCaseAndKeepsTheFirstSpelling) {
    RegistryTree tree;
    tree.Merge("[HKLM\\Software\\Asio\\Card]\n"
               "\"Clsid\"=\"old\"\n"
               "[HKLM\\SOFTWARE\\ASIO\\CARD]\n"
               "\"CLSID\"=\"new\"\n");
    const RegistryKey* asio = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "software\\asio");
    ASSERT_NE(asio, nullptr);
    ASSERT_EQ(asio->subkeys.size(), 1u);
    EXPECT_EQ(asio->SubkeyAt(0)->name, "Card");
    const tonegate_posix::RegistryValue* clsid = asio->SubkeyAt(0)->Value("clsid");
    ASSERT_NE(clsid, nullptr);
    EXPECT_EQ(clsid->name, "Clsid");
    EXPECT_EQ(clsid->text, "new");
}

TEST(RegParserNames, SubkeysEnumerateInCaseInsensitiveOrder) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T\\beta]\n[HKLM\\SOFTWARE\\T\\Delta]\n"
               "[HKLM\\SOFTWARE\\T\\alpha 2]\n[HKLM\\SOFTWARE\\T\\Alpha]\n[HKLM\\SOFTWARE\\T\\gamma]\n");
    const RegistryKey* key = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE\\T");
    ASSERT_NE(key, nullptr);
    std::vector<std::string> names;
    for (size_t i = 0; const RegistryKey* subkey = key->SubkeyAt(i); ++i) names.push_back(subkey->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "alpha 2", "beta", "Delta", "gamma"}));
}

TEST(RegParserNames, ALaterMergeOverridesOnlyTheValuesItSets) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n\"a\"=\"first\"\n\"b\"=\"first\"\n");
    tree.Merge("[HKLM\\SOFTWARE\\T]\n\"b\"=\"second\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "first");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), "second");
}

// ---- Broken input ----

TEST(RegParserBrokenInput, SkipsUnterminatedStringsAndGoesOn) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T]\n"
               "\"a\"=\"no end\n"
               "\"b\n"
               "\"c\"=\n"
               "@=\n"
               "\"d\"=\"fine\"\n");
    const RegistryKey* key = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE\\T");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->values.size(), 1u);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "d"), "fine");
}

TEST(RegParserBrokenInput, ValuesAfterABadSectionGoNowhere) {
    const char* badSections[] = {
        "[HKLM\\SOFTWARE\\Unclosed\n",
        "[HKEY_CURRENT_USER\\Software\\Other]\n",
        "[HKLM\\SOFTWARE\\\\Empty part]\n",
        "[NOT_A_ROOT]\n",
        "[]\n",
        "[\n",
    };
    for (const char* badSection : badSections) {
        SCOPED_TRACE(badSection);
        RegistryTree tree;
        tree.Merge(std::string("[HKLM\\SOFTWARE\\Good]\n\"a\"=\"good\"\n") + badSection +
                   "\"a\"=\"stray\"\n\"b\"=\"stray\"\n");
        EXPECT_EQ(MachineValue(tree, "SOFTWARE\\Good", "a"), "good");
        EXPECT_EQ(MachineValue(tree, "SOFTWARE\\Good", "b"), std::nullopt);
    }
}

TEST(RegParserBrokenInput, TrailingSeparatorsInASectionAreTolerated) {
    RegistryTree tree;
    tree.Merge("[HKLM\\SOFTWARE\\T\\]\n\"a\"=\"1\"\n[HKCR\\]\n\"b\"=\"2\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), "1");
    EXPECT_EQ(ValueText(tree, RegistryRoot::ClassesRoot, "", "b"), "2");
}

TEST(RegParserBrokenInput, DropsValuesBeforeTheFirstSection) {
    RegistryTree tree;
    tree.Merge("\"a\"=\"outside\"\n@=\"outside\"\n[HKLM\\SOFTWARE\\T]\n\"b\"=\"inside\"\n");
    EXPECT_TRUE(tree.Root(RegistryRoot::LocalMachine).values.empty());
    EXPECT_TRUE(tree.Root(RegistryRoot::ClassesRoot).values.empty());
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), "inside");
}

TEST(RegParserBrokenInput, SkipsLinesWithNulBytesAndReadsTheRest) {
    const std::string text =
        "[HKLM\\SOFTWARE\\T]\n"
        "\"a\"=\"x\0y\"\n"
        "\0\0\0\0\n"
        "[HKLM\\SOFTWARE\\\0Hidden]\n"
        "\"b\"=\"fine\"\n"s;
    RegistryTree tree;
    tree.Merge(text);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "a"), std::nullopt);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "b"), "fine");
    EXPECT_EQ(RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE")->subkeys.size(), 2u);
}

TEST(RegParserBrokenInput, SurvivesBinaryJunkAndReadsWhatFollows) {
    // Junk rich in the characters the parser reacts to.
    const std::string alphabet = "[]\"\\@=;\r\n\0\xFF\xFE abcHKLM"s;
    std::mt19937 random(20240611u);
    std::string junk;
    for (int i = 0; i < 1 << 20; ++i) junk += alphabet[random() % alphabet.size()];
    RegistryTree tree;
    tree.Merge(junk + "\n[HKLM\\SOFTWARE\\After]\n\"a\"=\"read\"\n");
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\After", "a"), "read");
    tree.Merge("\xFF\xFE" + junk);
}

TEST(RegParserBrokenInput, RefusesAKeyPathDeeperThanWindowsAllows) {
    std::string deep = "[HKLM";
    for (int i = 0; i < 2'000'000; ++i) deep += "\\a";
    deep += "]\n\"v\"=\"deep\"\n[HKLM\\SOFTWARE\\T]\n\"v\"=\"shallow\"\n";
    RegistryTree tree;
    tree.Merge(deep);
    EXPECT_EQ(tree.Root(RegistryRoot::LocalMachine).Subkey("a"), nullptr);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\T", "v"), "shallow");
}

TEST(RegParserBrokenInput, ParsesATenMegabyteFileQuickly) {
#if defined(__SANITIZE_THREAD__)
    // ThreadSanitizer slows the parser's allocations most of all.
    constexpr auto kLimit = std::chrono::seconds(20);
#elif defined(__SANITIZE_ADDRESS__)
    constexpr auto kLimit = std::chrono::seconds(5);
#else
    constexpr auto kLimit = std::chrono::milliseconds(700);
#endif
    std::string text = "Windows Registry Editor Version 5.00\r\n";
    int keys = 0;
    while (text.size() < 10u << 20) {
        const std::string number = std::to_string(keys++);
        text += "\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bulk\\Key " + number + "]\r\n";
        text += "\"CLSID\"=\"{00000000-0000-0000-0000-" + number + "}\"\r\n";
        text += "\"Description\"=\"A card with a longish description, number " + number + "\"\r\n";
        text += "@=\"C:\\\\Path\\\\To\\\\driver" + number + ".dll\"\r\n";
    }
    RegistryTree tree;
    const auto start = std::chrono::steady_clock::now();
    tree.Merge(text);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(elapsed, kLimit);
    const RegistryKey* bulk = RegistryTree::Find(tree.Root(RegistryRoot::LocalMachine), "SOFTWARE\\Bulk");
    ASSERT_NE(bulk, nullptr);
    EXPECT_EQ(bulk->subkeys.size(), static_cast<size_t>(keys));
    const std::string last = std::to_string(keys - 1);
    EXPECT_EQ(MachineValue(tree, "SOFTWARE\\Bulk\\Key " + last, ""), "C:\\Path\\To\\driver" + last + ".dll");
}

}  // namespace
