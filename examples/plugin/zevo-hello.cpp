// zevo-hello ENDPOINT NAME: asks the example module com.example.hello to
// greet NAME and prints its answer. A peer of any module works this way: one
// request frame to the module's ID with the action code and the payload
// elements, then the reply frame of the same exchange (docs/protocol.md).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "zevo/PDataReader.h"
#include "zevo/PDataWriter.h"
#include "zevo/PUtils.h"
#include "zevo/protocol/PEndpoint.h"
#include "zevo/protocol/PFrame.h"

namespace {

int fail(const std::string& iWhy) {
  std::fprintf(stderr, "zevo-hello: %s\n", iWhy.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "Usage: zevo-hello ENDPOINT NAME\n");
    return 2;
  }
  PEndpoint endpoint;
  std::string why;
  int fd = -1;
  if (PEndpoint::parse(argv[1], endpoint, why) != 0 || endpoint.connect(5000, fd, why) != 0) return fail(why);
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // one exchange: plain blocking I/O

  std::vector<unsigned char> payload, frame;
  if (PDataWriter(payload).writeString(PUtils::wide(argv[2])) != 0) return fail("NAME is not UTF-8 text");
  PFrame::append(frame, FRAME_REQUEST, 1, 1 /* Greet */, "com.example.hello", payload.data(), payload.size());
  for (size_t sent = 0; sent < frame.size();) {
    const ssize_t n = ::write(fd, frame.data() + sent, frame.size() - sent);
    if (n <= 0) return fail("cannot send the request");
    sent += static_cast<size_t>(n);
  }

  std::vector<unsigned char> in;
  PFrameView reply;
  size_t needed = kFrameHeader;
  int parsed;
  while ((parsed = PFrame::parse(in.data(), in.size(), kDefaultFrameMax, reply, needed)) == 1) {
    unsigned char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) return fail("the host closed the connection");
    in.insert(in.end(), buffer, buffer + n);
  }
  ::close(fd);
  if (parsed != 0) return fail("the host's reply is not a frame");
  const int status = static_cast<int>(reply.fWord);
  if (reply.fKind != FRAME_REPLY || status != 0) return fail("the host answered " + std::to_string(status));
  const std::vector<unsigned char> elements(reply.fPayload, reply.fPayload + reply.fPayloadLength);
  PString greeting;
  std::string text;
  if (PDataReader(elements).readString(greeting) != 0 || PUtils::toUtf8(greeting, text) != 0) {
    return fail("the reply holds no greeting");
  }
  std::printf("%s\n", text.c_str());
  return 0;
}
