// The BX2 interface firmware image the program carries (resource "BX2Firmware").
#pragma once

#include <QByteArray>
#include <QIODevice>

#include <memory>

// Qt resource path of the image.
inline constexpr char EmbeddedInterfaceResource[] = ":/BX2Firmware";

// The image's bytes (a firmware file). Works from any program linking calib_firmware.
QByteArray EmbeddedInterfaceImage();
// The image as a stream opened for reading, positioned at its start.
std::unique_ptr<QIODevice> OpenEmbeddedInterfaceImage();
