// A loopback HTTP/1.1 server for tests. It serves the body from body.h on any
// path, shaped by the query string, and records every request it receives.
//
// Query parameters (they combine):
//   size=N              body length, default 1000000
//   framing=length|chunked|close
//                       Content-Length (default), chunked with chunks of
//                       varying sizes, or no length and the end marked by
//                       closing the connection
//   status=N            answer with status N and a short text body; a 2xx
//                       status instead replaces the 200 of a normal answer
//   redirect=K          302 to the same target with redirect=K-1 (absolute
//                       URL); at 0 answer normally
//   redirect_to=URL     302 to URL (URL-encoded in the query)
//   rate=B              throttle the body to B bytes per second
//   stall_after=N       send headers and N body bytes, then nothing more while
//                       keeping the connection open
//   drop_after=N        send headers and N body bytes, then close the
//                       connection; drop=fin (default) closes normally,
//                       drop=rst resets it once the client's side has
//                       acknowledged those bytes (waiting up to 2 s), since a
//                       reset drops data still in flight
//   never_answer=1      read the request but never respond
//   ranges=1            advertise Accept-Ranges: bytes and honour
//                       "bytes=S-", "bytes=S-E" and "bytes=-K" with 206 (416
//                       when S >= size); without it Range is ignored;
//                       ranges=refuse answers any Range request with 416
//   advertise_ranges=1  send Accept-Ranges: bytes whatever the ranges mode,
//                       for a server that claims ranges it does not serve
//   content_length=RAW  send RAW (URL-decoded) as the Content-Length value;
//                       the body is still `size` bytes, then the connection
//                       closes
//   file=PATH           serve the bytes of the file at PATH (URL-decoded)
//                       instead of the body pattern; its size replaces
//                       `size`, and a file that cannot be read gets 404
//   etag=TAG            send ETag: "TAG" (W/"TAG" for etag=W/TAG)
//   last_modified=DATE  send Last-Modified: DATE (URL-decoded)
//                       (either of these replaces the validators that the
//                       validator= mode below sends)
//   replaced_after=N    the resource is replaced once N requests for this
//                       exact target have been answered: from then on every
//                       body byte is inverted, the ETag ends in ".2", the
//                       Last-Modified date is a later one, and the size is
//                       replaced_size=M when given; with replaced_from=P
//                       only the bytes from position P on are inverted (an
//                       edit that keeps the file's start)
// Hostile answers, for tests of what a client does with them:
//   content_length2=RAW a second Content-Length header with the value RAW
//                       (after the first, whatever that is); the connection
//                       closes after the body
//   header_line=N       an extra header "X-Long: " with a value of N bytes
//   endless_headers=MS  a status line, then header lines without end, one
//                       every MS milliseconds (0: as fast as the client
//                       reads), until the client goes away
//   redirect_loop=1     302 to exactly the target asked for, for ever
//   range_fault=F       with ranges=1, a range answered with other bytes than
//                       asked for, its Content-Range telling the truth about
//                       them: shift starts one byte later, short ends one byte
//                       early; total claims a body one byte longer; status
//                       answers 200 instead of 206
//   raw=BYTES           send BYTES (URL-decoded) as the whole answer, then
//                       close the connection
//   content_range=RAW   send RAW (URL-decoded) as a Content-Range header on
//                       a body answer, whatever was asked
// stall_after and drop_after count body bytes of the response, so with a range
// they count from the range's first byte.
// Versions and recovery:
//   validator=both|etag|date|weak|none
//                       the validators a body answer carries: a strong ETag
//                       and a Last-Modified date (default), either alone, a
//                       weak ETag with the date, or neither. A Range request
//                       with an If-Range naming neither is answered with the
//                       whole body (200)
//   replaced=honour|ignore|keep-date
//                       the resource was replaced after the stream's request:
//                       every request with a Range header meets a new version
//                       (other bytes, a new ETag and date); honour answers an
//                       If-Range naming the old version with all of the new
//                       one, ignore serves the range of the new one regardless,
//                       keep-date too, with the old date kept (cp -p)
//   silent_after=N      the answer to a request without Range sends N body
//                       bytes, then nothing more while keeping the connection
//                       open; range requests are served in full
//   endless_on=ranges|K with endless_headers: only requests with a Range
//                       header, or only the K-th and later requests for this
//                       target, get the endless header lines
//   endless_count=C     with endless_on=ranges: only the first C requests with
//                       a Range header for this target, a server late for a
//                       while
//   encoding=gzip|deflate|br
//                       a body answer (200, whatever Range or Accept-Encoding
//                       asked) encoded so, with Accept-Ranges and a
//                       Content-Length of the encoded bytes; br is named only
//                       (the bytes are the body's)
//   fresh=1             a Date header equal to the Last-Modified date: the
//                       resource was written within the second of the answer
//   busy=STATUS         the first busy_count=C requests with a Range header
//                       for this target are answered with STATUS, with
//                       retry_after=VALUE sent as Retry-After ("in:S" sends
//                       the date S seconds from now)
//   busy_after=K        with busy=STATUS: requests K+1 to K+busy_count for
//                       this target get STATUS, with or without Range (an
//                       outage after the first K answers)
//   faults=C            stall_after and drop_after hold for the first C
//                       answers for this target only
// Broadcasts and legacy servers:
//   live=1              a broadcast at rate=B bytes per second (FillLive in
//                       body.h): each answer starts at the word the server's
//                       clock stands at and sends `size` bytes, with no
//                       length (close-framed unless framing=chunked), no
//                       validator, Cache-Control: no-cache, Range ignored;
//                       with file=PATH, each answer starts at the file's byte
//                       the clock stands at (modulo its size) and runs to
//                       the file's end
//   live_head=N         each broadcast answer begins with N bytes (a multiple
//                       of 8) of head words, as an Ogg or WebM stream repeats
//                       its headers on every connection
//   icy=1               the status line of a 200 is "ICY 200 OK", and the
//                       connection closes after the answer
//
// HEAD gets the headers only. HTTP/1.1 connections persist across requests
// unless the answer was close-framed or a fault, or the client asked to close.
// Connections that stall, never answer or are throttled end when the client
// closes (or shuts down its sending side) or the server stops. A malformed
// value of a known parameter gets 400 naming the parameter.
//
// Two targets control the server rather than being served, and are not
// recorded: /_requests answers with the request log as text, one request per
// line, "METHOD TARGET" followed by "\tName: value" for each header;
// /_clear empties the log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "body.h"

namespace httpmedia::testing {

struct RecordedRequest {
  std::string method, target;  // e.g. "GET", "/a.bin?size=100"
  // In the order received, names as the client spelt them.
  std::vector<std::pair<std::string, std::string>> headers;

  // Value of the first header called `name` (case-insensitive), "" if absent.
  std::string Header(std::string_view name) const;
  bool HasHeader(std::string_view name) const;
};

// How the server takes connections: each on a thread of its own, or one at a
// time on the accepting thread, the next accepted only once the last has
// closed (as Python's http.server.HTTPServer, a small device or a quick
// script serve); or so over https, the TLS handshake made on the accepting
// thread too, under a certificate from a CA of the server's own (CaFile()).
enum class Serving { kConcurrently, kOneAtATime, kOneAtATimeOverTls };

class TestServer {
 public:
  // Listens on 127.0.0.1 at an ephemeral port and serves on threads of its
  // own. Throws std::runtime_error when the socket cannot be set up.
  TestServer();
  explicit TestServer(std::uint16_t port, Serving serving = Serving::kConcurrently);
  explicit TestServer(Serving serving) : TestServer(0, serving) {}
  // Stops: closes every connection (unblocking stalls and blocked writes) and
  // joins all threads.
  ~TestServer();

  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  std::uint16_t Port() const;
  // "http://127.0.0.1:PORT" + target ("https" over TLS).
  std::string Url(const std::string& target) const;
  std::u16string Url16(const std::string& target) const;
  // Over TLS, the PEM file of the CA that signed the server's certificate.
  std::string CaFile() const;

  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  // Connections open right now, and accepted so far.
  std::size_t OpenConnections() const;
  std::size_t AcceptedConnections() const;
  // Body bytes written to sockets so far, all connections. Counted when a
  // write returns, so it can trail what a client has already received by a
  // moment.
  std::uint64_t BodyBytesSent() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace httpmedia::testing
