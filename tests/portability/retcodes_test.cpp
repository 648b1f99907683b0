/*
 * Return codes: the name table and its translation, including the end marker and
 * numbers outside the set.
 */
#include <string>

#include <gtest/gtest.h>

#include "trace/retcodes.h"

TEST(ReturnCodes, TranslatesCodesAndRejectsOthers) {
    const struct {
        int32_t code;
        const char *name;
    } cases[] = {{0, "TT_SUCCESS"},
                 {1, "TT_FAILED"},
                 {42, "TT_BUFFER_TOO_SMALL"},
                 {63, "TT_FAILED_TO_GET_MESSAGE_FORMAT"},
                 {64, "TRACE_INVALID_RETURN_CODE"},
                 {-1, "TRACE_INVALID_RETURN_CODE"},
                 {INT32_MIN, "TRACE_INVALID_RETURN_CODE"},
                 {INT32_MAX, "TRACE_INVALID_RETURN_CODE"}};
    for (const auto &c : cases) {
        EXPECT_STREQ(RetCodeToString(c.code), c.name) << "code " << c.code;
        EXPECT_STREQ(TraceTranslateRetcode(c.code), c.name) << "code " << c.code;
    }
}

TEST(ReturnCodes, NameTableHoldsEveryCodeByValue) {
    EXPECT_EQ(traceMaxRetcodeValue, TT_TRACE_MAX_RETURN_CODE_VALUE);
    EXPECT_STREQ(traceRetcodeStrings[TT_TRACE_MAX_RETURN_CODE_VALUE],
                 "TT_TRACE_MAX_RETURN_CODE_VALUE");
    for (int32_t code = 0; code < traceMaxRetcodeValue; ++code) {
        ASSERT_NE(traceRetcodeStrings[code], nullptr) << code;
        EXPECT_EQ(std::string(traceRetcodeStrings[code]).rfind("TT_", 0), 0u) << code;
        EXPECT_EQ(RetCodeToString(code), traceRetcodeStrings[code]) << code;
    }
    EXPECT_STREQ(RetCodeToString(TT_PROPAGATION_ERROR), "TT_PROPAGATION_ERROR");
    EXPECT_STREQ(RetCodeToString(TT_ELEMENT_NOT_FOUND), "TT_ELEMENT_NOT_FOUND");
}
