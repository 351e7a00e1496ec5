// Builds a message and its frame, installs a handler on a client and destroys it again:
// the smallest program that uses the installed library.
#include <transport/NetClient.h>

#include <cstdio>
#include <cstring>

namespace {

bool OnPackage(NetPackage* package) {
    if (package->m_nKind == NetPackage::KIND_ERROR) {
        std::printf("error %u\n", static_cast<const NetError*>(package->m_pBody)->m_nCode);
    }
    return true;
}

}  // namespace

int main() {
    NetMessage message;
    message.SetId(305);
    message.SetPriority(3);
    const char text[] = "hello";
    message.GetParams().AddTail(text, sizeof(text));

    NetMessage* copy = static_cast<NetMessage*>(message.Clone());
    const bool same = copy->GetId() == 305 && copy->GetParams().GetCount() == 1;
    delete copy;

    // The frame a server would receive, and back.
    const std::string frame = transport::FrameText(message);
    NetMessage parsed;
    const bool parsedOk = transport::ParseFrame(parsed, frame.c_str()) && parsed.GetId() == 305;
    std::printf("frame %s parsed: %s\n", frame.c_str(), parsedOk ? "yes" : "no");

    CNetClient client;
    client.SetNetHandler(&OnPackage);
    std::printf("client constructed, message copied: %s\n", same ? "yes" : "no");
    return same && parsedOk ? 0 : 1;
}
