// The README's example on the classic interface: log in, send one message,
// wait until the server has answered it, close.
//   hello HOST[:PORT]
#include <transport/NetClient.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::mutex mutex;
std::condition_variable answered;
int answer = 0;  // 1 delivered, 7 refused, 11 gave up

// Runs on a worker thread of the client.
bool OnPackage(NetPackage* package) {
    int code = 0;
    if (package->m_nKind == NetPackage::KIND_INFORMATION) {
        const auto* information = static_cast<const NetInformation*>(package->m_pBody);
        if (information->m_nCode == 1) code = 1;
    } else if (package->m_nKind == NetPackage::KIND_ERROR) {
        code = static_cast<int>(static_cast<const NetError*>(package->m_pBody)->m_nCode);
    }
    if (code != 0) {
        std::lock_guard<std::mutex> lock(mutex);
        answer = code;
        answered.notify_all();
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || std::strlen(argv[1]) >= sizeof(NetClientParams::szHost1)) {
        std::fprintf(stderr, "usage: hello HOST[:PORT]\n");
        return 2;
    }
    CNetClient client;
    client.SetNetHandler(&OnPackage);
    NetClientParams params = {};
    std::strcpy(params.szHost1, argv[1]);
    params.nMaxReconCount = 2;  // passes over the hosts before error 11
    params.dwReconDelay = 500;
    if (!client.Open(params)) return 1;
    client.Login("user", "password", "", 0, "", "");

    NetMessage message;
    message.SetId(5);
    message.SetPriority(2);
    message.GetParams().AddTail("hello", 6);  // text parameters carry their zero byte
    client.Send(&message);                   // the client keeps its own copy

    std::unique_lock<std::mutex> lock(mutex);
    const bool done = answered.wait_for(lock, std::chrono::seconds(30), [] { return answer != 0; });
    const int code = answer;
    lock.unlock();
    client.Close(false);  // says goodbye to the server
    std::printf("%s\n", code == 1 ? "delivered" : done ? "not delivered" : "no answer");
    return code == 1 ? 0 : 1;
}
