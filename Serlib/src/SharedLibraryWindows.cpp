#include "SharedLibrary.h"

#include <windows.h>

#include <cstring>

#include "Serlib/IOError.h"

namespace Serlib {

namespace {

// The system's own text for an error code, without its line end.
std::string systemMessage(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
    ::LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

}  // namespace

// Windows finds "<name>.dll" beside the program, in the system folders and
// on PATH. A library the program imports at load time is already in the
// process under that name (file names ignore case), and is the one found.
SharedLibrary SharedLibrary::openByName(const std::string& name) {
    return openFile(name + ".dll");
}

SharedLibrary SharedLibrary::openFile(const std::string& file) {
    HMODULE module = ::LoadLibraryA(file.c_str());
    if (module == nullptr) {
        throw DriverLoadError(file + ": " + systemMessage(::GetLastError()));
    }
    return SharedLibrary(reinterpret_cast<void*>(module));
}

void* SharedLibrary::symbol(const char* name) const {
    const FARPROC entry = ::GetProcAddress(static_cast<HMODULE>(handle_), name);
    void* address = nullptr;
    static_assert(sizeof entry == sizeof address, "function and object pointers differ");
    std::memcpy(&address, &entry, sizeof address);
    return address;
}

void SharedLibrary::close() {
    static_cast<void>(::FreeLibrary(static_cast<HMODULE>(handle_)));
}

}  // namespace Serlib
