#include "sim/SimBx1.h"

using namespace std::chrono_literals;

namespace {
constexpr int kBusBaud = 1200;
constexpr auto kReplyDelay = 5ms;
}  // namespace

void TSimBx1::OnByte(const TWireByte& byte, TLineTime at) {
  Out.Raw({byte.Value}, byte.Baud, at, byte.Ninth);  // the wire echoes
  if (byte.Baud != kBusBaud || byte.Ninth < 0) {
    Frame.clear();
    return;
  }
  if (byte.Ninth == 1) Frame.clear();  // a ninth-bit byte always starts a frame
  if (Frame.empty() && byte.Ninth != 1) return;
  Frame.push_back(byte.Value);
  if (Frame.size() < 4) return;
  TSimBytes frame;
  frame.swap(Frame);
  if (SimSum(frame) != 0) {
    ++Stats.BadHostFrames;
    return;
  }
  ++Stats.HostFrames;
  // The reply follows the echo of the request's last byte.
  auto when = at + std::chrono::microseconds(TSimOutput::CharMicros(kBusBaud, true)) + kReplyDelay;
  for (const TSimBytes& reply : Device.HandleRequest({frame[0], frame[1], frame[2]}))
    Answer(reply, when);
}

void TSimBx1::Answer(const TSimBytes& reply, TLineTime at) {
  TSimBytes message(reply.begin(),
                    reply.begin() + static_cast<long>(std::min<size_t>(3, reply.size())));
  message.resize(3, 0x00);
  message.push_back(static_cast<uint8_t>(0 - SimSum(message)));
  std::vector<TWireByte> chars = TSimOutput::Chars(message, kBusBaud, 0);
  chars[0].Ninth = 1;
  Out.Frame(chars, at);
}
