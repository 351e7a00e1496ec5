// transport-server: the reference server for the Transport client.

#include <cstdio>
#include <string>

#include <transport/Version.h>

#include "EventLog.h"
#include "ServerLoop.h"
#include "ServerOptions.h"

int main(int argc, char** argv) {
    refserver::ServerOptions options;
    std::string error;
    if (!refserver::ParseServerOptions(argc, argv, &options, &error)) {
        std::fprintf(stderr, "transport-server: %s\nTry 'transport-server --help'.\n",
                     error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(refserver::ServerUsage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("transport-server %s\n", TRANSPORT_VERSION_STRING);
        return 0;
    }
    refserver::EventLog log;
    refserver::ServerLoop server(options, log);
    if (!server.Listen(&error)) {
        std::fprintf(stderr, "transport-server: %s\n", error.c_str());
        return 1;
    }
    server.Run();
    return 0;
}
