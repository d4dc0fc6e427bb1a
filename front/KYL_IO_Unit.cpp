// SPDX-License-Identifier: MIT
#include "front/KYL_IO_Unit.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <clocale>
#include <cmath>
#include <charconv>
#include <string_view>

#include "platform/KYL_Platform.h"

namespace {

constexpr std::size_t Parameters_Read = 6;
constexpr int Option_Sweeps = 6;
constexpr std::string_view Long_Option_Start = "--";

// Reads one long option, as typed, into `parameters`; false for one that kyl
// does not know or whose value it cannot use.
bool Read_Long_Option(const std::string& option, T_Parameters& parameters) {
    constexpr std::string_view threads = "--threads=";
    if (!option.starts_with(threads)) return false;
    const std::string_view value = std::string_view(option).substr(threads.size());
    if (value == "auto") {
        parameters.Threads = 0;
        return true;
    }
    unsigned count = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
    if (error != std::errc() || end != value.data() + value.size() || count == 0) return false;
    parameters.Threads = count;
    return true;
}

// Pads to `width` characters (not bytes: a separator may take several).
std::string Pad_Left(const std::string& text, int width) {
    const std::size_t shown = KYL_Character_Count(text);
    return shown >= std::size_t(width) ? text : std::string(std::size_t(width) - shown, ' ') + text;
}

// Inserts the locale's thousands separator into a run of digits, following
// the locale's grouping rule.
std::string Group_Digits(const std::string& digits) {
    const std::lconv* conventions = std::localeconv();
    const std::string separator = conventions->thousands_sep ? conventions->thousands_sep : "";
    const char* rule = conventions->grouping ? conventions->grouping : "";
    if (separator.empty()) return digits;
    std::string groups;
    std::size_t end = digits.size();
    int group = *rule;
    // A group size of 0 repeats the one before; CHAR_MAX ends the grouping.
    while (group > 0 && group != CHAR_MAX && end > std::size_t(group)) {
        groups = separator + digits.substr(end - std::size_t(group), std::size_t(group)) + groups;
        end -= std::size_t(group);
        if (rule[1] != 0) group = *++rule;
    }
    return digits.substr(0, end) + groups;
}

// The digits of `value` with `decimals` places and a '.', whatever the locale.
std::string Plain_Digits(double value, int decimals) {
    char text[400];
    const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    return std::string(text, result.ptr);
}

std::string Decimal_Point() {
    const std::lconv* conventions = std::localeconv();
    return conventions->decimal_point && conventions->decimal_point[0] ? conventions->decimal_point : ".";
}

}  // namespace

std::string Lower_Case(const std::string& text) { return KYL_Lower_Case(text); }

std::string Format_Count(double value, int width) {
    if (!std::isfinite(value)) return Pad_Left("n/a", width);
    const double rounded = std::round(value);
    return Pad_Left((rounded < 0 ? "-" : "") + Group_Digits(Plain_Digits(std::fabs(rounded), 0)), width);
}

std::string Format_Fixed(double value, int width) {
    if (!std::isfinite(value)) return Pad_Left("n/a", width);
    // Fixed-point fields show the decimal separator only, never grouping.
    std::string number = Plain_Digits(std::fabs(value), 3);
    const std::size_t dot = number.find('.');
    number = number.substr(0, dot) + Decimal_Point() + number.substr(dot + 1);
    const bool negative = value < 0 && number.find_first_not_of("0.,") != std::string::npos;
    return Pad_Left((negative ? "-" : "") + number, width);
}

void T_KYL_IO::Get_Parameters(T_Parameters& parameters) const {
    parameters = T_Parameters{};
    // Long options are taken out first, so they never count among the six.
    bool understood = true;
    std::vector<std::string> words;
    for (const std::string& argument : Arguments) {
        if (argument.starts_with(Long_Option_Start)) understood = Read_Long_Option(argument, parameters) && understood;
        else words.push_back(argument);
    }
    const std::size_t count = std::min(words.size(), Parameters_Read);
    for (std::size_t index = 0; index < count; ++index) {
        const std::string& typed = words[index];
        std::string parameter = Lower_Case(typed);
        if (parameter.empty()) continue;
        if (parameter[0] != '-') {
            if (parameters.Input_Name.empty()) {
                // The directory part keeps its typed case so that mixed-case
                // folders can be reached; the name part matches any case.
                const std::size_t slash = typed.find_last_of('/');
                parameters.Input_Name = slash == std::string::npos
                                            ? parameter
                                            : typed.substr(0, slash + 1) + Lower_Case(typed.substr(slash + 1));
            } else {
                parameters.Output_Extension = parameter;
            }
            continue;
        }
        // An option group: each sweep tests the letter behind the dash for
        // h, c, e, v and 1 in turn and removes it on a match, so letters are
        // taken in any order, and an unknown letter blocks those behind it.
        std::string group = parameter;
        for (int sweep = 0; sweep < Option_Sweeps; ++sweep) {
            for (const char letter : {'h', 'c', 'e', 'v', '1'}) {
                if (group.size() < 2 || group[1] != letter) continue;
                switch (letter) {
                    case 'h': parameters.Help = parameters.Help_Asked = true; break;
                    case 'c': parameters.Compress = true; parameters.Output_Extension = "kyl"; break;
                    case 'e': parameters.Expand = true; parameters.Output_Extension = "exp"; break;
                    case 'v': parameters.Verbose = true; break;
                    case '1': parameters.Transform = 1; break;
                }
                group = "-" + group.substr(2, 6);
            }
        }
    }
    if (!understood) {
        // A command line with a long option kyl does not know is not
        // understood: the help text follows, and no pass runs.
        parameters.Help_Asked = parameters.Compress = parameters.Expand = false;
    }
    if (!parameters.Help && !parameters.Compress && !parameters.Expand) parameters.Help = true;
    parameters.Transform = 1;
}

void T_KYL_IO::Get_File_List(const std::string& pattern, std::vector<std::string>& list) const {
    for (std::string& name : KYL_List_Files(pattern)) list.push_back(std::move(name));
}

std::int64_t T_KYL_IO::Get_File_Size(const std::string& name) const { return KYL_File_Size(name); }

std::string Output_Name(const std::string& name, const std::string& extension) {
    const std::size_t component = name.find_last_of('/') == std::string::npos ? 0 : name.find_last_of('/') + 1;
    const std::size_t dot = name.find_last_of('.');
    std::string output;
    if (dot != std::string::npos && dot >= component) {
        const std::string ext = name.substr(dot);
        const std::size_t first = name.find(ext, component);
        output = name.substr(0, first + 1) + extension;
    } else {
        output = name + "." + extension;
    }
    if (output == name) output += "." + extension;
    return output;
}
