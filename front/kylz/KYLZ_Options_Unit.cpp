// SPDX-License-Identifier: MIT
#include "front/kylz/KYLZ_Options_Unit.h"

#include <charconv>

const char* const KYLZ_Help_Text =
    "Usage: kylz [OPTION]... [FILE]...\n"
    "Compress or expand FILEs in the kyl format (by default, compress FILE to FILE.kyl\n"
    "beside it and keep FILE).  With no FILE, or when FILE is -, read standard input\n"
    "and write standard output.\n"
    "\n"
    "  -z, --compress      compress (the default)\n"
    "  -d, --decompress    expand FILE.kyl to FILE\n"
    "  -c, --stdout        write to standard output and keep the inputs\n"
    "  -t, --test          expand and check every block, write nothing\n"
    "  -l, --list          list blocks, sizes and ratio of compressed files\n"
    "  -k, --keep          keep the inputs (the default)\n"
    "      --rm            remove each input once its output is complete\n"
    "  -f, --force         overwrite existing outputs; write compressed data to a terminal\n"
    "  -r, --recursive     walk into folders\n"
    "  -q, --quiet         print no warnings and no progress\n"
    "  -v, --verbose       report every file\n"
    "  -T, --threads=N     use N threads (0, the default: one per core this process may\n"
    "                      use); each takes up to about 60 MB, and no more start than\n"
    "                      fit in half the available memory\n"
    "  -1 ... -9, --fast, --best\n"
    "                      accepted and ignored: the format has one setting\n"
    "  -h, --help          print this help and exit\n"
    "  -V, --version       print the version and exit\n"
    "\n"
    "A long option may be cut to any beginning no other shares (--thr=2, --dec);\n"
    "its value follows '=' or comes as the next argument (--threads 2).\n"
    "\n"
    "Exit status: 0 success, 1 an error on some file, 2 damaged compressed input.\n";

namespace {

bool Parse_Threads(const std::string& text, unsigned& threads) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, threads);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool Apply_Threads(const std::string& value, T_KYLZ_Options& options, std::string& error) {
    if (Parse_Threads(value, options.Threads)) return true;
    error = "--threads needs a number of threads (0: one per core)";
    return false;
}

std::string Last_Component(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct T_Long_Option {
    const char* Name;
    void (*Set)(T_KYLZ_Options&);  // nullptr: the option takes a number of threads
};

// The format has one setting: the levels that scripts pass to every
// compressor are taken and change nothing.
void Ignore_Level(T_KYLZ_Options&) {}

const T_Long_Option Long_Options[] = {
    {"compress", [](T_KYLZ_Options& o) { o.Mode = T_KYLZ_Mode::Compress; }},
    {"decompress", [](T_KYLZ_Options& o) { o.Mode = T_KYLZ_Mode::Expand; }},
    {"uncompress", [](T_KYLZ_Options& o) { o.Mode = T_KYLZ_Mode::Expand; }},
    {"stdout", [](T_KYLZ_Options& o) { o.To_Standard_Output = true; }},
    {"to-stdout", [](T_KYLZ_Options& o) { o.To_Standard_Output = true; }},
    {"test", [](T_KYLZ_Options& o) { o.Mode = T_KYLZ_Mode::Test; }},
    {"list", [](T_KYLZ_Options& o) { o.Mode = T_KYLZ_Mode::List; }},
    {"keep", [](T_KYLZ_Options& o) { o.Remove_Inputs = false; }},
    {"rm", [](T_KYLZ_Options& o) { o.Remove_Inputs = true; }},
    {"force", [](T_KYLZ_Options& o) { o.Force = true; }},
    {"recursive", [](T_KYLZ_Options& o) { o.Recursive = true; }},
    {"quiet", [](T_KYLZ_Options& o) { o.Verbosity = 0; }},
    {"verbose", [](T_KYLZ_Options& o) { o.Verbosity = 2; }},
    {"threads", nullptr},
    {"fast", Ignore_Level},
    {"best", Ignore_Level},
    {"help", [](T_KYLZ_Options& o) { o.Show_Help = true; }},
    {"version", [](T_KYLZ_Options& o) { o.Show_Version = true; }},
};

// The long option that `typed` names: the one spelled so, or else the only
// one that begins so.
const T_Long_Option* Find_Long(const std::string& typed, std::string& error) {
    std::vector<const T_Long_Option*> beginning;
    for (const T_Long_Option& option : Long_Options) {
        const std::string name = option.Name;
        if (name == typed) return &option;
        if (!typed.empty() && name.rfind(typed, 0) == 0) beginning.push_back(&option);
    }
    if (beginning.size() == 1) return beginning.front();
    if (beginning.empty()) {
        error = "unknown option --" + typed;
    } else {
        error = "option --" + typed + " is ambiguous (";
        for (const T_Long_Option* option : beginning)
            error += std::string(option == beginning.front() ? "--" : ", --") + option->Name;
        error += ")";
    }
    return nullptr;
}

// One long option ("--name", "--name=value", or "--name" followed by its
// value in the next argument, which `next` supplies); the name may be cut to
// any beginning that no other option shares.
bool Apply_Long(const std::string& argument, const std::string* next, bool& used_next, T_KYLZ_Options& options,
                std::string& error) {
    const std::size_t equals = argument.find('=');
    const std::string typed = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const T_Long_Option* option = Find_Long(typed, error);
    if (option == nullptr) return false;
    if (option->Set == nullptr) {
        if (equals != std::string::npos) return Apply_Threads(argument.substr(equals + 1), options, error);
        if (next == nullptr) {
            error = std::string("option --") + option->Name + " needs a number of threads";
            return false;
        }
        used_next = true;
        return Apply_Threads(*next, options, error);
    }
    if (equals != std::string::npos) {
        error = std::string("option --") + option->Name + " takes no value";
        return false;
    }
    option->Set(options);
    return true;
}

// One group of short options ("-dc", "-T2", "-T" followed by its value in
// the next argument, which `next` supplies).
bool Apply_Short(const std::string& group, const std::string* next, bool& used_next, T_KYLZ_Options& options,
                 std::string& error) {
    for (std::size_t at = 1; at < group.size(); ++at) {
        switch (group[at]) {
            case 'z': options.Mode = T_KYLZ_Mode::Compress; break;
            case 'd': options.Mode = T_KYLZ_Mode::Expand; break;
            case 'c': options.To_Standard_Output = true; break;
            case 't': options.Mode = T_KYLZ_Mode::Test; break;
            case 'l': options.Mode = T_KYLZ_Mode::List; break;
            case 'k': options.Remove_Inputs = false; break;
            case 'f': options.Force = true; break;
            case 'r': options.Recursive = true; break;
            case 'q': options.Verbosity = 0; break;
            case 'v': options.Verbosity = 2; break;
            case 'h': options.Show_Help = true; break;
            case 'V': options.Show_Version = true; break;
            case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
                break;  // a level, taken as --fast and --best are
            case 'T': {
                const bool attached = at + 1 < group.size();
                if (!attached && next == nullptr) {
                    error = "option -T needs a number of threads";
                    return false;
                }
                used_next = !attached;
                return Apply_Threads(attached ? group.substr(at + 1) : *next, options, error);
            }
            default: error = std::string("unknown option -") + group[at]; return false;
        }
    }
    return true;
}

}  // namespace

std::optional<T_KYLZ_Options> Parse_KYLZ_Options(const std::string& program, const std::vector<std::string>& arguments,
                                                 std::string& error) {
    T_KYLZ_Options options;
    const std::string called = Last_Component(program);
    if (called == "unkylz") options.Mode = T_KYLZ_Mode::Expand;
    if (called == "kylzcat") {
        options.Mode = T_KYLZ_Mode::Expand;
        options.To_Standard_Output = true;
    }
    bool options_ended = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (options_ended || argument.size() < 2 || argument[0] != '-') {
            options.Files.push_back(argument);
        } else if (argument == "--") {
            options_ended = true;
        } else {
            bool used_next = false;
            const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
            const bool applied = argument[1] == '-' ? Apply_Long(argument, next, used_next, options, error)
                                                    : Apply_Short(argument, next, used_next, options, error);
            if (!applied) return std::nullopt;
            if (used_next) ++i;
        }
    }
    return options;
}
