// Boot block check and part programming: whether the boot loader can take the
// "Main" part, the boot loader replacement, and the frames a part becomes.
#include <QString>

#include "firmware/BootLink.h"
#include "firmware/BootMethods.h"
#include "firmware/KFFFiles.h"
#include "firmware/UpdaterInternals.h"
#include "firmware/updaterunit.h"
#include "serial/RS232o.h"
#include "support/HardcodedStrings.h"
#include "support/Progress.h"
#include "support/Tools.h"

using namespace updater;

// ---- boot block check and part programming ---------------------------------------

int TUpdater::CheckBootblock(bool mayReplace) {
  const TCodePart* main = MainPart();
  Buffer->SetDataReversed(false);
  Buffer->SetSkipData(ConfigBlank());
  int result = bbNotSupported;
  if (BootblockVersion == 111) {
    Buffer->SetDataReversed(true);
    ShowString(Ids().Precaution);
    result = bbGoOn;
  } else if (BootblockVersion >= 112 && BootblockVersion <= 115) {
    result = bbGoOn;
  }
  if (result == bbGoOn && main) {
    const int mustBe = main->GetInt(QStringLiteral("MustBeBFV")) & 0xFF;
    const int minimum = main->GetInt(QStringLiteral("MinBFV"));
    if (BootblockFirmwareVersion < minimum || (mustBe != 0 && mustBe != BootblockFirmwareVersion)) {
      const bool canReplace = mayReplace && Buffer->IndexOfPart(QStringLiteral("Bootblock")) >= 0;
      result = canReplace ? ReplaceBootblock() : bbNewerRequired;
    }
  }
  return result;
}

bool TUpdater::WaitForBootblockRestart() {
  uint8_t byte = 0;
  if (ReadPort(&byte, 1, 3000) != 1) return false;
  int inRow = byte == 0xAA ? 1 : 0;
  for (int read = 1; read < 10 && inRow < 2; ++read) {
    if (ReadPort(&byte, 1, 50) != 1) return false;
    inRow = byte == 0xAA ? inRow + 1 : 0;
  }
  return inRow >= 2;
}

int TUpdater::ReplaceBootblock() {
  if (LongConfig) return bbNewerRequired;
  int result = bbUpdateFailed;
  TUpdaterNotifier kept = std::move(Notifier);
  Notifier = [this](int percent, int state) { ProgressNotifier(percent, state); };
  ProgressText = Text(Ids().UpdatingBootblock, 1);
  ShowProgress(QText(Text(Ids().UpdatingBootblock)), QText(ProgressText), 0, 100, 0, false);
  if (StartPart("Bootblock", true)) WaitWorkerPaused();
  ShowProgress(QString(), QString());
  Notifier = std::move(kept);
  if (State == usFinished) {
    ShowResetInstruction(true);
    ShowProgress(QText(Text(Ids().PleaseWait)), QText(Text(Ids().PleaseWait, 1)), 0, 100, 0, false);
    result = bbCommLost;
    if (WaitForBootblockRestart()) {
      WritePlain("\x55\xFF\x55\xFF\x55");
      WaitMs(NewBootloaderHandshakeMs);
      Port->SetBreak(true);
      WaitMs(NewBootloaderStartMs);
      ShowProgress(QString(), QString());
      std::string error;
      // The fresh check must never start a second replacement.
      if (ConnectDirect(ConnectMethod, false, error)) result = CheckBootblock(false);
    } else {
      ShowProgress(QString(), QString());
    }
  }
  return result;
}

bool TUpdater::StartPart(const std::string& name, bool withAuthorisation) {
  PartIndex = Buffer->IndexOfPart(QText(name));
  const TCodePart* part = Buffer->PartAt(PartIndex);
  if (!part) return false;
  PrefixFrames.clear();
  const int mainIndex = Buffer->IndexOfPart(QStringLiteral("Main"));
  const TCodePart* main = Buffer->PartAt(mainIndex);
  // Lines that are not there must never count as sent.
  if (!part->HoldsAnnouncedLines() || (main && !main->HoldsAnnouncedLines())) {
    LastError = Text(Ids().FileNotSuitable);
    State = usUnsuitable;
    return false;
  }
  if (name == "Bootblock" && main && !main->SkipData) {
    // The device's data area goes ahead of the new boot loader.
    const int dataLines = main->GetInt(QStringLiteral("EL"));
    for (int i = 0; i < dataLines; ++i) PrefixFrames.push_back(BuildLine(mainIndex, i));
  }
  Port->PurgeAll();
  FramesTotal = static_cast<int>(PrefixFrames.size()) + part->SendLineCount();
  LastError.clear();
  if (!part->Nonce().isEmpty() && withAuthorisation) {
    const std::string auth = BuildAuthFrame(*part, true, true);
    if (!auth.empty()) {
      PrefixFrames.push_back(auth);
      ++FramesTotal;
    } else {
      LastError = Text(Ids().FileNotSuitable);
    }
  }
  FramesSent = 0;
  NextLine = 0;
  Percent = 0;
  if (!LastError.empty()) {
    State = usUnsuitable;
    return false;
  }
  State = usRunning;
  PauseRequested = false;
  return true;
}

std::string TUpdater::BuildLine(int partIndex, int line) const {
  const TCodePart* part = Buffer->PartAt(partIndex);
  if (!part) return {};
  bool isData = false;
  std::string text = ToBytes(part->SendLineAt(line, isData));
  if (DeviceVersion >= 0 && isData) {
    // The fourth block is left to the device reached through the interface.
    const int fourthBlock = part->DataReversed ? 0 : 3;
    if (line == fourthBlock) return {};
  }
  if (text.empty()) return {};
  if (part->Nonce().isEmpty()) return "W" + AppendChecksum(text);
  if (!isData) return CmdWriteCode + text;
  const bool hasImage = static_cast<int>(DataImage.size()) == DataAreaSize;
  if (Method().ConfigWord && hasImage && static_cast<int>(text.size()) >= DataLineSize) {
    const int offset = static_cast<uint8_t>(text[DataLineOffset]) |
                       (static_cast<uint8_t>(text[DataLineOffset + 1]) << 8);
    // A block must lie wholly inside the data area; any other line goes as stored.
    if (offset + DataBlockSize <= DataAreaSize) {
      text.replace(DataLineData, DataBlockSize, DataImage, static_cast<size_t>(offset),
                   DataBlockSize);
      const std::string prefix = DeviceIdPrefix();
      text.replace(DataLineIdentity, prefix.size(), prefix);
    }
  }
  return CmdWriteData + text;
}

std::string TUpdater::BuildAuthFrame(const TCodePart& part, bool final, bool first) const {
  const QString nonce = part.Nonce();
  if (CmdAuthorise.empty() || nonce.isEmpty()) return {};
  int flags = part.UsedKey() != 0 ? 0x10 : 0;
  if (final) flags += 1;
  if (!first) flags += 8;
  std::string nonceBytes = HexToBytes(nonce.toStdString(), false);
  if (part.GetValue(QStringLiteral("KeyID")) == KffAbsentMarker) nonceBytes.erase(0, 4);
  std::string frame = CmdAuthorise + Method().AuthMarker;
  if (Method().AuthWithIdentity) frame += DeviceIdPrefix();
  frame.push_back(static_cast<char>(flags));
  return frame + nonceBytes;
}
