// Loading the plug-in as a player does: the shared library opened at run
// time and its four functions looked up, by name on POSIX systems and by
// ordinal on Windows. Each platform implements this header in a file of its
// own (plugin_loader_posix.cpp, plugin_loader_windows.cpp); nothing else in
// the tools calls the platform's loader.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "httpmedia/httpmedia.h"

namespace httpmedia::tools {

// The four exported functions, with the plug-in's own calling convention.
struct PluginFunctions {
  decltype(&InputMediaOpen) open = nullptr;
  decltype(&InputMediaRead) read = nullptr;
  decltype(&InputMediaSeek) seek = nullptr;
  decltype(&InputMediaClose) close = nullptr;
};

// What the plug-in tells its host, where the platform lets a host listen.
// Every call comes on the thread of the host's own call into the plug-in.
class HostEvents {
 public:
  virtual ~HostEvents() = default;
  // The plug-in shows (busy) or takes back its busy cursor.
  virtual void BusyChanged(bool busy) = 0;
  // A read waited longer than its limit and gave up.
  virtual void ReadTimedOut() = 0;
  // A modal message the plug-in wants shown; UTF-8.
  virtual void Message(std::string_view text, std::string_view caption) = 0;
};

// Why the plug-in's last call ended as it did (HttpMediaLastOutcome).
struct CallOutcome {
  int kind = 0;  // an HttpMediaOutcomeKind
  int http_status = 0;
  std::string text;  // UTF-8, one line, never a credential
};

class LoadedPlugin {
 public:
  virtual ~LoadedPlugin() = default;
  virtual const PluginFunctions& Functions() const = 0;
  // Asks the plug-in why its last call ended as it did; false where the
  // platform offers no such question.
  virtual bool LastOutcome(CallOutcome* outcome) const = 0;
  // Routes the plug-in's host calls to events (null routes them back to the
  // plug-in's defaults). Returns false where the platform offers no hooks;
  // events must outlive the plug-in or be removed first.
  virtual bool InstallHooks(HostEvents* events) = 0;
};

// Opens the library at path and finds the four functions. On failure returns
// null and says why in *error.
std::unique_ptr<LoadedPlugin> LoadPlugin(const std::filesystem::path& path, std::string* error);

// Where the plug-in is looked for when the user names none, most likely
// first: beside the running executable as installed, then as built.
std::vector<std::filesystem::path> DefaultPluginPaths();

}  // namespace httpmedia::tools
