#include "app/console/TraceDecoder.h"

#include "support/Tools.h"

#include <QFile>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>

#include "app/console/Exit.h"
#include "app/console/Output.h"
#include "firmware/BootLink.h"
#include "link/BX2Frames.h"
#include "link/Detection.h"
#include "link/ProtocolCodes.h"
#include "serial/SerialPort.h"
#include "support/SafeFiles.h"

namespace {

constexpr int InterfaceBaud = 2400;
constexpr int BootBaud = 19200;
constexpr int WakeBaud = 115200;
constexpr double QuietGapMs = 200;  // the driver abandons an unfinished frame sooner
constexpr size_t BootLineLength = 74;

uint8_t At(std::string_view bytes, size_t i) {
  return i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0;
}

std::string Hex2(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
  return text;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFF);
  return text;
}

std::string Letter(char c) {
  const auto u = static_cast<uint8_t>(c);
  return u >= 0x20 && u < 0x7F ? std::string("'") + c + "'" : Hex2(u);
}

unsigned Word(std::string_view bytes, size_t i) {
  return At(bytes, i) | (At(bytes, i + 1) << 8);
}

// ---- device requests and replies (inside 'X'..'Z' frames) -----------------------------

std::string DeviceRequest(std::string_view r) {
  const uint8_t code = At(r, 0);
  if (r.empty()) return "empty request";
  using namespace dev;
  if (code == VersionRequest) return "version request";
  if (code == SecondVersionRequest) return "second version request";
  if (code == MemoryRead && r.size() >= 3) return "memory read of word " + Hex4(Word(r, 1));
  if (code == WriteHighMemory && r.size() >= 3)
    return "memory write " + Hex4(HighMemoryStart + At(r, 1)) + " := " + Hex2(At(r, 2));
  if ((code == WriteLowPage || code == WritePageOne) && r.size() >= 3)
    return "memory write " + Hex4((code == WritePageOne ? 0x100 : 0) + At(r, 1)) +
           " := " + Hex2(At(r, 2));
  if (code >= WritePageBase && code < WritePageBase + 0x10 && r.size() >= 3)
    return "memory write " + Hex4(((code - WritePageBase) << 8) | At(r, 1)) +
           " := " + Hex2(At(r, 2));
  if ((code == WriteBitPageOne || (code >= WriteBitPageBase && code < WriteBitPageBase + 0x10)) &&
      r.size() >= 3)
    return "bit write at " +
           Hex4((code == WriteBitPageOne ? 0x100 : (code - WriteBitPageBase) << 8) | At(r, 1)) +
           ", bits " + Hex2(At(r, 2));
  if (code == RamVariableRead && r.size() >= 2)
    return "RAM variable read, identifier " + std::to_string(At(r, 1));
  if (code == SettingRead && r.size() >= 2)
    return "setting read, identifier " + std::to_string(At(r, 1));
  return "request " + Hex2(code) + (r.size() > 1 ? " " + HexDump(r.substr(1)) : "");
}

std::string DeviceReply(std::string_view r) {
  const uint8_t code = At(r, 0);
  const std::string rest = r.size() > 1 ? " (" + HexDump(r.substr(1)) + ")" : "";
  if (r.empty()) return "empty reply";
  using namespace dev;
  if (code == VersionReply) return "version reply" + rest;
  if (code == SecondVersionReply) return "second version reply" + rest;
  if (code == MemoryValue && r.size() >= 3)
    return "memory value " + Hex4(Word(r, 1)) + " = " + std::to_string(Word(r, 1));
  if (code == RamVariableValue && r.size() >= 3)
    return "RAM variable value " + std::to_string(Word(r, 1));
  if (code == SettingValue && r.size() >= 3) return "setting value " + std::to_string(Word(r, 1));
  return "reply " + Hex2(code) + rest;
}

// ---- interface frames ---------------------------------------------------------------------

std::vector<std::string> SentInterfaceFrame(std::string_view m, bool rawProbe) {
  const char letter = m.size() >= 2 ? m[1] : 0;
  const std::string_view data = m.size() > 2 ? m.substr(2) : std::string_view{};
  const std::string probe = rawProbe ? " (detection)" : "";
  const auto sequence = static_cast<char>(letter & ~bx2::LetterToAddress);
  if (bx2::IsRequestLetter(letter))
    return {Letter(letter) + " device request: " + DeviceRequest(data)};
  if (bx2::IsRequestLetter(sequence))
    return {Letter(letter) + " device request to address " +
            std::to_string(At(data, data.size() - 1)) + ": " +
            DeviceRequest(data.substr(0, data.empty() ? 0 : data.size() - 1))};
  switch (letter) {
    case bx2::LetterSelectAddress:
      return {"'A' select device address " + std::to_string(At(data, 1))};
    case bx2::LetterSetState:
      return {"'S' set the interface state, S block bytes " + HexDump(data) + probe};
    case bx2::LetterStateQuery:
      return {"'D' ask for the interface state"};
    case bx2::LetterStatusQuery:
      return {"'L' ask for the status bytes"};
    case bx2::LetterVersionQuery:
      return {"'V' ask for the interface version and mode" + probe};
    case bx2::LetterReset:
      return {"'R' reset before a new version query" + probe};
    default:
      return {"interface command " + Letter(letter) + (data.empty() ? "" : " " + HexDump(data))};
  }
}

std::vector<std::string> ReceivedInterfaceFrame(std::string_view m) {
  const char letter = m.size() >= 2 ? m[1] : 0;
  const std::string_view data = m.size() > 2 ? m.substr(2) : std::string_view{};
  switch (letter) {
    case bx2::LetterSelectAddress:
      return {"'A' address " + std::to_string(At(data, 1)) + " selected"};
    case bx2::LetterStateQuery: {
      TSBlock block = DefaultSBlock();
      bool kmbus = false;
      if (!LoadStateReply(m, block, kmbus)) return {"'D' state reply, too short"};
      return {"'D' interface state " + HexDump(data) + ", " +
              (kmbus ? "KMBus mode" : "9-bit mode")};
    }
    case bx2::LetterStatusQuery:
      return {"'L' status bytes " + HexDump(data.substr(0, 2))};
    case bx2::LetterValue:
      return {"'P' value " + std::to_string(Word(data, 0))};
    case bx2::LetterSetState:
      return {"'S' state taken"};
    case bx2::LetterVersionQuery: {
      if (m.size() < 6) return {"'V' version reply, too short"};
      std::string text =
          "'V' interface version " + std::to_string(Word(data, 0) | (Word(data, 2) << 16));
      if (m.size() >= 7 && m[6] == bx2::VersionNineBitMode) return {text + ", KM 9 bit mode"};
      text += ", KMBus mode";
      if (m.size() >= 7)
        text += m[6] == bx2::VersionAddress255 ? ", no address"
                                               : ", address " + std::to_string(At(m, 6));
      return {text};
    }
    default:
      break;
  }
  if (bx2::IsReplyLetter(letter)) {
    std::vector<std::string> lines{Letter(letter) + " device reply"};
    for (const auto& reply : SplitDeviceReplies(data)) lines.push_back("  " + DeviceReply(reply));
    return lines;
  }
  return {"interface frame " + Letter(letter) + (data.empty() ? "" : " " + HexDump(data))};
}

// ---- boot loader --------------------------------------------------------------------------

std::string AckMeaning(char c) {
  switch (c) {
    case 'N':
      return "accepted";
    case 'E':
      return "error";
    case 'B':
      return "overlaps the boot loader";
    case 'D':
      return "wrong device";
    case 'T':
      return "transmission error";
    case 'X':
      return "no response";
    default:
      return "unexpected";
  }
}

std::string CountedReplyMeaning(const std::string& reply) {
  switch (reply.empty() ? 0 : reply[0]) {
    case 'V':
      return "'V' boot loader version " + std::to_string(At(reply, 1)) + ", firmware version " +
             std::to_string(At(reply, 2));
    case 'I':
      return "'I' identity " + HexDump(std::string_view(reply).substr(1));
    case 'C':
      return "'C' configuration " + HexDump(std::string_view(reply).substr(1));
    default:
      return "reply " + HexDump(reply);
  }
}

// ---- the decoder ----------------------------------------------------------------------

enum class TLastSent { Nothing, RawProbe, EchoProbe, BootQuery, BootLine, Other };

using TLineSink = std::function<void(const std::string&)>;

// Received bytes that form no frame are shown as noise once this many have gathered,
// so that a long stretch of noise is not held in memory.
constexpr size_t PendingLimit = 4096;

class TDecoder {
 public:
  TDecoder(std::map<int, int> linesPerSession, TLineSink out)
      : LinesPerSession(std::move(linesPerSession)), Out(std::move(out)) {}
  void Line(std::string_view line);
  void Finish() { FlushReceived("end of trace"); }

 private:
  void Emit(const TTraceLine& b, const std::string& bytes, const std::vector<std::string>& meaning);
  void Sent(const TTraceLine& b);
  void SentAtInterfaceBaud(const TTraceLine& b);
  void SentBootBytes(const TTraceLine& b);
  void Received(const TTraceLine& b);
  void ReceivedFrames(const TTraceLine& b);
  void ReceivedBootBytes(const TTraceLine& b);
  void FlushReceived(const char* why);
  void StartPending(const TTraceLine& b) {
    if (!Pending.Bytes.empty()) return;
    Pending = b;
    Pending.Bytes.clear();
  }

  std::map<int, int> LinesPerSession;
  TLineSink Out;
  int Session = 0;
  int LineNumber = 0;
  TLastSent Last = TLastSent::Nothing;
  TBX2FrameAssembler Assembler;
  TTraceLine Pending;  // received bytes not yet part of a frame
  double LastReceivedMs = -1e9;
};

void TDecoder::Emit(const TTraceLine& b, const std::string& bytes,
                    const std::vector<std::string>& meaning) {
  char head[48];
  std::snprintf(head, sizeof head, "%10.3f %s %6d %c  ", b.Ms, b.Sent ? "TX" : "RX", b.Baud,
                b.Parity);
  Out(head + HexDump(bytes));
  for (const auto& line : meaning) Out(std::string(24, ' ') + line);
}

void TDecoder::Line(std::string_view line) {
  TTraceLine burst;
  if (!ParseTraceLine(line, burst)) {
    if (line.find_first_not_of(" \t\r") != std::string_view::npos)
      Out("(not a trace line: " + EscapeControls(line) + ")");
    return;
  }
  // A burst without bytes moves nothing on the line; it is shown all the same.
  if (burst.Bytes.empty()) return Emit(burst, burst.Bytes, {"no bytes"});
  if (burst.Sent)
    Sent(burst);
  else
    Received(burst);
}

void TDecoder::Sent(const TTraceLine& b) {
  if (b.Baud == InterfaceBaud && b.Parity == 'N') return SentAtInterfaceBaud(b);
  if (b.Baud == BootBaud) return SentBootBytes(b);
  Last = TLastSent::Other;
  if (b.Baud == WakeBaud && b.Bytes.find_first_not_of('\x55') == std::string::npos)
    return Emit(b, b.Bytes,
                {"wake-up / boot loader sync, " + std::to_string(b.Bytes.size()) + " x 0x55"});
  if (b.Parity == 'M' || b.Parity == 'S')
    return Emit(b, b.Bytes, {"BX1 bytes (9-bit, first byte with the mark bit)"});
  Emit(b, b.Bytes, {"bytes sent at " + std::to_string(b.Baud) + " baud"});
}

void TDecoder::SentAtInterfaceBaud(const TTraceLine& b) {
  if (b.Bytes == "H") {
    Last = TLastSent::EchoProbe;
    return Emit(b, b.Bytes, {"echo probe 'H' (a BX1 sends it back)"});
  }
  // What the PC sends is whole frames, one or more per burst.
  TBX2FrameAssembler assembler;
  size_t start = 0;
  Last = TLastSent::Other;
  for (size_t i = 0; i < b.Bytes.size(); ++i) {
    if (!assembler.Feed(static_cast<uint8_t>(b.Bytes[i]))) continue;
    const std::string raw(assembler.Raw());
    if (i + 1 - start > raw.size())
      Emit(b, b.Bytes.substr(start, i + 1 - start - raw.size()), {"noise"});
    start = i + 1;
    TBX2Frame frame;
    const auto payload = std::string_view(raw).substr(1, raw.size() - 2);
    if (At(raw, 1) == bx2::AddressedMarker &&
        ExtendedChecksum(At(raw, 0), payload) == At(raw, raw.size() - 1)) {
      Emit(b, raw,
           {"addressed frame '!' value " +
            std::to_string(Word(payload, 1) | (Word(payload, 3) << 16)) +
            (payload.size() > 5 ? ", text " + HexDump(payload.substr(5)) : "")});
    } else if (CheckFrame(raw, frame) && frame.IsInterfaceFrame()) {
      const char letter = frame.Letter();
      // Only detection sends 'V', 'R' and the raw 'S' probe; their replies are read raw.
      // The raw 'S' probe carries five data bytes, the driver's S block seven.
      const bool probe = letter == bx2::LetterVersionQuery || letter == bx2::LetterReset ||
                         (letter == bx2::LetterSetState && frame.Message.size() == 7);
      if (probe) Last = TLastSent::RawProbe;
      Emit(b, raw, SentInterfaceFrame(frame.Message, probe));
    } else {
      Emit(b, raw, {"frame with a wrong checksum"});
    }
  }
  if (start < b.Bytes.size()) Emit(b, b.Bytes.substr(start), {"noise (no whole frame)"});
}

void TDecoder::SentBootBytes(const TTraceLine& b) {
  const std::string& s = b.Bytes;
  if (s == "A") {
    Last = TLastSent::Other;
    return Emit(b, s, {"wake-up 'A'"});
  }
  if (s == "P") {
    ++Session;
    LineNumber = 0;
    Last = TLastSent::BootQuery;
    return Emit(b, s, {"boot loader: connect 'P'"});
  }
  if (s.size() == BootLineLength + 2 && s[0] == 'W') {
    ++LineNumber;
    Last = TLastSent::BootLine;
    const std::string line = s.substr(1, BootLineLength);
    const bool sumOk = BootByteSum(s.substr(1)) == 0;
    const auto total = LinesPerSession.find(Session);
    return Emit(b, s.substr(0, 8) + "...",
                {"boot loader: write line " + std::to_string(LineNumber) + " of " +
                 std::to_string(total == LinesPerSession.end() ? LineNumber : total->second) +
                 ", offset " + Hex4(static_cast<unsigned>((LineNumber - 1) * BootLineLength)) +
                 (sumOk ? "" : ", sum byte wrong")});
  }
  if (s == "V" || s == "I" || s == "C") {
    Last = TLastSent::BootQuery;
    const char* what = s == "V" ? "version" : s == "I" ? "identity" : "configuration";
    return Emit(b, s, {std::string("boot loader: ") + what + " query " + Letter(s[0])});
  }
  if (s == "Rr") {
    Last = TLastSent::Other;
    return Emit(b, s, {"boot loader: restart 'Rr'"});
  }
  Last = TLastSent::Other;
  Emit(b, s, {"bytes sent at 19200 baud"});
}

void TDecoder::Received(const TTraceLine& b) {
  const bool sameStream =
      b.Baud == Pending.Baud && b.Parity == Pending.Parity && b.Ms - LastReceivedMs <= QuietGapMs;
  if (!sameStream) FlushReceived("line quiet");
  LastReceivedMs = b.Ms;
  if (b.Baud == InterfaceBaud && b.Parity == 'N') {
    if (Last == TLastSent::EchoProbe && b.Bytes == "H") {
      Last = TLastSent::Other;
      return Emit(b, b.Bytes, {"echo of 'H'"});
    }
    return ReceivedFrames(b);
  }
  if (b.Baud == BootBaud) return ReceivedBootBytes(b);
  if (b.Parity == 'M' || b.Parity == 'S') return Emit(b, b.Bytes, {"BX1 bytes"});
  Emit(b, b.Bytes, {"noise at " + std::to_string(b.Baud) + " baud"});
}

void TDecoder::ReceivedFrames(const TTraceLine& b) {
  StartPending(b);
  for (char c : b.Bytes) {
    Pending.Bytes += c;
    const size_t framePart = static_cast<size_t>(Assembler.Position());
    if (Pending.Bytes.size() > PendingLimit && Pending.Bytes.size() > framePart + 1) {
      Emit(Pending, Pending.Bytes.substr(0, Pending.Bytes.size() - framePart - 1), {"noise"});
      Pending.Bytes.erase(0, Pending.Bytes.size() - framePart - 1);
    }
    if (!Assembler.Feed(static_cast<uint8_t>(c), b.Errors != 0)) continue;
    const std::string raw(Assembler.Raw());
    Pending.Ms = b.Ms;
    if (Pending.Bytes.size() > raw.size())
      Emit(Pending, Pending.Bytes.substr(0, Pending.Bytes.size() - raw.size()), {"noise"});
    Pending.Bytes.clear();
    std::string message;
    TBX2Frame frame;
    if (Last == TLastSent::RawProbe &&
        ParseRawFrame(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), 1,
                      bx2::MaxPayloadBytes, message)) {
      Emit(b, raw, ReceivedInterfaceFrame(message));
    } else if (!CheckFrame(raw, frame)) {
      Emit(b, raw, {"no frame (checksum or length wrong): noise"});
    } else {
      auto meaning = frame.IsInterfaceFrame()
                         ? ReceivedInterfaceFrame(frame.Message)
                         : std::vector<std::string>{"bus frame " + HexDump(frame.Message)};
      if (frame.HasStatus)
        meaning.push_back("status bytes " + Hex2(frame.Status[0]) + " " + Hex2(frame.Status[1]));
      Emit(b, raw, meaning);
    }
  }
}

void TDecoder::ReceivedBootBytes(const TTraceLine& b) {
  if (Last == TLastSent::BootLine && b.Bytes.size() == 1)
    return Emit(b, b.Bytes, {"boot loader: " + Letter(b.Bytes[0]) + " " + AckMeaning(b.Bytes[0])});
  if (Last == TLastSent::BootQuery) {
    StartPending(b);
    Pending.Bytes += b.Bytes;
    const size_t wanted = static_cast<size_t>(At(Pending.Bytes, 0)) + 2;
    if (Pending.Bytes.size() < wanted) return;
    std::string reply;
    const std::string counted = Pending.Bytes.substr(0, wanted);
    const std::string rest = Pending.Bytes.substr(wanted);
    Pending.Bytes.clear();
    Emit(b, counted,
         {UnpackCountedReply(counted, reply) ? "boot loader: " + CountedReplyMeaning(reply)
                                             : "counted reply with a wrong sum"});
    if (!rest.empty()) Emit(b, rest, {"noise"});
    return;
  }
  if (b.Bytes.find_first_not_of('\x11') == std::string::npos)
    return Emit(b, b.Bytes, {"boot loader bytes 0x11 (a BX2 without working firmware)"});
  Emit(b, b.Bytes, {"noise at 19200 baud"});
}

void TDecoder::FlushReceived(const char* why) {
  if (!Pending.Bytes.empty()) {
    const bool started = Assembler.Position() > 0 || Pending.Baud == BootBaud;
    Emit(Pending, Pending.Bytes,
         {started ? std::string("cut-off frame (") + why + ")" : std::string("noise")});
  }
  Pending.Bytes.clear();
  Assembler.Reset();
}

// Boot loader lines per session (a session starts with each 'P'), so that each line
// can be told as "n of N". Fed the trace's lines one by one.
class TBootLineCounter {
 public:
  void Line(std::string_view line) {
    TTraceLine b;
    if (!ParseTraceLine(line, b) || !b.Sent || b.Baud != BootBaud) return;
    if (b.Bytes == "P") ++Session;
    if (b.Bytes.size() == BootLineLength + 2 && b.Bytes[0] == 'W') ++Counts[Session];
  }
  std::map<int, int> Counts;

 private:
  int Session = 0;
};

// No trace line comes near this (a burst is at most a few thousand bytes).
constexpr qint64 MaxTraceLine = 1 << 20;

// Hands each line of a trace file to `each`; an overlong line is cut.
void ForEachTraceLine(QIODevice& file, const std::function<void(std::string_view)>& each) {
  QByteArray line;
  bool whole = true;
  while (ReadBoundedLine(file, MaxTraceLine, line, whole))
    each(std::string_view(line.constData(), static_cast<size_t>(line.size())));
}

}  // namespace

std::string TraceLineText(double ms, const TTraceBurst& burst) {
  const std::string bytes(burst.Bytes.begin(), burst.Bytes.end());
  char head[48];
  std::snprintf(head, sizeof head, "%10.3f %s %6d %c ", ms, burst.Sent ? "TX" : "RX", burst.Baud,
                burst.Parity ? burst.Parity : 'N');
  return head + HexDump(bytes) +
         (burst.Errors ? " errors=" + std::to_string(burst.Errors) : std::string()) + "\n";
}

bool ParseTraceLine(std::string_view line, TTraceLine& burst) {
  std::istringstream in{std::string(line)};
  std::string time, direction, baud, parity;
  if (!(in >> time >> direction >> baud >> parity)) return false;
  char* end = nullptr;
  burst = {};
  burst.Ms = std::strtod(time.c_str(), &end);
  if (end == time.c_str() || *end != 0) return false;
  if (direction != "TX" && direction != "RX") return false;
  burst.Sent = direction == "TX";
  const long rate = std::strtol(baud.c_str(), &end, 10);
  if (*end != 0 || rate <= 0 || rate > 10000000 || parity.size() != 1) return false;
  burst.Baud = static_cast<int>(rate);
  burst.Parity = parity[0];
  std::string word;
  while (in >> word) {
    if (word.rfind("errors=", 0) == 0) {
      burst.Errors = std::atoi(word.c_str() + 7);
      continue;
    }
    const unsigned long value = std::strtoul(word.c_str(), &end, 16);
    if (word.size() != 2 || *end != 0) return false;
    burst.Bytes += static_cast<char>(value);
  }
  return true;
}

std::vector<std::string> DecodeTrace(std::string_view text) {
  std::vector<std::string_view> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  TBootLineCounter counter;
  for (auto line : lines) counter.Line(line);
  std::vector<std::string> out;
  TDecoder decoder(std::move(counter.Counts), [&](const std::string& l) { out.push_back(l); });
  for (auto line : lines) decoder.Line(line);
  decoder.Finish();
  return out;
}

int RunDecodeTrace(const std::string& path, FILE* out, FILE* err) {
  QFile file;
  std::string error;
  if (!OpenRegularFile(QString::fromStdString(path), file, error)) {
    std::fprintf(err, "calibrator-cli: cannot read %s: %s\n", path.c_str(), error.c_str());
    return ceUsage;
  }
  // Two passes over the file (the boot loader lines are counted first), so that
  // memory stays flat whatever the trace's length.
  TBootLineCounter counter;
  ForEachTraceLine(file, [&](std::string_view line) { counter.Line(line); });
  file.seek(0);
  TDecoder decoder(std::move(counter.Counts),
                   [out](const std::string& line) { std::fprintf(out, "%s\n", line.c_str()); });
  ForEachTraceLine(file, [&](std::string_view line) { decoder.Line(line); });
  decoder.Finish();
  return ceOk;
}
