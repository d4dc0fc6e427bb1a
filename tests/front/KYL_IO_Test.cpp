// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <clocale>

#include "front/KYL_IO_Unit.h"

namespace {

T_Parameters Parse(std::vector<std::string> arguments) {
    T_Parameters parameters;
    T_KYL_IO(std::move(arguments)).Get_Parameters(parameters);
    return parameters;
}

TEST(T_KYL_IO, Option_Letters_Are_Taken_In_Any_Order) {
    const T_Parameters cv = Parse({"-cv", "a.txt"});
    EXPECT_TRUE(cv.Compress && cv.Verbose);
    EXPECT_FALSE(cv.Help || cv.Expand);
    EXPECT_EQ(cv.Input_Name, "a.txt");
    EXPECT_EQ(cv.Output_Extension, "kyl");
    const T_Parameters vc = Parse({"-vc", "a.txt"});
    EXPECT_TRUE(vc.Compress && vc.Verbose);
    const T_Parameters upper = Parse({"-CV", "In.TXT", "EXT"});
    EXPECT_TRUE(upper.Compress && upper.Verbose);
    EXPECT_EQ(upper.Input_Name, "in.txt");
    EXPECT_EQ(upper.Output_Extension, "ext");
    EXPECT_EQ(upper.Transform, 1);
}

TEST(T_KYL_IO, An_Unknown_Letter_Blocks_The_Letters_Behind_It) {
    const T_Parameters xc = Parse({"-xc", "a.txt"});
    EXPECT_FALSE(xc.Compress);
    EXPECT_TRUE(xc.Help);
    const T_Parameters cxe = Parse({"-cxe", "a.txt"});
    EXPECT_TRUE(cxe.Compress);
    EXPECT_FALSE(cxe.Expand);
}

TEST(T_KYL_IO, Only_Help_Or_A_Pass_Letter_Avoids_The_Help_Text) {
    const T_Parameters none = Parse({});
    EXPECT_TRUE(none.Help);
    const T_Parameters verbose = Parse({"-v", "a.txt"});
    EXPECT_TRUE(verbose.Help && verbose.Verbose);
    EXPECT_FALSE(verbose.Compress || verbose.Expand);
    const T_Parameters help_and_pass = Parse({"-hc", "a.txt"});
    EXPECT_TRUE(help_and_pass.Help && help_and_pass.Compress);
}

TEST(T_KYL_IO, The_Pass_Letter_Read_Last_Sets_The_Default_Extension) {
    EXPECT_EQ(Parse({"-ce", "a"}).Output_Extension, "exp");
    EXPECT_EQ(Parse({"-ec", "a"}).Output_Extension, "kyl");
    // A default written by the option group replaces an extension before it,
    // not one after it.
    EXPECT_EQ(Parse({"in.txt", "ext", "-c"}).Output_Extension, "kyl");
    EXPECT_EQ(Parse({"-c", "in.txt", "ext"}).Output_Extension, "ext");
}

TEST(T_KYL_IO, Parameters_After_The_Sixth_Are_Ignored) {
    const T_Parameters parameters = Parse({"-c", "a", "b", "c", "d", "e", "f"});
    EXPECT_EQ(parameters.Input_Name, "a");
    EXPECT_EQ(parameters.Output_Extension, "e");
    const T_Parameters late_option = Parse({"a", "b", "c", "d", "e", "f", "-c"});
    EXPECT_FALSE(late_option.Compress);
}

TEST(T_KYL_IO, The_Folder_Part_Of_The_Pattern_Keeps_Its_Case) {
    EXPECT_EQ(Parse({"-c", "My Docs/Notes/*.TXT"}).Input_Name, "My Docs/Notes/*.txt");
}

TEST(Output_Name, Replaces_The_Extension_Of_The_Last_Component) {
    EXPECT_EQ(Output_Name("text.txt", "kyl"), "text.kyl");
    EXPECT_EQ(Output_Name("readme", "kyl"), "readme.kyl");
    EXPECT_EQ(Output_Name("data.kyl", "kyl"), "data.kyl.kyl");
    EXPECT_EQ(Output_Name("a.txt.txt", "kyl"), "a.kyl");
    EXPECT_EQ(Output_Name("FILE.KYL", "kyl"), "FILE.kyl");
    EXPECT_EQ(Output_Name("book.kyl", "txt"), "book.txt");
}

TEST(Output_Name, Stays_In_The_Folder_Of_Its_Input) {
    EXPECT_EQ(Output_Name("notes.txt/a.txt", "kyl"), "notes.txt/a.kyl");
    EXPECT_EQ(Output_Name("notes.txt/readme", "kyl"), "notes.txt/readme.kyl");
    EXPECT_EQ(Output_Name("dir.d/sub/x.txt.txt", "kyl"), "dir.d/sub/x.kyl");
    // A colon is an ordinary character of a name here, not a drive.
    EXPECT_EQ(Output_Name("c:x.txt", "kyl"), "c:x.kyl");
    EXPECT_EQ(Output_Name("a.b:c", "kyl"), "a.kyl");
}

TEST(Number_Formats, Pad_And_Round_In_The_C_Locale) {
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(Format_Count(6000000, 13), "      6000000");
    EXPECT_EQ(Format_Count(1, 4), "   1");
    EXPECT_EQ(Format_Count(12345, 4), "12345");
    EXPECT_EQ(Format_Fixed(8.0, 17), "            8.000");
    EXPECT_EQ(Format_Fixed(2.0 / 3.0, 17), "            0.667");
    EXPECT_EQ(Format_Fixed(1234567.5, 17), "      1234567.500");
    // Grouping is for counts only.
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        EXPECT_EQ(Format_Fixed(1234567.5, 17), "      1234567.500");
        EXPECT_EQ(Lower_Case("\xC3\x84" "BC/\xC3\x9C"), "\xC3\xA4" "bc/\xC3\xBC");
    }
    std::setlocale(LC_ALL, "C");
}

}  // namespace
