#include "app/widgets/MainForm.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "serial/PortMap.h"
#include "support/Dialogs.h"

namespace {

QColor FromColourRef(uint32_t colour) {
  // Colour references are 0x00BBGGRR.
  return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

}  // namespace

void TPortComboBox::showPopup() {
  if (OnDropDown) OnDropDown();
  QComboBox::showPopup();
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QStringLiteral("to be filled"));
  setFixedSize(322, 399);
  BuildControls();
  FCycle = std::make_unique<TCalibrationCycle>(*this);
  FCycle->SetRecord(&FRecord);
  connect(FCycle.get(), &TCalibrationCycle::ShutdownDone, this, [this] {
    Closed = true;
    close();
  });
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  Initialise();
}

TForm1::~TForm1() {
  RuimOp();
}

void TForm1::BuildControls() {
  ComPortComboBox = new TPortComboBox(this);
  ComPortComboBox->setGeometry(72, 8, 105, 21);
  ComPortComboBox->addItems({QString::fromLatin1(SelectPortCaption), QStringLiteral("Com1")});
  ComPortComboBox->OnDropDown = [this] { ComPortComboBoxDropDown(); };
  connect(ComPortComboBox, &QComboBox::currentIndexChanged, this, [this] {
    if (!SelectingFromCode) SetComPort();
  });

  ScanPortsCheckBox = new QCheckBox(QStringLiteral("Scan for existing ports"), this);
  ScanPortsCheckBox->setGeometry(184, 8, 121, 21);
  ScanPortsCheckBox->setChecked(true);

  Label1 = new QLabel(QStringLiteral("Progress"), this);
  Label1->move(16, 32);

  RichEdit = new QTextEdit(this);
  RichEdit->setGeometry(8, 56, 305, 315);
  RichEdit->setReadOnly(true);
  RichEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  Label2 = new QLabel(QStringLiteral("program version xxxxx"), this);
  Label2->setGeometry(78, 377, 166, 16);
  Label2->setAlignment(Qt::AlignHCenter);
}

void TForm1::RecordNotWritten(const std::string& path, const std::string& reason) {
  if (RecordWarningShown) return;
  RecordWarningShown = true;
  // Shown after the tick, so that the device's result is in the log first.
  const std::string text = "The calibration record could not be written to\r" + path + "\r(" +
                           reason + ").\rDevices are still calibrated, but not recorded.";
  QTimer::singleShot(0, this, [text] { Dialogs().MessageDialog(text, mkWarning, dbOK, 0); });
}

void TForm1::Initialise() {
  SelectPortItem(0);
  setWindowTitle(QString::fromLatin1(MainCaption));
  Label2->setText(QString::fromLatin1(VersionCaption));
  FCycle->Initialise();
}

void TForm1::RuimOp() {
  if (FCycle) FCycle->Shutdown();
}

void TForm1::ComPortComboBoxDropDown() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QCoreApplication::processEvents();
  const std::string captions = FCycle->ScanPortList(ScanPortsCheckBox->isChecked());
  SelectingFromCode = true;
  ComPortComboBox->clear();
  ComPortComboBox->addItem(QString::fromLatin1(SelectPortCaption));
  const QStringList lines = QString::fromStdString(captions).split('\r', Qt::SkipEmptyParts);
  const auto& numbers = FCycle->PortNumbers();
  for (int i = 0; i < lines.size(); ++i) {
    ComPortComboBox->addItem(lines[i]);
    // The device behind the number, where the user can see it.
    if (static_cast<size_t>(i + 1) < numbers.size()) {
      const std::string path = PortPath(numbers[static_cast<size_t>(i + 1)]);
      if (!path.empty())
        ComPortComboBox->setItemData(i + 1, QString::fromStdString(path), Qt::ToolTipRole);
    }
  }
  ComPortComboBox->setCurrentIndex(0);
  SelectingFromCode = false;
  QApplication::restoreOverrideCursor();
}

void TForm1::SetComPort() {
  FCycle->ChoosePortItem(ComPortComboBox->currentIndex());
}

void TForm1::TestConnection() {
  FCycle->TestConnection();
}

void TForm1::AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
                    bool /*bullets*/) {
  QTextCharFormat format;
  format.setForeground(FromColourRef(colour));
  format.setFontWeight(style == TLogStyle::Bold ? QFont::Bold : QFont::Normal);
  QTextCursor cursor(RichEdit->document());
  cursor.movePosition(QTextCursor::End);
  // The log's first line is its first block; later new lines start a block each.
  if (newLine && !RichEdit->document()->isEmpty()) cursor.insertBlock();
  QString insert = QString::fromStdString(text);
  insert.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  cursor.insertText(insert, format);
  RichEdit->setTextCursor(cursor);
  RichEdit->ensureCursorVisible();
}

void TForm1::SelectPortItem(int index) {
  SelectingFromCode = true;
  ComPortComboBox->setCurrentIndex(index);
  SelectingFromCode = false;
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (Closed || FCycle->Shutdown()) {
    Closed = true;
    event->accept();
    return;
  }
  // A tick is running: the shutdown waits for it and closes the window afterwards.
  event->ignore();
}
