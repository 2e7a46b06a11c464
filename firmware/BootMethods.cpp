#include "firmware/BootMethods.h"

#include <iterator>

namespace {

using F = TBootFraming;
using H = TBootHandshake;

// clang-format off
constexpr TBootMethod Methods[] = {
  // method info           framing    handshake       auth  marker           +id    wait  word   zero   ident  choose
  {0,       "BX3",          F::Binary, H::SyncBurst,   0x00, AuthMarkerShort, true,  0,    true,  false, true,  false},
  {1,       "BX2",          F::Text,   H::Bx2Loader,   -1,   "",              false, 0,    false, true,  true,  false},
  {2,       "R24M",         F::Binary, H::EchoedBurst, 0x00, AuthMarkerShort, true,  0,    true,  false, true,  true},
  {3,       "DXT",          F::Binary, H::EchoedBurst, 0x06, AuthMarkerLong,  false, 100,  false, false, true,  true},
  {4,       nullptr,        F::Binary, H::EchoedBurst, 0x06, AuthMarkerLong,  false, 1500, false, true,  false, false},
  {5,       "OldFashioned", F::Text,   H::BaudHunt,    -1,   "",              false, 0,    false, true,  true,  false},
  {6,       nullptr,        F::Text,   H::Probe115200, -1,   "",              false, 0,    false, true,  true,  false},
};
// clang-format on

constexpr int TextFallback = 5;

}  // namespace

const TBootMethod& BootMethod(int method) {
  if (method < 0 || method >= static_cast<int>(std::size(Methods))) return Methods[TextFallback];
  return Methods[method];
}

int MethodFromConnectInfo(const std::string& info, int fallback) {
  const std::string name = info.size() > 1 ? info.substr(1) : std::string();
  for (const TBootMethod& m : Methods)
    if (m.ConnectInfo && name == m.ConnectInfo) return m.Method;
  return fallback;
}
