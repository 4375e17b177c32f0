#include "tests/support/RecordingStatusView.h"

LocalCAM::ViewFactory recordingViewFactory(const std::shared_ptr<ViewLog>& log) {
    return [log](int, LocalCAM&) -> std::unique_ptr<StatusView> { return std::make_unique<RecordingStatusView>(log); };
}

LocalCAM::Dependencies recordingDependencies(const std::shared_ptr<ViewLog>& log, SerOutPort::PortFactory openPort) {
    LocalCAM::Dependencies dependencies;
    dependencies.makeView = recordingViewFactory(log);
    dependencies.lookup = testHost;
    dependencies.openPort = std::move(openPort);
    return dependencies;
}

std::optional<InetAddress> testHost(const std::string& name) {
    if (name == "nowhere") return std::nullopt;
    return InetAddress{name.empty() ? "testhost" : name, "192.0.2.7"};
}
