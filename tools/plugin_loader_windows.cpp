// The plug-in loader on Windows: LoadLibraryW() and the four functions found
// by ordinal, as a player finds them. The plug-in's system services are the
// platform's own there, so a host has no hooks to install.
#include <windows.h>

#include <string>

#include "plugin_loader.h"

namespace httpmedia::tools {

namespace {

// The ordinals the module-definition file gives the four functions.
constexpr WORD kReadOrdinal = 1;
constexpr WORD kSeekOrdinal = 2;
constexpr WORD kOpenOrdinal = 3;
constexpr WORD kCloseOrdinal = 4;

constexpr wchar_t kPluginFileName[] = L"httpmedia.dll";

std::string SystemErrorText(DWORD error) {
  char* text = nullptr;
  const DWORD length = ::FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(error);
  if (length != 0 && text != nullptr) {
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
      message.pop_back();
    }
    result = message + " (" + result + ")";
  }
  if (text != nullptr) ::LocalFree(text);
  return result;
}

class WindowsPlugin final : public LoadedPlugin {
 public:
  explicit WindowsPlugin(HMODULE module) : module_(module) {}
  ~WindowsPlugin() override { ::FreeLibrary(module_); }

  WindowsPlugin(const WindowsPlugin&) = delete;
  WindowsPlugin& operator=(const WindowsPlugin&) = delete;

  const PluginFunctions& Functions() const override { return functions_; }
  PluginFunctions& MutableFunctions() { return functions_; }

  // The cursor, the owner window, the time-out and the message box are the
  // desktop's own calls, made by the plug-in directly: nothing to route.
  bool InstallHooks(HostEvents*) override { return false; }
  // The DLL exports only the player's functions: nothing to ask.
  bool LastOutcome(CallOutcome*) const override { return false; }

 private:
  HMODULE module_;
  PluginFunctions functions_;
};

template <typename Function>
bool Find(HMODULE module, WORD ordinal, const char* name, Function* function, std::string* error) {
  const FARPROC address = ::GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
  if (address == nullptr) {
    *error = "the plug-in has no ordinal " + std::to_string(ordinal) + " (" + name + ")";
    return false;
  }
  // FARPROC is a function pointer of another type; the ordinal says which
  // function it really is.
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
  return true;
}

std::filesystem::path ExecutableDirectory() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      return std::filesystem::path(buffer).parent_path();
    }
    buffer.resize(buffer.size() * 2);  // truncated: try again with more room
  }
}

}  // namespace

std::unique_ptr<LoadedPlugin> LoadPlugin(const std::filesystem::path& path, std::string* error) {
  const HMODULE module = ::LoadLibraryW(path.c_str());
  if (module == nullptr) {
    const std::u8string name = path.u8string();
    *error = "cannot load " + std::string(name.begin(), name.end()) + ": " +
             SystemErrorText(::GetLastError());
    return nullptr;
  }
  auto plugin = std::make_unique<WindowsPlugin>(module);
  PluginFunctions& functions = plugin->MutableFunctions();
  if (!Find(module, kOpenOrdinal, "InputMediaOpen", &functions.open, error) ||
      !Find(module, kReadOrdinal, "InputMediaRead", &functions.read, error) ||
      !Find(module, kSeekOrdinal, "InputMediaSeek", &functions.seek, error) ||
      !Find(module, kCloseOrdinal, "InputMediaClose", &functions.close, error)) {
    return nullptr;
  }
  return plugin;
}

std::vector<std::filesystem::path> DefaultPluginPaths() {
  const std::filesystem::path directory = ExecutableDirectory();
  if (directory.empty()) return {};
  // Installed, the DLL sits beside the executable; as built, the build says
  // where the plug-in's directory lies relative to the tool's.
  std::vector<std::filesystem::path> paths{directory / kPluginFileName};
#if defined(HTTPMEDIA_BUILT_PLUGIN_DIR)
  paths.push_back((directory / HTTPMEDIA_BUILT_PLUGIN_DIR / kPluginFileName).lexically_normal());
#endif
  return paths;
}

}  // namespace httpmedia::tools
