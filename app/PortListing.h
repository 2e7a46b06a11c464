#pragma once
// calibrator-cli --list-ports: every port number that has a device, with what it is.

#include <string>
#include <vector>

#include "serial/PortDetails.h"

// One block per port: "Com n  state", then the facts indented; a count at the end.
std::string PortListingText(const std::vector<TPortDetails>& ports);
// One JSON object per port, one per line: com, path, device, stableNames, state,
// inUse, description, usb {vendorId, productId, manufacturer, product, serialNumber};
// facts that are not known are left out.
std::string PortListingJson(const std::vector<TPortDetails>& ports);
