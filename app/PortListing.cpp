#include "app/PortListing.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace {

constexpr int kCaptionWidth = 8;  // "Com 256 " and the facts' indent

std::string Indented(const std::string& lines) {
  const std::string indent(kCaptionWidth, ' ');
  std::string text;
  size_t start = 0;
  while (start < lines.size()) {
    const size_t end = lines.find('\n', start);
    text += indent + lines.substr(start, end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return text;
}

void PutText(QJsonObject& object, const char* key, const std::string& value) {
  if (!value.empty()) object[key] = QString::fromStdString(value);
}

QJsonObject UsbObject(const TUsbFacts& usb) {
  QJsonObject object;
  PutText(object, "vendorId", usb.VendorId);
  PutText(object, "productId", usb.ProductId);
  PutText(object, "manufacturer", usb.Manufacturer);
  PutText(object, "product", usb.Product);
  PutText(object, "serialNumber", usb.SerialNumber);
  return object;
}

const char* StateKey(TPortState state) {
  switch (state) {
    case TPortState::psFree:
      return "free";
    case TPortState::psInUse:
      return "inUse";
    case TPortState::psNoAccess:
      return "noAccess";
    case TPortState::psAbsent:
      break;
  }
  return "absent";
}

}  // namespace

std::string PortListingText(const std::vector<TPortDetails>& ports) {
  std::string text;
  for (const TPortDetails& port : ports) {
    std::string caption = PortCaption(port.Number);
    caption.resize(std::max<size_t>(caption.size() + 1, kCaptionWidth), ' ');
    text += caption + PortStateWords(port.State) + "\n" + Indented(PortDetailsText(port));
  }
  text += std::to_string(ports.size()) + (ports.size() == 1 ? " port\n" : " ports\n");
  return text;
}

std::string PortListingJson(const std::vector<TPortDetails>& ports) {
  std::string lines;
  for (const TPortDetails& port : ports) {
    QJsonObject object;
    object["com"] = port.Number;
    PutText(object, "path", port.Path);
    PutText(object, "device", port.Device);
    if (!port.StableNames.empty()) {
      QJsonArray names;
      for (const std::string& name : port.StableNames) names.append(QString::fromStdString(name));
      object["stableNames"] = names;
    }
    object["state"] = StateKey(port.State);
    object["inUse"] = port.State == TPortState::psInUse;
    PutText(object, "description", port.Description);
    if (!port.Usb.Empty()) object["usb"] = UsbObject(port.Usb);
    lines += QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString() + "\n";
  }
  return lines;
}
