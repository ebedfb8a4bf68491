// A host that misuses the plug-in: a sequence of calls of the four exported
// functions with arguments a source of choices picks (null and invalid urls,
// lone surrogates, other schemes, negative and huge counts and offsets,
// calls in the wrong order, Close twice, Open twice, Open(null) mid-stream),
// against the loopback test server. It checks that every call returns within
// its limits with a result the calls before allow, and that every byte
// delivered from a test-server body is the body's byte at its position.
#pragma once

#include <cstdint>
#include <string>

namespace httpmedia::hardening {

class Choices {
 public:
  virtual ~Choices() = default;
  // A number below `bound` (at least 1).
  virtual std::uint32_t Below(std::uint32_t bound) = 0;
  // True once the choices have run out; the run then ends.
  virtual bool Exhausted() const = 0;
};

// Makes up to `calls` calls (and a last Close) against the test server at
// `server` ("http://127.0.0.1:PORT"), with `refusedPort` a port that refuses
// connections, through a PluginHost with sleeps scaled down by 100. Returns
// an empty string, or what went wrong with the calls that led to it.
std::string RunMisuse(Choices& choices, const std::string& server, std::uint16_t refusedPort,
                      int calls);

}  // namespace httpmedia::hardening
