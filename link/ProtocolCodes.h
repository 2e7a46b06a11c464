#pragma once
// The words of the wire protocol, named once for the drivers, the variable bus and
// the trace decoder: the letters of the BX2's own frames and the codes of the
// device's requests and replies. (The simulator keeps its own copy on purpose: it is
// the peer, written from the wire descriptions alone.)

#include <cstdint>

namespace bx2 {

// Letters of the interface's frames (payload 0xFF, letter, data).
constexpr char LetterSelectAddress = 'A';  // 'A' 0x01 address; the reply names it again
constexpr char LetterSetState = 'S';       // 'S' w1..w7 (the S block)
constexpr char LetterStateQuery = 'D';     // the reply carries the S block and the link mode
constexpr char LetterStatusQuery = 'L';    // the reply carries the two status bytes
constexpr char LetterVersionQuery = 'V';   // detection only: version and mode
constexpr char LetterReset = 'R';          // detection only: before each new 'V' in 9-bit mode
constexpr char LetterValue = 'P';          // a 16-bit value this system does not use
// 'X'..'Z' pass a request to the selected device, the letter being the frame's
// sequence letter; in lower case ('x'..'z') to the address after the request.
constexpr char LetterFirstRequest = 'X';
constexpr char LetterLastRequest = 'Z';
constexpr char LetterToAddress = 0x20;  // added to a sequence letter
// 'W'..'Z' carry a device's reply.
constexpr char LetterFirstReply = 'W';
constexpr char LetterLastReply = 'Z';
// Byte 6 of a 'V' reply: 'W' for the 9-bit mode; in the KMBus mode the address the
// interface uses, 'B' standing for 255.
constexpr char VersionNineBitMode = 'W';
constexpr char VersionAddress255 = 'B';

inline bool IsRequestLetter(char letter) {
  return letter >= LetterFirstRequest && letter <= LetterLastRequest;
}
inline bool IsReplyLetter(char letter) {
  return letter >= LetterFirstReply && letter <= LetterLastReply;
}

}  // namespace bx2

namespace dev {

// Requests of the device (the first byte of a request) and the code its reply starts with.
constexpr uint8_t DeviceInfoRequest = 0x00;
constexpr uint8_t DeviceInfoReply = 0x20;
constexpr uint8_t StatusRequest = 0x02;
constexpr uint8_t StatusReply = 0x81;
constexpr uint8_t ControlByteRequest = 0x03;
constexpr uint8_t ControlPairRequest = 0x04;
constexpr uint8_t VersionRequest = 0x05;
constexpr uint8_t VersionReply = 0x82;
constexpr uint8_t SecondVersionRequest = 0x06;
constexpr uint8_t SecondVersionReply = 0x83;
constexpr uint8_t MemoryRead = 0x07;
constexpr uint8_t MemoryValue = 0x84;
constexpr uint8_t RamVariableRead = 0x30;
constexpr uint8_t RamVariableValue = 0x85;
constexpr uint8_t SettingRead = 0x31;
constexpr uint8_t SettingValue = 0x86;

// Memory writes: [command, low address byte, data byte].
constexpr uint8_t WriteLowPage = 0x08;        // first generation, address below 256
constexpr uint8_t WritePageOne = 0x09;        // first generation, 256..511
constexpr uint8_t WriteBitPageOne = 0x0A;     // first generation, a bit in 256..511
constexpr uint8_t WriteHighMemory = 0x0B;     // 0x2100 and above, any generation
constexpr uint8_t WritePageBase = 0x10;       // second generation: 0x10 + page
constexpr uint8_t WriteBitPageBase = 0x20;    // second generation: 0x20 + page
constexpr uint32_t HighMemoryStart = 0x2100;  // where WriteHighMemory begins

// Values by index: a write selects the index, then sends the value (or both at once).
constexpr uint8_t RamVariableSelect = 0x32;
constexpr uint8_t SettingSelect = 0x33;
constexpr uint8_t SelectedValueWrite = 0x34;
constexpr uint8_t CombinedWrite = 0x37;  // kind, index and value in one request
constexpr uint8_t RamVariableWritten = 0x87;
constexpr uint8_t SettingWritten = 0x88;

// A value's information (scale, offset, default, minimum, maximum): the request, then a
// reply per word, or all words in one combined reply whose code is the scale's.
constexpr uint8_t SettingInfoRequest = 0x35;
constexpr uint8_t RamVariableInfoRequest = 0x36;
constexpr uint8_t SettingScale = 0x89;
constexpr uint8_t SettingOffset = 0x8A;
constexpr uint8_t SettingDefault = 0x8B;
constexpr uint8_t SettingMinimum = 0x8C;
constexpr uint8_t SettingMaximum = 0x8D;
constexpr uint8_t RamVariableScale = 0x8E;
constexpr uint8_t RamVariableOffset = 0x8F;
// In a 'W'..'Z' frame, a setting's scale with 12 bytes is four 3-byte replies and a RAM
// variable's with 6 bytes two.

}  // namespace dev
