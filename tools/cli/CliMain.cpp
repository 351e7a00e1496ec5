// transport-cli: a command-line client on the Transport library's public API.

#include <fstream>
#include <iostream>
#include <string>

#include <transport/Version.h>

#include "CliOptions.h"
#include "Console.h"
#include "ScriptReader.h"
#include "Session.h"

int main(int argc, char** argv) {
    cli::CliOptions options;
    std::string error;
    if (!cli::ParseCliOptions(argc, argv, &options, &error)) {
        std::cerr << "transport-cli: " << error << "\nTry 'transport-cli --help'.\n";
        return cli::kExitUsage;
    }
    if (options.help) {
        std::cout << cli::CliUsage();
        return cli::kExitOk;
    }
    if (options.version) {
        std::cout << "transport-cli " << TRANSPORT_VERSION_STRING << " (library "
                  << transport::Version() << ")\n";
        return cli::kExitOk;
    }
    if (!options.scriptPath.empty()) {
        std::ifstream file;
        std::istream* in = &std::cin;
        if (options.scriptPath != "-") {
            file.open(options.scriptPath);
            if (!file) {
                std::cerr << "transport-cli: cannot read the script '" << options.scriptPath << "'\n";
                return cli::kExitUsage;
            }
            in = &file;
        }
        if (!cli::ReadScript(*in, &options.steps, &error)) {
            std::cerr << "transport-cli: " << options.scriptPath << ", " << error << "\n";
            return cli::kExitUsage;
        }
    }
    cli::Console console;
    cli::Session session(options, console);
    return session.Run();
}
