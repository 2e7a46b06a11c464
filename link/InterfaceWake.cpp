// The wake-up sequence on its own: the detection and the BX2 driver both send it,
// and the driver must not pull the whole detection into programs that only drive.

#include <cstdint>

#include "link/Detection.h"
#include "serial/RS232o.h"
#include "support/Sema.h"

void WakeInterface(TRS232o& port, char listen) {
  static const uint8_t wake[5] = {0x55, 0x55, 0x55, 0x55, 0x55};
  port.Configure(115200, 'N');
  port.PurgeAll();
  port.Write(wake, sizeof wake);
  Pause(50);
  port.Configure(19200, 'N');
  // What arrived at 115200 is noise at 19200; the reply to `listen` must come clean.
  port.PurgeAll();
  port.ClearErrors();
  port.Write(&listen, 1);
  Pause(50);
}
