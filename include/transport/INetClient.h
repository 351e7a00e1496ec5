#ifndef TRANSPORT_INET_CLIENT_H
#define TRANSPORT_INET_CLIENT_H

#include <transport/Export.h>
#include <transport/NetClientParams.h>
#include <transport/NetMessage.h>
#include <transport/NetPackage.h>

enum enNETTYPE { NETTYPE_WIFI = 1, NETTYPE_ACTIVESYNC = 2, NETTYPE_CELLULAR = 3 };

// The notification handler. It runs on the client's worker threads, never on
// the caller's; the package lives only for the call; the result is ignored.
// It must not call Close and should return quickly: no socket event is served
// while it runs.
typedef bool (*NetHandler)(NetPackage*);

// The abstract client. The slot order of the virtual operations is fixed.
class TRANSPORT_API INetClient {
public:
    INetClient() = default;
    INetClient(const INetClient&) {}
    INetClient& operator=(const INetClient&) { return *this; }
    virtual ~INetClient();
    virtual bool Open(NetClientParams& params) = 0;
    virtual enNETTYPE GetNetworkType() = 0;
    virtual bool Login(const char* szUser, const char* szPassword, const char* szParam3,
                       unsigned int nParam4, const char* szParam5, const char* szParam6) = 0;
    virtual unsigned int Send(const NetMessage* message) = 0;
    virtual bool Close(bool clearQueues) = 0;
    virtual void SetNetHandler(NetHandler handler) = 0;
};

#endif
