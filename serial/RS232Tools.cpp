#include "serial/RS232Tools.h"

#include "serial/PortMap.h"
#include "serial/SerialBackend.h"
#include "support/HardcodedStrings.h"

int32_t InUseSuffix = -1;

namespace {
bool UnitStarted = false;
}

TPortState ProbePortState(int n) {
  const TPortTarget target = ResolvePort(n);
  if (target.Empty()) return TPortState::psAbsent;
  std::unique_ptr<TSerialBackend> backend =
      target.Line ? CreateVirtualBackend(target.Line) : CreatePlatformBackend();
  const TSerialResult opened = backend->Open(target.Path);
  if (opened.Ok()) {
    backend->Close();
    return TPortState::psFree;
  }
  switch (opened.Fault) {
    case TSerialFault::sfInUse:
      return TPortState::psInUse;
    case TSerialFault::sfPermissionDenied:
      return TPortState::psNoAccess;
    default:
      return TPortState::psAbsent;
  }
}

int ProbePort(int n) {
  switch (ProbePortState(n)) {
    case TPortState::psFree:
    case TPortState::psNoAccess:  // listed, so that choosing it tells the user how to get access
      return 1;
    case TPortState::psInUse:
      return 0;
    case TPortState::psAbsent:
      break;
  }
  return -1;
}

std::string PortCaption(int n) {
  return "Com " + std::to_string(n);
}

void ScanPorts(int current, TPortList* list, int count, std::string& text, bool probe) {
  text.clear();
  for (int n = 1; n <= count; ++n) {
    const int state = probe ? ProbePort(n) : 1;
    if (state == -1) continue;
    if (!text.empty()) text += '\r';
    text += PortCaption(n);
    if (state == 0 && n != current) text += FetchText(InUseSuffix, 0);
    if (list) list->push_back(n);
  }
}

void StartUnitRS232Tools() {
  if (UnitStarted) return;
  UnitStarted = true;
  DeclareSection("RS232Tools", InUseSuffix, InUseSuffix);
  DefineString(InUseSuffix, skTextOnly, 0, 0,
               "Suffix after Com port when in use by another program (mind space in front)",
               {" (in use)"});
}

void StopUnitRS232Tools() {
  UnitStarted = false;
  InUseSuffix = -1;
}
