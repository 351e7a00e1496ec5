// The command-line client: its arguments in process, then a whole session
// against the reference server on loopback.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Subprocess.h"
#include "CliOptions.h"

namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

Args With(Args more) {
    Args args = {"-H", "127.0.0.1", "-u", "demo", "-p", "secret"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// The steps parsed, one word each ("m5p2": a message of id 5, priority 2), or the error.
std::string Parse(const Args& args) {
    std::vector<const char*> argv = {"transport-cli"};
    for (const std::string& arg : args) argv.push_back(arg.c_str());
    cli::CliOptions options;
    std::string error;
    if (!cli::ParseCliOptions(static_cast<int>(argv.size()), argv.data(), &options, &error)) {
        return "error: " + error;
    }
    std::string steps;
    for (const cli::Step& step : options.steps) {
        steps += std::string(1, "mbrfnswy"[step.kind]) + std::to_string(step.id) + "p" +
                 std::to_string(step.priority) + (step.ms ? "/" + std::to_string(step.ms) : "") +
                 " ";
    }
    return steps;
}

TEST(CliOptions, GoodAndBadArguments) {
    const std::pair<Args, std::string> rows[] = {
        // -P and -i apply to the message before them, or to those after as defaults.
        {With({"-m", "a", "-P", "4", "-P", "1", "-m", "b", "-i", "42", "-b", "x", "-P", "3"}),
         "m5p1 m42p2 b300p3 r0p2 "},
        {With({"-P", "3", "-i", "77", "-m", "a", "-b", "b", "-f", "x", "--network-type", "--wait",
               "2"}),
         "m77p3 b300p3 r0p2 f0p3 n0p2 s0p2/2000 "},
        {With({"-i", "305", "-b", "x", "-m", "y"}), "b305p2 m5p2 r0p2 "},
        {{"--network-type"}, "n0p2 "},
        // getopt_long's forms: --name=value, bundled short options, values joined.
        {{"--host=127.0.0.1", "-vudemo", "-psecret", "-mhi", "-P3"}, "m5p3 r0p2 "},
        {{"--network-type", "--", "-m"}, "error: unexpected operand '-m'"},
        {{}, "error: nothing to do: give -H HOST -u USER -p PASSWORD, or --network-type"},
        {{"-m", "x"}, "error: no server given: use -H HOST (up to four times)"},
        {{"-H", "a", "-H", "b", "-H", "c", "-H", "d", "-H", "e"},
         "error: at most four hosts (-H) can be given"},
        {With({"-m", "x", "-P", "5"}),
         "error: option -P: '5' is not a priority from 1 (first) to 4 (last)"},
        {With({"-m", "x", "-P"}), "error: option -P needs a value"},
        {With({"-m", "x", "-i", "10"}),
         "error: message id 10 cannot carry a text message (use 2-6, 11, 13-299 or 400-99999)"},
        {With({"-b", "x", "-i", "400"}), "error: binary messages have ids 300 to 399, not 400"},
        {With({"-m", "a</p>b"}),
         "error: message text may not contain \"</p>\" (it would end the frame)"},
        {With({"-p", "a~", "-m", "x"}),  // a zero byte once encoded
         "error: the password: character 2 ('~') cannot travel in the log-in encoding"},
        {With({"--bogus"}), "error: unknown argument '--bogus'"},
        // A client certificate is useless without its key, and a pin must be whole.
        {With({"--tls-cert", "client.pem", "-m", "x"}),
         "error: --tls-cert and --tls-key go together (a client certificate and its key)"},
        {With({"--tls-pin", "ab:cd", "-m", "x"}),
         "error: option --tls-pin: 'ab:cd' is not 64 hex digits (the SHA-256 of the server's "
         "public key)"},
    };
    for (const auto& [args, expected] : rows) EXPECT_EQ(Parse(args), expected);
}

TEST(CliProgram, WholeSessionAgainstTheReferenceServer) {
    transport::test::Child server({TRANSPORT_SERVER_PROGRAM, "--port", "0"}, true);
    const std::string port = std::to_string(server.ListeningPort());
    ASSERT_NE(port, "0") << server.Output();
    std::string data(40000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 256);
    // Named for this run: runs of several worktrees may overlap.
    const std::string path = ::testing::TempDir() + "whole-" + std::to_string(getpid()) + ".bin";
    std::ofstream(path, std::ios::binary) << data;

    Args argv = With({"--port-map", "800=" + port, "-m", "high", "-P", "1", "-f", path});
    argv.insert(argv.begin(), TRANSPORT_CLI_PROGRAM);
    transport::test::Child client(argv, true);
    EXPECT_EQ(client.Wait(60s), 0) << client.Output();
    std::remove(path.c_str());
    for (const char* line :
         {"<- log-in accepted: session \"session-1\"", "<- delivered: id=5 priority=1 \"high\"",
          "came back whole: 40000 bytes"}) {
        EXPECT_NE(client.Output().find(line), std::string::npos) << line << "\n" << client.Output();
    }
    EXPECT_EQ(server.Wait(10s, SIGTERM), 0);
    EXPECT_NE(server.Output().find("login user=\"demo\" -> session-1"), std::string::npos);
    EXPECT_NE(server.Output().find("disconnect \"0\""), std::string::npos)
        << "the close says goodbye";
}

}  // namespace
