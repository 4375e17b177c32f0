#include "server/LogView.h"

#include "server/SystemdNotify.h"

void LogView::ShowStatus(const std::string& a) {
    log_.Line(a);
    NotifySystemd("STATUS=" + a);
}

void LogView::ShowClientStatus(const std::string& a, const std::string& peer) { ShowStatus(a + " (" + peer + ")"); }

void LogView::ShowSerial(const std::string& a) { log_.Line(a); }

void LogView::ShowIP(const std::optional<InetAddress>& a) { log_.Line("This host: " + InetAddressText(a)); }
