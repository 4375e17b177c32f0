#include "common/AddrInfo.h"

std::string lookupErrorText(int code) { return ::gai_strerror(code); }

bool listInterfaces(IfAddrsList& list) {
    ifaddrs* found = nullptr;
    const bool ok = ::getifaddrs(&found) == 0;
    list.reset(ok ? found : nullptr);
    return ok;
}
