// The shared command-line reader (common/cmdline.h) on its own: the GNU conventions that
// trevane-broker, mqadmin and flowping get from it, and the texts of its usage errors.
#include "common/cmdline.h"

#include <gtest/gtest.h>

namespace {

using cmdline::CommandLine;
using cmdline::Order;

constexpr cmdline::Option TABLE[] = {
    {"catalogues", 0, "a directory"}, {"check", 0, nullptr},         {"instances", 0, "a number"},
    {"reply-to", 0, "a value"},       {"reply-to-qm", 0, "a value"}, {"help", 'h', nullptr},
};

CommandLine parse(std::vector<std::string> words, Order order = Order::Anywhere) {
    return cmdline::parse(words, TABLE, order);
}

// The usage error's text, or "" when the words were taken.
std::string refusal(std::vector<std::string> words, Order order = Order::Anywhere) {
    try {
        parse(std::move(words), order);
        return "";
    } catch (const cmdline::UsageError &e) {
        return e.what();
    }
}

std::string shown(const CommandLine &line) {
    std::string text;
    for (const auto &given : line.options) {
        text += "--" + given.name + (given.value.empty() ? "" : "=" + given.value) + " ";
    }
    for (const auto &operand : line.operands) {
        text += "[" + operand + "] ";
    }
    return text;
}

TEST(CommandLineReader, TakesValuesAfterEqualsOrAsTheNextWordAndKeepsTheOrder) {
    EXPECT_EQ(shown(parse({"--instances=2", "flow.yaml", "--catalogues", "/c", "--check"})),
              "--instances=2 --catalogues=/c --check [flow.yaml] ");
    // A value may begin with a hyphen, be empty or contain '='.
    EXPECT_EQ(shown(parse({"--catalogues", "-", "--reply-to=a=b"})),
              "--catalogues=- --reply-to=a=b ");
    EXPECT_EQ(parse({"--instances="}).options.at(0).value, "");
    EXPECT_EQ(shown(parse({"-h", "x"})), "--help [x] ");
}

TEST(CommandLineReader, DoubleHyphenEndsTheOptionsAndALoneHyphenIsAnOperand) {
    EXPECT_EQ(shown(parse({"--check", "--", "--instances=2", "-h"})),
              "--check [--instances=2] [-h] ");
    EXPECT_EQ(shown(parse({"-", "--check"})), "--check [-] ");
}

TEST(CommandLineReader, AbbreviationsNameOneOptionAndAnExactNameWins) {
    EXPECT_EQ(shown(parse({"--inst=3", "--cat", "/c", "--che"})),
              "--instances=3 --catalogues=/c --check ");
    EXPECT_EQ(shown(parse({"--reply-to", "R", "--reply-to-", "Q"})),
              "--reply-to=R --reply-to-qm=Q ");
}

TEST(CommandLineReader, OptionsFirstLeavesEverythingAfterTheFirstOperand) {
    CommandLine line =
        parse({"--check", "put", "--instances", "2", "--bogus"}, Order::OptionsFirst);
    EXPECT_EQ(shown(line), "--check [put] [--instances] [2] [--bogus] ");
    // A second parse starts afresh: the first one's order does not stick.
    EXPECT_EQ(shown(parse({"a", "--check"})), "--check [a] ");
}

TEST(CommandLineReader, MistakesAreUsageErrorsThatNameTheOption) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"--bogus=1", "f"}, "unknown option '--bogus'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--c", "f"}, "ambiguous option '--c' (--catalogues, --check)"},
        {{"--reply=Q"}, "ambiguous option '--reply' (--reply-to, --reply-to-qm)"},
        {{"f", "--instances"}, "--instances needs a number"},
        {{"--inst"}, "--instances needs a number"},
        {{"--check=yes"}, "--check takes no value"},
        {{"--help=1"}, "--help takes no value"},
    };
    for (const auto &[words, text] : cases) {
        EXPECT_EQ(refusal(words), text) << words.at(0);
    }
    EXPECT_EQ(refusal({"--bogus", "put"}, Order::OptionsFirst), "unknown option '--bogus'");
    EXPECT_EQ(refusal({"put", "--bogus"}, Order::OptionsFirst), "");
}

} // namespace
