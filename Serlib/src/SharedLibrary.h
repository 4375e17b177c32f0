#pragma once
// A library loaded at run time: dlopen on POSIX, LoadLibrary on Windows.
// Loaded libraries stay loaded for the life of the process. Internal to the
// serial port library.
#include <string>

namespace Serlib {

class SharedLibrary {
public:
    // The library file for a library name as the platform maps it
    // ("lib<name>.so", "<name>.dll"), found where the program's own loader
    // would look; DriverLoadError with the loader's text when it is not.
    static SharedLibrary openByName(const std::string& name);
    // A path, or a file name searched like any library name.
    static SharedLibrary openFile(const std::string& file);

    // The entry point of that name, or null.
    void* symbol(const char* name) const;
    // Lets go of a library that turned out not to be wanted.
    void close();

private:
    explicit SharedLibrary(void* handle) : handle_(handle) {}
    void* handle_;
};

}  // namespace Serlib
