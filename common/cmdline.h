// Command lines of trevane-broker, mqadmin and flowping, read the GNU way by the C
// library's getopt_long: "--name=value" and "--name value" are the same, "-h" is the short
// form of "--help", "--" ends the options, and a long option may be abbreviated to any
// prefix that names only one of the program's options ("--inst" for "--instances"; an
// exact name always wins, so "--reply-to" is not taken for "--reply-to-qm"). A program
// describes its options in a table and gets back the options given, in their order, and
// the operands; a mistake comes back as a UsageError whose text the program prints after
// its own name.
#pragma once

#include <getopt.h>

#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace cmdline {

struct Option {
    const char *name;  // the long name, without "--"
    char letter;       // the short name ('h' for -h), 0 for none
    const char *value; // what the value is, for "--log needs a file name"; nullptr: a flag
};

// Where the options may stand: among the operands (as for trevane-broker), or only before
// the first operand, which is then left with everything after it (mqadmin's command word
// and the command's own arguments).
enum class Order { Anywhere, OptionsFirst };

struct Given {
    std::string name; // the option's full long name, even when it was abbreviated or short
    std::string value;
};

struct CommandLine {
    std::vector<Given> options; // in the order given
    std::vector<std::string> operands;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads words (the arguments after the program's name) against the table. Throws UsageError
// for an unknown or ambiguous option, an option without its value and a value given to a
// flag. Not thread-safe: getopt_long keeps its state in globals.
inline CommandLine parse(const std::vector<std::string> &words, std::span<const Option> table,
                         Order order = Order::Anywhere) {
    constexpr int LONG_BASE = 256; // getopt_long's answer for table[i] given long: 256 + i
    std::string shortOptions = order == Order::OptionsFirst ? "+:" : ":";
    std::vector<option> longOptions;
    for (size_t i = 0; i < table.size(); ++i) {
        const Option &o = table[i];
        longOptions.push_back({o.name, o.value != nullptr ? required_argument : no_argument,
                               nullptr, LONG_BASE + static_cast<int>(i)});
        if (o.letter != 0) {
            shortOptions += o.letter;
            if (o.value != nullptr) {
                shortOptions += ':';
            }
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});

    // getopt_long reorders the array it is given, never the strings.
    std::vector<std::string> storage(words);
    std::vector<char *> argv;
    static char programName[] = "";
    argv.push_back(programName);
    for (std::string &word : storage) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(argv.size()) - 1;

    auto indexOf = [&](int answer) -> int {
        if (answer >= LONG_BASE) {
            return answer - LONG_BASE;
        }
        for (size_t i = 0; i < table.size(); ++i) {
            if (answer != 0 && table[i].letter == answer) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    auto spelled = [](const Option &o, int answer) {
        return answer >= LONG_BASE ? "--" + std::string(o.name) : std::string("-") + o.letter;
    };

    CommandLine result;
    opterr = 0;
    optind = 0; // glibc: start afresh, also after an earlier parse with another order
    for (;;) {
        int answer =
            getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (answer == -1) {
            break;
        }
        if (answer == ':' && indexOf(optopt) >= 0) { // the option was the last word
            const Option &o = table[static_cast<size_t>(indexOf(optopt))];
            throw UsageError(spelled(o, optopt) + " needs " + o.value);
        }
        if (answer == ':') {
            throw UsageError("an option lacks its value");
        }
        if (answer == '?') {
            if (optopt != 0 && indexOf(optopt) >= 0) { // "--check=yes"
                throw UsageError(spelled(table[static_cast<size_t>(indexOf(optopt))], optopt) +
                                 " takes no value");
            }
            if (optopt != 0) {
                throw UsageError(std::string("unknown option '-") + static_cast<char>(optopt) +
                                 "'");
            }
            // A long option that names none of the table's, or more than one.
            std::string word = argv[optind - 1];
            std::string typed = word.substr(2, word.find('=') - 2);
            std::string candidates;
            int matches = 0;
            for (const Option &o : table) {
                if (std::string_view(o.name).starts_with(typed)) {
                    candidates += std::string(matches++ == 0 ? "" : ", ") + "--" + o.name;
                }
            }
            if (matches > 1) {
                throw UsageError("ambiguous option '--" + typed + "' (" + candidates + ")");
            }
            throw UsageError("unknown option '--" + typed + "'");
        }
        const Option &o = table[static_cast<size_t>(indexOf(answer))];
        result.options.push_back({o.name, optarg != nullptr ? optarg : ""});
    }
    for (int i = optind; i < argc; ++i) {
        result.operands.emplace_back(argv[static_cast<size_t>(i)]);
    }
    return result;
}

// True when the options given include this one.
inline bool given(const CommandLine &line, std::string_view name) {
    for (const Given &g : line.options) {
        if (g.name == name) {
            return true;
        }
    }
    return false;
}

} // namespace cmdline
