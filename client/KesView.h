#pragma once
// What the client's controller and receiver need of a window: the Show
// operations and the texts of the host and port fields. The FLTK window
// implements it; tests use a recording one. No FLTK here.
#include <functional>
#include <memory>
#include <string>

class KesCAM;

class KesView {
public:
    virtual ~KesView() = default;

    // Any thread. Replaces the status field's text; texts from the event
    // thread and the receiver reach the field in the order they were issued.
    virtual void ShowStatus(const std::string& a) = 0;
    // Any thread. Replaces the receive field's text, in order with ShowStatus.
    virtual void RXShow(const std::string& a) = 0;

    // Event thread: the current texts of the host field and the port field.
    virtual std::string HostText() const = 0;
    virtual std::string PortText() const = 0;
};

// Builds the window for a controller (on the event thread), showing sport in
// its port field.
using KesViewFactory = std::function<std::shared_ptr<KesView>(int sport, KesCAM& controller)>;
