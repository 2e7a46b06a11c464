#include "serial/PortDetails.h"

#include "serial/PortMap.h"

TPortDetails DescribePort(int n, TPortState state) {
  TPortDetails details;
  details.Number = n;
  details.State = state;
  details.Path = PortPath(n);
  const TPortTarget target = ResolvePort(n);
  if (target.Path.empty()) return details;  // a virtual line, or nothing
  const std::string device = DeviceBehind(target.Path);
  if (device != target.Path) details.Device = device;
  details.StableNames = StableNamesOf(device);
  std::erase(details.StableNames, target.Path);  // already shown as the path
  details.Description = PortDescriptionOf(device);
  details.Usb = UsbFactsOf(device);
  return details;
}

std::vector<TPortDetails> ListPortDetails(int count) {
  std::vector<TPortDetails> ports;
  for (int n = 1; n <= count; ++n) {
    const TPortState state = ProbePortState(n);
    if (state != TPortState::psAbsent) ports.push_back(DescribePort(n, state));
  }
  return ports;
}

std::string PortStateWords(TPortState state) {
  switch (state) {
    case TPortState::psFree:
      return "free";
    case TPortState::psInUse:
      return "in use by another program";
    case TPortState::psNoAccess:
      return "no permission to open";
    case TPortState::psAbsent:
      break;
  }
  return "absent";
}

namespace {

void AddLine(std::string& text, const std::string& line) {
  if (!text.empty()) text += '\n';
  text += line;
}

// "USB 0403:6001 FTDI FT232R USB UART, serial number A1B2C3": the facts that are known.
std::string UsbLine(const TUsbFacts& usb) {
  std::string line = "USB";
  if (!usb.VendorId.empty() && !usb.ProductId.empty()) {
    line += " " + usb.VendorId + ":" + usb.ProductId;
  } else if (!usb.VendorId.empty()) {
    line += " vendor " + usb.VendorId;
  } else if (!usb.ProductId.empty()) {
    line += " product " + usb.ProductId;
  }
  if (!usb.Manufacturer.empty()) line += " " + usb.Manufacturer;
  if (!usb.Product.empty()) line += " " + usb.Product;
  if (!usb.SerialNumber.empty()) line += ", serial number " + usb.SerialNumber;
  return line;
}

}  // namespace

std::string PortDetailsText(const TPortDetails& details) {
  std::string text;
  if (!details.Path.empty())
    AddLine(text, details.Device.empty() ? details.Path : details.Path + " -> " + details.Device);
  for (const std::string& name : details.StableNames) AddLine(text, "also " + name);
  if (!details.Description.empty()) AddLine(text, details.Description);
  if (!details.Usb.Empty()) AddLine(text, UsbLine(details.Usb));
  return text;
}
