#include "firmware/EmbeddedImage.h"

#include <QBuffer>
#include <QFile>

// Resources compiled into a static library are registered only when something
// references their initialiser; doing it here ties them to the accessor.
static void RegisterInterfaceImage() {
  static const bool Registered = [] {
    Q_INIT_RESOURCE(bx2image);
    return true;
  }();
  (void)Registered;
}

QByteArray EmbeddedInterfaceImage() {
  RegisterInterfaceImage();
  QFile Image(QString::fromLatin1(EmbeddedInterfaceResource));
  // A missing resource is a build fault; the empty image then fails to load.
  if (!Image.open(QIODevice::ReadOnly)) return QByteArray();
  return Image.readAll();
}

std::unique_ptr<QIODevice> OpenEmbeddedInterfaceImage() {
  auto Stream = std::make_unique<QBuffer>();
  Stream->setData(EmbeddedInterfaceImage());
  Stream->open(QIODevice::ReadOnly);
  return Stream;
}
