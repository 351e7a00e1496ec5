// The host's network interfaces, from GetAdaptersAddresses (loopback included).

#include "platform/win32/Adapters.h"

#include "platform/win32/Win32Api.h"

namespace transport {
namespace win32 {
namespace {

// A wide system string in UTF-8.
std::string Narrow(const wchar_t* text) {
    if (text == nullptr || *text == L'\0') return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) return std::string();
    std::string result(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(size - 1));
    return result;
}

}  // namespace

bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters) {
    adapters->clear();
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    // The list may grow between the size query and the call.
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                        reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                        &size);
    }
    if (result == ERROR_NO_DATA) return true;
    if (result != NO_ERROR) return false;
    for (const IP_ADAPTER_ADDRESSES* item = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
         item != nullptr; item = item->Next) {
        NetworkAdapter adapter;
        adapter.name = Narrow(item->Description) + " " + Narrow(item->FriendlyName);
        adapter.type = item->IfType;
        adapter.up = item->OperStatus == IfOperStatusUp;
        adapters->push_back(adapter);
    }
    return true;
}

}  // namespace win32
}  // namespace transport
