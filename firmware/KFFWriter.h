// Writes firmware files in the format TReprogramBuffer::LoadFromStream reads, so
// that files can be made (kfftool, the embedded interface image) and tests can
// round-trip them. Not used while the tool reprograms a device.
#pragma once

#include "firmware/KFFFiles.h"

#include <QByteArray>
#include <QString>

struct TKffWriteOptions {
  int Version = 4;               // format version, 0 to 4
  bool ScrambledHeader = false;  // store the header string scrambled (old writers did)
};

// Serialises the buffer's parts. Each part's Lines must follow its descriptor's
// ML, EL and CL (versions 0 and 1 take EL = 4 and give CL from the line count).
// Returns false, with Error saying why, when the parts cannot be stored in the
// chosen version without loss.
bool WriteKffFile(const TReprogramBuffer& buffer, const TKffWriteOptions& options, QByteArray& out,
                  QString& error);
