#include "app/DeviceUpdate.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "firmware/KFFFiles.h"
#include "firmware/Updater.h"
#include "serial/PortMap.h"
#include "support/HardcodedStrings.h"
#include "support/SafeFiles.h"

namespace {

const TCodePart* MainPart(const TReprogramBuffer& buffer) {
  return buffer.PartAt(buffer.IndexOfPart(QStringLiteral("Main")));
}

QString ValueOrEmpty(const TCodePart& part, const QString& key) {
  const QString value = part.GetValue(key);
  return value == KffAbsentMarker ? QString() : value;
}

// Which device the file reprograms, and how the updater reaches it.
std::string TargetText(int version) {
  const int family = version / 100000;
  const std::string name = "an Orvo/Telvik inverter/charger of family " + std::to_string(family);
  if (family == 19 || family == 20)
    return name + ", through the BX2 (its calibrations are carried over)";
  if (family == 26 || family == 27)
    return name + ", on its boot loader (its data area is read first)";
  return "a device whose boot loader is on the line";
}

std::string PartText(const TCodePart& part, int index) {
  const QString name = ValueOrEmpty(part, QStringLiteral("Part"));
  std::string text = "Part " + std::to_string(index + 1) + " \"" + name.toStdString() + "\"";
  const QString version = ValueOrEmpty(part, QStringLiteral("Version"));
  if (!version.isEmpty()) text += ", version " + version.toStdString();
  text += ": " + std::to_string(part.GetInt(QStringLiteral("CL"))) + " code lines, " +
          std::to_string(part.GetInt(QStringLiteral("EL"))) + " data lines, " +
          std::to_string(part.GetInt(QStringLiteral("ML"))) + " messages\n";
  // A damaged count may promise more messages than the part holds.
  const int messages = part.GetInt(QStringLiteral("ML"));
  for (int i = 0; i < messages && 1 + i < part.Lines.size(); ++i)
    text += "  message: " + part.MessageAt(i).simplified().toStdString() + "\n";
  return text;
}

}  // namespace

TFirmwareLoad LoadFirmwareFile(const QString& path, TReprogramBuffer& buffer, std::string& error) {
  QFile file;
  // Refused before it is read: a FIFO or device (which could wait for good) and a
  // file larger than any firmware file.
  if (!OpenRegularFile(path, file, error, KffMaxFileBytes)) return TFirmwareLoad::flUnreadable;
  error.clear();
  buffer.LoadFromStream(file, false, error);
  if (error.empty() && buffer.IndexOfPart(QStringLiteral("Main")) < 0)
    error = "the file has no \"Main\" part";
  return error.empty() ? TFirmwareLoad::flOk : TFirmwareLoad::flRefused;
}

int FirmwareVersion(const TReprogramBuffer& buffer) {
  const TCodePart* main = MainPart(buffer);
  return main ? main->GetInt(QStringLiteral("Version")) : -1;
}

std::string FirmwareSummary(const QString& path, const TReprogramBuffer& buffer) {
  const QFileInfo info(path);
  std::string text = "File: " + QDir::toNativeSeparators(info.absoluteFilePath()).toStdString() +
                     " (" + std::to_string(info.size()) + " bytes)\n";
  const int version = FirmwareVersion(buffer);
  text += "Target: " + TargetText(version) + "\n";
  for (int i = 0; i < buffer.Count(); ++i) text += PartText(*buffer.PartAt(i), i);
  text += "Checksums: OK\n";
  return text;
}

TResult RunDeviceUpdate(TUpdater& updater, std::unique_ptr<TReprogramBuffer> file,
                        const std::string& name, int method,
                        const std::function<bool()>& interrupted) {
  const auto stopped = [&] { return interrupted && interrupted(); };
  const TResult stop = TResult::Failure(TFault::Stopped, UpdateStoppedText);
  // Between two lines of the programming too: asked after every line.
  updater.SetStopQuestion(interrupted);
  updater.PrepareTarget(std::move(file), false);
  const TResult connected = updater.Connect(method, true, {}, name);
  // A stop asked for while connecting may itself have cost the boot loader's window.
  if (stopped()) return stop;
  if (!connected) return connected;
  const TResult programmed = updater.ProgramMain(name, true);
  if (!programmed && stopped()) return stop;
  // A programming that reports failure without a message still failed.
  if (!programmed && programmed.Text().empty())
    return TResult::Failure(programmed.Fault(), FetchText(UpdaterStringIds().GeneralError));
  return programmed;
}

std::string PortLostInUpdateText(uint32_t portNumber) {
  return "Com " + std::to_string(portNumber) +
         " lost during the update: the device may be left in its boot loader. Run the same "
         "update again once the port is back.";
}

TDeviceFacts UpdateFacts(uint32_t portNumber, int firmwareVersion, const std::string& result,
                         const QDateTime& started) {
  TDeviceFacts facts;
  facts.When = QDateTime::currentDateTimeUtc();
  facts.PortNumber = portNumber;
  facts.PortPath = PortPath(static_cast<int>(portNumber));
  facts.DeviceVersion = firmwareVersion;
  facts.Result = result;
  facts.DurationMs = started.msecsTo(facts.When);
  return facts;
}
