#include "common/TelnetCodec.h"

#include <cstring>

TelnetCodec::TelnetCodec(const std::vector<uint8_t>& localAccepted, const std::vector<uint8_t>& remoteAccepted,
                         size_t maxSubnegotiation)
    : maxSubnegotiation_(maxSubnegotiation) {
    for (uint8_t option : localAccepted) localAccepted_.set(option);
    for (uint8_t option : remoteAccepted) remoteAccepted_.set(option);
}

void TelnetCodec::Receive(const char* data, size_t n, Handler& handler) {
    const char* p = data;
    const char* const end = data + n;
    while (p < end) {
        const uint8_t c = static_cast<uint8_t>(*p);
        switch (state_) {
            case State::Data:
                p = deliverData(p, p, end, handler);
                break;
            case State::Iac:
                if (c == IAC) {
                    // The second IAC is the data byte: it starts the next run.
                    p = deliverData(p, p + 1, end, handler);
                    break;
                }
                ++p;
                if (c == SB) {
                    state_ = State::Sb;
                    sb_.clear();
                    sbHasOption_ = false;
                    sbOverflow_ = false;
                } else if (c == WILL || c == WONT || c == DO || c == DONT) {
                    verb_ = c;
                    state_ = State::Verb;
                } else {
                    state_ = State::Data;
                    handler.OnCommand(c);
                }
                break;
            case State::Verb:
                ++p;
                state_ = State::Data;
                negotiate(verb_, c, handler);
                break;
            case State::Sb: {
                const void* found = std::memchr(p, IAC, static_cast<size_t>(end - p));
                const char* stop = found != nullptr ? static_cast<const char*>(found) : end;
                appendSb(p, static_cast<size_t>(stop - p));
                if (found == nullptr) return;
                state_ = State::SbIac;
                p = stop + 1;
                break;
            }
            case State::SbIac:
                if (c == IAC) {
                    appendSb(p, 1);
                    state_ = State::Sb;
                    ++p;
                } else if (c == SE) {
                    state_ = State::Data;
                    ++p;
                    finishSb(handler);
                } else {
                    // Unfinished: dropped; this byte is read again after an IAC.
                    ++dropped_;
                    sb_.clear();
                    sbHasOption_ = false;
                    state_ = State::Iac;
                }
                break;
        }
    }
}

const char* TelnetCodec::deliverData(const char* run, const char* scan, const char* end, Handler& handler) {
    const void* found = scan < end ? std::memchr(scan, IAC, static_cast<size_t>(end - scan)) : nullptr;
    const char* stop = found != nullptr ? static_cast<const char*>(found) : end;
    state_ = found != nullptr ? State::Iac : State::Data;
    if (stop > run) handler.OnData(run, static_cast<size_t>(stop - run));
    return found != nullptr ? stop + 1 : end;
}

void TelnetCodec::appendSb(const char* data, size_t n) {
    if (n == 0) return;
    if (!sbHasOption_) {
        sbOption_ = static_cast<uint8_t>(*data);
        sbHasOption_ = true;
        ++data;
        --n;
    }
    if (sbOverflow_) return;
    const size_t room = maxSubnegotiation_ - sb_.size();
    if (n > room) {
        sbOverflow_ = true;
        sb_.clear();  // dropped at its end anyway
        return;
    }
    sb_.append(data, n);
}

void TelnetCodec::finishSb(Handler& handler) {
    if (!sbHasOption_ || sbOverflow_) {
        ++dropped_;
    } else {
        handler.OnSubnegotiation(sbOption_, sb_);
    }
    sb_.clear();
    sbHasOption_ = false;
    sbOverflow_ = false;
}

std::string TelnetCodec::TakeOutput() {
    std::string out;
    out.swap(output_);
    return out;
}

void TelnetCodec::send(uint8_t verb, uint8_t option) {
    const char message[3] = {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
    output_.append(message, 3);
}

void TelnetCodec::negotiate(uint8_t verb, uint8_t option, Handler& handler) {
    switch (verb) {
        case WILL: receivedYes(Side::Remote, option, handler); break;
        case WONT: receivedNo(Side::Remote, option, handler); break;
        case DO: receivedYes(Side::Local, option, handler); break;
        default: receivedNo(Side::Local, option, handler); break;  // DONT
    }
}

// What we send to enable or disable an option on each side.
namespace {
uint8_t yesVerb(TelnetCodec::Side side) { return side == TelnetCodec::Side::Local ? TelnetCodec::WILL : TelnetCodec::DO; }
uint8_t noVerb(TelnetCodec::Side side) { return side == TelnetCodec::Side::Local ? TelnetCodec::WONT : TelnetCodec::DONT; }
}  // namespace

// The peer sent WILL (remote side) or DO (local side).
void TelnetCodec::receivedYes(Side side, uint8_t option, Handler& handler) {
    Q& q = table(side)[option];
    switch (q.state) {
        case Q::No:
            if (accepted(side, option)) {
                q.state = Q::Yes;
                send(yesVerb(side), option);
                handler.OnOptionChange(side, option, true);
            } else {
                send(noVerb(side), option);
            }
            break;
        case Q::Yes:
            break;  // already enabled: answering again would start a loop
        case Q::WantNo:
            // Our disable answered by an enable: a peer outside RFC 1143.
            // Take it as final and send nothing more to it.
            if (q.opposite) {
                q.state = Q::Yes;
                q.opposite = false;
                handler.OnOptionChange(side, option, true);
            } else {
                q.state = Q::No;
            }
            break;
        case Q::WantYes:
            if (q.opposite) {
                // Granted, but a disable was asked for meanwhile.
                q.state = Q::WantNo;
                q.opposite = false;
                send(noVerb(side), option);
            } else {
                q.state = Q::Yes;
                handler.OnOptionChange(side, option, true);
            }
            break;
    }
}

// The peer sent WONT (remote side) or DONT (local side).
void TelnetCodec::receivedNo(Side side, uint8_t option, Handler& handler) {
    Q& q = table(side)[option];
    switch (q.state) {
        case Q::No:
            break;  // already disabled
        case Q::Yes:
            q.state = Q::No;
            send(noVerb(side), option);
            handler.OnOptionChange(side, option, false);
            break;
        case Q::WantNo:
            if (q.opposite) {
                // Disabled as asked; the queued enable goes out now.
                q.state = Q::WantYes;
                q.opposite = false;
                send(yesVerb(side), option);
            } else {
                q.state = Q::No;
            }
            break;
        case Q::WantYes:
            // Refused; a queued disable has nothing left to do.
            q.state = Q::No;
            q.opposite = false;
            break;
    }
}

void TelnetCodec::RequestLocal(uint8_t option, bool enable) { request(Side::Local, option, enable); }

void TelnetCodec::RequestRemote(uint8_t option, bool enable) { request(Side::Remote, option, enable); }

void TelnetCodec::request(Side side, uint8_t option, bool enable) {
    Q& q = table(side)[option];
    if (enable && !accepted(side, option)) return;
    switch (q.state) {
        case Q::No:
            if (enable) {
                q.state = Q::WantYes;
                send(yesVerb(side), option);
            }
            break;
        case Q::Yes:
            if (!enable) {
                q.state = Q::WantNo;
                send(noVerb(side), option);
            }
            break;
        case Q::WantNo:
            q.opposite = enable;  // queue the enable, or drop a queued one
            break;
        case Q::WantYes:
            q.opposite = !enable;
            break;
    }
}

void TelnetCodec::AppendData(std::string& out, const char* data, size_t n) {
    out.reserve(out.size() + n + n / 64);
    const char* p = data;
    const char* const end = data + n;
    while (p < end) {
        const void* found = std::memchr(p, IAC, static_cast<size_t>(end - p));
        if (found == nullptr) {
            out.append(p, static_cast<size_t>(end - p));
            return;
        }
        const char* iac = static_cast<const char*>(found);
        out.append(p, static_cast<size_t>(iac - p) + 1);
        out += static_cast<char>(IAC);
        p = iac + 1;
    }
}

std::string TelnetCodec::EncodeData(const char* data, size_t n) {
    std::string out;
    AppendData(out, data, n);
    return out;
}

std::string TelnetCodec::EncodeSubnegotiation(uint8_t option, const std::string& payload) {
    std::string out;
    out.reserve(payload.size() + 7);
    out += static_cast<char>(IAC);
    out += static_cast<char>(SB);
    const char opt = static_cast<char>(option);
    AppendData(out, &opt, 1);
    AppendData(out, payload.data(), payload.size());
    out += static_cast<char>(IAC);
    out += static_cast<char>(SE);
    return out;
}

std::string TelnetCodec::EncodeCommand(uint8_t command) {
    return std::string{static_cast<char>(IAC), static_cast<char>(command)};
}

std::string TelnetCodec::EncodeCommand(uint8_t verb, uint8_t option) {
    return std::string{static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}
