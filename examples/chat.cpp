// A line chat on transport::Client: every line read goes to the server as a
// message of id 5; messages from the server and what the connection does are
// printed as they come. The end of the input sends what is left and closes.
//   chat HOST[:PORT] [HOST[:PORT]...] < lines
#include <transport/Client.h>

#include <chrono>
#include <iostream>
#include <mutex>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 5) {
        std::cerr << "usage: chat HOST[:PORT] [up to three more hosts]\n";
        return 2;
    }
    transport::Options options;
    options.hosts.assign(argv + 1, argv + argc);
    std::mutex output;
    auto print = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(output);
        std::cout << line << std::endl;
    };
    transport::Client client(options, [&](const transport::Event& e) {
        using Kind = transport::Event::Kind;
        std::string line = std::string("* ") + transport::ToString(e.kind);
        if (e.kind == Kind::kMessage) line = "< " + std::string(e.Param(0));
        if (e.kind == Kind::kConnecting) line += " to " + std::string(e.host) + ":" + std::to_string(e.port);
        if (e.kind == Kind::kDisconnected || e.kind == Kind::kError) line += " (" + std::to_string(e.code) + ")";
        const bool loginAnswer = e.kind == Kind::kMessage && e.message->GetId() == 1;
        if (e.kind != Kind::kDelivered && !loginAnswer) print(line);
    });
    client.LogIn("chat", "secret");
    for (std::string text; std::getline(std::cin, text);) {
        const transport::SendResult result = client.Send(5, {text});
        print(result == transport::SendResult::kQueued ? "> " + text
                                                       : std::string("! ") + transport::ToString(result));
    }
    const std::size_t left = client.Flush(std::chrono::seconds(30));
    client.Close();
    print(left == 0 ? "* all delivered" : "* " + std::to_string(left) + " not delivered");
    return left == 0 ? 0 : 1;
}
