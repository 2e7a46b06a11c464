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

TProgressForm::TProgressForm(QWidget* parent)
    : QWidget(parent,
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

void TProgressForm::LayOut(const TProgressState& state) {
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Button);
  setWindowTitle(state.Caption);
  QLabel& Info = *InfoLabel;
  const int LabelWidth = width() - 2 * Info.x();
  Info.setText(state.Info);
  Info.resize(LabelWidth, Info.heightForWidth(LabelWidth));
  int y = Info.y() + Info.height();
  if (state.BarVisible) {
    ProgressBar->move(ProgressBar->x(), y + 20);
    ShowBar(state);
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
    auto Half = [](int value) { return value >= 0 ? value / 2 : -((-value + 1) / 2); };
    move(Frame.left() + Half(Frame.width() - width()),
         Frame.top() + Half(Frame.height() - height()));
  }
}

void TProgressForm::ShowBar(const TProgressState& state) {
  ProgressBar->show();
  if (ProgressBar->maximum() != state.Max) ProgressBar->setMaximum(state.Max);
  if (ProgressBar->minimum() != state.Min) ProgressBar->setMinimum(state.Min);
  ProgressBar->setValue(state.Position);
}

void TProgressForm::Refresh(const TProgressState& state) {
  setWindowTitle(state.Caption);
  InfoLabel->setText(state.Info);
  if (ProgressBar->maximum() != state.Max || ProgressBar->minimum() != state.Min)
    ProgressBar->setRange(state.Min, state.Max);
  ProgressBar->setValue(state.Position);
  BusyDots->setText(state.Busy);
  repaint();
}

void TProgressForm::keyPressEvent(QKeyEvent* event) {
  const bool Enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  if (Enter || IgnoreKeys(event->key()) != 32) {
    QWidget::keyPressEvent(event);
    return;
  }
  QKeyEvent Space(event->type(), Qt::Key_Space, event->modifiers(), QStringLiteral(" "));
  QWidget::keyPressEvent(&Space);
  event->setAccepted(Space.isAccepted());
}

// ---------------------------------------------------------------- window sink

namespace {

class TProgressWindows : public TProgressSink {
 public:
  explicit TProgressWindows(QWidget* mainWindow) : Main(mainWindow) {}

  ~TProgressWindows() override {
    while (!Forms.empty()) Closed(static_cast<int>(Forms.size()) - 1);
  }

  void Opened(int, const TProgressState& state) override {
    if (!Forms.empty()) Forms.back()->setEnabled(false);
    // Not parented: the stack owns its forms, and they must not die with the main window.
    Forms.push_back(std::make_unique<TProgressForm>());
    Forms.back()->CentreOver = Main;
    DisableOthers();
    Present(state);
  }

  void Relaid(int, const TProgressState& state) override {
    DisableOthers();
    Present(state);
  }

  void Changed(int, const TProgressState& state) override {
    if (!Forms.empty()) Forms.back()->Refresh(state);
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

  void Present(const TProgressState& state) {
    TProgressForm& Form = *Forms.back();
    Form.LayOut(state);
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

void InstallProgressWindows(QWidget* mainWindow) {
  auto Sink = std::make_unique<TInstalledWindows>(mainWindow);
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
