#pragma once
// What a terminal device tells about its users.
#include <optional>
#include <string>

// Whether the terminal at path is held for exclusive use (TIOCEXCL): a
// program that ended without closing its port leaves it so wherever another
// process keeps the device open, and every later opener but root is refused.
// Read through TIOCGEXCL, since root itself is not turned away. Nothing when
// that cannot be told.
std::optional<bool> exclusiveUse(const std::string& path);
