// The reference server refuses bad options, in process and as a program.

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/Subprocess.h"
#include "ServerOptions.h"

namespace {

using Args = std::vector<std::string>;

TEST(ServerOptions, BadOptionsAreRefusedWithTheReason) {
    const std::pair<Args, std::string> rows[] = {
        {{"--port", "70000"}, "option --port: '70000' is not a number from 0 to 65535"},
        {{"--port"}, "option --port needs a value"},
        {{"--drop-after", "0"}, "option --drop-after: '0' is not a number from 1 to 1000000000"},
        {{"--refuse-id", "x"}, "option --refuse-id: 'x' is not a number from 0 to 99999"},
        {{"-a"}, "option -a needs a value"},
        {{"--bogus"}, "unknown argument '--bogus'"},
        {{"-a", "300.1.1.1"}, "'300.1.1.1' is not an IPv4 or IPv6 address"},
        {{"--", "-v"}, "'-v' is not an IPv4 or IPv6 address"},
        {{"--port=0", "-va"}, "option -a needs a value"},
    };
    for (const auto& [args, expected] : rows) {
        std::vector<const char*> argv = {"transport-server"};
        for (const std::string& arg : args) argv.push_back(arg.c_str());
        refserver::ServerOptions options;
        std::string error;
        EXPECT_FALSE(refserver::ParseServerOptions(static_cast<int>(argv.size()), argv.data(),
                                                   &options, &error));
        EXPECT_EQ(error, expected);
    }
}

TEST(ServerProgram, BadOptionExits2WithTheReason) {
    transport::test::Child server({TRANSPORT_SERVER_PROGRAM, "--port", "70000"}, true);
    EXPECT_EQ(server.Wait(std::chrono::seconds(10)), 2);
    EXPECT_NE(server.Output().find("transport-server: option --port"), std::string::npos)
        << server.Output();
}

}  // namespace
