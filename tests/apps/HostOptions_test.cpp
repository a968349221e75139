// Command-line parsing of udptrans-host and the payload template.
#include "HostOptions.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "DatagramListener.h"
#include "TempDir.h"

namespace {

using host::HostOptions;
using host::ParseResult;

ParseResult Parse(std::vector<std::string> words, HostOptions& options, std::string& error) {
    words.insert(words.begin(), "udptrans-host");
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return host::ParseOptions(static_cast<int>(words.size()), argv.data(), options, error);
}

TEST(HostOptions, SetsKeepTheirOrderAndBothValueForms) {
    HostOptions options;
    std::string error;
    ASSERT_EQ(Parse({"--set", "HostPort=9100", "--set=HeartbeatText=a=b c", "--frames=0", "--fps",
                     "2.5", "--trigger", "soft", "--process-ms", "300", "--no-listen", "--log-mode",
                     "ring", "--duration", "0"},
                    options, error),
              ParseResult::kRun)
        << error;
    ASSERT_EQ(options.vecSet.size(), 2u);
    EXPECT_EQ(options.vecSet[0].first, "HostPort");
    EXPECT_EQ(options.vecSet[0].second, "9100");
    // Only the first '=' separates key and value; the value keeps the rest.
    EXPECT_EQ(options.vecSet[1].first, "HeartbeatText");
    EXPECT_EQ(options.vecSet[1].second, "a=b c");
    EXPECT_EQ(options.nFrames, 0);
    EXPECT_DOUBLE_EQ(options.dFps, 2.5);
    EXPECT_EQ(options.eTrigger, host::TriggerMode::kSoft);
    EXPECT_EQ(options.nProcessMs, 300);
    EXPECT_EQ(options.eListen, host::ListenMode::kOff);
    EXPECT_EQ(options.eLogMode, host::LogMode::kRing);
    EXPECT_DOUBLE_EQ(options.dDurationSec, 0.0);
}

TEST(HostOptions, BadWordsAreRefusedWithTheirName) {
    const std::vector<std::vector<std::string>> bad = {
        {"--frames", "-1"},
        {"--frames", "ten"},
        {"--fps", "0"},
        {"--trigger", "hard"},
        {"--set", "NoEquals"},
        {"--set", "=1"},
        {"--log-level", "9"},
        {"--log-mode", "file"},
        {"--frames"},
        {"--bogus"},
        {"--listen=1"},
        {"--payload-file", "/nonexistent/x"},
        {"--process-ms", "1.5"},
    };
    for (const auto& words : bad) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse(words, options, error), ParseResult::kError) << words[0];
        EXPECT_NE(error.find(words[0].substr(0, words[0].find('='))), std::string::npos) << error;
    }
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse({"--frames", "3", "--help"}, options, error), ParseResult::kHelp);
}

TEST(HostOptions, PayloadFileIsTakenByteForByte) {
    ts::TempDir dir;
    const std::string path = dir.Path() + "/payload";
    const std::string bytes("a\0{frame}\xff\r\n", 12);
    ASSERT_TRUE(ts::WriteFile(path, bytes));
    HostOptions options;
    std::string error;
    ASSERT_EQ(Parse({"--payload-file", path}, options, error), ParseResult::kRun) << error;
    EXPECT_TRUE(options.bPayloadIsFile);
    EXPECT_EQ(options.strPayload, bytes);
}

TEST(HostOptions, PayloadTemplateReplacesBothCounters) {
    EXPECT_EQ(host::ExpandPayload("f={frame} t={trigger} {frame}", 12, 3), "f=12 t=3 12");
    EXPECT_EQ(host::ExpandPayload("{frame", 1, 2), "{frame");
    EXPECT_EQ(host::ExpandPayload("", 1, 2), "");
}

TEST(HostOptions, ListenerEscapesWhatIsNotPrintable) {
    const std::string bytes("A\"\\\r\n\t\0\x7f", 8);
    EXPECT_EQ(host::CDatagramListener::Escape(bytes.data(), bytes.size()),
              "A\\\"\\\\\\r\\n\\t\\x00\\x7f");
}

}  // namespace
