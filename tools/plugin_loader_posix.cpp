// The plug-in loader on POSIX systems: dlopen() and dlsym() by name. The host
// hooks belong to the system-services library that the plug-in itself loads,
// so they are reached through that already-loaded library, never loaded anew.
#include <dlfcn.h>

#include <system_error>

#include "httpmedia/httpmedia_host.h"
#include "plugin_loader.h"

namespace httpmedia::tools {

namespace {

constexpr char kSystemServicesLibrary[] = "libhttpmedia_sys.so";

// The hooks take plain functions; these hand each call to the host's events.
void OnCursorChanged(void* context, int busy) {
  static_cast<HostEvents*>(context)->BusyChanged(busy != 0);
}

void* OnOwnerWindow(void*) { return nullptr; }

void OnTimeout(void* context, void*) { static_cast<HostEvents*>(context)->ReadTimedOut(); }

void OnMessageBox(void* context, void*, const char* text, const char* caption, unsigned) {
  static_cast<HostEvents*>(context)->Message(text != nullptr ? text : "",
                                             caption != nullptr ? caption : "");
}

class PosixPlugin final : public LoadedPlugin {
 public:
  explicit PosixPlugin(void* library) : library_(library) {}

  ~PosixPlugin() override {
    if (hooks_installed_) InstallHooks(nullptr);
    dlclose(library_);
  }

  PosixPlugin(const PosixPlugin&) = delete;
  PosixPlugin& operator=(const PosixPlugin&) = delete;

  const PluginFunctions& Functions() const override { return functions_; }
  PluginFunctions& MutableFunctions() { return functions_; }

  bool LastOutcome(CallOutcome* outcome) const override {
    void* services = dlopen(kSystemServicesLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (services == nullptr) return false;
    auto last =
        reinterpret_cast<int (*)(HttpMediaOutcome*)>(dlsym(services, "HttpMediaLastOutcome"));
    HttpMediaOutcome answer{};
    if (last != nullptr) last(&answer);
    dlclose(services);
    if (last == nullptr) return false;
    outcome->kind = answer.kind;
    outcome->http_status = answer.http_status;
    answer.text[sizeof answer.text - 1] = '\0';
    outcome->text = answer.text;
    return true;
  }

  bool InstallHooks(HostEvents* events) override {
    // RTLD_NOLOAD: only the copy the plug-in brought in holds its hooks.
    void* services = dlopen(kSystemServicesLibrary, RTLD_NOW | RTLD_NOLOAD);
    if (services == nullptr) return false;
    auto set = reinterpret_cast<void (*)(const HttpMediaHostHooks*)>(
        dlsym(services, "HttpMediaSetHostHooks"));
    if (set == nullptr) {
      dlclose(services);
      return false;
    }
    if (events == nullptr) {
      set(nullptr);
    } else {
      const HttpMediaHostHooks hooks{events, OnCursorChanged, OnOwnerWindow, OnTimeout,
                                     OnMessageBox};
      set(&hooks);
    }
    hooks_installed_ = events != nullptr;
    dlclose(services);  // drops the reference NOLOAD took; the plug-in keeps its own
    return true;
  }

 private:
  void* library_;
  PluginFunctions functions_;
  bool hooks_installed_ = false;
};

template <typename Function>
bool Find(void* library, const char* name, Function* function, std::string* error) {
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) {
    *error = std::string("the plug-in has no ") + name;
    return false;
  }
  *function = reinterpret_cast<Function>(symbol);
  return true;
}

std::filesystem::path ExecutableDirectory() {
  std::error_code ignored;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
  return self.empty() ? std::filesystem::path() : self.parent_path();
}

}  // namespace

std::unique_ptr<LoadedPlugin> LoadPlugin(const std::filesystem::path& path, std::string* error) {
  // RTLD_LOCAL: the plug-in's symbols stay its own, as in a player that may
  // load several plug-ins exporting the same four names.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    *error = why != nullptr ? why : "cannot load " + path.string();
    return nullptr;
  }
  auto plugin = std::make_unique<PosixPlugin>(library);
  PluginFunctions& functions = plugin->MutableFunctions();
  if (!Find(library, "InputMediaOpen", &functions.open, error) ||
      !Find(library, "InputMediaRead", &functions.read, error) ||
      !Find(library, "InputMediaSeek", &functions.seek, error) ||
      !Find(library, "InputMediaClose", &functions.close, error)) {
    return nullptr;
  }
  return plugin;
}

std::vector<std::filesystem::path> DefaultPluginPaths() {
  const std::filesystem::path directory = ExecutableDirectory();
  if (directory.empty()) return {};
  // Both relative paths come from the build: bin/ to lib/httpmedia/ as
  // installed, and the tool's build directory to the plug-in's.
  return {(directory / HTTPMEDIA_INSTALLED_PLUGIN_DIR / "libhttpmedia.so").lexically_normal(),
          (directory / HTTPMEDIA_BUILT_PLUGIN_DIR / "libhttpmedia.so").lexically_normal()};
}

}  // namespace httpmedia::tools
