#include "loaded_module.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kestar::tools {
namespace {

#if defined(_WIN32)
// The system's own message for a load error, without its closing line break, with
// the file for its insert ("Bad EXE format for %1.").
std::string SystemMessage(DWORD error, const std::string& path) {
    char text[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    const std::size_t insert = message.find("%1");
    if (insert != std::string::npos) message.replace(insert, 2, path);
    return message;
}

std::string LoadHint(DWORD error) {
    if (error == ERROR_BAD_EXE_FORMAT) {
        return "the file is not a 32-bit Windows module (a 64-bit build, or no module at all): "
               "the host and kestar-host load only the 32-bit KESTAR.dll";
    }
    if (error == ERROR_MOD_NOT_FOUND) {
        return "check the path; when the file is there, a library it needs is missing beside it";
    }
    return std::string();
}
#else
std::string LoadHint(const std::string& why) {
    if (why.find("wrong ELF class: ELFCLASS64") != std::string::npos) {
        return "the file is a 64-bit library: the host and kestar-host load only the 32-bit module "
               "(libkestar.so of the Linux i386 build)";
    }
    if (why.find("wrong ELF class: ELFCLASS32") != std::string::npos) {
        return "the file is a 32-bit library and this kestar-host is a 64-bit checking build: "
               "run the kestar-host of the same build as the module";
    }
    if (why.find("invalid ELF header") != std::string::npos || why.find("file too short") != std::string::npos) {
        return "the file is not a shared library: give the path of the built module";
    }
    return std::string();
}
#endif

}  // namespace

std::string ModulePathToLoad(const std::string& path) {
    if (path.empty()) return path;
#if defined(_WIN32)
    // LoadLibrary looks for a bare name along the system's search order (this
    // program's folder first); a relative path means the current folder here.
    char full[MAX_PATH * 4] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return length > 0 && length < sizeof full ? std::string(full, length) : path;
#else
    // dlopen looks for a name without a slash along the library path.
    return path.find('/') == std::string::npos ? "./" + path : path;
#endif
}

LoadedModule::LoadedModule(const std::string& given) {
    const std::string path = ModulePathToLoad(given);
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    handle_ = module;
    if (module == nullptr) {
        const DWORD error = GetLastError();
        const std::string message = SystemMessage(error, path);
        error_ = "cannot load " + path + (message.empty() ? "" : ": " + message) + " (error " +
                 std::to_string(error) + ")";
        hint_ = LoadHint(error);
        return;
    }
    // Through void*: the entry points' types are not FARPROC's, which -Wcast-function-type reports.
    getCommData = reinterpret_cast<GetCommDataFn>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(10))));
    initializeCommunications = reinterpret_cast<InitializeFn>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(12))));
    terminateCommunications = reinterpret_cast<TerminateFn>(reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(14))));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = dlerror();
        error_ = "cannot load " + path + ": " + (why != nullptr ? why : "unknown error");
        hint_ = LoadHint(error_);
        return;
    }
    getCommData = reinterpret_cast<GetCommDataFn>(dlsym(handle_, "GetCommData"));
    initializeCommunications = reinterpret_cast<InitializeFn>(dlsym(handle_, "InitializeCommunications"));
    terminateCommunications = reinterpret_cast<TerminateFn>(dlsym(handle_, "TerminateCommunications"));
#endif
    if (!complete()) {
        error_ = path + " lacks one of the entry points GetCommData, InitializeCommunications, TerminateCommunications";
        hint_ = "the file loads but is not a KESTAR module: give the path of the built module";
    }
}

LoadedModule::~LoadedModule() {
    if (handle_ == nullptr) return;
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(handle_));
#else
    dlclose(handle_);
#endif
}

void* LoadedModule::Symbol(const char* name) const {
    if (handle_ == nullptr) return nullptr;
#if defined(_WIN32)
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
    return dlsym(handle_, name);
#endif
}

std::string ProgramDirectory() {
    char path[4096] = {};
#if defined(_WIN32)
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
    std::string full(path, length);
#else
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string full(path, length > 0 ? static_cast<std::size_t>(length) : 0);
#endif
    std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : full.substr(0, slash);
}

std::string DefaultModulePath() {
#if defined(_WIN32)
    return ProgramDirectory() + "\\" + ModuleFileName();
#else
    // An unpacked Linux bundle keeps the tools in bin/ and the library in lib/.
    const std::string beside = ProgramDirectory() + "/" + ModuleFileName();
    const std::string bundled = ProgramDirectory() + "/../lib/" + ModuleFileName();
    return access(beside.c_str(), F_OK) != 0 && access(bundled.c_str(), F_OK) == 0 ? bundled : beside;
#endif
}

const char* ModuleFileName() {
#if defined(_WIN32)
    return "KESTAR.dll";
#else
    return "libkestar.so";
#endif
}

}  // namespace kestar::tools
