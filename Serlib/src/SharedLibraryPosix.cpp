#include "SharedLibrary.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <vector>

#include "Serlib/IOError.h"

namespace Serlib {

namespace {

std::string lastDlError(const std::string& fallback) {
    const char* text = ::dlerror();
    return text != nullptr ? std::string(text) : fallback;
}

// The directories the program's own library search would try: its run
// path ($ORIGIN expanded), LD_LIBRARY_PATH, the system directories.
std::vector<std::string> programSearchPath() {
    std::vector<std::string> dirs;
    void* self = ::dlopen(nullptr, RTLD_NOW);
    if (self == nullptr) {
        return dirs;
    }
    Dl_serinfo size{};
    if (::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size > 0) {
        // Storage aligned for the structure; dlinfo fills it in place.
        std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
        auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (::dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned int i = 0; i < info->dls_cnt; ++i) {
                dirs.emplace_back(info->dls_serpath[i].dls_name);
            }
        }
    }
    static_cast<void>(::dlclose(self));
    return dirs;
}

}  // namespace

// The loader searches the run path of the object that calls dlopen; when a
// tool such as a sanitizer wraps dlopen, that object is the tool, not the
// program, so the program's own search path is walked here as well.
SharedLibrary SharedLibrary::openByName(const std::string& name) {
    const std::string file = "lib" + name + ".so";
    try {
        return openFile(file);
    } catch (const DriverLoadError& notFound) {
        for (const std::string& dir : programSearchPath()) {
            const std::string path = dir + "/" + file;
            if (::access(path.c_str(), F_OK) != 0) {
                continue;
            }
            return openFile(path);
        }
        throw;
    }
}

SharedLibrary SharedLibrary::openFile(const std::string& file) {
    void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw DriverLoadError(lastDlError("cannot load " + file));
    }
    return SharedLibrary(handle);
}

void* SharedLibrary::symbol(const char* name) const {
    return ::dlsym(handle_, name);
}

void SharedLibrary::close() {
    static_cast<void>(::dlclose(handle_));
}

}  // namespace Serlib
