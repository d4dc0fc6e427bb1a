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
    "  -T, --threads=N     use N threads (0: one per core, the default)\n"
    "  -h, --help          print this help and exit\n"
    "  -V, --version       print the version and exit\n"
    "\n"
    "Exit status: 0 success, 1 an error on some file, 2 damaged compressed input.\n";

namespace {

bool Parse_Threads(const std::string& text, unsigned& threads) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, threads);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

std::string Last_Component(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One long option; `value` is what followed an '=' (if any).
bool Apply_Long(const std::string& name, const std::optional<std::string>& value, T_KYLZ_Options& options,
                std::string& error) {
    struct T_Flag {
        const char* Name;
        void (*Set)(T_KYLZ_Options&);
    };
    static const T_Flag flags[] = {
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
        {"help", [](T_KYLZ_Options& o) { o.Show_Help = true; }},
        {"version", [](T_KYLZ_Options& o) { o.Show_Version = true; }},
    };
    if (name == "threads") {
        if (value && Parse_Threads(*value, options.Threads)) return true;
        error = "--threads needs a number of threads (0: one per core)";
        return false;
    }
    for (const T_Flag& flag : flags) {
        if (name != flag.Name) continue;
        if (value) {
            error = "option --" + name + " takes no value";
            return false;
        }
        flag.Set(options);
        return true;
    }
    error = "unknown option --" + name;
    return false;
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
            case 'T': {
                const bool attached = at + 1 < group.size();
                if (!attached && next == nullptr) {
                    error = "option -T needs a number of threads";
                    return false;
                }
                used_next = !attached;
                return Apply_Long("threads", attached ? group.substr(at + 1) : *next, options, error);
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
        } else if (argument.rfind("--", 0) == 0) {
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            const std::optional<std::string> value =
                equals == std::string::npos ? std::nullopt : std::optional<std::string>(argument.substr(equals + 1));
            if (!Apply_Long(name, value, options, error)) return std::nullopt;
        } else {
            bool used_next = false;
            const std::string* next = i + 1 < arguments.size() ? &arguments[i + 1] : nullptr;
            if (!Apply_Short(argument, next, used_next, options, error)) return std::nullopt;
            if (used_next) ++i;
        }
    }
    return options;
}
