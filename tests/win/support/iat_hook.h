// Replaces entries of a loaded module's import table, so tests can make the
// platform fail, or count its calls, exactly where the module under test
// calls it, without any hook in production code.
#pragma once
#include <windows.h>

namespace testsupport {

// Points module's import of dll!function at replacement; returns the previous
// address, or nullptr when the module does not import that function.
void *PatchImport(HMODULE module, const char *dll, const char *function, void *replacement);

// Patches for its own lifetime.
class ImportHook {
public:
    ImportHook(HMODULE module, const char *dll, const char *function, void *replacement)
        : module_(module), dll_(dll), function_(function),
          original_(PatchImport(module, dll, function, replacement)) {}
    ~ImportHook() {
        if (original_) PatchImport(module_, dll_, function_, original_);
    }
    ImportHook(const ImportHook &) = delete;
    ImportHook &operator=(const ImportHook &) = delete;

    bool installed() const { return original_ != nullptr; }
    template <typename F>
    F original() const { return reinterpret_cast<F>(original_); }

private:
    HMODULE module_;
    const char *dll_;
    const char *function_;
    void *original_;
};

// Handles this process holds now, as the kernel counts them.
long CountProcessHandles();

}  // namespace testsupport
