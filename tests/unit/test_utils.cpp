// Shell and file helpers.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/mount.h>
#include <unistd.h>

#include "fakesys.h"
#include "utils.h"

namespace {

FILE* text_stream(const std::string& text)
{
    FILE* f = tmpfile();
    fputs(text.c_str(), f);
    rewind(f);
    return f;
}

} // namespace

TEST(HexFileRead32, ReadsLittleEndianWordsAndEndOfInput)
{
    struct Case {
        const char* text;
        unsigned int word;
    };
    const Case cases[] = {
        {"dd cc bb aa\n", 0xaabbccdd},
        {"dd\ncc\nbb\naa\n", 0xaabbccdd},
        {"dd\r\ncc\r\nbb\r\naa\r\n", 0xaabbccdd},
        {"1ff 2 3 4 ", 0x040302ff},   // only the low 8 bits of a long number count
        {"a b c d", 0x0d0c0b0a},      // one-digit tokens
        {"11 22", 0x00002211},        // a short tail: the missing bytes are 0
        {"11 22 zz 44", 0x00002211},  // a stray character ends the conversion
    };
    for (const Case& c : cases) {
        FILE* f = text_stream(c.text);
        unsigned int word = 0x12345678;
        EXPECT_EQ(hex_file_read32(f, &word), 4) << c.text;
        EXPECT_EQ(word, c.word) << c.text;
        fclose(f);
    }

    FILE* f = text_stream("dd cc bb aa\n");
    unsigned int word = 0;
    ASSERT_EQ(hex_file_read32(f, &word), 4);
    word = 0x5555;
    EXPECT_EQ(hex_file_read32(f, &word), -1);
    EXPECT_EQ(word, 0x5555u);
    fclose(f);

    FILE* empty = text_stream("   \n");
    EXPECT_EQ(hex_file_read32(empty, &word), -1);
    fclose(empty);
}

TEST(HexFileRead32, ConsumesTheSeparatorAfterTheFourthNumber)
{
    FILE* f = text_stream("01 02 03 04 05 06 07 08\n");
    unsigned int word = 0;
    ASSERT_EQ(hex_file_read32(f, &word), 4);
    EXPECT_EQ(fgetc(f), '0');
    fclose(f);
}

TEST(IsFileExist, FilesDirectoriesAndDanglingLinks)
{
    std::string dir = testing::TempDir() + "/qvfw_exist";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/sub");
    std::ofstream(dir + "/file").put('x');
    std::filesystem::create_symlink(dir + "/missing", dir + "/dangling");
    EXPECT_TRUE(is_file_exist(dir + "/file"));
    EXPECT_TRUE(is_file_exist(dir + "/sub"));
    EXPECT_FALSE(is_file_exist(dir + "/dangling"));
    EXPECT_FALSE(is_file_exist(dir + "/none"));
    EXPECT_TRUE(is_dir_exist((dir + "/sub").c_str()));
    EXPECT_FALSE(is_dir_exist((dir + "/file").c_str()));
    std::filesystem::remove_all(dir);
}

TEST(CmdResult, CharacterBufferLimits)
{
    struct Case {
        std::string command;
        int size;
        std::string expected;
    };
    std::string line99(98, 'a');
    std::string line100(99, 'b');
    std::string line60(59, 'c');
    std::string line300(300, 'd');
    const Case cases[] = {
        {"printf '" + line99 + "\\n'", 100, line99 + "\n"},
        {"printf '" + line100 + "\\n'", 100, ""},
        {"printf '" + line60 + "\\n" + line60 + "\\n'", 100, line60 + "\n"},
        {"printf '" + line300 + "\\n'", 1024, line300 + "\n"},
        // The second piece of a long line does not fit: it is dropped whole.
        {"printf '" + line300 + "\\n'", 300, line300.substr(0, 255)},
    };
    for (const Case& c : cases) {
        char buffer[1024];
        memset(buffer, 'X', sizeof(buffer));
        char* got = cmd_result(c.command.c_str(), buffer, c.size);
        ASSERT_EQ(got, buffer);
        EXPECT_EQ(std::string(buffer), c.expected) << c.command.substr(0, 40);
    }
}

TEST(CmdResult, SilentCommandLeavesBufferAsItWas)
{
    char buffer[16] = "untouched";
    EXPECT_EQ(cmd_result("true", buffer, sizeof(buffer)), buffer);
    EXPECT_STREQ(buffer, "untouched");
}

// The status form collects like the character-buffer form and adds how the
// command ended: its exit status, or -1 when a signal ended it.
TEST(CmdResult, StatusFormTellsHowTheCommandEnded)
{
    struct Case {
        const char* command;
        const char* expected;  // buffer afterwards
        int exit_code;
    };
    const Case cases[] = {
        {"echo DRIVER=vfio-pci", "DRIVER=vfio-pci\n", 0},
        {"exit 1", "untouched", 1},
        {"echo half; exit 2", "half\n", 2},
        {"kill -KILL $$", "untouched", -1},
    };
    for (const Case& c : cases) {
        char buffer[32] = "untouched";
        int exit_code = 99;
        EXPECT_TRUE(cmd_result_status(c.command, buffer, sizeof(buffer), exit_code)) << c.command;
        EXPECT_STREQ(buffer, c.expected) << c.command;
        EXPECT_EQ(exit_code, c.exit_code) << c.command;
    }
}

TEST(CmdResult, StringFormCollectsWholeOutput)
{
    std::string out = "old";
    std::string copy = cmd_result("head -c 6000 /dev/zero | tr '\\0' 'z'; echo", out);
    EXPECT_EQ(out, std::string(6000, 'z') + "\n");
    EXPECT_EQ(copy, out);
    cmd_result(std::string("true"), out);
    EXPECT_EQ(out, "");
}

TEST(Utils, SmallHelpers)
{
    EXPECT_EQ(get_bdf("03:00.1"), 0x301u);
    EXPECT_EQ(get_bdf("ff:1f.7"), 0xffffu);
    EXPECT_EQ(get_bdf("01:3f.f"), 0x1ffu);  // device cut to 5 bits, function to 3

    using V = std::vector<std::string>;
    EXPECT_EQ(split("a,b,,c", ','), (V{"a", "b", "", "c"}));
    EXPECT_EQ(split("a,b,", ','), (V{"a", "b"}));
    EXPECT_EQ(split("", ','), V{});

    EXPECT_TRUE(char_arr_contains("brenvoda 1234", "voda"));
    EXPECT_TRUE(char_arr_contains("abc", ""));
    EXPECT_FALSE(char_arr_contains("abc", "abcd"));

    std::string sh = whichBinary("sh");
    EXPECT_FALSE(sh.empty());
    EXPECT_EQ(sh.substr(sh.size() - 3), "/sh");
    EXPECT_EQ(whichBinary("no-such-program-here"), "");

    EXPECT_FALSE(get_current_dir().empty());
}

// The DKMS tree is read from its fixed place, so this test gives itself a
// private mount namespace (the fake system's, which takes the test's own
// mounts away again) with an empty /var/lib.
TEST(DkmsGetNudraVersion, PicksFirstListedVersionDirectory)
{
    ASSERT_EQ(geteuid(), 0u) << "needs root for a private mount namespace";
    fakesys::FakeSystem namespace_owner;
    ASSERT_TRUE(namespace_owner.ok());
    ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, nullptr), 0);

    EXPECT_EQ(dkms_get_nudra_version(), "");  // no tree at all

    namespace fs = std::filesystem;
    const fs::path tree = "/var/lib/dkms/nudra";
    fs::create_directories(tree);
    EXPECT_EQ(dkms_get_nudra_version(), "");

    fs::create_directories(tree / "v1.0");  // a letter: no version
    fs::create_directories(tree / "kernel-6.1");
    fs::create_directories("/var/lib/other/1.9");
    fs::create_directory_symlink("/var/lib/other", tree / "linked");
    std::ofstream(tree / "2.0").put('x');  // a plain file
    EXPECT_EQ(dkms_get_nudra_version(), "");

    fs::create_directories(tree / "1.0.0");
    EXPECT_EQ(dkms_get_nudra_version(), "1.0.0");

    // Of two version directories the one listed first wins; a link to a directory counts.
    fs::create_directory_symlink("/var/lib/other/1.9", tree / "1.9");
    std::string first;
    for (const auto& entry : fs::directory_iterator(tree)) {
        std::string name = entry.path().filename().string();
        if ((name == "1.0.0" || name == "1.9") && first.empty())
            first = name;
    }
    EXPECT_EQ(dkms_get_nudra_version(), first);
}
