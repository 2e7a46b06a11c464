// The frames of one part and the worker's sending of them: the data area's lines
// ahead of a new boot loader, the authorisation frame, each line as the method
// writes it, and the acknowledgement table.
#include "firmware/PartStreamer.h"

#include <QString>

#include "firmware/BootLink.h"
#include "firmware/BootLoaderLink.h"
#include "firmware/KFFFiles.h"
#include "firmware/UpdaterInternals.h"
#include "firmware/UpdaterStrings.h"
#include "serial/SerialPort.h"
#include "support/Tools.h"

using namespace updater;

void TPartStreamer::SetTarget(int deviceVersion, const std::string& dataImage) {
  DeviceVersion = deviceVersion;
  DataImage = dataImage;
}

void TPartStreamer::Fail(TUpdateState state, TResult failure) {
  Why = std::move(failure);
  Now = state;
}

const TCodePart* TPartStreamer::PartNamed(const std::string& name) const {
  return File ? File->PartAt(File->IndexOfPart(QText(name))) : nullptr;
}

TResult TPartStreamer::Start(const std::string& name, bool withAuthorisation) {
  const TResult unsuitable = TResult::Failure(TFault::Unsuitable, Text(Ids().FileNotSuitable));
  PartIndex = File ? File->IndexOfPart(QText(name)) : -1;
  if (!PartNamed(name)) return unsuitable;
  if (!PrepareFrames(name, withAuthorisation)) {
    Fail(TUpdateState::Unsuitable, unsuitable);
    return unsuitable;
  }
  Why = TResult::Success();
  Now = TUpdateState::Running;
  return Why;
}

bool TPartStreamer::PrepareFrames(const std::string& name, bool withAuthorisation) {
  const TCodePart* part = PartNamed(name);
  PrefixFrames.clear();
  const int mainIndex = File->IndexOfPart(QStringLiteral("Main"));
  const TCodePart* main = File->PartAt(mainIndex);
  // Lines that are not there must never count as sent.
  if (!part->HoldsAnnouncedLines() || (main && !main->HoldsAnnouncedLines())) return false;
  if (name == "Bootblock" && main && !main->SkipData) {
    // The device's data area goes ahead of the new boot loader.
    const int dataLines = main->GetInt(QStringLiteral("EL"));
    for (int i = 0; i < dataLines; ++i) PrefixFrames.push_back(BuildLine(mainIndex, i));
  }
  Link.Port().PurgeAll();
  Total = static_cast<int>(PrefixFrames.size()) + part->SendLineCount();
  Sent = 0;
  NextLine = 0;
  Done = 0;
  if (part->Nonce().isEmpty() || !withAuthorisation) return true;
  const std::string auth = BuildAuthFrame(*part, true, true);
  if (auth.empty()) return false;
  PrefixFrames.push_back(auth);
  ++Total;
  return true;
}

std::string TPartStreamer::BuildLine(int partIndex, int line) const {
  const TCodePart* part = File->PartAt(partIndex);
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
  if (!isData) return Link.Commands().WriteCode + text;
  const bool hasImage = static_cast<int>(DataImage.size()) == DataAreaSize;
  if (Link.Method().ConfigWord && hasImage && static_cast<int>(text.size()) >= DataLineSize) {
    const int offset = static_cast<uint8_t>(text[DataLineOffset]) |
                       (static_cast<uint8_t>(text[DataLineOffset + 1]) << 8);
    // A block must lie wholly inside the data area; any other line goes as stored.
    if (offset + DataBlockSize <= DataAreaSize) {
      text.replace(DataLineData, DataBlockSize, DataImage, static_cast<size_t>(offset),
                   DataBlockSize);
      const std::string prefix = Link.DeviceIdPrefix();
      text.replace(DataLineIdentity, prefix.size(), prefix);
    }
  }
  return Link.Commands().WriteData + text;
}

std::string TPartStreamer::BuildAuthFrame(const TCodePart& part, bool final, bool first) const {
  const QString nonce = part.Nonce();
  if (Link.Commands().Authorise.empty() || nonce.isEmpty()) return {};
  int flags = part.UsedKey() != 0 ? 0x10 : 0;
  if (final) flags += 1;
  if (!first) flags += 8;
  std::string nonceBytes = HexToBytes(nonce.toStdString(), false);
  if (part.GetValue(QStringLiteral("KeyID")) == KffAbsentMarker) nonceBytes.erase(0, 4);
  std::string frame = Link.Commands().Authorise + Link.Method().AuthMarker;
  if (Link.Method().AuthWithIdentity) frame += Link.DeviceIdPrefix();
  frame.push_back(static_cast<char>(flags));
  return frame + nonceBytes;
}

// ---- the worker's sending ------------------------------------------------------------

void TPartStreamer::SendNext() {
  // Asked to end between two lines: the rest of the part is not sent.
  if (Now == TUpdateState::Running && StopBeforeNextLine.load()) Now = TUpdateState::CommError;
  if (Now != TUpdateState::Running) return;
  if (Sent >= Total) {
    Now = TUpdateState::Finished;
    Done = 100;
    return;
  }
  std::string frame;
  if (!PrefixFrames.empty()) {
    frame = PrefixFrames.front();
    PrefixFrames.erase(PrefixFrames.begin());
  } else {
    frame = BuildLine(PartIndex, NextLine++);
  }
  if (!frame.empty()) SendLine(frame);
  // A failed frame is not counted, so 100 % means every frame was acknowledged.
  if (Now == TUpdateState::Running) {
    ++Sent;
    Done = static_cast<int>(RoundHalfAway(Sent * 100.0 / Total));
  }
}

namespace {

// What a line acknowledgement means when it is not "N".
struct TLineFailure {
  int32_t Message;
  TUpdateState State;
  TFault Fault;
};

TLineFailure LineFailure(char reply) {
  const TUpdaterStringIds& ids = Ids();
  switch (reply) {
    case 'B':
      return {ids.BootstrapOverlap, TUpdateState::Unsuitable, TFault::Unsuitable};
    case 'D':
      return {ids.IdError, TUpdateState::Unsuitable, TFault::Unsuitable};
    case 'E':
      return {ids.GeneralError, TUpdateState::CommError, TFault::Communication};
    case 'T':
      return {ids.ErrorDuringTransmit, TUpdateState::CommError, TFault::Communication};
    case 'X':
      // The boot loader went silent: nothing answers on the line any more.
      return {ids.NoResponse, TUpdateState::CommError, TFault::NoDevice};
    default:
      return {ids.UnexpectedResponse, TUpdateState::CommError, TFault::Communication};
  }
}

}  // namespace

void TPartStreamer::SendLine(const std::string& frame) {
  ++Transmitted;
  char reply = 'X';
  std::string answer;
  if (!Link.SendFrame(frame)) {
    reply = 'T';
  } else if (Link.ReceiveReply(1, LineReplyTimeoutMs, answer) && !answer.empty()) {
    reply = answer[0];
  }
  if (reply == 'N' || (reply == 'V' && frame == SyncBurst)) return;
  const TLineFailure failure = LineFailure(reply);
  Fail(failure.State, TResult::Failure(failure.Fault, Text(failure.Message)));
}
