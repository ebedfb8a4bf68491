// Running the programs the tests start (httpmedia-cat, the example, cmake, a
// compiler, cpack, dpkg-deb), each with its output captured, and scratch
// directories.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace httpmedia::testing {

inline std::string ReadWholeFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A directory of the test's own, removed with it.
class ScratchDir {
 public:
  ScratchDir() {
    char pattern[] = "/tmp/httpmedia-test-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made != nullptr) path_ = made;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

struct ProcessRun {
  int code = -1;  // the exit status, or -1 when the program did not exit
  std::string out;
  std::string err;
  // For assertion messages.
  std::string Describe() const { return "exit " + std::to_string(code) + "\n" + out + err; }
};

// Runs argv[0] (looked up in PATH) with the environment plus `environment`
// ("NAME=value" entries, which replace variables of the same name), standard
// input from `input`, and the outputs captured.
inline ProcessRun RunProcess(const std::vector<std::string>& arguments,
                             const std::vector<std::string>& environment = {},
                             const std::string& input = "/dev/null") {
  ScratchDir scratch;
  const std::string out_path = scratch.path() / "stdout";
  const std::string err_path = scratch.path() / "stderr";
  std::vector<std::string> all = arguments;
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> variables = environment;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    const std::string entry = *variable;
    const std::string name = entry.substr(0, entry.find('=') + 1);
    bool replaced = false;
    for (const std::string& added : environment) replaced |= added.rfind(name, 0) == 0;
    if (!replaced) variables.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT, 0600);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ProcessRun run;
  if (spawned != 0) {
    run.err = "cannot start " + arguments[0];
    return run;
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFEXITED(status)) run.code = WEXITSTATUS(status);
  run.out = ReadWholeFile(out_path);
  run.err = ReadWholeFile(err_path);
  return run;
}

}  // namespace httpmedia::testing
