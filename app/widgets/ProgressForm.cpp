#include "app/widgets/ProgressForm.h"

#include "support/Progress.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>

#include <memory>
#include <vector>

namespace {

constexpr int FormWidth = 232;
constexpr int FormHeight = 146;

}  // namespace

TProgressForm::TProgressForm(QWidget* Parent)
    : QWidget(Parent,
              Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      InfoLabel(new QLabel(this)),
      ProgressBar(new QProgressBar(this)),
      BusyDots(new QLabel(this)),
      HiddenButton(new QPushButton(QStringLiteral("Button"), this)) {
  setObjectName(QStringLiteral("ProgressForm"));
  setWindowTitle(QStringLiteral("ProgressForm"));
  setFixedSize(FormWidth, FormHeight);
  InfoLabel->setObjectName(QStringLiteral("InfoLabel"));
  InfoLabel->setWordWrap(true);
  InfoLabel->move(24, 16);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setGeometry(40, 100, 153, 17);
  ProgressBar->setRange(0, 100);
  ProgressBar->setValue(50);
  ProgressBar->setTextVisible(false);
  BusyDots->setObjectName(QStringLiteral("BusyDots"));
  BusyDots->setGeometry(76, 104, 81, 33);
  BusyDots->setFixedSize(81, 33);
  QFont Dots = BusyDots->font();
  Dots.setPixelSize(20);
  BusyDots->setFont(Dots);
  BusyDots->setText(QStringLiteral(".  .  .  .  .  ."));
  HiddenButton->setObjectName(QStringLiteral("HiddenButton"));
  HiddenButton->setGeometry(72, 48, 89, 33);
  HiddenButton->setDefault(true);
  HiddenButton->hide();
}

void TProgressForm::LayOut(const TProgressState& State) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  setWindowTitle(State.Caption);
  QLabel& Info = *InfoLabel;
  const int LabelWidth = width() - 2 * Info.x();
  Info.setText(State.Info);
  Info.resize(LabelWidth, Info.heightForWidth(LabelWidth));
  int y = Info.y() + Info.height();
  if (State.BarVisible) {
    ProgressBar->move(ProgressBar->x(), y + 20);
    ShowBar(State);
    BusyDots->move(BusyDots->x(), ProgressBar->y() + 2);
    BusyDots->show();
    BusyDots->clear();
    y = ProgressBar->y() + ProgressBar->height();
  } else {
    ProgressBar->hide();
    BusyDots->hide();
  }
  HiddenButton->hide();
  setFixedSize(width(), y + 40);
  if (const QWidget* Main = CentreOver.data()) {
    const QRect Frame = Main->geometry();
    // Halves round toward minus infinity, as the window's own layout does.
    auto Half = [](int Value) { return Value >= 0 ? Value / 2 : -((-Value + 1) / 2); };
    move(Frame.left() + Half(Frame.width() - width()),
         Frame.top() + Half(Frame.height() - height()));
  }
}

void TProgressForm::ShowBar(const TProgressState& State) {
  ProgressBar->show();
  if (ProgressBar->maximum() != State.Max) ProgressBar->setMaximum(State.Max);
  if (ProgressBar->minimum() != State.Min) ProgressBar->setMinimum(State.Min);
  ProgressBar->setValue(State.Position);
}

void TProgressForm::Refresh(const TProgressState& State) {
  setWindowTitle(State.Caption);
  InfoLabel->setText(State.Info);
  if (ProgressBar->maximum() != State.Max || ProgressBar->minimum() != State.Min)
    ProgressBar->setRange(State.Min, State.Max);
  ProgressBar->setValue(State.Position);
  BusyDots->setText(State.Busy);
  repaint();
}

void TProgressForm::keyPressEvent(QKeyEvent* Event) {
  const bool Enter = Event->key() == Qt::Key_Return || Event->key() == Qt::Key_Enter;
  if (Enter || IgnoreKeys(Event->key()) != 32) {
    QWidget::keyPressEvent(Event);
    return;
  }
  QKeyEvent Space(Event->type(), Qt::Key_Space, Event->modifiers(), QStringLiteral(" "));
  QWidget::keyPressEvent(&Space);
  Event->setAccepted(Space.isAccepted());
}

// ---------------------------------------------------------------- window sink

namespace {

class TProgressWindows : public TProgressSink {
 public:
  explicit TProgressWindows(QWidget* MainWindow) : Main(MainWindow) {}

  ~TProgressWindows() override {
    while (!Forms.empty()) Closed(static_cast<int>(Forms.size()) - 1);
  }

  void Opened(int, const TProgressState& State) override {
    if (!Forms.empty()) Forms.back()->setEnabled(false);
    // Not parented: the stack owns its forms, and they must not die with the main window.
    Forms.push_back(std::make_unique<TProgressForm>());
    Forms.back()->CentreOver = Main;
    DisableOthers();
    Present(State);
  }

  void Relaid(int, const TProgressState& State) override {
    DisableOthers();
    Present(State);
  }

  void Changed(int, const TProgressState& State) override {
    if (!Forms.empty()) Forms.back()->Refresh(State);
  }

  void Closed(int) override {
    if (Forms.empty()) return;
    if (Forms.size() == 1) {
      while (!Disabled.isEmpty()) {
        const QPointer<QWidget> Form = Disabled.takeLast();
        if (Form) Form->setEnabled(true);
      }
    } else {
      Forms[Forms.size() - 2]->setEnabled(true);
    }
    Forms.pop_back();
  }

  std::vector<std::unique_ptr<TProgressForm>> Forms;

 private:
  void DisableOthers() {
    if (!Disabled.isEmpty()) return;
    for (QWidget* Form : QApplication::topLevelWidgets()) {
      if (!Form->isVisible() || !Form->isEnabled() || Form == Forms.back().get()) continue;
      Disabled << Form;
      Form->setEnabled(false);
    }
  }

  void Present(const TProgressState& State) {
    TProgressForm& Form = *Forms.back();
    Form.LayOut(State);
    Form.show();
    Form.repaint();
  }

  QPointer<QWidget> Main;
  QList<QPointer<QWidget>> Disabled;
};

TProgressWindows* Windows = nullptr;

// Keeps Windows pointing at the installed sink only while it is installed.
class TInstalledWindows : public TProgressWindows {
 public:
  using TProgressWindows::TProgressWindows;
  ~TInstalledWindows() override {
    if (Windows == this) Windows = nullptr;
  }
};

}  // namespace

void InstallProgressWindows(QWidget* MainWindow) {
  auto Sink = std::make_unique<TInstalledWindows>(MainWindow);
  TProgressWindows* Installed = Sink.get();
  SetProgressSink(std::move(Sink));
  Windows = Installed;
}

int ProgressFormCount() {
  return Windows ? static_cast<int>(Windows->Forms.size()) : 0;
}

TProgressForm* CurrentProgressForm() {
  return Windows && !Windows->Forms.empty() ? Windows->Forms.back().get() : nullptr;
}
