// SPDX-License-Identifier: MIT
// The console program run for real in scratch folders.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <regex>

#include "KYL_Test_Support.h"

namespace {

using namespace kyl_test;

const std::string Rule = std::string(68, '_');
const std::string Banner = Rule + "\r\n\r\nKYL - Tarnwick\r\nVersion                   : 1.2\r\n";

// Elapsed times differ from run to run; everything else must match exactly.
std::string Mask_Times(const std::string& output) {
    static const std::regex time_field(R"((time +:) +[0-9]+\.[0-9]{3} s)");
    return std::regex_replace(output, time_field, "$1 <t> s");
}

std::string Field(const char* label, double value, const char* format, const char* unit) {
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return std::string(label) + text + unit + "\r\n";
}

// The text after the banner (its eight lines end with the second empty line).
std::string After_Banner(const std::string& output) {
    const std::string end_of_banner = Rule + "\r\n\r\n";
    const std::size_t second_rule = output.find(end_of_banner, Rule.size());
    return second_rule == std::string::npos ? output : output.substr(second_rule + end_of_banner.size());
}

// Help that was not asked for (an unknown letter, a name alone) means the
// command line was not understood, and the status says so.
TEST(KYL_Console, Without_A_Pass_Prints_Banner_And_Help_Only) {
    T_Temp_Dir dir;
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{}, 0}, {{"-h"}, 0}, {{"-v"}, 1}, {{"-xc", "a"}, 1}, {{"-d", "f.kyl"}, 1}, {{"file.txt"}, 1},
        // Long options that kyl does not know, or cannot use, even beside -h.
        {{"-c", "a", "--threads=0"}, 1}, {{"--Threads=2", "-c", "a"}, 1}, {{"-h", "--threads=two"}, 1},
        {{"--threads=", "-e", "a"}, 1}, {{"--", "-c", "a"}, 1}};
    for (const auto& [arguments, status] : runs) {
        const T_Run_Result run = Run_KYL(dir.Path(), arguments);
        EXPECT_EQ(run.Exit_Status, status) << (arguments.empty() ? "" : arguments[0]);
        EXPECT_EQ(run.Output.rfind(Banner, 0), 0u);
        const std::string rest = After_Banner(run.Output);
        EXPECT_EQ(rest.rfind("Usage: kyl.exe [-hcev] [input filename/wildcard] [output extension]\r\n", 0), 0u);
        EXPECT_NE(rest.find("\r\n \"kyl\" is default for compression\r\n"), std::string::npos);
        EXPECT_NE(rest.find("  kyl.exe -cv *.exe        kyl\r\n"), std::string::npos);
        EXPECT_EQ(rest.find("Number of files"), std::string::npos);
    }
}

// --threads stands anywhere, is not one of the six parameters, and changes
// neither a byte nor a text.
TEST(KYL_Console, Threads_Change_Neither_Bytes_Nor_Texts) {
    T_Temp_Dir dir;
    Write_File(dir / "t.txt", Text_Like_Bytes(5242880 + 9000, 5));
    const T_Run_Result one = Run_KYL(dir.Path(), {"-cv", "t.txt"});
    const std::vector<std::uint8_t> compressed = Read_File(dir / "t.kyl");
    const T_Run_Result two = Run_KYL(dir.Path(), {"--threads=2", "-cv", "t.txt"});
    EXPECT_EQ(Mask_Times(two.Output), Mask_Times(one.Output));
    EXPECT_EQ(Read_File(dir / "t.kyl"), compressed);
    // The six parameters are -c to e5: e5 is the extension, e6 goes unread.
    const T_Run_Result six = Run_KYL(dir.Path(), {"-c", "t.txt", "e2", "e3", "--threads=auto", "e4", "e5", "e6"});
    EXPECT_EQ(six.Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "t.e5"), compressed);

    const T_Run_Result expand_one = Run_KYL(dir.Path(), {"-ev", "t.kyl"});
    const std::vector<std::uint8_t> expanded = Read_File(dir / "t.exp");
    const T_Run_Result expand_three = Run_KYL(dir.Path(), {"-ev", "t.kyl", "--threads=3"});
    EXPECT_EQ(Mask_Times(expand_three.Output), Mask_Times(expand_one.Output));
    EXPECT_EQ(Read_File(dir / "t.exp"), expanded);
    EXPECT_EQ(expanded, Read_File(dir / "t.txt"));
}

TEST(KYL_Console, Verbose_Compression_Reports_Each_File_And_The_Totals) {
    T_Temp_Dir dir;
    Write_File(dir / "b.txt", "banana");
    const T_Run_Result run = Run_KYL(dir.Path(), {"-cv", "b.txt"});
    ASSERT_EQ(run.Exit_Status, 0);
    const double output_size = double(std::filesystem::file_size(dir / "b.kyl"));
    const double rate = output_size / 6 * 8;
    const std::string expected =
        "Compressing b.txt to b.kyl\r\n\r\n"
        "Input size                :             6 bytes\r\n" +
        Field("Output size               : ", output_size, "%13.0f", " bytes") +
        Field("Compression rate          : ", rate, "%17.3f", " bps") +
        "Compression time          : <t> s\r\n\r\n" + Rule + "\r\n\r\n" +
        "Number of files           :             1\r\n"
        "Total input size          :             6 bytes\r\n" +
        Field("Total output size         : ", output_size, "%13.0f", " bytes") +
        Field("Average compression rate  : ", rate, "%17.3f", " bps") +
        Field("Total compression rate    : ", rate, "%17.3f", " bps") + "Total time                : <t> s\r\n" +
        Rule + "\r\n";
    EXPECT_EQ(Mask_Times(After_Banner(run.Output)), expected);
}

TEST(KYL_Console, Quiet_Run_Shows_Count_Spinner_And_Summary) {
    T_Temp_Dir dir;
    for (const char* name : {"1.txt", "2.txt", "3.txt", "4.txt", "5.txt"}) Write_File(dir / name, "");
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "*.txt"});
    ASSERT_EQ(run.Exit_Status, 0);
    // Empty files: no rate, so the average is 0 and no total rate line.
    const std::string expected = "Compressing    5 files  \b-\b\\\b|\b/\b-\r"
                                 "Number of files           :             5\r\n"
                                 "Total input size          :             0 bytes\r\n"
                                 "Total output size         :             0 bytes\r\n"
                                 "Average compression rate  :             0.000 bps\r\n"
                                 "Total time                : <t> s\r\n" +
                                 Rule + "\r\n";
    EXPECT_EQ(Mask_Times(After_Banner(run.Output)), expected);
    EXPECT_EQ(std::filesystem::file_size(dir / "3.kyl"), 0u);
}

TEST(KYL_Console, Verbose_Expansion_Confirms_The_CRC) {
    T_Temp_Dir dir;
    Write_File(dir / "b.txt", "banana");
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "b.txt"}).Exit_Status, 0);
    const T_Run_Result run = Run_KYL(dir.Path(), {"-ev", "b.kyl"});
    ASSERT_EQ(run.Exit_Status, 0);
    const std::string rest = Mask_Times(After_Banner(run.Output));
    EXPECT_EQ(rest.rfind("Expanding b.kyl to b.exp\r\n\r\n", 0), 0u);
    EXPECT_NE(rest.find("Output size               :             6 bytes\r\n"), std::string::npos);
    EXPECT_NE(rest.find("Expansion time            : <t> s\r\nCRC is valid\r\n\r\n"), std::string::npos);
    EXPECT_EQ(Read_File(dir / "b.exp"), Read_File(dir / "b.txt"));
}

TEST(KYL_Console, A_Pattern_That_Matches_Nothing_Still_Prints_The_Summary) {
    T_Temp_Dir dir;
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "*.none"});
    EXPECT_EQ(run.Exit_Status, 0);
    EXPECT_NE(run.Output.find("Compressing    0 files  \r"), std::string::npos);
    EXPECT_NE(run.Output.find("Number of files           :             0\r\n"), std::string::npos);
}

// Fields are padded by characters, so columns hold where a separator takes
// several bytes (U+202F in French); fixed-point fields are never grouped.
TEST(KYL_Console, Numbers_Use_The_Separators_Of_The_Users_Locale) {
    T_Temp_Dir dir;
    const std::string locales = dir / "locales";
    std::filesystem::create_directory(locales);
    Write_File(dir / "big.txt", Text_Like_Bytes(1234567, 1));
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"de_DE", "Input size                :     1.234.567 bytes\r\n"},
        {"fr_FR", "Input size                :     1\u202F234\u202F567 bytes\r\n"}};
    for (const auto& [locale, input_line] : expected) {
        const std::string make_locale =
            "localedef -i " + locale + " -f UTF-8 '" + locales + "/" + locale + ".UTF-8' >/dev/null 2>&1";
        if (std::system(make_locale.c_str()) != 0) GTEST_SKIP() << "no localedef to build a test locale";
        const T_Run_Result run =
            Run_KYL(dir.Path(), {"-cv", "big.txt"}, {{"LOCPATH", locales}, {"LC_ALL", locale + ".UTF-8"}});
        ASSERT_EQ(run.Exit_Status, 0);
        EXPECT_NE(run.Output.find(input_line), std::string::npos) << run.Output;
        EXPECT_TRUE(std::regex_search(run.Output, std::regex("Compression rate          : {13}[0-9],[0-9]{3} bps")));
    }
}

TEST(KYL_Files, Matches_Regular_Files_In_Name_Order_Whatever_Their_Case) {
    T_Temp_Dir dir;
    std::filesystem::create_directories(dir / "Mixed Case/sub.txt");
    for (const char* name : {"c.txt", "A.TXT", "b.Txt", ".hidden.txt", "other.bin"})
        Write_File(dir / ("Mixed Case/" + std::string(name)), name);
    const T_Run_Result run = Run_KYL(dir.Path(), {"-cv", "Mixed Case/*.TXT"});
    ASSERT_EQ(run.Exit_Status, 0);
    const std::size_t hidden = run.Output.find("Compressing Mixed Case/.hidden.txt to Mixed Case/.hidden.kyl");
    const std::size_t upper = run.Output.find("Compressing Mixed Case/A.TXT to Mixed Case/A.kyl");
    const std::size_t lower_b = run.Output.find("Compressing Mixed Case/b.Txt to Mixed Case/b.kyl");
    const std::size_t lower_c = run.Output.find("Compressing Mixed Case/c.txt to Mixed Case/c.kyl");
    ASSERT_NE(hidden, std::string::npos);
    ASSERT_NE(upper, std::string::npos);
    ASSERT_NE(lower_b, std::string::npos);
    ASSERT_NE(lower_c, std::string::npos);
    EXPECT_LT(hidden, upper);
    EXPECT_LT(upper, lower_b);
    EXPECT_LT(lower_b, lower_c);
    EXPECT_EQ(run.Output.find("sub.txt"), std::string::npos);  // a folder is no match
    EXPECT_NE(run.Output.find("Number of files           :             4\r\n"), std::string::npos);
}

TEST(KYL_Files, Outputs_Stay_Beside_Their_Inputs) {
    T_Temp_Dir dir;
    std::filesystem::create_directory(dir / "notes.txt");
    Write_File(dir / "notes.txt/one.txt", "first");
    Write_File(dir / "notes.txt/two.txt", "second");
    Write_File(dir / "c:x.txt", "colon");
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "notes.txt/*.txt"}).Exit_Status, 0);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "c:x.txt"}).Exit_Status, 0);
    EXPECT_TRUE(std::filesystem::exists(dir / "notes.txt/one.kyl"));
    EXPECT_TRUE(std::filesystem::exists(dir / "notes.txt/two.kyl"));
    EXPECT_TRUE(std::filesystem::exists(dir / "c:x.kyl"));
    EXPECT_FALSE(std::filesystem::exists(dir / "notes.kyl"));
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "notes.txt/*.kyl", "out"}).Exit_Status, 0);
    EXPECT_EQ(Read_File(dir / "notes.txt/two.out"), Read_File(dir / "notes.txt/two.txt"));
}

TEST(KYL_Files, An_Output_That_Is_The_Input_Itself_Is_Refused) {
    T_Temp_Dir dir;
    Write_File(dir / "x.txt", "precious");
    std::filesystem::create_symlink("x.txt", dir / "x.kyl");
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "x.txt"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("x.kyl"), std::string::npos);
    EXPECT_EQ(run.Output.find("Number of files"), std::string::npos);
    EXPECT_EQ(Read_File(dir / "x.txt"), std::vector<std::uint8_t>({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
}

TEST(KYL_Files, An_Output_That_Cannot_Be_Created_Ends_The_Run_With_Status_1) {
    T_Temp_Dir dir;
    Write_File(dir / "a.txt", "a");
    std::filesystem::create_directory(dir / "a.kyl");
    const T_Run_Result run = Run_KYL(dir.Path(), {"-c", "a.txt"});
    EXPECT_EQ(run.Exit_Status, 1);
    EXPECT_NE(run.Output.find("Error: cannot create \"a.kyl\""), std::string::npos);
    EXPECT_EQ(run.Output.find("Number of files"), std::string::npos);
}

TEST(KYL_Files, Empty_Files_Stay_Empty_Both_Ways) {
    T_Temp_Dir dir;
    Write_File(dir / "empty.txt", "");
    ASSERT_EQ(Run_KYL(dir.Path(), {"-c", "empty.txt"}).Exit_Status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "empty.kyl"), 0u);
    ASSERT_EQ(Run_KYL(dir.Path(), {"-e", "empty.kyl"}).Exit_Status, 0);
    EXPECT_EQ(std::filesystem::file_size(dir / "empty.exp"), 0u);
}

}  // namespace
