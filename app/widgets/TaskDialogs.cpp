#include "app/widgets/TaskDialogs.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDateEdit>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSet>
#include <QShortcut>
#include <QTableWidget>
#include <QUrl>
#include <algorithm>
#include <deque>
#include <set>

#include "app/console/History.h"

namespace {

// Ctrl+C copies the selected rows, tab-separated, for a spreadsheet or a report.
void CopyRowsOnCtrlC(QTableWidget& table) {
  auto* copy = new QShortcut(QKeySequence::Copy, &table);
  QObject::connect(copy, &QShortcut::activated, &table, [&table] {
    QStringList lines;
    for (int row = 0; row < table.rowCount(); ++row) {
      if (!table.selectionModel()->isRowSelected(row, QModelIndex())) continue;
      QStringList cells;
      for (int column = 0; column < table.columnCount(); ++column)
        cells << (table.item(row, column) ? table.item(row, column)->text() : QString());
      lines << cells.join(u'\t');
    }
    QGuiApplication::clipboard()->setText(lines.join(u'\n') + u'\n');
  });
}

QTableWidget* MakeTable(const QStringList& headers, QWidget* parent) {
  auto* table = new QTableWidget(0, static_cast<int>(headers.size()), parent);
  table->setHorizontalHeaderLabels(headers);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->verticalHeader()->hide();
  table->horizontalHeader()->setStretchLastSection(true);
  CopyRowsOnCtrlC(*table);
  return table;
}

void AddRow(QTableWidget& table, const QStringList& cells) {
  const int row = table.rowCount();
  table.insertRow(row);
  for (int column = 0; column < cells.size(); ++column)
    table.setItem(row, column, new QTableWidgetItem(cells[column]));
}

QString ResultWord(TCheckResult result) {
  switch (result) {
    case TCheckResult::crPassed:
      return QStringLiteral("passed");
    case TCheckResult::crFailed:
      return QStringLiteral("FAILED");
    case TCheckResult::crNotMade:
      break;
  }
  return QStringLiteral("not made");
}

}  // namespace

bool FillPortCombo(QComboBox& combo, const std::vector<TPortChoice>& ports) {
  combo.clear();
  for (const auto& port : ports)
    combo.addItem(QString::fromStdString(port.Caption), QVariant::fromValue(port.Number));
  return !ports.empty();
}

// ---- firmware summary -------------------------------------------------------------

TFirmwareSummaryDialog::TFirmwareSummaryDialog(const QString& summary,
                                               const std::vector<TPortChoice>& ports,
                                               QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("Update device firmware"));
  Summary = new QPlainTextEdit(summary, this);
  Summary->setReadOnly(true);
  Summary->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  Summary->setMinimumSize(460, 180);
  Ports = new QComboBox(this);
  auto* portLabel = new QLabel(QStringLiteral("Device on &port:"), this);
  portLabel->setBuddy(Ports);
  auto* question = new QLabel(
      QStringLiteral("Nothing has been sent yet. Update the device on this port from this file?"),
      this);
  question->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(this);
  UpdateButton = buttons->addButton(QStringLiteral("&Update"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QDialogButtonBox::Cancel);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  UpdateButton->setEnabled(FillPortCombo(*Ports, ports));
  if (!UpdateButton->isEnabled()) question->setText(QStringLiteral("No serial port was found."));

  auto* portRow = new QHBoxLayout;
  portRow->addWidget(portLabel);
  portRow->addWidget(Ports, 1);
  auto* column = new QVBoxLayout(this);
  column->addWidget(Summary, 1);
  column->addLayout(portRow);
  column->addWidget(question);
  column->addWidget(buttons);
  UpdateButton->setDefault(true);
}

uint32_t TFirmwareSummaryDialog::ChosenPort() const {
  return Ports->currentData().toUInt();
}

// ---- adapter check ----------------------------------------------------------------

TAdapterCheckDialog::TAdapterCheckDialog(TServiceTasks& tasks, QWidget* parent)
    : QDialog(parent), Tasks(tasks) {
  setWindowTitle(QStringLiteral("Check adapter"));
  auto* intro =
      new QLabel(QStringLiteral("Put a loopback plug (pins 2 and 3 wired together) on the adapter, "
                                "choose its port and press Check."),
                 this);
  intro->setWordWrap(true);
  Ports = new QComboBox(this);
  auto* portLabel = new QLabel(QStringLiteral("&Port:"), this);
  portLabel->setBuddy(Ports);
  CheckButton = new QPushButton(QStringLiteral("&Check"), this);
  CheckButton->setEnabled(FillPortCombo(*Ports, Tasks.ListPorts(true)));
  Table = MakeTable({QStringLiteral("rate"), QStringLiteral("check"), QStringLiteral("result"),
                     QStringLiteral("why")},
                    this);
  Table->setMinimumSize(520, 260);
  Verdict = new QLabel(this);
  Verdict->setWordWrap(true);
  QFont bold = Verdict->font();
  bold.setBold(true);
  Verdict->setFont(bold);
  Advice = new QLabel(this);
  Advice->setWordWrap(true);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(CheckButton, &QPushButton::clicked, this, [this] { StartCheck(); });
  connect(
      &Tasks, &TServiceTasks::AdapterChecked, this,
      [this](const TLoopbackReport& report, const QString& error) { ShowReport(report, error); });

  auto* portRow = new QHBoxLayout;
  portRow->addWidget(portLabel);
  portRow->addWidget(Ports, 1);
  portRow->addWidget(CheckButton);
  auto* column = new QVBoxLayout(this);
  column->addWidget(intro);
  column->addLayout(portRow);
  column->addWidget(Table, 1);
  column->addWidget(Verdict);
  column->addWidget(Advice);
  column->addWidget(buttons);
  CheckButton->setDefault(true);
}

void TAdapterCheckDialog::StartCheck() {
  const uint32_t port = Ports->currentData().toUInt();
  if (!Tasks.StartAdapterCheck(port)) {
    Verdict->setText(QStringLiteral("Another task or a calibration is using a port."));
    return;
  }
  CheckButton->setEnabled(false);
  Ports->setEnabled(false);
  Table->setRowCount(0);
  Advice->clear();
  Verdict->setText(QStringLiteral("Checking the adapter on %1 ...").arg(Ports->currentText()));
  GrowToFit();
}

void TAdapterCheckDialog::ShowReport(const TLoopbackReport& report, const QString& portError) {
  CheckButton->setEnabled(true);
  Ports->setEnabled(true);
  Table->setRowCount(0);
  if (!portError.isEmpty()) {
    Verdict->setText(portError);
    Advice->clear();
    GrowToFit();
    return;
  }
  QStringList advice;
  for (const auto& row : report.Rows) {
    const QString rate = row.Baud > 0 ? QString::number(row.Baud) : QStringLiteral("all");
    AddRow(*Table, {rate, QString::fromStdString(row.Check), ResultWord(row.Result),
                    QString::fromStdString(row.Note)});
    const std::string what = LoopbackAdvice(row);
    if (!what.empty())
      advice << QStringLiteral("%1 %2: %3")
                    .arg(rate, QString::fromStdString(row.Check), QString::fromStdString(what));
  }
  Table->resizeColumnsToContents();
  Verdict->setText(QString::fromStdString(LoopbackVerdict(report)));
  Advice->setText(advice.isEmpty() ? QString()
                                   : QStringLiteral("What to do:\n") + advice.join(u'\n'));
  GrowToFit();
}

// Wrapped texts grow taller than the dialog was laid out for.
void TAdapterCheckDialog::GrowToFit() {
  layout()->activate();
  resize(size().expandedTo(sizeHint()));
}

// ---- history ----------------------------------------------------------------------

THistoryDialog::THistoryDialog(const QString& recordPath, QWidget* parent, int maxRows)
    : QDialog(parent), Path(recordPath), MaxRows(std::max(maxRows, 1)) {
  setWindowTitle(QStringLiteral("Calibration history"));
  FromEnabled = new QCheckBox(QStringLiteral("&From"), this);
  From = new QDateEdit(QDate::currentDate(), this);
  From->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
  From->setCalendarPopup(true);
  From->setEnabled(false);
  Port = new QComboBox(this);
  auto* portLabel = new QLabel(QStringLiteral("&Port:"), this);
  portLabel->setBuddy(Port);
  Table = MakeTable({QStringLiteral("time"), QStringLiteral("port"), QStringLiteral("device"),
                     QStringLiteral("value"), QStringLiteral("result")},
                    this);
  Table->setMinimumSize(640, 260);
  Summary = new QLabel(this);
  Summary->setWordWrap(true);
  Summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  OpenFolder = new QPushButton(QStringLiteral("&Open the record file's folder"), this);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(FromEnabled, &QCheckBox::toggled, From, &QWidget::setEnabled);
  connect(FromEnabled, &QCheckBox::toggled, this, [this] { ShowRecords(); });
  connect(From, &QDateEdit::dateChanged, this, [this] { ShowRecords(); });
  connect(Port, &QComboBox::currentIndexChanged, this, [this] { ShowRecords(); });
  connect(OpenFolder, &QPushButton::clicked, this, [this] {
    const QString folder = QFileInfo(Path).absolutePath();
    QDir().mkpath(folder);
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
  });

  auto* filterRow = new QHBoxLayout;
  filterRow->addWidget(FromEnabled);
  filterRow->addWidget(From);
  filterRow->addSpacing(16);
  filterRow->addWidget(portLabel);
  filterRow->addWidget(Port, 1);
  auto* bottomRow = new QHBoxLayout;
  bottomRow->addWidget(OpenFolder);
  bottomRow->addStretch(1);
  bottomRow->addWidget(buttons);
  auto* column = new QVBoxLayout(this);
  column->addLayout(filterRow);
  column->addWidget(Table, 1);
  column->addWidget(Summary);
  column->addLayout(bottomRow);
  Reload();
  Table->setFocus();  // the records are what the dialog is for
}

void THistoryDialog::Reload() {
  Skipped = 0;
  End = -1;
  ReadError.clear();
  NoFile = NoRecordFileYet(Path);
  // One item per COM number found in the records, in number order.
  std::set<int> numbers;
  const auto note = [&](const TRecordEntry& entry) {
    numbers.insert(entry.Object.value("port").toObject().value("com").toInt());
  };
  std::string error;
  if (!NoFile && !ForEachRecord(Path, note, &Skipped, error, -1, &End))
    ReadError = QString::fromStdString(error);
  const QSignalBlocker quiet(Port);
  Port->clear();
  Port->addItem(QStringLiteral("All ports"));
  for (int number : numbers)
    Port->addItem(QStringLiteral("COM%1").arg(number), QStringLiteral("COM%1").arg(number));
  ShowRecords();
}

void THistoryDialog::ShowRecords() {
  const QDateTime since =
      FromEnabled->isChecked() ? QDateTime(From->date(), QTime(0, 0), Qt::UTC) : QDateTime();
  const std::string port = Port->currentData().toString().toStdString();
  std::deque<std::vector<std::string>> newest;
  qint64 selected = 0;
  qint64 ok = 0;
  const auto keep = [&](const TRecordEntry& entry) {
    if (!RecordSelected(entry.Object, since, port)) return;
    ++selected;
    ok += RecordIsOk(entry.Object) ? 1 : 0;
    newest.push_back(HistoryRow(entry.Object));
    if (newest.size() > static_cast<size_t>(MaxRows)) newest.pop_front();
  };
  std::string error;
  // As far as the reload read: records appended meanwhile wait for the next reload.
  if (!NoFile && ReadError.isEmpty() && !ForEachRecord(Path, keep, nullptr, error, End))
    ReadError = QString::fromStdString(error);
  Table->setRowCount(0);
  for (const auto& row : newest) {
    QStringList cells;
    for (const std::string& cell : row) cells << QString::fromStdString(cell);
    AddRow(*Table, cells);
  }
  Table->resizeColumnsToContents();
  const QString file = QDir::toNativeSeparators(Path);
  QString text;
  if (!ReadError.isEmpty())
    text = QStringLiteral("The record file %1 cannot be read: %2").arg(file, ReadError);
  else if (NoFile)
    text = QStringLiteral("Nothing has been recorded yet in %1.").arg(file);
  else
    text = QStringLiteral("%1 shown, %2 OK, %3 other; record file %4")
               .arg(selected)
               .arg(ok)
               .arg(selected - ok)
               .arg(file);
  if (selected > static_cast<qint64>(newest.size()))
    text += QStringLiteral(" (only the newest %1 are in the table)").arg(newest.size());
  if (Skipped > 0) text += QStringLiteral(" (%1 damaged line(s) skipped)").arg(Skipped);
  Summary->setText(text);
}
