// httpmedia as its consumers get it. `cmake --install` of this build tree into
// a scratch prefix, then a host project outside the tree built against it,
// once through the CMake package and once through pkg-config, and run against
// the loopback test server. And the Debian package cpack makes from this
// build, looked at with dpkg-deb only: nothing is installed on the machine.
#include <gtest/gtest.h>

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
              fs::canonical(prefix_ / HTTPMEDIA_INSTALL_LIBDIR / "libhttpmedia.so"));
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
}

// The package cpack makes from this build: named for its version and the
// machine's architecture, holding everything a host and a user need, and
// declaring what it runs on, libcurl's package found from the library the
// build linked.
TEST(DebianPackage, HoldsTheInstalledFilesAndDeclaresItsDependencies) {
  ScratchDir scratch;
  const ProcessRun pack =
      RunProcess({HTTPMEDIA_CPACK, "-G", "DEB", "--config",
                  HTTPMEDIA_BUILD_DIR "/CPackConfig.cmake", "-B", scratch.path().string()});
  ASSERT_EQ(pack.code, 0) << pack.Describe();
  const ProcessRun arch = RunProcess({"dpkg", "--print-architecture"});
  ASSERT_EQ(arch.code, 0) << arch.Describe();
  const fs::path deb = scratch.path() / ("httpmedia_" + kVersion + "_" +
                                         arch.out.substr(0, arch.out.find('\n')) + ".deb");
  ASSERT_TRUE(fs::exists(deb)) << pack.Describe();

  const ProcessRun listing = RunProcess({"dpkg-deb", "--contents", deb.string()});
  ASSERT_EQ(listing.code, 0) << listing.Describe();
  std::vector<std::string> files;
  std::istringstream lines(listing.out);
  for (std::string line; std::getline(lines, line);) {
    const std::string path = line.substr(line.rfind(' ') + 1);
    if (!path.ends_with("/")) files.push_back(path);
  }
  const std::string lib = std::string("./usr/") + HTTPMEDIA_INSTALL_LIBDIR + "/";
  const std::vector<std::string> expected{
      "./usr/bin/httpmedia-cat",
      "./usr/include/httpmedia/httpmedia.h",
      "./usr/include/httpmedia/httpmedia_host.h",
      "./usr/include/httpmedia/httpmedia_version.h",
      lib + "cmake/httpmedia/httpmediaConfig.cmake",
      lib + "cmake/httpmedia/httpmediaConfigVersion.cmake",
      lib + "libhttpmedia.so",
      lib + "libhttpmedia_inet.so",
      lib + "libhttpmedia_sys.so",
      lib + "pkgconfig/httpmedia.pc",
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

  // Unpacked anywhere, its pkg-config file still names its own plug-in.
  const fs::path unpacked = scratch.path() / "unpacked";
  ASSERT_EQ(RunProcess({"dpkg-deb", "--extract", deb.string(), unpacked.string()}).code, 0);
  const ProcessRun plugin = RunProcess(
      {HTTPMEDIA_PKG_CONFIG, "--variable=plugin", "httpmedia"},
      {"PKG_CONFIG_PATH=" + (unpacked / "usr" / HTTPMEDIA_INSTALL_LIBDIR / "pkgconfig").string()});
  ASSERT_EQ(plugin.code, 0) << plugin.Describe();
  EXPECT_EQ(fs::canonical(plugin.out.substr(0, plugin.out.find('\n'))),
            fs::canonical(unpacked / "usr" / HTTPMEDIA_INSTALL_LIBDIR / "libhttpmedia.so"));
}

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
