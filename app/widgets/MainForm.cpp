#include "app/widgets/MainForm.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QStringList>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>

#include "app/widgets/ServiceMenu.h"
#include "serial/PortDetails.h"
#include "support/Dialogs.h"

namespace {

QColor FromColourRef(uint32_t colour) {
  // Colour references are 0x00BBGGRR.
  return QColor(colour & 0xFF, (colour >> 8) & 0xFF, (colour >> 16) & 0xFF);
}

}  // namespace

void TPortComboBox::showPopup() {
  if (OnDropDown) OnDropDown();
  // The window may have closed meanwhile (a close deferred to the end of the handler).
  if (!window()->isVisible()) return;
  QComboBox::showPopup();
}

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
  setWindowTitle(QStringLiteral("to be filled"));
  BuildControls();
  // The design's client size, or more where the font needs it.
  resize(QSize(322, 399).expandedTo(sizeHint()));
  FCycle = std::make_unique<TCalibrationCycle>(*this);
  FCycle->SetRecord(&FRecord);
  connect(FCycle.get(), &TCalibrationCycle::ShutdownDone, this, [this] {
    Closed = true;
    close();
  });
  // The technician's other tasks, in a menu above the design's controls.
  FServiceMenu = std::make_unique<TServiceMenu>(*this, *FCycle, FRecord);
  layout()->setMenuBar(FServiceMenu->Bar());
  resize(width(), height() + FServiceMenu->Bar()->sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  Initialise();
}

TMainForm::~TMainForm() {
  ShutdownCycle();
}

// The design's arrangement (the list and the check box on one row, "Progress", the
// log, the version at the bottom), sized from the font so that no caption is cut.
void TMainForm::BuildControls() {
  ComPortComboBox = new TPortComboBox(this);
  ComPortComboBox->addItems({QString::fromLatin1(SelectPortCaption), QStringLiteral("Com1")});
  ComPortComboBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  ComPortComboBox->OnDropDown = [this] { RebuildPortList(); };
  // Every pick of the user, the same item again included; never a selection from code.
  connect(ComPortComboBox, &QComboBox::activated, this, [this] { SetComPort(); });
  connect(ComPortComboBox, &QComboBox::currentIndexChanged, this, [this] { ShowChosenPath(); });

  ScanPortsCheckBox = new QCheckBox(QStringLiteral("Scan for existing ports"), this);
  ScanPortsCheckBox->setChecked(true);

  LogHeading = new QLabel(QStringLiteral("Progress"), this);

  LogView = new QTextEdit(this);
  LogView->setReadOnly(true);
  // Lines can be selected and copied with the keyboard too (Ctrl+A, Ctrl+C).
  LogView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  LogView->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  VersionLabel = new QLabel(QStringLiteral("program version xxxxx"), this);
  VersionLabel->setAlignment(Qt::AlignHCenter);

  auto* portRow = new QHBoxLayout;
  portRow->addWidget(ComPortComboBox);
  portRow->addWidget(ScanPortsCheckBox);
  portRow->addStretch(1);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(8, 8, 8, 6);
  column->addLayout(portRow);
  column->addWidget(LogHeading);
  column->addWidget(LogView, 1);
  column->addWidget(VersionLabel);
}

void TMainForm::RecordNotWritten(const std::string& path, const std::string& reason) {
  if (RecordWarningShown) return;
  RecordWarningShown = true;
  // Shown after the tick, so that the device's result is in the log first.
  const std::string text = "The calibration record could not be written to\r" + path + "\r(" +
                           reason + ").\rDevices are still calibrated, but not recorded.";
  QTimer::singleShot(0, this, [text] { Dialogs().MessageDialog(text, mkWarning, dbOK, 0); });
}

void TMainForm::Initialise() {
  SelectPortItem(0);
  setWindowTitle(QString::fromLatin1(MainCaption));
  VersionLabel->setText(QString::fromLatin1(VersionCaption));
  FCycle->Initialise();
}

void TMainForm::ShutdownCycle() {
  if (FCycle) FCycle->Shutdown();
}

void TMainForm::RebuildPortList() {
  TCalibrationCycle::THandlerScope scope(*FCycle);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  QCoreApplication::processEvents();
  const std::string captions = FCycle->ScanPortList(ScanPortsCheckBox->isChecked());
  ComPortComboBox->clear();
  ComPortComboBox->addItem(QString::fromLatin1(SelectPortCaption));
  const QStringList lines = QString::fromStdString(captions).split('\r', Qt::SkipEmptyParts);
  const auto& numbers = FCycle->PortNumbers();
  for (int i = 0; i < lines.size(); ++i) {
    ComPortComboBox->addItem(lines[i]);
    // The device behind the number and the adapter's facts, where the user can see
    // them (the caption already says whether another program holds it).
    if (static_cast<size_t>(i + 1) < numbers.size()) {
      const std::string facts =
          PortDetailsText(DescribePort(numbers[static_cast<size_t>(i + 1)], TPortState::psFree));
      if (!facts.empty())
        ComPortComboBox->setItemData(i + 1, QString::fromStdString(facts), Qt::ToolTipRole);
    }
  }
  ComPortComboBox->setCurrentIndex(0);
  ShowChosenPath();
  QApplication::restoreOverrideCursor();
}

void TMainForm::SetComPort() {
  FCycle->ChoosePortItem(ComPortComboBox->currentIndex());
}

void TMainForm::TestConnection() {
  FCycle->TestConnection();
}

// Appends at the true end of the log without moving the user's place: the view follows
// the end only when it was at the end, and a selection survives the append.
void TMainForm::AddLog(const std::string& text, bool newLine, uint32_t colour, TLogStyle style,
                       bool /*bullets*/) {
  QScrollBar* bar = LogView->verticalScrollBar();
  const bool followEnd = bar->value() >= bar->maximum();
  const int scrolledTo = bar->value();
  const QTextCursor user = LogView->textCursor();
  const int anchor = user.anchor();
  const int position = user.position();

  QTextCharFormat format;
  format.setForeground(FromColourRef(colour));
  format.setFontWeight(style == TLogStyle::Bold ? QFont::Bold : QFont::Normal);
  QTextCursor cursor(LogView->document());
  cursor.movePosition(QTextCursor::End);
  // The log's first line is its first block; later new lines start a block each.
  if (newLine && !LogView->document()->isEmpty()) cursor.insertBlock();
  QString insert = QString::fromStdString(text);
  insert.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  cursor.insertText(insert, format);

  // A selection reaching the end would grow with the text inserted there.
  const QTextCursor after = LogView->textCursor();
  if (user.hasSelection() && (after.anchor() != anchor || after.position() != position)) {
    QTextCursor kept(LogView->document());
    kept.setPosition(anchor);
    kept.setPosition(position, QTextCursor::KeepAnchor);
    LogView->setTextCursor(kept);
  }
  LogView->document()->documentLayout()->documentSize();  // lays the new text out
  bar->setValue(followEnd ? bar->maximum() : scrolledTo);
}

// The lost port's line names the device it led to where the pointer rests on it.
void TMainForm::PortLost(uint32_t /*portNumber*/, const std::string& path) {
  if (path.empty()) return;
  QTextCursor line(LogView->document());
  line.movePosition(QTextCursor::End);
  line.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
  QTextCharFormat format;
  format.setToolTip(QString::fromStdString(path));
  line.mergeCharFormat(format);
}

void TMainForm::SelectPortItem(int index) {
  ComPortComboBox->setCurrentIndex(index);
}

// The device behind the chosen number, where the pointer rests on the list.
void TMainForm::ShowChosenPath() {
  ComPortComboBox->setToolTip(ComPortComboBox->currentData(Qt::ToolTipRole).toString());
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (!Closed && FServiceMenu && !FServiceMenu->MayClose()) {
    event->ignore();
    return;
  }
  if (Closed || FCycle->Shutdown()) {
    Closed = true;
    event->accept();
    return;
  }
  // A handler is running: the shutdown waits for it and closes the window afterwards.
  event->ignore();
}
