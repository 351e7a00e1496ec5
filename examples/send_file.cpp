// Sends a file as an object (id 10, numbered parts of 2048 characters) on
// transport::Client and waits until the server has taken every part.
//   send_file HOST[:PORT] FILE
#include <transport/Client.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: send_file HOST[:PORT] FILE\n");
        return 2;
    }
    std::ifstream file(argv[2], std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "send_file: %s: %s\n", argv[2], std::strerror(errno));
        return 2;
    }
    const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};

    transport::Options options;
    options.hosts = {argv[1]};
    options.reconnectLimit = 2;
    transport::Client client(options, [](const transport::Event& e) {
        if (e.IsConnection() || e.kind == transport::Event::Kind::kError) {
            std::printf("%s %d\n", transport::ToString(e.kind), e.code);
        }
    });
    client.LogIn("sender", "secret");
    const transport::SendResult result = client.SendObject(argv[2], bytes);
    if (result != transport::SendResult::kQueued) {
        std::fprintf(stderr, "send_file: %s\n", transport::ToString(result));
        return 1;
    }
    const std::size_t parts = client.Pending();
    const std::size_t left = client.Flush(std::chrono::seconds(60));
    client.Close();
    std::printf("%zu bytes in %zu parts: %s\n", bytes.size(), parts, left == 0 ? "sent" : "not sent");
    return left == 0 ? 0 : 1;
}
