// Command-line parsing of udptrans-host and the payload template.
#include "HostOptions.h"

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ResultCodes.h"
#include "TempDir.h"
#include "Text.h"
#include "TextEscape.h"
#include "udptrans/udptrans_host.h"

namespace {

using hostprog::HostOptions;
using hostprog::ParseResult;

ParseResult Parse(std::vector<std::string> words, HostOptions& options, std::string& error) {
    words.insert(words.begin(), "udptrans-host");
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    return hostprog::ParseOptions(static_cast<int>(words.size()), argv.data(), options, error);
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
    EXPECT_EQ(options.eTrigger, hostprog::TriggerMode::kSoft);
    EXPECT_EQ(options.nProcessMs, 300);
    EXPECT_EQ(options.eListen, hostprog::ListenMode::kOff);
    EXPECT_EQ(options.eLogMode, hostprog::LogMode::kRing);
    EXPECT_DOUBLE_EQ(options.dDurationSec, 0.0);
}

TEST(HostOptions, BadWordsAreRefusedWithTheirNameAndTheValueEscaped) {
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
        {"--trigger", "1"},
        {"--fps", "nan"},
        {"--frames", "0x10"},
        {"--quiet=1"},
        {"--no-ping=0"},
    };
    for (const auto& words : bad) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse(words, options, error), ParseResult::kError) << words[0];
        EXPECT_TRUE(ts::Has(error, words[0].substr(0, words[0].find('='))));
    }
    HostOptions options;
    std::string error;
    // The value in the error is escaped.
    EXPECT_EQ(Parse({"--trigger", "\x1b]0;PWNED\x07"}, options, error), ParseResult::kError);
    EXPECT_FALSE(ts::Has(error, "\x1b"));
    EXPECT_TRUE(ts::Has(error, "\\x1b]0;PWNED\\x07"));
    EXPECT_EQ(Parse({"--frames", "3", "--help"}, options, error), ParseResult::kHelp);
    EXPECT_EQ(Parse({"--version"}, options, error), ParseResult::kVersion);
}

TEST(HostOptions, TheLastWordWinsAndHelpListsEveryParameterKey) {
    ts::TempDir dir;
    const std::string path = dir.Path() + "/payload";
    ASSERT_TRUE(ts::WriteFile(path, "bytes"));
    HostOptions options;
    std::string error;
    ASSERT_EQ(
        Parse({"--duration", "1", "--duration", "2", "--payload-file", path, "--payload", "text",
               "--listen", "--no-listen", "--no-ping", "--ping", "--json", "-q", "--show-params"},
              options, error),
        ParseResult::kRun)
        << error;
    EXPECT_DOUBLE_EQ(options.dDurationSec, 2.0);
    EXPECT_FALSE(options.bPayloadIsFile);
    EXPECT_EQ(options.strPayload, "text");
    EXPECT_EQ(options.eListen, hostprog::ListenMode::kOff);
    EXPECT_TRUE(options.bPing && options.bJson && options.bQuiet && options.bShowParams);
    ASSERT_EQ(Parse({"--payload", "text", "--payload-file", path}, options, error),
              ParseResult::kRun);
    EXPECT_TRUE(options.bPayloadIsFile);

    const std::string help = hostprog::UsageText("udptrans-host");
#define UT_KEY(ID) UDPTRANS_PARAM_##ID,
    for (const char* key : {UDPTRANS_PARAM_KEYS(UT_KEY)}) {
        EXPECT_TRUE(ts::Has(help, std::string(" ") + key));
    }
#undef UT_KEY
}

TEST(HostOptions, PayloadTemplateReplacesBothCounters) {
    EXPECT_EQ(hostprog::ExpandPayload("f={frame} t={trigger} {frame}", 12, 3), "f=12 t=3 12");
    EXPECT_EQ(hostprog::ExpandPayload("{frame", 1, 2), "{frame");
    EXPECT_EQ(hostprog::ExpandPayload("", 1, 2), "");
}

TEST(HostOptions, PayloadFileIsTakenWholeUnlessItIsNoSmallRegularFile) {
    // Each of these once crashed the program, read without end or hung it.
    ts::TempDir dir;
    const std::string fifo = dir.Path() + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = dir.Path() + "/big";
    ASSERT_TRUE(ts::WriteFile(big, std::string(hostprog::kPayloadFileMax + 1, 'x')));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir.Path(), "folder"},
        {"/dev/zero", "not a regular file"},
        {fifo, "not a regular file"},
        {big, "more than"},
        {dir.Path() + "/missing", "No such file"},
    };
    for (const auto& [path, reason] : cases) {
        HostOptions options;
        std::string error;
        EXPECT_EQ(Parse({"--payload-file", path}, options, error), ParseResult::kError) << path;
        EXPECT_TRUE(ts::Has(error, "--payload-file"));
        EXPECT_TRUE(ts::Has(error, reason));
    }
    // Any bytes, byte for byte, up to the largest accepted file.
    for (const std::string& bytes :
         {std::string("a\0{frame}\xff\r\n", 12), std::string(hostprog::kPayloadFileMax, 'y')}) {
        ASSERT_TRUE(ts::WriteFile(big, bytes));
        HostOptions options;
        std::string error;
        ASSERT_EQ(Parse({"--payload-file", big}, options, error), ParseResult::kRun) << error;
        EXPECT_TRUE(options.bPayloadIsFile);
        EXPECT_EQ(options.strPayload, bytes);
    }
}

TEST(TextEscape, ControlBytesBecomeHexAndOnlyTheModulesColourSurvivesOnATerminal) {
    const std::string bytes("A\"\\\r\n\t\0\x7f\x1b\x80", 10);
    EXPECT_EQ(apps::EscapeText(bytes), "A\\\"\\\\\\r\\n\\t\\x00\\x7f\\x1b\\x80");

    // A module line with bytes a peer sent inside it.
    const std::string line = "\x1b[31m| Err  | GetParam \x1b]0;PWNED\x07 failed\r\n\x1b[0m";
    EXPECT_EQ(apps::EscapeLogLine(line, false), "| Err  | GetParam \\x1b]0;PWNED\\x07 failed");
    EXPECT_EQ(apps::EscapeLogLine(line, true),
              "\x1b[31m| Err  | GetParam \\x1b]0;PWNED\\x07 failed\x1b[0m");
    // No colour of its own: nothing is added; a colour in the middle is escaped.
    EXPECT_EQ(apps::EscapeLogLine("| Info | a \x1b[2J b\r\n", true), "| Info | a \\x1b[2J b");
}

TEST(ResultCodes, EveryCodeAHostSeesHasItsReason) {
    for (const unsigned code : {0xE0000001u, 0xE0000101u, 0xE0000102u, 0xE0000103u, 0xE0000105u,
                                0xE0000400u, 0xC0000004u, 0xE000000Au, 0xFFFFFFFEu, 0xFFFFFFFBu}) {
        EXPECT_STRNE(apps::ResultReason(static_cast<int>(code)), "unknown result code") << code;
    }
    EXPECT_EQ(apps::DescribeResult(-5).rfind("0xFFFFFFFB (the engine did not confirm", 0), 0u);
    EXPECT_TRUE(ts::Has(apps::DescribeResult(static_cast<int>(0xE0000105u)), "not saved"));
    EXPECT_EQ(apps::DescribeResult(0x1234), "0x00001234 (unknown result code)");
}

}  // namespace
