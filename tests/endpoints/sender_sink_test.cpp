// The sender sink against a recording stand-in of the sender library.
#include <gtest/gtest.h>

#include <vector>

#include "endpoint_test_util.h"
#include "endpoints/endpoints.h"
#include "endpoints/sender_sink.h"

using namespace endpoint_test;

namespace {

std::string Fnv(const std::vector<uint8_t>& bytes) {
    uint32_t h = 2166136261u;
    for (uint8_t b : bytes)
        h = (h ^ b) * 16777619u;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(h));
    return text;
}

class SenderSinkTest : public testing::Test {
protected:
    void SetUp() override {
        callLog_ = TempPath("calls.log");
        SetEnv("FAKE_SENDER_LOG", callLog_);
        SetEnv("FAKE_SENDER_INIT_FAIL", "");
        SetEnv("FAKE_SENDER_ID", "");
        SetSenderLibraryPath(FAKE_SENDER_PATH);
    }
    void TearDown() override {
        UnloadSender();
        SetSenderLibraryPath("");
        SetEnv("FAKE_SENDER_LOG", "");
        SetEnv("FAKE_SENDER_INIT_FAIL", "");
        SetEnv("FAKE_SENDER_ID", "");
    }
    std::string Calls() const { return ReadAll(callLog_); }

    std::string callLog_;
};

TEST_F(SenderSinkTest, JobRunsInTheDocumentedCallOrderWithBothMessages) {
    MessageCapture messages;
    int32_t id = StartSender(messages.Reporter(), u"127.0.0.1:1234");
    ASSERT_EQ(id, 7);
    EXPECT_TRUE(SenderHasDataEntry());
    // One staging buffer reused for every block, as the worker does.
    std::vector<uint8_t> block(48128);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    std::string first = Fnv(block);
    SenderSendData(id, block.data(), static_cast<uint32_t>(block.size()));
    std::vector<uint8_t> tail(block.begin(), block.begin() + 376);
    SenderSendData(id, tail.data(), 376);
    StopSender(messages.Reporter(), id);
    SenderUninitialize(id);
    UnloadSender();
    EXPECT_EQ(Calls(),
              "InitializeDLL 7\n"
              "AddSendAddrDLL 7 127.0.0.1 1234\n"
              "StartSendDLL 7\n"
              "AddSendDataDLL 7 48128 " +
                  first +
                  "\n"
                  "AddSendDataDLL 7 376 " +
                  Fnv(tail) +
                  "\n"
                  "ClearSendAddrDLL 7\n"
                  "StopSendDLL 7\n"
                  "UnInitializeDLL 7\n");
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始成功 127.0.0.1:1234\n－ SendTSTCP.dll 終了7\n");
    EXPECT_EQ(SenderSink.module, nullptr);
    EXPECT_FALSE(SenderHasDataEntry());
}

TEST_F(SenderSinkTest, EndMessageCarriesTheIdAsSignedDecimal) {
    SetEnv("FAKE_SENDER_ID", "-5");
    MessageCapture messages;
    int32_t id = StartSender(messages.Reporter(), u"h:1");
    ASSERT_EQ(id, -5);
    StopSender(messages.Reporter(), id);
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始成功 h:1\n－ SendTSTCP.dll 終了-5\n");
}

TEST_F(SenderSinkTest, DestinationLinesAreSplitAtLineFeedsAndColons) {
    MessageCapture messages;
    ASSERT_EQ(StartSender(messages.Reporter(), u"hostA:1000\r\nhostB:2000"), 7);
    EXPECT_EQ(Calls(),
              "InitializeDLL 7\n"
              "AddSendAddrDLL 7 hostA 1000\n"
              "AddSendAddrDLL 7 hostB 2000\n"
              "StartSendDLL 7\n");
    // The address text is shown as given, line break included.
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始成功 hostA:1000\r\nhostB:2000\n");
}

TEST_F(SenderSinkTest, CarriageReturnWithoutLineFeedStaysInTheLastLine) {
    // The closing CR is the whole port text of the last line, so the line is
    // used (no digits: port 0); a CR before a LF is dropped.
    MessageCapture messages;
    ASSERT_EQ(StartSender(messages.Reporter(), u"hostA:\r\nhostB:\r"), 7);
    EXPECT_EQ(Calls(),
              "InitializeDLL 7\n"
              "AddSendAddrDLL 7 hostB 0\n"
              "StartSendDLL 7\n");
}

TEST_F(SenderSinkTest, UnusableLinesAreSkippedAndTheStartStillSucceeds) {
    MessageCapture messages;
    ASSERT_EQ(StartSender(messages.Reporter(), u"hostA:\n:99\nnocolon\nhostB:12ab\nhostC:abc\nhostD:4294967296\n"), 7);
    EXPECT_EQ(Calls(),
              "InitializeDLL 7\n"
              "AddSendAddrDLL 7 hostB 12\n"
              "AddSendAddrDLL 7 hostC 0\n"
              "AddSendAddrDLL 7 hostD 4294967295\n"
              "StartSendDLL 7\n");
}

TEST_F(SenderSinkTest, EmptyPortAddsNoDestination) {
    MessageCapture messages;
    ASSERT_EQ(StartSender(messages.Reporter(), u"127.0.0.1:"), 7);
    EXPECT_EQ(Calls(), "InitializeDLL 7\nStartSendDLL 7\n");
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始成功 127.0.0.1:\n");
}

TEST_F(SenderSinkTest, FailedStartsPrintFailureAndReturnMinusOne) {
    {
        SetSenderLibraryPath("/nonexistent/SendTSTCP.so");
        MessageCapture messages;
        EXPECT_EQ(StartSender(messages.Reporter(), u"h:1234"), -1);
        EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始失敗 h:1234\n");
        EXPECT_FALSE(SenderSink.loaded);
        EXPECT_FALSE(SenderHasDataEntry());
    }
    {
        // A library lacking an entry point that is never called is still refused.
        SetSenderLibraryPath(FAKE_SENDER_NOCLEAR_PATH);
        MessageCapture messages;
        EXPECT_EQ(StartSender(messages.Reporter(), u"h:1234"), -1);
        EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始失敗 h:1234\n");
        EXPECT_EQ(SenderSink.module, nullptr);
        EXPECT_EQ(Calls(), "");
    }
    {
        SetSenderLibraryPath(FAKE_SENDER_PATH);
        MessageCapture messages;
        EXPECT_EQ(StartSender(messages.Reporter(), u""), -1);
        EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始失敗 \n");
        EXPECT_EQ(SenderSink.module, nullptr);
    }
}

TEST_F(SenderSinkTest, InitializeFailureKeepsTheLibraryUntilUnload) {
    SetEnv("FAKE_SENDER_INIT_FAIL", "1");
    MessageCapture messages;
    EXPECT_EQ(StartSender(messages.Reporter(), u"h:1234"), -1);
    EXPECT_TRUE(SenderSink.loaded);
    EXPECT_NE(SenderSink.module, nullptr);
    // Nothing to stop or destroy for id -1.
    StopSender(messages.Reporter(), -1);
    SenderUninitialize(-1);
    EXPECT_EQ(Calls(), "InitializeDLL -1\n");
    EXPECT_EQ(messages.Text(), "－ SendTSTCP.dll 開始失敗 h:1234\n");
    UnloadSender();
    EXPECT_EQ(SenderSink.module, nullptr);
    EXPECT_FALSE(SenderSink.loaded);
}

TEST_F(SenderSinkTest, SecondStartWhileLoadedIsRefusedAndStopIsOnce) {
    MessageCapture messages;
    ASSERT_EQ(StartSender(messages.Reporter(), u"h:1"), 7);
    EXPECT_EQ(StartSender(messages.Reporter(), u"h:2"), -1);
    StopSender(messages.Reporter(), 7);
    StopSender(messages.Reporter(), 7);  // not sending any more: nothing happens
    EXPECT_EQ(Calls(), "InitializeDLL 7\nAddSendAddrDLL 7 h 1\nStartSendDLL 7\nClearSendAddrDLL 7\nStopSendDLL 7\n");
    EXPECT_EQ(messages.Text(),
              "－ SendTSTCP.dll 開始成功 h:1\n－ SendTSTCP.dll 開始失敗 h:2\n－ SendTSTCP.dll 終了7\n");
}

TEST_F(SenderSinkTest, NoProgressSilencesBothMessagesButNotTheData) {
    MessageCapture messages(/*noProgress=*/true);
    int32_t id = StartSender(messages.Reporter(), u"h:1");
    ASSERT_EQ(id, 7);
    std::vector<uint8_t> block(188, 0x47);
    SenderSendData(id, block.data(), 188);
    StopSender(messages.Reporter(), id);
    SenderUninitialize(id);
    EXPECT_EQ(messages.Text(), "");
    EXPECT_EQ(Calls(), "InitializeDLL 7\nAddSendAddrDLL 7 h 1\nStartSendDLL 7\nAddSendDataDLL 7 188 " + Fnv(block) +
                           "\nClearSendAddrDLL 7\nStopSendDLL 7\nUnInitializeDLL 7\n");
}

}  // namespace
