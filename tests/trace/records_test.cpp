// Trace records: the exact lines of each record kind, indentation, suppression of calls
// made while an entry's arguments are evaluated, typed exits, hex dumps and over-long
// texts. Each test traces into its own file and compares what came out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/trace/tracetest.h"
#include "trace/retcodes.h"
#include "trace/trace.h"

namespace {

int32_t addOne(int32_t value) {
    TRACE_FUNCTION("addOne");
    TRACE_ENTRY("value=%d", value);
    TRACE_INFO_TEXT("adding %d", 1);
    TRACE_EXIT_INT(1, TT_SUCCESS);
    return value + 1;
}

void recordEveryKind() {
    TRACE_FUNCTION("everyKind");
    static const CciChar wide[] = u"wide";
    TRACE_ENTRY("count=%d, name=%s, handle=%.8x, text=%S", 3, "plain", 0xABCDu, wide);
    TRACE_INFO_TEXT("information %d", 1);
    TRACE_ERROR_TEXT("failure %s", "text");
    TRACE_WARNING_TEXT("warning");
    int32_t result = 7;
    TRACE_EXIT_TYPE(4, "int", &result);
}

void nest(int depth) {
    TRACE_FUNCTION("nest");
    TRACE_ENTRY("depth=%d", depth);
    if (depth > 1) {
        nest(depth - 1);
    } else {
        TRACE_INFO_TEXT("bottom");
    }
    TRACE_EXIT_VOID(2);
}

int32_t describe(int32_t value) {
    TRACE_FUNCTION("describe");
    TRACE_ENTRY("value=%d", value);
    TRACE_INFO_TEXT("inside describe");
    TRACE_HEXDUMP("xy", 2);
    TRACE_EXIT_INT(5, TT_SUCCESS);
    return value * 2;
}

void outer() {
    TRACE_FUNCTION("outer");
    TRACE_ENTRY("doubled=%d", describe(21));
    TRACE_INFO_TEXT("after");
    TRACE_EXIT_VOID(6);
}

// An exit record whose entry was never written, as after an indentation reset.
void exitOnly() {
    TRACE_FUNCTION("exitOnly");
    TRACE_EXIT_VOID(8);
}

size_t leadingBlanks(const std::string &line) {
    const size_t position = line.find_first_not_of(' ');
    return position == std::string::npos ? line.size() : position;
}

int formatUC(char *output, size_t size, const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int length = TraceFormatUC(output, size, format, arguments);
    va_end(arguments);
    return length;
}

class TraceRecords : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = scratchPath(
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + ".trc");
        restartTrace("-f " + path_);
    }
    void TearDown() override { TraceReset(); }
    std::vector<std::string> lines() { return closeTraceAndRead(path_); }
    std::string path_;
};

TEST_F(TraceRecords, WritesGoldenLinesForEachRecordKind) {
    addOne(41);
    recordEveryKind();
    TraceReturnVoid("plainExit", 12);
    const std::vector<std::string> expected = {
        "{  addOne(value=41)",
        "  |  adding 1",
        "}  addOne [RSN:1] (0 TT_SUCCESS)",
        "{  everyKind(count=3, name=plain, handle=0000abcd, text=wide)",
        "  |  information 1",
        "  |  failure text",
        "  |  warning",
        "}  everyKind [RSN:4] (7)",
        "}  plainExit [RSN:12]",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, PrefixesEveryLineWithProcessAndThreadId) {
    restartTrace("-f " + path_ + " -i");
    myProcessId = 123;
    TraceThreadInit()->threadId = 4;
    addOne(1);
    const std::vector<std::string> expected = {
        "[123.000000004] {  addOne(value=1)",
        "[123.000000004]   |  adding 1",
        "[123.000000004] }  addOne [RSN:1] (0 TT_SUCCESS)",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, PutsTimeStampAfterEachRecordMark) {
    restartTrace("-f " + path_ + " -t 2");
    addOne(1);
    auto written = lines();
    const auto withStamps = written;
    // "{ 1733580000.123 addOne(value=1)": seconds, a point, milliseconds; without the stamp
    // the lines are the untimed ones.
    for (std::string &line : written) {
        const size_t start = line.find_first_of("{|}") + 2;
        const size_t end = line.find(' ', start);
        const std::string stamp = line.substr(start, end - start);
        EXPECT_EQ(stamp.find_first_not_of("0123456789."), std::string::npos) << line;
        EXPECT_EQ(stamp.size() - stamp.find('.'), 4u) << line;
        line.erase(start, end - start);
    }
    const std::vector<std::string> expected = {"{  addOne(value=1)", "  |  adding 1",
                                               "}  addOne [RSN:1] (0 TT_SUCCESS)"};
    EXPECT_EQ(written, expected) << dump(withStamps);
}

TEST_F(TraceRecords, NestedEntriesIndentByTwoAndExitsLineUpWithTheirEntries) {
    nest(3);
    const std::vector<std::string> expected = {
        "{  nest(depth=3)",    "  {  nest(depth=2)", "    {  nest(depth=1)", "      |  bottom",
        "    }  nest [RSN:2]", "  }  nest [RSN:2]",  "}  nest [RSN:2]",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, EntryIndentationStopsAt200ColumnsButExitsAndMiddlesDoNot) {
    nest(102);
    const auto written = lines();
    ASSERT_EQ(written.size(), 205u);
    EXPECT_EQ(leadingBlanks(written[99]), 198u) << written[99];
    EXPECT_EQ(leadingBlanks(written[100]), 200u) << written[100];
    EXPECT_EQ(leadingBlanks(written[101]), 200u) << "102nd entry: " << written[101];
    EXPECT_EQ(leadingBlanks(written[102]), 204u) << "middle below it: " << written[102];
    EXPECT_EQ(leadingBlanks(written[103]), 202u) << "its exit: " << written[103];
    EXPECT_EQ(leadingBlanks(written[104]), 200u) << written[104];
    EXPECT_EQ(written[204], "}  nest [RSN:2]");
}

TEST_F(TraceRecords, SetIndentationValueRestartsAndCapsTheLevel) {
    TraceSetIndentationValue(10);
    addOne(1);
    TraceSetIndentationValue(500);
    addOne(2);
    TraceSetIndentationValue(0);
    addOne(3);
    const auto written = lines();
    ASSERT_EQ(written.size(), 9u) << dump(written);
    EXPECT_EQ(leadingBlanks(written[0]), 10u) << dump(written);
    EXPECT_EQ(leadingBlanks(written[2]), 10u) << dump(written);
    EXPECT_EQ(leadingBlanks(written[3]), 200u) << dump(written);
    EXPECT_EQ(leadingBlanks(written[5]), 200u) << dump(written);
    EXPECT_EQ(written[6], "{  addOne(value=3)");
}

TEST_F(TraceRecords, ExitsWithoutTheirEntriesNeverIndentBelowTheMargin) {
    exitOnly();
    exitOnly();
    nest(2);
    const std::vector<std::string> expected = {
        "}  exitOnly [RSN:8]", "}  exitOnly [RSN:8]", "{  nest(depth=2)", "  {  nest(depth=1)",
        "    |  bottom",       "  }  nest [RSN:2]",   "}  nest [RSN:2]",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, DropsRecordsOfCallsMadeWhileEntryArgumentsAreEvaluated) {
    outer();
    addOne(1);
    const std::vector<std::string> expected = {
        "{  outer(doubled=42)", "  |  after",    "}  outer [RSN:6]",
        "{  addOne(value=1)",   "  |  adding 1", "}  addOne [RSN:1] (0 TT_SUCCESS)",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, ShowsTypedResultsByTheirLabel) {
    char letter = 'A';
    char newline = '\n';
    const char *hello = "hello";
    const char *longText = "0123456789012345678901234567890123456789012345678901234567890";
    const char *nullText = nullptr;
    int32_t negative = -7;
    uint32_t count = 7;
    long longValue = -9;
    unsigned long unsignedLong = 9;
    void *pointer = reinterpret_cast<void *>(static_cast<uintptr_t>(0x7f0012345678ULL));
    bool_t five = 5;
    bool_t zero = 0;
    struct {
        const char *label;
        const void *value;
        const char *shown;
    } cases[] = {
        {"char", &letter, " ('A' 0x41)"},
        {"char", &newline, " ('.' 0x0a)"},
        {"unsigned char", &letter, " ('A' 0x41)"},
        {"char *", &hello, " ('hello')"},
        {"char *", &longText, " ('01234567890123456789012345678901234567890123456789')"},
        {"char *", &nullText, " ('(null)')"},
        {"int", &negative, " (-7)"},
        {"  int  ", &negative, " (-7)"},
        {"unsigned int", &count, " (7d)"},
        {"long", &longValue, ", (-9)"},
        {"unsigned long", &unsignedLong, " (9)"},
        {"void *", &pointer, " (0x12345678)"},
        {"CciElement *", &pointer, " (0x12345678)"},
        {"struct node *", &pointer, " (0x12345678)"},
        {"bool_t", &five, " (TRUE)"},
        {"bool_t", &zero, " (FALSE)"},
        {"void", nullptr, " ()"},
        {"struct node", &pointer, " ()"},
        {"char*", &hello, " ()"},
        {"attributeTableEntry_t", &pointer, " ()"},
    };
    for (const auto &c : cases) {
        TraceReturnType("typed", 3, c.label, c.value);
    }
    const auto written = lines();
    ASSERT_EQ(written.size(), std::size(cases)) << dump(written);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(written[i], std::string("}  typed [RSN:3]") + cases[i].shown)
            << "label '" << cases[i].label << "'";
    }
}

TEST_F(TraceRecords, IntegerExitShowsCodeAsUnsignedWithItsName) {
    TraceReturnInteger("f", 1, TT_SUCCESS);
    TraceReturnInteger("f", 2, TT_ELEMENT_NOT_FOUND);
    TraceReturnInteger("f", 3, TT_TRACE_MAX_RETURN_CODE_VALUE);
    TraceReturnInteger("f", 4, -1);
    const std::vector<std::string> expected = {
        "}  f [RSN:1] (0 TT_SUCCESS)",
        "}  f [RSN:2] (25 TT_ELEMENT_NOT_FOUND)",
        "}  f [RSN:3] (64 TRACE_INVALID_RETURN_CODE)",
        "}  f [RSN:4] (4294967295 TRACE_INVALID_RETURN_CODE)",
    };
    const auto written = lines();
    EXPECT_EQ(written, expected) << dump(written);
}

TEST_F(TraceRecords, CutsOperationNamesAt100Characters) {
    const std::string name(150, 'n');
    TraceEntry(name.c_str());
    TraceEntryArgs("void");
    TraceReturnVoid(name.c_str(), 1);
    const auto written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], "{  " + std::string(100, 'n') + "(void)");
    EXPECT_EQ(written[1], "}  " + std::string(100, 'n') + " [RSN:1]");
}

std::string hexLine(const char *index, const std::string &hex, const std::string &printable) {
    return std::string("|  ") + index + "  " + hex + "\t<" + printable + ">";
}

TEST_F(TraceRecords, HexDumpFramesLinesAndFoldsRepeatedOnes) {
    const std::string rule = "|        ----------------------------------- \t------------------";
    const std::string header = "|         0 1 2 3  4 5 6 7  8 9 a b  c d e f \t      ASCII";
    const std::string zeros = "00000000 00000000 00000000 00000000 ";
    const std::string dots(16, '.');
    unsigned char counting[20];
    for (int i = 0; i < 20; ++i) {
        counting[i] = static_cast<unsigned char>(i);
    }
    const unsigned char empty[80] = {0};
    const char percent[] = "100% sure, ok?!!";
    struct {
        const char *what;
        const void *data;
        int length;
        std::vector<std::string> body;
    } cases[] = {
        {"20 bytes",
         counting,
         20,
         {hexLine("0000", "00010203 04050607 08090a0b 0c0d0e0f ", dots),
          hexLine("0001", "10111213 " + std::string(27, ' '), "....")}},
        {"64 zero bytes",
         empty,
         64,
         {hexLine("0000", zeros, dots), hexLine("0001", zeros, dots), hexLine("0002", zeros, dots),
          hexLine("0003", zeros, dots)}},
        {"80 zero bytes",
         empty,
         80,
         {hexLine("0000", zeros, dots), "|           2 lines suppressed",
          hexLine("0003", zeros, dots), hexLine("0004", zeros, dots)}},
        {"a percent sign",
         percent,
         16,
         {hexLine("0000", "31303025 20737572 652c206f 6b3f2121 ", "100% sure' ok?!!")}},
        {"no bytes", empty, 0, {}},
    };
    for (const auto &c : cases) {
        TraceHexDump(c.data, c.length);
    }
    const auto written = lines();
    size_t at = 0;
    for (const auto &c : cases) {
        std::vector<std::string> expected = {rule, header, rule};
        expected.insert(expected.end(), c.body.begin(), c.body.end());
        expected.push_back(rule);
        ASSERT_LE(at + expected.size(), written.size()) << c.what << dump(written);
        const std::vector<std::string> got(written.begin() + static_cast<long>(at),
                                           written.begin() +
                                               static_cast<long>(at + expected.size()));
        EXPECT_EQ(got, expected) << c.what << dump(got);
        at += expected.size();
    }
    EXPECT_EQ(at, written.size()) << dump(written);
}

TEST_F(TraceRecords, ConvertsWideArgumentsWithWidthAndPrecision) {
    TRACE_FUNCTION("wide");
    TRACE_INFO_TEXT("name=%S, padded=[%-6S], cut=[%.2S], null=%S", u"Gr\u00fc\u00dfe", u"ab",
                    u"abcdef", static_cast<const CciChar *>(nullptr));
    std::u16string longWide(4000, u'w'); // converted on the heap
    TRACE_INFO_TEXT("%S", longWide.c_str());
    const auto written = lines();
    ASSERT_EQ(written.size(), 2u) << dump(written);
    EXPECT_EQ(written[0], "|  name=Gr\u00fc\u00dfe, padded=[ab    ], cut=[ab], null=(null)");
    EXPECT_EQ(written[1], "|  " + std::string(4000, 'w'));
}

TEST(TraceFormatUC, AnswersTheWholeLengthAndCutsAtTheBufferEnd) {
    char output[8];
    EXPECT_EQ(formatUC(output, sizeof output, "%S=%d|%*d", u"key", 12345, 4, 7), 14);
    EXPECT_STREQ(output, "key=123");
    char wide[64];
    formatUC(wide, sizeof wide, "%*d|%-4s|%.3S|%c|%lx", 5, 42, "ab", u"xyzw", 'q', 0xABCDEFUL);
    EXPECT_STREQ(wide, "   42|ab  |xyz|q|abcdef");
    formatUC(wide, sizeof wide, "[%+d|%05x|%%d|%-3c]", 5, 0xABu, 7, 'z');
    EXPECT_STREQ(wide, "[+5|000ab|%d|z  ]");
    formatUC(wide, sizeof wide, "ends with %", 1);
    EXPECT_STREQ(wide, "ends with ");
}

TEST_F(TraceRecords, WritesTextOf4096CharactersWholeAndCutsLongerOnesWithoutEnding) {
    const std::string exact(4096, 'a');
    const std::string over(4097, 'b');
    const std::u16string overWide(5000, u'c');
    std::string errors;
    {
        stderrCapture capture;
        TRACE_FUNCTION("long");
        TRACE_INFO_TEXT("%s", exact.c_str());
        EXPECT_EQ(capture.text(), "");
        TRACE_INFO_TEXT("%s", over.c_str());
        TRACE_INFO_TEXT("%S", overWide.c_str());
        TRACE_INFO_TEXT("still tracing");
        errors = capture.text();
    }
    EXPECT_EQ(errors, "Blown trace buffer with size 4097\nBlown trace buffer with size 5000\n");
    const auto written = lines();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[0], "|  " + exact);
    EXPECT_EQ(written[1], "|  " + std::string(4096, 'b'));
    EXPECT_EQ(written[2], "|  " + std::string(4096, 'c'));
    EXPECT_EQ(written[3], "|  still tracing");
}

TEST_F(TraceRecords, LineBeyondItsBufferIsCutButKeepsItsNewline) {
    for (int i = 0; i < 2100; ++i) {
        TraceEntry("deep");
        TraceEntryArgs("void");
    }
    const std::string text(4096, 'z');
    TraceMidArgs("%s", text.c_str());
    TraceMidArgs("next");
    TraceSetIndentationValue(0);
    TraceMidArgs("back");
    const auto written = lines();
    ASSERT_EQ(written.size(), 2103u);
    EXPECT_EQ(written[2100].size(), static_cast<size_t>(TRACE_LINE_SIZE - 2));
    EXPECT_EQ(written[2101], std::string(4200, ' ') + "|  next");
    EXPECT_EQ(written[2102], "|  back");
}

TEST_F(TraceRecords, DisabledClassWritesNothingAndLeavesArgumentsUnevaluated) {
    restartTrace("-f " + path_ + " -l TRACE_ERROR");
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    TRACE_FUNCTION("gated");
    TRACE_ENTRY("n=%d", count());
    TRACE_INFO_TEXT("n=%d", count());
    TRACE_HEXDUMP("abc", count());
    TRACE_ERROR_TEXT("error n=%d", count());
    TRACE_EXIT_INT(1, count());
    EXPECT_EQ(evaluated, 1);
    const auto written = lines();
    EXPECT_EQ(written, std::vector<std::string>{"|  error n=1"}) << dump(written);
}

TEST_F(TraceRecords, FirstRecordOfTheProcessRunsTheSetUp) {
    TraceReset();
    EXPECT_EQ(traceInitialised, 0);
    addOne(1); // the specification of SetUp is still in the environment
    EXPECT_EQ(traceInitialised, 1);
    const auto written = lines();
    EXPECT_EQ(written.size(), 3u) << dump(written);
}

TEST_F(TraceRecords, CommitOptionFlushesEveryLine) {
    restartTrace("-f " + path_ + " -c");
    addOne(1);
    const auto beforeClose = readLines(path_);
    EXPECT_EQ(beforeClose.size(), 3u) << dump(beforeClose);
}

TEST_F(TraceRecords, RingBufferOptionHandsLinesToThePlaceholder) {
    std::string errors;
    {
        stderrCapture capture;
        restartTrace("-r 50");
        addOne(1);
        errors = capture.text();
    }
    const std::string once = "TraceRingBufferWrite dummy function called\n";
    EXPECT_EQ(errors, once + once + once);
}

TEST_F(TraceRecords, ExitRecordEndsTheProcessWithItsStatus) {
    EXPECT_EXIT(
        {
            TraceEntry("quit");
            TraceEntryArgs("void");
            TraceExit("quit", 9, 3);
        },
        ::testing::ExitedWithCode(3), "");
    const auto written = lines();
    EXPECT_EQ(written, (std::vector<std::string>{"{  quit(void)", "}  !EXIT! quit [RSN:9] (3)"}))
        << dump(written);
}

TEST_F(TraceRecords, SuppressedExitRecordReturnsInsteadOfEndingTheProcess) {
    TraceEntry("outer");
    TraceEntry("inner"); // made while outer's arguments are evaluated
    TraceExit("inner", 1, 3);
    TraceEntryArgs("void");
    TraceReturnVoid("outer", 2);
    const auto written = lines();
    EXPECT_EQ(written, (std::vector<std::string>{"{  outer(void)", "}  outer [RSN:2]"}))
        << dump(written);
}

} // namespace
