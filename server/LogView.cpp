#include "server/LogView.h"

#include "server/LogText.h"
#include "server/SystemdNotify.h"

void LogView::ShowStatus(const std::string& a) {
    // A client's flood is counted before the server's own next line.
    clientLines_->Flush();
    log_.Line(a);
    NotifySystemd("STATUS=" + a);
}

void LogView::ShowClientStatus(const std::string& a, const std::string& peer) { ShowStatus(a + " (" + peer + ")"); }

void LogView::ShowClientCommand(const std::string& command, const std::string& peer) {
    clientLines_->Line("Client Command: " + LoggableText(command) + " (" + peer + ")");
}

void LogView::ShowSerial(const std::string& a) { log_.Line(a); }

void LogView::ShowIP(const std::optional<InetAddress>& a) { log_.Line("This host: " + InetAddressText(a)); }
