// The end-to-end benchmark: one run of every figure against a loopback
// server of its own. bench/run repeats it and builds the table.
//
//   transport_e2e_bench [--smoke] [--only raw|library|paired|idle|capacity|tls]
//                       [--clients N] [--stack-kib K] [--tls-certs DIR]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "e2e_figures.h"
#include "e2e_process.h"
#include "e2e_server.h"

int main(int argc, char** argv) {
    bench::RunSizes sizes{5000, 2000, 3000, 10u << 20, 20, 5, 60, 1000, 9, 1000, 200, 1u << 20};
    std::string only;
    std::string certificates;  // of the TLS figures; none: left out
    std::uint64_t stackKib = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--smoke") {
            sizes = {300, 100, 200, 256u << 10, 2, 2, 120, 20, 2, 100, 50, 64u << 10};
        } else if (arg == "--only" && hasValue) {
            only = argv[++i];
        } else if (arg == "--tls-certs" && hasValue) {
            certificates = argv[++i];
        } else if (arg == "--clients" && hasValue) {
            sizes.capacityClients = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--stack-kib" && hasValue) {
            stackKib = std::strtoull(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr,
                         "usage: %s [--smoke] [--only raw|library|paired|idle|capacity|tls] "
                         "[--clients N] [--stack-kib K] [--tls-certs DIR]\n",
                         argv[0]);
            return 2;
        }
    }

    // Before the server is forked, so that it may hold as many connections.
    bench::RaiseDescriptorLimit(sizes.capacityClients * 32 + 1024);
    if (!bench::SetDefaultThreadStack(stackKib * 1024)) {
        std::fprintf(stderr, "cannot set the thread stack size\n");
        return 1;
    }
    bench::ServerProcess server;
    if (!bench::StartServer(&server)) {
        std::fprintf(stderr, "cannot start the server\n");
        return 1;
    }

    bool ok = true;
    if (only.empty() || only == "raw") ok = bench::RawFigures(server.port, sizes) && ok;
    if (only.empty() || only == "library") ok = bench::LibraryFigures(server.port, sizes) && ok;
    if (only.empty() || only == "paired") ok = bench::PairedFigures(server.port, sizes) && ok;
    if (only.empty() || only == "idle") ok = bench::IdleFigures(server.port, sizes) && ok;
    if (only.empty() || only == "capacity") ok = bench::CapacityFigures(server.port, sizes) && ok;
    if ((only.empty() || only == "tls") && !certificates.empty()) {
        ok = bench::TlsFigures(certificates, sizes) && ok;
    }

    bench::StopServer(&server);
    return ok ? 0 : 1;
}
