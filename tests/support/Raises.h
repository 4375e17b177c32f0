#pragma once
// The tests that compare failure texts: what f raises, as text.
#include <string>

// The text of the Error that f raises, or "" when it raises none.
template <typename Error, typename F>
std::string raisedText(F&& f) {
    try {
        f();
    } catch (const Error& e) {
        return e.what();
    }
    return "";
}
