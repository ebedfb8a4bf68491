// httpmedia as its consumers get it. `cmake --install` of this build tree into
// a scratch prefix, then a host project outside the tree built against it,
// once through the CMake package and once through pkg-config, and run against
// the loopback test server. And the Debian package dpkg-buildpackage makes
// from debian/, checked by lintian and unpacked into a scratch directory:
// nothing is installed on the machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "body.h"
#include "process.h"
#include "test_server.h"

namespace {

namespace fs = std::filesystem;
using httpmedia::testing::FillBody;
using httpmedia::testing::ProcessRun;
using httpmedia::testing::RunProcess;
using httpmedia::testing::ScratchDir;
using httpmedia::testing::TestServer;

constexpr std::uint64_t kBodySize = 1'000'000;
const std::string kVersion = HTTPMEDIA_PROJECT_VERSION;

// What the host must print for the test server's body of kBodySize bytes.
std::string ExpectedRead() {
  std::vector<std::uint8_t> body(kBodySize);
  FillBody(0, body.data(), body.size());
  std::uint64_t hash = 14695981039346656037ull;
  for (const std::uint8_t byte : body) hash = (hash ^ byte) * 1099511628211ull;
  char line[80];
  std::snprintf(line, sizeof line, "read %llu bytes, fnv1a64 %016llx\n",
                static_cast<unsigned long long>(kBodySize), static_cast<unsigned long long>(hash));
  return line;
}

// The value after `key ` on the line starting with it in `text`.
std::string LineValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + " ", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

// An installed httpmedia-cat, given no --plugin, streams the test server's
// body through the plug-in it finds from its own place.
void ExpectCatStreams(const fs::path& cat, TestServer& server) {
  ScratchDir scratch;
  const fs::path out = scratch.path() / "body";
  const ProcessRun run =
      RunProcess({cat.string(), "-q", "-o", out.string(), server.Url("/a?size=1000000")});
  ASSERT_EQ(run.code, 0) << run.Describe();
  const std::string body = httpmedia::testing::ReadWholeFile(out);
  std::vector<std::uint8_t> expected(kBodySize);
  FillBody(0, expected.data(), expected.size());
  EXPECT_TRUE(body.size() == expected.size() &&
              std::equal(body.begin(), body.end(), expected.begin(),
                         [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }))
      << body.size() << " bytes";
}

#ifdef HTTPMEDIA_BUILDS_EXAMPLE
// The libavformat example as installed builds by the command in its header,
// with the installed tree's pkg-config file, and runs: a bare command line is
// its usage error.
void ExpectExampleBuilds(const fs::path& example, const fs::path& pkgconfig_dir) {
  const std::string source = httpmedia::testing::ReadWholeFile(example);
  std::string command;
  std::istringstream lines(source);
  for (std::string line; std::getline(lines, line);) {
    if (command.empty() && line.rfind(" *   cc ", 0) != 0) continue;
    command += line.substr(line.find_first_not_of(" *")) + "\n";
    if (!line.ends_with("\\")) break;
  }
  ASSERT_FALSE(command.empty()) << "no build line in " << example;
  const fs::path directory = example.parent_path();
  ScratchDir scratch;
  const ProcessRun build =
      RunProcess({"/bin/sh", "-c", "set -e; cd \"$1\"; " + command + "mv httpmedia-demux \"$2\"",
                  "sh", directory.string(), scratch.path().string()},
                 {"PKG_CONFIG_PATH=" + pkgconfig_dir.string()});
  ASSERT_EQ(build.code, 0) << command << build.Describe();
  const ProcessRun usage = RunProcess({(scratch.path() / "httpmedia-demux").string()});
  EXPECT_EQ(usage.code, 64) << usage.Describe();
}
#endif

class InstalledTree : public ::testing::Test {
 protected:
  void SetUp() override {
    const ProcessRun install = RunProcess(
        {HTTPMEDIA_CMAKE, "--install", HTTPMEDIA_BUILD_DIR, "--prefix", prefix_.string()});
    ASSERT_EQ(install.code, 0) << install.Describe();
  }

  // Runs a host built against the tree and checks what it got through the
  // plug-in it was told about.
  void RunHost(const fs::path& host) {
    const ProcessRun run = RunProcess({host.string(), server_.Url("/a?size=1000000")});
    ASSERT_EQ(run.code, 0) << run.Describe();
    EXPECT_EQ(LineValue(run.out, "header version"), kVersion);
    EXPECT_EQ(LineValue(run.out, "package version"), kVersion);
    EXPECT_EQ(fs::canonical(LineValue(run.out, "plugin")),
              fs::canonical(prefix_ / HTTPMEDIA_INSTALL_LIBDIR / "httpmedia/libhttpmedia.so"));
    EXPECT_EQ(LineValue(run.out, "length"), std::to_string(kBodySize));
    EXPECT_EQ("read " + LineValue(run.out, "read") + "\n", ExpectedRead());
  }

  ScratchDir scratch_;
  const fs::path prefix_ = scratch_.path() / "prefix";
  TestServer server_;
};

TEST_F(InstalledTree, HostBuildsThroughTheCMakePackage) {
  const fs::path build = scratch_.path() / "host-cmake";
  const ProcessRun configure =
      RunProcess({HTTPMEDIA_CMAKE, "-S", HTTPMEDIA_HOST_SOURCE_DIR, "-B", build.string(), "-G",
                  HTTPMEDIA_CMAKE_GENERATOR, "-DCMAKE_C_COMPILER=" HTTPMEDIA_C_COMPILER,
                  "-DCMAKE_PREFIX_PATH=" + prefix_.string()});
  ASSERT_EQ(configure.code, 0) << configure.Describe();
  const ProcessRun compile = RunProcess({HTTPMEDIA_CMAKE, "--build", build.string()});
  ASSERT_EQ(compile.code, 0) << compile.Describe();
  RunHost(build / "host");

  // The installed program and its manual page carry the same version.
  const ProcessRun cat = RunProcess({(prefix_ / "bin/httpmedia-cat").string(), "--version"});
  EXPECT_EQ(cat.out, "httpmedia-cat " + kVersion + "\n") << cat.Describe();
  EXPECT_TRUE(fs::exists(prefix_ / "share/man/man1/httpmedia-cat.1.gz") ||
              fs::exists(prefix_ / "share/man/man1/httpmedia-cat.1"));
  // And it finds the plug-in in its private directory by itself.
  ExpectCatStreams(prefix_ / "bin/httpmedia-cat", server_);
}

TEST_F(InstalledTree, HostBuildsThroughPkgConfig) {
  const fs::path host = scratch_.path() / "host-pkg-config";
  // As a Makefile would: flags and the plug-in's path from pkg-config.
  const std::string command =
      "set -e; pc=\"$PKG_CONFIG httpmedia\"; \"$CC\" -Wall -Wextra -Werror $($pc --cflags) "
      "-DHOST_PLUGIN=\"\\\"$($pc --variable=plugin)\\\"\" "
      "-DHOST_PACKAGE_VERSION=\"\\\"$($pc --modversion)\\\"\" \"$SOURCE\" -o \"$HOST\" -ldl";
  const ProcessRun compile =
      RunProcess({"/bin/sh", "-c", command},
                 {"PKG_CONFIG=" HTTPMEDIA_PKG_CONFIG, "CC=" HTTPMEDIA_C_COMPILER,
                  "PKG_CONFIG_PATH=" + (prefix_ / HTTPMEDIA_INSTALL_LIBDIR / "pkgconfig").string(),
                  "SOURCE=" HTTPMEDIA_HOST_SOURCE_DIR "/host.c", "HOST=" + host.string()});
  ASSERT_EQ(compile.code, 0) << compile.Describe();
  RunHost(host);
#ifdef HTTPMEDIA_BUILDS_EXAMPLE
  ExpectExampleBuilds(prefix_ / "share/doc/httpmedia/examples/avio_demux.c",
                      prefix_ / HTTPMEDIA_INSTALL_LIBDIR / "pkgconfig");
#endif
}

#ifdef HTTPMEDIA_PACKAGE_SCRIPT
// The package dpkg-buildpackage makes from debian/ (scripts/package.sh, in a
// directory of this build tree so that ccache knows its paths): lintian finds
// no error and no warning in it; it holds everything a host and a user need,
// the plug-in and its companions in their private directory; it is named for
// the project's version and declares what it runs on, libcurl's package found
// from the library the build linked. Unpacked anywhere, its pkg-config file
// names its own plug-in and its httpmedia-cat streams through it, the
// companions found beside the plug-in by its RUNPATH alone.
TEST(DebianPackage, PassesLintianAndHoldsAWorkingPrivatePlugin) {
  const fs::path out = fs::path(HTTPMEDIA_BUILD_DIR) / "tests/consumer/package";
  const ProcessRun pack = RunProcess({HTTPMEDIA_PACKAGE_SCRIPT, out.string()});
  ASSERT_EQ(pack.code, 0) << pack.Describe();
  const fs::path deb = pack.out.substr(0, pack.out.find('\n'));
  const ProcessRun arch = RunProcess({"dpkg", "--print-architecture"});
  ASSERT_EQ(arch.code, 0) << arch.Describe();
  EXPECT_EQ(deb.filename(),
            "httpmedia_" + kVersion + "_" + arch.out.substr(0, arch.out.find('\n')) + ".deb");

  const ProcessRun lintian =
      RunProcess({HTTPMEDIA_LINTIAN, "--fail-on", "error,warning", deb.string()});
  EXPECT_EQ(lintian.code, 0) << lintian.Describe();
  std::istringstream findings(lintian.out);
  for (std::string line; std::getline(findings, line);) {
    EXPECT_FALSE(line.starts_with("E:") || line.starts_with("W:")) << line;
  }

  const ProcessRun listing = RunProcess({"dpkg-deb", "--contents", deb.string()});
  ASSERT_EQ(listing.code, 0) << listing.Describe();
  std::vector<std::string> files;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string path = line.substr(line.rfind(' ') + 1);
    if (!path.ends_with("/")) files.push_back(path);
  }
  const ProcessRun multiarch = RunProcess({"dpkg-architecture", "-qDEB_HOST_MULTIARCH"});
  ASSERT_EQ(multiarch.code, 0) << multiarch.Describe();
  const std::string libdir = "usr/lib/" + multiarch.out.substr(0, multiarch.out.find('\n'));
  const std::string lib = "./" + libdir + "/";
  const std::vector<std::string> expected{
      "./usr/bin/httpmedia-cat",
      "./usr/include/httpmedia/httpmedia.h",
      "./usr/include/httpmedia/httpmedia_host.h",
      "./usr/include/httpmedia/httpmedia_version.h",
      lib + "cmake/httpmedia/httpmediaConfig.cmake",
      lib + "cmake/httpmedia/httpmediaConfigVersion.cmake",
      lib + "httpmedia/libhttpmedia.so",
      lib + "httpmedia/libhttpmedia_inet.so",
      lib + "httpmedia/libhttpmedia_sys.so",
      lib + "pkgconfig/httpmedia.pc",
      "./usr/share/doc/httpmedia/changelog.gz",
      "./usr/share/doc/httpmedia/copyright",
      "./usr/share/doc/httpmedia/examples/avio_demux.c",
      "./usr/share/man/man1/httpmedia-cat.1.gz",
  };
  EXPECT_EQ(files, expected);

  const ProcessRun fields =
      RunProcess({"dpkg-deb", "--field", deb.string(), "Package", "Version", "Depends"});
  ASSERT_EQ(fields.code, 0) << fields.Describe();
  EXPECT_EQ(LineValue(fields.out, "Package:"), "httpmedia");
  EXPECT_EQ(LineValue(fields.out, "Version:"), kVersion);
  const std::string depends = LineValue(fields.out, "Depends:");
  const ProcessRun curl =
      RunProcess({"/bin/sh", "-c",
                  "set -e; library=$(ldd \"$1\" | awk '/libcurl/ { print $3 }'); "
                  "dpkg-query --search \"$(readlink -f \"$library\")\" | cut -d: -f1",
                  "sh", HTTPMEDIA_INET_LIBRARY});
  ASSERT_EQ(curl.code, 0) << curl.Describe();
  const std::string curl_package = curl.out.substr(0, curl.out.find('\n'));
  ASSERT_FALSE(curl_package.empty()) << curl.Describe();
  EXPECT_NE((", " + depends + " ").find(", " + curl_package + " "), std::string::npos) << depends;
  EXPECT_NE(depends.find("libc6 "), std::string::npos) << depends;

  ScratchDir scratch;
  const fs::path unpacked = scratch.path() / "unpacked";
  ASSERT_EQ(RunProcess({"dpkg-deb", "--extract", deb.string(), unpacked.string()}).code, 0);
  const ProcessRun plugin =
      RunProcess({HTTPMEDIA_PKG_CONFIG, "--variable=plugin", "httpmedia"},
                 {"PKG_CONFIG_PATH=" + (unpacked / libdir / "pkgconfig").string()});
  ASSERT_EQ(plugin.code, 0) << plugin.Describe();
  EXPECT_EQ(fs::canonical(plugin.out.substr(0, plugin.out.find('\n'))),
            fs::canonical(unpacked / libdir / "httpmedia/libhttpmedia.so"));
  TestServer server;
  ExpectCatStreams(unpacked / "usr/bin/httpmedia-cat", server);
}
#endif

#ifdef HTTPMEDIA_GROFF
// Whether `page` has `word` followed by a space, '=' or the line's end.
bool Mentions(const std::string& page, const std::string& word) {
  for (std::size_t at = page.find(word); at != std::string::npos; at = page.find(word, at + 1)) {
    const char next = at + word.size() < page.size() ? page[at + word.size()] : '\n';
    if (next == ' ' || next == '=' || next == '\n') return true;
  }
  return false;
}

// The manual page formats without a warning and keeps up with the program:
// every long option and exit status that --help lists has its entry.
TEST(ManualPage, FormatsCleanlyAndCoversEveryOptionAndExitStatus) {
  const ProcessRun format =
      RunProcess({HTTPMEDIA_GROFF, "-man", "-ww", "-z", "-Tutf8", HTTPMEDIA_MANUAL_PAGE});
  EXPECT_EQ(format.code, 0) << format.Describe();
  EXPECT_EQ(format.err, "");

  const std::string page = httpmedia::testing::ReadWholeFile(HTTPMEDIA_MANUAL_PAGE);
  const ProcessRun help = RunProcess({HTTPMEDIA_CAT, "--help"});
  ASSERT_EQ(help.code, 0) << help.Describe();
  std::istringstream lines(help.out);
  bool in_exit_statuses = false;
  int options = 0, statuses = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("Exit status", 0) == 0) in_exit_statuses = true;
    if (in_exit_statuses) {
      const std::size_t digits = line.find_first_not_of(' ');
      if (digits == 2 && std::isdigit(static_cast<unsigned char>(line[2]))) {
        const std::string status = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_NE(page.find("\n.B " + status + "\n"), std::string::npos) << "exit " << status;
        ++statuses;
      }
      continue;
    }
    for (std::size_t at = line.find("--"); at != std::string::npos; at = line.find("--", at + 2)) {
      const std::size_t end = line.find_first_not_of("abcdefghijklmnopqrstuvwxyz-", at + 2);
      std::string name = line.substr(at + 2, end - at - 2);
      std::string escaped;
      for (const char c : name) escaped += c == '-' ? "\\-" : std::string(1, c);
      EXPECT_TRUE(Mentions(page, "\\-\\-" + escaped)) << "--" << name;
      ++options;
    }
  }
  EXPECT_GE(options, 8);
  EXPECT_GE(statuses, 8);
}
#endif

}  // namespace
