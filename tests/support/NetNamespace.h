#ifndef TRANSPORT_TESTS_SUPPORT_NET_NAMESPACE_H
#define TRANSPORT_TESTS_SUPPORT_NET_NAMESPACE_H

#include <functional>
#include <string>
#include <vector>

#include "support/Subprocess.h"

namespace transport {
namespace test {

// A network namespace of its own for one test, made with `ip netns add` and
// deleted by the destructor (so also when the test fails). Its name carries
// the process id and a counter, so runs side by side never meet; namespaces
// left behind by a run that died are deleted when the next one starts.
class NetNamespace {
public:
    NetNamespace();
    ~NetNamespace();
    NetNamespace(const NetNamespace&) = delete;
    NetNamespace& operator=(const NetNamespace&) = delete;

    // False when the namespace could not be made; error() says why.
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }
    const std::string& name() const { return m_name; }

    // Runs `ip -n <name> args...`.
    CommandResult Ip(const std::vector<std::string>& args) const;

    // Runs fn on a thread of its own that has entered the namespace, and
    // waits for it. False (with *why) when the thread could not enter it.
    bool RunInside(const std::function<void()>& fn, std::string* why) const;

private:
    std::string m_name;
    bool m_ok = false;
    std::string m_error;
};

}  // namespace test
}  // namespace transport

#endif
