// The command lines of trevane-broker, mqadmin and flowping as people type them, run as
// separate processes: values after '=', '--' before names that begin with a hyphen,
// abbreviations, and the usage errors. Then, for each program, the options its parser
// takes (its table), the ones its --help shows and the ones its manual page documents
// must be the same, and the program must take every one of them.
#include "client/flowpingoptions.h"
#include "messaging/mqadminoptions.h"
#include "runtime/commandline.h"
#include "tests/messaging/support.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <span>
#include <sstream>

using namespace mqtest;

namespace {

using Options = std::set<std::string>;

ProcessResult run(const char *program, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), program);
    return runProcess(arguments);
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class CommandLines : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(directory_.path().empty()); }
    std::string file(const std::string &name) const { return directory_.path() + "/" + name; }

    // A flow that deploys without a queue manager or plug-in: one Trace node.
    std::string traceFlow() const {
        std::string path = file("trace.yaml");
        std::ofstream(path) << "name: T\nnodes:\n  - name: Tr\n    class: Trace\n";
        return path;
    }

private:
    TemporaryDirectory directory_;
};

TEST_F(CommandLines, BrokerTakesValuesAfterEqualsAbbreviationsAndDoubleHyphen) {
    const std::string flow = traceFlow();
    ProcessResult equals =
        run(BROKER_PATH, {"--check", "--instances=2", "--log=" + file("log"), flow});
    EXPECT_EQ(equals.status, 0) << equals;
    std::ifstream log(file("log"));
    EXPECT_TRUE(log.good()) << "--log=FILE wrote nothing\n" << equals;
    // The value reached the option: out of range it is refused with the option's own text.
    ProcessResult range = run(BROKER_PATH, {"--check", "--instances=65", flow});
    EXPECT_EQ(range.status, 2) << range;
    EXPECT_TRUE(contains(range.err, "--instances takes a whole number from 0 to 64, not '65'"))
        << range;
    ProcessResult shortened = run(BROKER_PATH, {"--inst", "1", "--che", "--", flow});
    EXPECT_EQ(shortened.status, 0) << shortened;
    ProcessResult afterFile = run(BROKER_PATH, {flow, "--stop-wait", "5", "--check"});
    EXPECT_EQ(afterFile.status, 0) << afterFile;
    // After '--' a word that looks like an option is the flow file.
    ProcessResult named = run(BROKER_PATH, {"--check", "--", "--instances=2"});
    EXPECT_EQ(named.status, 1) << named;
    EXPECT_TRUE(contains(named.err, "--instances=2: cannot read the flow file")) << named;
}

TEST_F(CommandLines, BrokerReportsUsageErrorsWithItsNameAndStatusTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--c", "f.yaml"}, "trevane-broker: ambiguous option '--c' (--catalogues, --check)\n"},
        {{"f.yaml", "--log"}, "trevane-broker: --log needs a file name\n"},
        {{"--http=", "f.yaml"}, "trevane-broker: --http: "},
        {{"--check=1", "f.yaml"}, "trevane-broker: --check takes no value\n"},
        {{"--nonsense=1", "f.yaml"}, "trevane-broker: unknown option '--nonsense'\n"},
        {{"-x", "f.yaml"}, "trevane-broker: unknown option '-x'\n"},
    };
    for (const auto &[arguments, text] : cases) {
        ProcessResult result = run(BROKER_PATH, arguments);
        EXPECT_EQ(result.status, 2) << result;
        EXPECT_EQ(result.err.rfind(text, 0), 0u) << result;
        EXPECT_TRUE(contains(result.err, "Try 'trevane-broker --help'.")) << result;
    }
}

TEST_F(CommandLines, MqadminTakesTheDirectoryAfterEqualsAndNamesAfterDoubleHyphen) {
    const std::string dir = file("qm");
    ProcessResult where = run(MQADMIN_PATH, {"--dir=" + dir, "directory"});
    EXPECT_EQ(where.status, 0) << where;
    EXPECT_EQ(where.out, dir + "\n");
    ASSERT_EQ(run(MQADMIN_PATH, {"--dir=" + dir, "create-qm", "QA"}).status, 0);
    ProcessResult listed = run(MQADMIN_PATH, {"--dir=" + dir, "list-qm"});
    EXPECT_EQ(listed.status, 0) << listed;
    EXPECT_EQ(listed.out, "QA\n");
    ASSERT_EQ(run(MQADMIN_PATH, {"--dir", dir, "define-q", "--prio=4", "--", "QA", "Q1"}).status,
              0);
    ProcessResult put = run(MQADMIN_PATH, {"--dir", dir, "put", "QA", "Q1", "--text=-x=1"});
    EXPECT_EQ(put.status, 0) << put;
    ProcessResult got = run(MQADMIN_PATH, {"--dir", dir, "get", "--desc", "QA", "Q1"});
    EXPECT_EQ(got.status, 0) << got;
    EXPECT_TRUE(contains(got.out, "\nPriority: 4\n")) << got;
    EXPECT_TRUE(contains(got.out, "\nData:\n-x=1\n")) << got;
}

TEST_F(CommandLines, MqadminReportsUsageErrorsWithItsNameAndStatusTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--dir"}, "mqadmin: --dir needs a directory\n"},
        {{"list-qm", "--dir=/x"}, "mqadmin: unknown option '--dir'\n"},
        {{"put", "QA", "Q1", "--text", "x", "--reply", "R"},
         "mqadmin: ambiguous option '--reply' (--reply-to, --reply-to-qm)\n"},
        {{"get", "QA", "Q1", "--wait"}, "mqadmin: --wait needs a value\n"},
        {{"delete-qm", "QA", "--force=yes"}, "mqadmin: --force takes no value\n"},
        {{"put", "QA", "Q1", "--text", "a", "--text=b"}, "mqadmin: --text given more than once\n"},
        {{"list-q", "QA", "Q1"}, "mqadmin: unexpected argument 'Q1'\n"},
        {{"--", "--dir"}, "mqadmin: unknown command '--dir'\n"},
    };
    for (const auto &[arguments, text] : cases) {
        ProcessResult result = run(MQADMIN_PATH, arguments);
        EXPECT_EQ(result.status, 2) << result;
        EXPECT_EQ(result.err.rfind(text, 0), 0u) << result;
    }
}

TEST_F(CommandLines, FlowpingTakesNamesAfterDoubleHyphenAndShowsUsageForAWrongOption) {
    ::setenv(MQ_DIRECTORY_VARIABLE, file("absent").c_str(), 1);
    ProcessResult named = run(FLOWPING_PATH, {"--", "-QM", "-P", "-G"});
    EXPECT_EQ(named.status, 1) << named;
    EXPECT_EQ(named.out.rfind("Queue manager: -QM\nPUT queue: -P\nGET queue: -G\nMQCONN failed", 0),
              0u)
        << named;
    const std::string usage = std::string("Usage: ") + FLOWPING_PATH +
                              " < <queueManagerName> <PUT Queue> <GET Queue> >\n";
    ProcessResult wrong = run(FLOWPING_PATH, {"--bogus", "A", "B", "C"});
    EXPECT_EQ(wrong.status, 0) << wrong;
    EXPECT_EQ(wrong.out, usage) << wrong;
    EXPECT_EQ(wrong.err, "flowping: unknown option '--bogus'\n") << wrong;
    ProcessResult help = run(FLOWPING_PATH, {"A", "--he"});
    EXPECT_EQ(help.status, 0) << help;
    EXPECT_EQ(help.out.rfind(usage, 0), 0u) << help;
    EXPECT_TRUE(contains(help.out, "-h, --help")) << help;
}

// --- the options documented, against the parser ---

// "--name" and "-c" as they stand in a text: not a hyphen inside a word ("queue-manager",
// "1-3600") nor a lone "--".
Options optionsIn(const std::string &text) {
    static const std::regex option(
        "(^|[^A-Za-z0-9_-])(--[a-z][a-z0-9-]*|-[A-Za-z])(?![A-Za-z0-9_])");
    Options found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it) {
        found.insert((*it)[2]);
    }
    return found;
}

Options optionsOf(std::span<const cmdline::Option> table, bool withHelp = true) {
    Options options;
    for (const cmdline::Option &o : table) {
        if (!withHelp && std::string_view(o.name) == "help") {
            continue;
        }
        options.insert(std::string("--") + o.name);
        if (o.letter != 0) {
            options.insert(std::string("-") + o.letter);
        }
    }
    return options;
}

std::string listed(const Options &options) {
    std::string text;
    for (const std::string &o : options) {
        text += o + " ";
    }
    return text.empty() ? "(none)" : text;
}

// A manual page's source as text: font changes and the like gone, "\-" a hyphen.
std::string manText(const std::string &page) {
    std::ifstream in(std::string(MAN_DIR) + "/" + page);
    std::stringstream source;
    source << in.rdbuf();
    std::string text = std::regex_replace(source.str(), std::regex(R"(\\f[BIRP])"), "");
    text = std::regex_replace(text, std::regex(R"(\\-)"), "-");
    return std::regex_replace(text, std::regex(R"(\\c)"), "");
}

// The parts of a text from a line starting with the marker (".SH", ".SS") to the next,
// by their heading.
std::map<std::string, std::string> sections(const std::string &text, const std::string &marker) {
    std::map<std::string, std::string> parts;
    std::string heading, line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (line.rfind(marker + " ", 0) == 0) {
            heading = line.substr(marker.size() + 1);
            heading.erase(std::remove(heading.begin(), heading.end(), '"'), heading.end());
            continue;
        }
        parts[heading] += line + "\n";
    }
    return parts;
}

// What a manual page documents: everything but its examples.
Options documentedInManual(const std::string &page) {
    Options options;
    for (const auto &[heading, text] : sections(manText(page), ".SH")) {
        if (heading != "EXAMPLES") {
            options.merge(optionsIn(text));
        }
    }
    return options;
}

// The program takes the option: whatever else goes wrong, it is not refused as unknown.
void expectTaken(const char *program, std::vector<std::string> arguments) {
    ProcessResult result = run(program, arguments);
    EXPECT_FALSE(contains(result.err, "unknown option") || contains(result.err, "ambiguous"))
        << program << " " << arguments.back() << "\n"
        << result;
    EXPECT_GE(result.status, 0) << result;
}

TEST(DocumentedOptions, BrokerHelpManualAndParserAgree) {
    const Options parser = optionsOf(runtime::BROKER_OPTIONS);
    ProcessResult help = run(BROKER_PATH, {"--help"});
    ASSERT_EQ(help.status, 0) << help;
    EXPECT_EQ(listed(optionsIn(help.out)), listed(parser)) << "--help against the parser";
    const Options manual = documentedInManual("trevane-broker.1");
    EXPECT_EQ(listed(manual), listed(parser)) << "trevane-broker(1) against the parser";
    Options all = parser;
    all.merge(Options(manual));
    all.merge(optionsIn(help.out));
    for (const std::string &option : all) {
        expectTaken(BROKER_PATH, {option});
    }
}

TEST(DocumentedOptions, FlowpingHelpManualAndParserAgree) {
    ::setenv(MQ_DIRECTORY_VARIABLE, "/nonexistent/trevane-cmdline-test", 1);
    const Options parser = optionsOf(FLOWPING_OPTIONS);
    ProcessResult help = run(FLOWPING_PATH, {"--help"});
    ASSERT_EQ(help.status, 0) << help;
    EXPECT_EQ(listed(optionsIn(help.out)), listed(parser)) << "--help against the parser";
    EXPECT_EQ(listed(documentedInManual("flowping.1")), listed(parser))
        << "flowping(1) against the parser";
    for (const std::string &option : parser) {
        ProcessResult result = run(FLOWPING_PATH, {option});
        EXPECT_EQ(result.err, "") << option << "\n" << result;
    }
}

// mqadmin: the global options in --help's "Options:" and the manual's OPTIONS; each
// command's own in its entry of --help's "Commands:" and in its .SS part of the manual.
TEST(DocumentedOptions, MqadminHelpManualAndParserAgreeForEachCommand) {
    ProcessResult help = run(MQADMIN_PATH, {"--help"});
    ASSERT_EQ(help.status, 0) << help;
    std::map<std::string, std::string> helpParts; // "" before "Options:"; "Options"; commands
    {
        std::istringstream in(help.out);
        std::string line, part;
        static const std::regex entry("^  ([a-z]+(-[a-z]+)?)( |$).*");
        bool inCommands = false;
        while (std::getline(in, line)) {
            std::smatch m;
            if (line == "Options:" || line == "Commands:") {
                inCommands = line == "Commands:";
                part = line.substr(0, line.size() - 1);
            } else if (line.empty() || line[0] != ' ') {
                part = "text";
            } else if (inCommands && std::regex_match(line, m, entry)) {
                part = m[1];
            }
            helpParts[part] += line + "\n";
        }
    }
    const std::string manual = manText("mqadmin.1");
    const auto manSections = sections(manual, ".SH");
    auto manCommands = sections(manSections.at("COMMANDS"), ".SS");
    manCommands.erase("");

    const Options global = optionsOf(mqadmin::GLOBAL_OPTIONS);
    EXPECT_EQ(listed(optionsIn(helpParts["Options"])), listed(global)) << help.out;
    EXPECT_EQ(listed(optionsIn(manSections.at("OPTIONS"))), listed(global));
    Options everything = global;
    for (const mqadmin::Command &command : mqadmin::COMMANDS) {
        const Options own = optionsOf(command.options, false);
        everything.merge(Options(own));
        EXPECT_EQ(listed(optionsIn(helpParts[command.name])), listed(own))
            << "--help on " << command.name;
        ASSERT_TRUE(manCommands.contains(command.name)) << "no .SS " << command.name;
        EXPECT_EQ(listed(optionsIn(manCommands.at(command.name))), listed(own))
            << "mqadmin(1) on " << command.name;
        for (const std::string &option : optionsOf(command.options)) {
            expectTaken(MQADMIN_PATH, {"--dir=/nonexistent", command.name, option});
        }
    }
    EXPECT_EQ(manCommands.size(), std::size(mqadmin::COMMANDS)) << "a command too many";
    // Whatever else the texts mention is an option of some command.
    EXPECT_EQ(listed(optionsIn(help.out)), listed(everything));
    Options mentioned;
    for (const auto &[heading, text] : manSections) {
        if (heading != "EXAMPLES") {
            mentioned.merge(optionsIn(text));
        }
    }
    EXPECT_EQ(listed(mentioned), listed(everything));
    for (const std::string &option : global) {
        expectTaken(MQADMIN_PATH, {option});
    }
}

} // namespace
