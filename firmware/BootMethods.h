#pragma once
// The boot loader connection methods 0 to 6 as one table: what a firmware file's
// ConnectInfo names, the framing and command set of each, the authorise byte and
// marker, the connection handshake and how long it waits for a reply. Every
// decision of the updater that depends on the method reads it from here.

#include <string>

// Fixed markers of the authorisation frame.
inline constexpr char AuthMarkerShort[] = "\x4B\x45";         // methods 0 and 2
inline constexpr char AuthMarkerLong[] = "\x41\x55\x54\x48";  // methods 3 and 4

enum class TBootFraming { Text, Binary };

enum class TBootHandshake {
  SyncBurst,    // 115200 baud, twelve "U", no reply expected
  Bx2Loader,    // 115200 wake burst, then "P" at 19200 and a version reply
  EchoedBurst,  // 19200 baud, twelve "U" echoed by the bus, a reply checked if any
  BaudHunt,     // find the rate of the boot loader's "U" stream
  Probe115200,  // any byte at 115200 within 100 ms: method 5, else method 3
};

struct TBootMethod {
  int Method;
  const char* ConnectInfo;  // the name after ConnectInfo's first character; null: none
  TBootFraming Framing;
  TBootHandshake Handshake;
  int AuthoriseByte;       // -1: no authorise command
  const char* AuthMarker;  // fixed marker after the authorise byte
  bool AuthWithIdentity;   // the device identity follows the marker
  int ReplyWaitMs;         // EchoedBurst: wait for a reply to the burst; 0: none needed
  bool ConfigWord;         // the configuration reply starts with the 32-bit word, and
                           // the data area is read and written through the boot loader
  bool ZeroConfigIsBlank;  // an all-zero configuration counts as blank (text, 4)
  bool QueriesIdentity;    // identity and configuration are asked after the version
  bool ChoosesByVersion;   // the version reply picks method 2 (above 114) or 3
};

// The entry of `method`; an unknown method is served as a text boot loader (5).
const TBootMethod& BootMethod(int method);
// The method that a ConnectInfo value names (its first character ignored), or
// `fallback` when it names none.
int MethodFromConnectInfo(const std::string& info, int fallback);
