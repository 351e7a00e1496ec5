// The command-line client: its argument and script checks in process, then
// the program against the reference server, one test per exit code.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "CliOptions.h"
#include "ScriptReader.h"

namespace {

using cli::CliOptions;
using cli::Step;
using namespace std::chrono_literals;

bool Parse(std::vector<std::string> args, CliOptions* options, std::string* error) {
    std::vector<const char*> argv = {"transport-cli"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    return cli::ParseCliOptions(static_cast<int>(argv.size()), argv.data(), options, error);
}

std::string ParseError(std::vector<std::string> args) {
    CliOptions options;
    std::string error;
    EXPECT_FALSE(Parse(args, &options, &error)) << "accepted: " << args.back();
    return error;
}

const std::vector<std::string> kLogin = {"-H", "127.0.0.1", "-u", "demo", "-p", "secret"};

std::vector<std::string> With(std::vector<std::string> more) {
    std::vector<std::string> args = kLogin;
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// ---- Arguments ----

TEST(CliOptionsTest, PriorityAndIdApplyToTheMessageBeforeThemOrAsDefault) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse(With({"-m", "a", "-P", "4", "-P", "1", "-m", "b", "-m", "c", "-P", "3",
                            "-i", "42", "-b", "bytes", "-P", "1"}),
                      &options, &error))
        << error;
    // Messages first, then one wait for their results.
    ASSERT_EQ(options.steps.size(), 5u);
    EXPECT_EQ(options.steps[0].priority, 1);  // the later -P wins
    EXPECT_EQ(options.steps[1].priority, 2);
    EXPECT_EQ(options.steps[2].priority, 3);
    EXPECT_EQ(options.steps[2].id, 42u);
    EXPECT_EQ(options.steps[3].kind, Step::kBinary);
    EXPECT_EQ(options.steps[3].id, 300u);
    EXPECT_EQ(options.steps[4].kind, Step::kResults);

    CliOptions defaults;
    ASSERT_TRUE(Parse(With({"-P", "3", "-i", "77", "-m", "a", "-b", "b", "-f", "x", "--network-type",
                            "--wait", "2"}),
                      &defaults, &error))
        << error;
    EXPECT_EQ(defaults.steps[0].priority, 3);
    EXPECT_EQ(defaults.steps[0].id, 77u);
    EXPECT_EQ(defaults.steps[1].id, 300u) << "a text id is no binary id";
    EXPECT_EQ(defaults.steps[2].kind, Step::kResults);
    EXPECT_EQ(defaults.steps[3].kind, Step::kFile);
    EXPECT_EQ(defaults.steps[4].kind, Step::kNetworkType);
    EXPECT_EQ(defaults.steps[5].kind, Step::kSleep);
    EXPECT_EQ(defaults.steps[5].ms, 2000u);

    CliOptions binary;
    ASSERT_TRUE(Parse(With({"-i", "305", "-b", "x", "-m", "y"}), &binary, &error)) << error;
    EXPECT_EQ(binary.steps[0].id, 305u);
    EXPECT_EQ(binary.steps[1].id, 5u);
}

TEST(CliOptionsTest, BadArgumentsAreNamed) {
    EXPECT_NE(ParseError({"-m", "x"}).find("no server given"), std::string::npos);
    EXPECT_NE(ParseError({"-H", "127.0.0.1", "-m", "x"}).find("-u USER and -p PASSWORD"),
              std::string::npos);
    EXPECT_NE(ParseError({"-H", "a", "-H", "b", "-H", "c", "-H", "d", "-H", "e"}).find("four"),
              std::string::npos);
    EXPECT_NE(ParseError({"-H", "a", "-H", "host-name-too-long.example", "-u", "u", "-p", "p"})
                  .find("host 2"),
              std::string::npos);
    EXPECT_NE(ParseError(With({"-m", "x", "-P", "5"})).find("priority"), std::string::npos);
    EXPECT_NE(ParseError(With({"-m", "x", "-P"})).find("needs a value"), std::string::npos);
    EXPECT_NE(ParseError(With({"-m", "x", "-i", "10"})).find("cannot carry"), std::string::npos);
    EXPECT_NE(ParseError(With({"-m", "x", "-i", "123456"})).find("cannot carry"), std::string::npos);
    EXPECT_NE(ParseError(With({"-b", "x", "-i", "400"})).find("300 to 399"), std::string::npos);
    EXPECT_NE(ParseError(With({"-m", "a</p>b"})).find("</p>"), std::string::npos);
    EXPECT_NE(ParseError(With({"-m", std::string(2001, 'x')})).find("too long"), std::string::npos);
    EXPECT_NE(ParseError(With({"--port-map", "800:9"})).find("PORT=PORT"), std::string::npos);
    EXPECT_NE(ParseError(With({"-s", "f", "-m", "x"})).find("script"), std::string::npos);
    EXPECT_NE(ParseError(With({"--bogus"})).find("unknown argument '--bogus'"), std::string::npos);
}

TEST(CliOptionsTest, CredentialsMustSurviveTheLogInEncoding) {
    std::string error;
    EXPECT_TRUE(cli::CheckCredential("the password", "secret", &error));
    // "~" at the second position becomes a zero byte, which would end the text.
    EXPECT_FALSE(cli::CheckCredential("the password", "a~", &error));
    EXPECT_NE(error.find("character 2"), std::string::npos) << error;
    EXPECT_FALSE(cli::CheckCredential("the user name", "caf\xc3\xa9", &error));
    // Encoded, ";-m:" reads "</p>".
    EXPECT_FALSE(cli::CheckCredential("the password", ";-m:", &error));
    EXPECT_NE(error.find("</p>"), std::string::npos) << error;
    EXPECT_FALSE(cli::CheckCredential("the password", std::string(201, 'a'), &error));
}

TEST(CliOptionsTest, NetworkTypeAloneNeedsNoServer) {
    CliOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"--network-type"}, &options, &error)) << error;
    EXPECT_TRUE(options.hosts.empty());
    EXPECT_NE(ParseError({}).find("nothing to do"), std::string::npos);
}

// ---- Scripts ----

TEST(ScriptReaderTest, ReadsEveryStepForm) {
    std::istringstream in(
        "# comment\n\nmessage 4 hello world\r\nmessage-id 42 1 x\nbinary raw bytes\nresults\n"
        "file /tmp/some file.bin\nnetwork-type\nsleep 250\nwait-drop\nsay look here\n");
    std::vector<Step> steps;
    std::string error;
    ASSERT_TRUE(cli::ReadScript(in, &steps, &error)) << error;
    ASSERT_EQ(steps.size(), 9u);
    EXPECT_EQ(steps[0].text, "hello world");
    EXPECT_EQ(steps[0].priority, 4);
    EXPECT_EQ(steps[0].id, 5u);
    EXPECT_EQ(steps[1].id, 42u);
    EXPECT_EQ(steps[2].kind, Step::kBinary);
    EXPECT_EQ(steps[4].text, "/tmp/some file.bin");
    EXPECT_EQ(steps[6].ms, 250u);
    EXPECT_EQ(steps[7].kind, Step::kWaitDrop);
    EXPECT_EQ(steps[8].text, "look here");
}

TEST(ScriptReaderTest, FirstBadLineIsReportedByNumber) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"results\nmessage 9 x\n", "line 2: priority"},
        {"message-id 1 2 x\n", "line 1: message id 1"},
        {"sleep soon\n", "line 1: sleep needs"},
        {"results now\n", "line 1: results takes no arguments"},
        {"\n\nfly away\n", "line 3: unknown step 'fly'"},
        {"file\n", "line 1: file needs a path"},
    };
    for (const auto& [script, expected] : cases) {
        std::istringstream in(script);
        std::vector<Step> steps;
        std::string error;
        EXPECT_FALSE(cli::ReadScript(in, &steps, &error)) << script;
        EXPECT_EQ(error.rfind(expected, 0), 0u) << error;
    }
}

// ---- The program ----

std::vector<std::string> Against(std::uint16_t port, std::vector<std::string> more) {
    std::vector<std::string> args = With({"--port-map", "800=" + std::to_string(port)});
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

std::string TempFile(const std::string& name, const std::string& bytes) {
    const std::string path = ::testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(CliProgramTest, HelpDocumentsTheExitCodes) {
    toolstest::RunResult run = toolstest::Run(TRANSPORT_CLI_PROGRAM, {"--help"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* code : {"0  ", "2  bad arguments", "3  server unreachable",
                             "4  the server refused the log-in", "5  the server refused a message",
                             "6  a file transfer"}) {
        EXPECT_TRUE(Has(run.out, code)) << code;
    }
    EXPECT_FALSE(Has(run.out, "port-map"));
}

TEST(CliProgramTest, NetworkTypeWithoutAServer) {
    toolstest::RunResult run = toolstest::Run(TRANSPORT_CLI_PROGRAM, {"--network-type"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "network type: ")) << run.out;
}

TEST(CliProgramTest, BadArgumentsExit2WithTheReason) {
    toolstest::RunResult run = toolstest::Run(TRANSPORT_CLI_PROGRAM, With({"-m", "x", "-P", "0"}));
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(Has(run.err, "priority")) << run.err;
    EXPECT_TRUE(Has(run.err, "--help")) << run.err;

    // A missing file is found before any connection is made.
    toolstest::RunResult file = toolstest::Run(
        TRANSPORT_CLI_PROGRAM, With({"--port-map", "800=1", "-f", "/nonexistent/file"}));
    EXPECT_EQ(file.exitCode, 2);
    EXPECT_TRUE(Has(file.err, "cannot read the file '/nonexistent/file'")) << file.err;
    EXPECT_FALSE(Has(file.out, "connecting")) << file.out;

    const std::string script = TempFile("bad_script.txt", "message 2 ok\nexplode\n");
    toolstest::RunResult bad = toolstest::Run(TRANSPORT_CLI_PROGRAM, With({"-s", script}));
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Has(bad.err, "line 2: unknown step 'explode'")) << bad.err;
}

TEST(CliProgramTest, UnreachableServerExits3) {
    toolstest::RunResult run = toolstest::Run(
        TRANSPORT_CLI_PROGRAM,
        Against(toolstest::ClosedPort(), {"--retries", "0", "-m", "never delivered"}));
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "cannot reach the server at 127.0.0.1 port 800 (connection refused)"))
        << run.err;
    EXPECT_TRUE(Has(run.out, "<- error 11")) << run.out;
}

TEST(CliProgramTest, SilentServerExits3AfterTheTimeout) {
    toolstest::ServerProcess server({"--silent"});
    toolstest::RunResult run =
        toolstest::Run(TRANSPORT_CLI_PROGRAM, Against(server.Port(), {"-t", "1", "-m", "x"}));
    EXPECT_EQ(run.exitCode, 3) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "no answer to the log-in within 1 s")) << run.err;
}

TEST(CliProgramTest, RefusedLoginExits4) {
    toolstest::ServerProcess server({"--refuse-login", "9"});
    toolstest::RunResult run = toolstest::Run(TRANSPORT_CLI_PROGRAM, Against(server.Port(), {"-m", "x"}));
    EXPECT_EQ(run.exitCode, 4) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "the server refused the log-in of \"demo\" (error code 9)")) << run.err;
    EXPECT_FALSE(Has(run.out, "-> message")) << "nothing is sent after a refusal";
}

TEST(CliProgramTest, RefusedMessageExits5AfterTheOthersAreDelivered) {
    toolstest::ServerProcess server({"--refuse-id", "6"});
    toolstest::RunResult run = toolstest::Run(
        TRANSPORT_CLI_PROGRAM,
        Against(server.Port(), {"-m", "fine", "-m", "refused", "-i", "6", "-m", "also fine"}));
    EXPECT_EQ(run.exitCode, 5) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "<- REFUSED (error 7): id=6 priority=2 \"refused\"")) << run.out;
    EXPECT_TRUE(Has(run.out, "<- delivered: id=5 priority=2 \"fine\"")) << run.out;
    EXPECT_TRUE(Has(run.out, "<- delivered: id=5 priority=2 \"also fine\"")) << run.out;
}

TEST(CliProgramTest, FileWithAPartLostOnTheWayBackExits6) {
    toolstest::ServerProcess server({"--lose-part", "2"});
    const std::string path = TempFile("lossy.bin", std::string(5000, 'q'));
    toolstest::RunResult run =
        toolstest::Run(TRANSPORT_CLI_PROGRAM, Against(server.Port(), {"-t", "1", "-f", path}));
    EXPECT_EQ(run.exitCode, 6) << run.out << run.err;
    EXPECT_TRUE(Has(run.err, "transfer of \"lossy.bin\" incomplete")) << run.err;
}

TEST(CliProgramTest, WholeSessionSucceeds) {
    toolstest::ServerProcess server;
    std::string data(40000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
    const std::string path = TempFile("whole.bin", data);
    toolstest::RunResult run = toolstest::Run(
        TRANSPORT_CLI_PROGRAM,
        Against(server.Port(), {"-m", "low", "-P", "4", "-m", "high", "-P", "1", "-b", "raw",
                                "-f", path, "--network-type"}));
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_TRUE(Has(run.out, "<- log-in accepted: session \"session-1\"")) << run.out;
    EXPECT_TRUE(Has(run.out, "<- delivered: id=5 priority=1 \"high\"")) << run.out;
    EXPECT_TRUE(Has(run.out, "<- binary id=300 \"raw\" (3 bytes, the echo of what was sent)"));
    EXPECT_TRUE(Has(run.out, "<- file \"whole.bin\" came back whole: 40000 bytes")) << run.out;
    EXPECT_TRUE(Has(run.out, "back [##############################] 100%  part 27 of 27"));
    EXPECT_TRUE(Has(run.out, "network type: ")) << run.out;
    server.Signal(SIGTERM);
    server.Wait(5s);
    EXPECT_TRUE(Has(server.Out(), "login user=\"demo\" -> session-1"));
    EXPECT_TRUE(Has(server.Out(), "disconnect \"0\"")) << "the close says goodbye";
}

TEST(CliProgramTest, DroppedConnectionRecoversAndDeliversWhatWasQueued) {
    toolstest::ServerProcess server;
    const std::string script = TempFile(
        "drop_script.txt", "message 2 before\nresults\nwait-drop\nmessage 1 after\nresults\n");
    toolstest::ChildProcess client(TRANSPORT_CLI_PROGRAM, Against(server.Port(), {"-s", script}));
    ASSERT_TRUE(client.WaitForLine("waiting for the connection to drop", 10s)) << client.Out();
    server.Signal(SIGUSR1);
    EXPECT_EQ(client.Wait(20s), 0) << client.Out() << client.Err();
    EXPECT_TRUE(Has(client.Out(), "!! connection lost")) << client.Out();
    EXPECT_TRUE(Has(client.Out(), "<- delivered: id=5 priority=1 \"after\"")) << client.Out();
    EXPECT_TRUE(server.WaitForLine("conn 2 login user=\"demo\" -> session-2", 5s));
}

}  // namespace
