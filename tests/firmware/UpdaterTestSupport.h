#pragma once
// Shared pieces of the updater tests: unit start-up, firmware parts made in memory,
// and a scripted text boot loader on a virtual line for the replies the simulator
// does not give.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "firmware/BootLink.h"
#include "firmware/InterfaceRefresh.h"
#include "firmware/KFFFiles.h"
#include "firmware/KFFWriter.h"
#include "firmware/Updater.h"
#include "serial/PortMap.h"
#include "serial/SerialPort.h"
#include "serial/VirtualLine.h"
#include "sim/SimFrames.h"
#include "support/Dialogs.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Settings.h"
#include "support/Textlogger.h"
#include "support/Threads.h"
#include "tests/common/RecordingDialogs.h"
#include "tests/common/StackUnits.h"
#include "tests/common/TestWaits.h"
#include "variables/ExtendedVariable.h"

// The updater's single steps and private state, driven one at a time by the tests.
struct TUpdaterTestAccess {
  static TBootLoaderLink& Link(TUpdater& updater) { return updater.Link; }
  static TBootLoaderFacts& Facts(TUpdater& updater) { return updater.Link.Told; }
  static TPartStreamer& Streamer(TUpdater& updater) { return updater.Streamer; }
  static TReprogramBuffer& File(TUpdater& updater) { return *updater.File; }
  static std::string& DataImage(TUpdater& updater) { return updater.DataImage; }
  static void SetDeviceVersion(TUpdater& updater, int version) { updater.DeviceVersion = version; }
  static void SetInverter(TUpdater& updater, bool inverter) { updater.IsInverter = inverter; }
  static bool IsInverter(const TUpdater& updater) { return updater.IsInverter; }
  static int DeviceVersion(const TUpdater& updater) { return updater.DeviceVersion; }
  static int CarryVersion(const TUpdater& updater) { return updater.CarryVersion; }
  static bool PauseRequested(const TUpdater& updater) { return updater.PauseRequested; }
  // The worker has paused itself and is idle.
  static bool Paused(const TUpdater& updater) { return updater.PauseRequested && updater.Idle; }
  static TResult ConnectDirect(TUpdater& updater, int method, bool useConnectInfo) {
    return updater.ConnectDirect(method, useConnectInfo);
  }
  static TResult Identify(TUpdater& updater) { return updater.Identify(); }
  static TResult StartPart(TUpdater& updater, const std::string& name, bool withAuthorisation) {
    return updater.StartPart(name, withAuthorisation);
  }
  static void ShowResetInstruction(TUpdater& updater, bool sendResetFrame, int32_t message = -1,
                                   bool force = false) {
    updater.ShowResetInstruction(sendResetFrame, message, force);
  }
  using TCheck = TUpdater::TBootblockCheck;
  static TCheck CheckBootblock(TUpdater& updater, bool mayReplace) {
    return updater.CheckBootblock(mayReplace);
  }
  static bool MemoryAccess(TUpdater& updater, int address, int32_t& value, std::string& error,
                           int dataType, bool read) {
    return updater.MemoryAccess(address, value, error, dataType, read);
  }
  static bool ConfigBlank(const TUpdater& updater) { return updater.ConfigBlank(); }
  static std::string FindAddedCalibrations(const TUpdater& updater) {
    return updater.FindAddedCalibrations();
  }
  static void ApplyAddedCalibrations(TUpdater& updater, std::string& error) {
    updater.ApplyAddedCalibrations(error);
  }
};
using TAccess = TUpdaterTestAccess;

// A file made of `parts`, as the updater takes it.
inline std::unique_ptr<TReprogramBuffer> FileOf(std::vector<std::unique_ptr<TCodePart>> parts) {
  auto file = std::make_unique<TReprogramBuffer>();
  for (auto& part : parts) file->Add(std::move(part));
  return file;
}
inline std::unique_ptr<TReprogramBuffer> FileOf(std::unique_ptr<TCodePart> part) {
  std::vector<std::unique_ptr<TCodePart>> parts;
  parts.push_back(std::move(part));
  return FileOf(std::move(parts));
}

inline void StartUpdaterUnits() {
  // The calibration maps must not land in the user's own settings.
  static QTemporaryDir config;
  qputenv("XDG_CONFIG_HOME", QDir(config.path()).absolutePath().toUtf8());
  StartDeviceStackUnits();
  ReplaceSettings("Kalmeon Energy Test", "test_firmware_updater");
}

constexpr int TestLineSize = 74;

// A data line: marker 'D', its number, identity "FILE", 64 bytes of `fill`, the
// offset of the block (64 x number) and two trailing bytes.
inline QByteArray MakeDataLine(int number, char fill) {
  QByteArray line(TestLineSize, '\0');
  line[0] = 'D';
  line[1] = static_cast<char>(number);
  line.replace(2, 4, "FILE");
  for (int i = 0; i < 64; ++i) line[6 + i] = fill;
  line[70] = static_cast<char>((64 * number) & 0xFF);
  line[71] = static_cast<char>((64 * number) >> 8);
  return line;
}

inline QByteArray MakeCodeLine(int number) {
  QByteArray line(TestLineSize, static_cast<char>(0x30 + number % 10));
  line[0] = 'K';
  line[1] = static_cast<char>(number);
  return line;
}

struct TPartLayout {
  QString Name = QStringLiteral("Main");
  int DataLines = 4;
  int CodeLines = 3;
  QByteArray Config = QByteArray(32, '\0');
  QStringList Entries;  // extra key=value entries
};

inline std::unique_ptr<TCodePart> MakePart(const TPartLayout& layout) {
  auto part = std::make_unique<TCodePart>(layout.Name);
  part->Lines[0] = "C" + layout.Config;
  for (int i = 0; i < layout.DataLines; ++i)
    part->Lines.append(MakeDataLine(i, static_cast<char>(0x10 + i)));
  for (int i = 0; i < layout.CodeLines; ++i) part->Lines.append(MakeCodeLine(i));
  part->SetInt(QStringLiteral("ML"), 0);
  part->SetInt(QStringLiteral("EL"), layout.DataLines);
  part->SetInt(QStringLiteral("CL"), layout.CodeLines);
  for (const QString& entry : layout.Entries) {
    const int eq = entry.indexOf('=');
    part->SetValue(entry.left(eq), entry.mid(eq + 1));
  }
  return part;
}

// A firmware file for the inverter/charger: authorised, with data lines covering the
// data area and a version mark in its code; the new firmware calibrates offset 168 too.
inline std::unique_ptr<TCodePart> InverterPart(const QString& connectInfo) {
  TPartLayout layout;
  layout.CodeLines = 3;
  layout.Config = QByteArray(32, '\0');
  for (int offset = 168; offset <= 224; ++offset)
    layout.Config[offset / 8] |= char(1 << (offset % 8));
  layout.Entries = {"Version=2001250", "ConnectInfo=" + connectInfo, "Nonce=0011223344556677",
                    "KeyID=1"};
  auto part = MakePart(layout);
  part->Lines[part->PayloadStart() + 4 + 1].replace(10, 11, "VER=2001250");
  return part;
}

// The inverter/charger's firmware file (InverterPart, through the BX2) written as
// inverter.kff into `folder`; returns its path.
inline QString WriteInverterFile(const QString& folder) {
  TReprogramBuffer buffer;
  buffer.Add(InverterPart(QStringLiteral(":DXT")));
  QByteArray image;
  QString error;
  EXPECT_TRUE(WriteKffFile(buffer, TKffWriteOptions{}, image, error)) << error.toStdString();
  const QString name = QDir(folder).filePath(QStringLiteral("inverter.kff"));
  QFile file(name);
  EXPECT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(image);
  return name;
}

// The loader's reply: its length, the body, and the byte that makes the body's sum 0
// (made here, apart from the updater's own checksum code).
inline std::vector<uint8_t> CountedReply(const std::string& body) {
  // Sized once: growing a one-byte vector by insert trips GCC 12's -Warray-bounds.
  std::vector<uint8_t> out(body.size() + 2, static_cast<uint8_t>(body.size()));
  std::copy(body.begin(), body.end(), out.begin() + 1);
  unsigned sum = 0;
  for (char c : body) sum += static_cast<uint8_t>(c);
  out.back() = static_cast<uint8_t>(0x100 - sum % 0x100);
  return out;
}

// A text boot loader as the BX2 has one: "P" at 19200 baud connects, then "V", "I",
// "C", "W" lines (answered from a script, 'N' by default) and "Rr". A restart (by
// "Rr" or by the bus reset frame at 2400 baud) sends AA AA and takes the next
// firmware version.
class TFakeTextLoader : public TVirtualDevice {
 public:
  uint8_t Version = 113;
  uint8_t Firmware = 114;
  uint8_t FirmwareAfterRestart = 114;
  std::string Config = std::string(32, '\0');
  int VanishAfterLines = -1;

  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime at) override {
    std::vector<uint8_t> reply;
    {
      std::lock_guard lock(Guard);
      if (byte.Baud == 2400) {
        if (++ResetBytes == 18) Restart(reply);
      } else if (byte.Baud == 19200) {
        Take(byte.Value, reply, line);
      }
    }
    if (!reply.empty()) line.SendToHost(reply, 19200, -1, at + std::chrono::milliseconds(2));
  }
  void OnLineChange(TVirtualLine&, const TLineState&, TLineTime) override {}

  // Replies for the next "W" lines, in order; 0 means no reply at all.
  void ScriptLineReplies(const std::string& replies) {
    std::lock_guard lock(Guard);
    LineReplies.assign(replies.begin(), replies.end());
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(Guard);
    return Received;
  }
  int Restarts() const {
    std::lock_guard lock(Guard);
    return RestartCount;
  }

 private:
  void Take(uint8_t value, std::vector<uint8_t>& reply, TVirtualLine& line) {
    // "P" outside a command connects again (a second run of the updater).
    if (!Connected || (value == 'P' && Pending.empty())) {
      if (value == 'P') {
        Connected = true;
        reply = CountedReply(std::string{'V', char(Version), char(Firmware)});
      }
      return;
    }
    Pending.push_back(static_cast<char>(value));
    const char c = Pending[0];
    if ((c == 'W' && Pending.size() < 76) || (c == 'U' && Pending.size() < 12) ||
        (c == 'R' && Pending.size() < 2))
      return;
    std::string command;
    command.swap(Pending);
    if (c == 'V') reply = CountedReply(std::string{'V', char(Version), char(Firmware)});
    if (c == 'I') reply = CountedReply(std::string("IBX2\x02\x11\x30\x01\x00\x00\x01", 11));
    if (c == 'C') reply = CountedReply("C" + Config);
    if (c == 'R' && command[1] == 'r') Restart(reply);
    if (c == 'W' || c == 'U') {
      Received.push_back(command);
      if (VanishAfterLines >= 0 && static_cast<int>(Received.size()) >= VanishAfterLines) {
        line.Vanish();
        return;
      }
      const char answer = LineReplies.empty() ? 'N' : LineReplies.front();
      if (!LineReplies.empty()) LineReplies.pop_front();
      if (answer != 0) reply = {static_cast<uint8_t>(answer)};
    }
  }
  void Restart(std::vector<uint8_t>& reply) {
    ++RestartCount;
    ResetBytes = 0;
    Connected = false;
    Firmware = FirmwareAfterRestart;
    reply = {0xAA, 0xAA};
  }

  mutable std::mutex Guard;
  bool Connected = false;
  int ResetBytes = 0;
  int RestartCount = 0;
  std::string Pending;
  std::deque<char> LineReplies;
  std::vector<std::string> Received;
};

// A virtual line with a fake boot loader (the text one, or the binary one below),
// registered as a port, and an open port on it at 19200 baud.
template <class TLoader>
struct TLoaderRig {
  std::shared_ptr<TVirtualLine> Line = std::make_shared<TVirtualLine>(false);
  std::shared_ptr<TLoader> Loader = std::make_shared<TLoader>();
  TRS232o Port;
  int Number = 0;

  TLoaderRig() {
    Line->AttachDevice(Loader);
    Number = RegisterVirtualPortAnywhere(Line);
    Port.Open(static_cast<uint32_t>(Number), 19200, 'N', 1024, 1024);
  }
  ~TLoaderRig() {
    Port.Close();
    UnregisterVirtualPort(Number);
    Line->DetachDevice();
  }
  TLoaderRig(const TLoaderRig&) = delete;
  TLoaderRig& operator=(const TLoaderRig&) = delete;
};
using TFakeLoaderRig = TLoaderRig<TFakeTextLoader>;

// A binary boot loader at 19200 baud whose bus echoes every byte (methods 2 and 3):
// version, identity, configuration (with the configuration word), data block reads
// from its 256-byte data area, authorisation and write-line commands.
class TFakeBinaryLoader : public TVirtualDevice {
 public:
  uint8_t Version = 115;
  uint8_t Firmware = 115;
  uint32_t ConfigWord = 1;
  char AuthorisationReply = 'N';  // to the authorise commands 00 and 06
  std::string Config = std::string(32, '\0');
  std::string DataArea = std::string(256, '\0');

  void OnHostByte(TVirtualLine& line, const TWireByte& byte, TLineTime at) override {
    if (byte.Baud != 19200) return;
    line.SendToHost(std::vector<uint8_t>{byte.Value}, 19200, -1, at);  // the bus echo
    std::vector<uint8_t> reply;
    {
      std::lock_guard lock(Guard);
      bool bad = false;
      const auto payload = Assembler.Feed(byte.Value, &bad);
      if (payload && !payload->empty()) reply = Answer(*payload);
    }
    if (!reply.empty())
      line.SendToHost(SimBinaryFrame(reply), 19200, -1, at + std::chrono::milliseconds(2));
  }
  void OnLineChange(TVirtualLine&, const TLineState&, TLineTime) override {}

  std::vector<TSimBytes> Commands() const {
    std::lock_guard lock(Guard);
    return Received;
  }

 private:
  TSimBytes Answer(const TSimBytes& command) {
    Received.push_back(command);
    switch (command[0]) {
      case 0x05:
        return {'V', Version, Firmware};
      case 0x03:
        return {'I', 'F', 'A', 'K', 'E', 0x01, 0x02};
      case 0x04: {
        TSimBytes reply{'C', uint8_t(ConfigWord), uint8_t(ConfigWord >> 8),
                        uint8_t(ConfigWord >> 16), uint8_t(ConfigWord >> 24)};
        reply.insert(reply.end(), Config.begin(), Config.end());
        return reply;
      }
      case 0x08: {
        TSimBytes reply{'O'};
        for (int i = 0; i < 64; ++i) reply.push_back(uint8_t(DataArea[(command[1] + i) & 0xFF]));
        return reply;
      }
      case 0x00:
      case 0x06:
        return {static_cast<uint8_t>(AuthorisationReply)};
      case 0x01:
      case 0x02:
        return {'N'};
      default:
        return {};
    }
  }

  mutable std::mutex Guard;
  TSimBinaryAssembler Assembler;
  std::vector<TSimBytes> Received;
};

inline std::string Str(const QByteArray& bytes) {
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}
