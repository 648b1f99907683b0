// The error message list: growth, the processing-error flag, listing and clearing, and
// messages at and over the 4,096-character limit.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "tests/trace/tracetest.h"
#include "trace/error.h"

namespace {

class ErrorList : public ::testing::Test {
protected:
    // Each test starts from an empty list that has never grown.
    void SetUp() override { forget(); }
    void TearDown() override { forget(); }
    static void forget() {
        TraceClearErrorMessages();
        free(errorMessages);
        errorMessages = nullptr;
        sizeofErrorList = 0;
        TraceUnsetProcessingError();
    }
};

TEST_F(ErrorList, GrowsByTenEntriesAtATime) {
    TraceGenErrorMessage("message %d", 1);
    EXPECT_EQ(sizeofErrorList, 10);
    for (int i = 2; i <= 10; ++i) {
        TraceGenErrorMessage("message %d", i);
    }
    EXPECT_EQ(sizeofErrorList, 10);
    TraceGenErrorMessage("message %d", 11);
    EXPECT_EQ(sizeofErrorList, 20);

    char **messages = nullptr;
    int32_t count = 0;
    TraceListErrorMessages(&messages, &count);
    ASSERT_EQ(count, 11);
    EXPECT_EQ(messages, errorMessages);
    EXPECT_STREQ(messages[0], "message 1");
    EXPECT_STREQ(messages[10], "message 11");
}

TEST_F(ErrorList, WhileProcessingAnErrorWritesToStandardErrorAndStoresNothing) {
    TraceGenErrorMessage("kept");
    TraceSetProcessingError();
    std::string errors;
    {
        stderrCapture capture;
        TraceGenErrorMessage("during %s", "recovery");
        errors = capture.text();
    }
    EXPECT_EQ(errors, "Recursive error: 'during recovery'\n");
    EXPECT_EQ(numErrorMessages, 1);
    TraceUnsetProcessingError();
    TraceGenErrorMessage("after");
    EXPECT_EQ(numErrorMessages, 2);
}

TEST_F(ErrorList, ClearingFreesMessagesButKeepsTheArray) {
    TraceGenErrorMessage("one");
    TraceGenErrorMessage("two");
    char **array = errorMessages;
    TraceClearErrorMessages();
    EXPECT_EQ(errorMessages, array);
    EXPECT_EQ(sizeofErrorList, 10);

    char **untouched = reinterpret_cast<char **>(0x1234);
    int32_t count = -1;
    TraceListErrorMessages(&untouched, &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(untouched, reinterpret_cast<char **>(0x1234));
}

TEST_F(ErrorList, KeepsMessagesOf4096CharactersAndCutsLongerOnesWithoutEnding) {
    const std::string exact(4096, 'e');
    const std::string over(5000, 'o');
    std::string errors;
    {
        stderrCapture capture;
        TraceGenErrorMessage("%s", exact.c_str());
        EXPECT_EQ(capture.text(), "");
        TraceGenErrorMessage("%s", over.c_str());
        errors = capture.text();
    }
    EXPECT_EQ(errors, "Blown error message buffer with size 5000\n");
    ASSERT_EQ(numErrorMessages, 2);
    EXPECT_EQ(std::string(errorMessages[0]), exact);
    EXPECT_EQ(std::string(errorMessages[1]), std::string(4096, 'o'));
}

} // namespace
