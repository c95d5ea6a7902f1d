#include "platform/linux/loaded_libraries.h"

#include <dlfcn.h>

namespace {

// Opens `soname` and takes each of `names` into `functions`; the reason when any is missing.
bool Load(const char* soname, const char* const* names, void** functions, std::size_t count,
          std::string* why) {
    void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* error = dlerror();
        *why = error ? error : std::string(soname) + " cannot be loaded";
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        functions[i] = dlsym(library, names[i]);
        if (!functions[i]) {
            *why = std::string(soname) + " has no " + names[i];
            return false;  // it stays open: unloading buys nothing
        }
    }
    return true;
}

// A library as its first use loaded it, or why it could not be.
template <typename Library>
struct Loaded {
    Library library{};
    bool ok = false;
    std::string why;
};

template <typename Library>
const Library* Give(const Loaded<Library>& loaded, std::string* why) {
    if (!loaded.ok && why) *why = loaded.why;
    return loaded.ok ? &loaded.library : nullptr;
}

// dlsym gives plain pointers; the function pointer types are the headers' own.
template <typename Function>
Function As(void* pointer) {
    return reinterpret_cast<Function>(pointer);
}

}  // namespace

const JournalLibrary* LoadJournalLibrary(std::string* why) {
    static const Loaded<JournalLibrary> loaded = [] {
        Loaded<JournalLibrary> result;
        const char* names[] = {"sd_journal_sendv", "sd_journal_stream_fd"};
        void* functions[2] = {};
        result.ok = Load("libsystemd.so.0", names, functions, 2, &result.why);
        if (result.ok) {
            result.library.sendv = As<decltype(result.library.sendv)>(functions[0]);
            result.library.streamFd = As<decltype(result.library.streamFd)>(functions[1]);
        }
        return result;
    }();
    return Give(loaded, why);
}

const UnwinderLibrary* LoadUnwinderLibrary(std::string* why) {
    static const Loaded<UnwinderLibrary> loaded = [] {
        Loaded<UnwinderLibrary> result;
#define QVL_UNWINDER_NAME(name) #name,
        const char* names[] = {QVL_UNWINDER_FUNCTIONS(QVL_UNWINDER_NAME)};
#undef QVL_UNWINDER_NAME
        constexpr std::size_t count = sizeof names / sizeof names[0];
        void* functions[count] = {};
        result.ok = Load("libdw.so.1", names, functions, count, &result.why);
        if (result.ok) {
            std::size_t i = 0;
#define QVL_UNWINDER_TAKE(name) result.library.name = As<decltype(&::name)>(functions[i++]);
            QVL_UNWINDER_FUNCTIONS(QVL_UNWINDER_TAKE)
#undef QVL_UNWINDER_TAKE
            result.library.callbacks = {result.library.dwfl_linux_proc_find_elf,
                                        result.library.dwfl_standard_find_debuginfo, nullptr,
                                        nullptr};
        }
        return result;
    }();
    return Give(loaded, why);
}
